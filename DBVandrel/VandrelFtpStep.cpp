// SPDX-License-Identifier: MIT
#include "Vandrel.h"

void TfrmVandrel::FtpStep(bool aDownload)
{
    StepNotAvailable(aDownload ? QStringLiteral("Download") : QStringLiteral("Upload"));
}
