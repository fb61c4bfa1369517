// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <gtest/gtest.h>

/// Whole-file helpers of the GoogleTest programs.
namespace TestFiles {

/// Writes a whole file, creating its folder; a failure fails the test.
inline void WriteFile(const QString& aName, const QByteArray& aData)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(aName).path()));
    QFile file(aName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(aData), aData.size());
}

/// A whole file; empty when it cannot be read.
inline QByteArray ReadFile(const QString& aName)
{
    QFile file(aName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace TestFiles
