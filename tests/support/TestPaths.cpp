// SPDX-License-Identifier: MIT
#include "TestPaths.h"

namespace TestPaths {
QString SourceDir()
{
    return QStringLiteral(VANDREL_SOURCE_DIR);
}

QString DataFile(const QString& aName)
{
    return SourceDir() + QStringLiteral("/tests/data/") + aName;
}

QString Python()
{
    return QStringLiteral(VANDREL_TEST_PYTHON);
}
} // namespace TestPaths
