// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
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

/// Writes an archive into an FTP server's folder as an upload of the program leaves it: with its checksum file
/// "<name>.sha256" beside it.
inline void WriteServerArchive(const QString& aName, const QByteArray& aData)
{
    WriteFile(aName, aData);
    const QByteArray digest = QCryptographicHash::hash(aData, QCryptographicHash::Sha256).toHex();
    WriteFile(aName + QStringLiteral(".sha256"), digest + "  " + QFileInfo(aName).fileName().toUtf8() + '\n');
}

} // namespace TestFiles
