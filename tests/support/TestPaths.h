// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace TestPaths {
/// Root of the source tree.
QString SourceDir();
/// A file under tests/data.
QString DataFile(const QString& aName);
/// The Python interpreter that runs the loopback servers (it can import pyftpdlib).
QString Python();
} // namespace TestPaths
