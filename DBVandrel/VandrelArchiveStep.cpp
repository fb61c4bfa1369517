// SPDX-License-Identifier: MIT
#include "Vandrel.h"

void TfrmVandrel::ArchiveStep(bool aExtract)
{
    StepNotAvailable(aExtract ? QStringLiteral("Extract") : QStringLiteral("Zip Archive"));
}
