// SPDX-License-Identifier: MIT
#pragma once

#include "TDBConnection.h"
#include "TFakeSqlServer.h"
#include "USVSQLBackup.h"

#include <QByteArray>
#include <QString>

#include <atomic>

/// The sample database of the database tests on the fake SQL Server.
namespace VandrelSalesData {

/// A data file of a few hundred KiB whose pages all count as used.
inline QByteArray SalesData()
{
    QByteArray data;
    for (int i = 0; data.size() < 320 * 1024; ++i)
        data += "order " + QByteArray::number(i) + " amount " + QByteArray::number(i * 37 % 1000) + ";";
    return data;
}

/// Backs aDatabase up into aFileName on a connection of the test's own.
inline void MakeBackup(const TFakeSqlServer& aServer, const QString& aDatabase, const QString& aFileName)
{
    TDBConnection connection;
    connection.SetConnectionString(aServer.ConnectionString(aDatabase));
    connection.Open();
    const std::atomic<bool> running{true};
    USVSQLBackup::BackupDatabase(connection, aDatabase, aFileName, false, true, running);
}

} // namespace VandrelSalesData
