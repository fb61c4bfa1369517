// SPDX-License-Identifier: MIT
#include "Vandrel.h"

void TfrmVandrel::BackupStep()
{
    StepNotAvailable(QStringLiteral("Backup"));
}
