// SPDX-License-Identifier: MIT
#include "Vandrel.h"

void TfrmVandrel::RestoreStep()
{
    StepNotAvailable(QStringLiteral("Restore"));
}
