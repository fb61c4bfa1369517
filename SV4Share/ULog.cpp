// SPDX-License-Identifier: MIT
#include "ULog.h"

Q_LOGGING_CATEGORY(lcVandrel, "dbvandrel", QtInfoMsg)

namespace ULog {
void OutputDebugLine(const QString& aLine)
{
    qCDebug(lcVandrel).noquote() << aLine;
}
} // namespace ULog
