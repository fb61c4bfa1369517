// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>
#include <QString>

/// Diagnostic lines of the program: debug level, off unless enabled, e.g. QT_LOGGING_RULES="dbvandrel.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcVandrel)

namespace ULog {
/// Writes one diagnostic line (one event) to the diagnostic category.
void OutputDebugLine(const QString& aLine);
} // namespace ULog
