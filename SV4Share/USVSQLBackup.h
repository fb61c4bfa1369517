// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <atomic>

class TDBConnection;

/// The data and log files recorded in a backup (or chosen as restore targets) and the data file's size.
struct TDBFileList
{
    /// Logical name of the data file (the file list's row of type "D").
    QString LogicalDat;
    /// Physical path of the data file, as recorded or as chosen.
    QString PhysicalDat;
    /// Logical name of the log file (row of type "L").
    QString LogicalLog;
    /// Physical path of the log file, as recorded or as chosen.
    QString PhysicalLog;
    /// Size of the data file in bytes ("Size" column).
    qint64 DBSize = 0;

    /// True when all four names are set.
    bool Complete() const
    {
        return !LogicalDat.isEmpty() && !PhysicalDat.isEmpty() && !LogicalLog.isEmpty() && !PhysicalLog.isEmpty();
    }
};

/// BACKUP and RESTORE of a SQL Server database through a disk file on the server's machine.
namespace USVSQLBackup {

/// The text of the last BACKUP statement built (empty at start; kept after a failure or cancel).
extern QString LastBackupSQL;

/// Poll interval of the waits for a running backup or restore, in milliseconds.
constexpr int cPollIntervalMs = 80;

/// A string literal for the statements: quotes around, inner quotes doubled.
QString QuotedStr(const QString& aValue);
/// A name in square brackets, an inner "]" doubled.
QString BracketedName(const QString& aName);

/// Backs aDatabaseName up to aBackupFileName (appending or overwriting, optionally compressed); cancels when
/// aRunning turns false. Returns true once the command no longer runs (also after a cancel); raises when the
/// connection is closed or the server reports an error.
bool BackupDatabase(TDBConnection& aConnection,
                    const QString& aDatabaseName,
                    const QString& aBackupFileName,
                    bool aAppend,
                    bool aCompress,
                    const std::atomic<bool>& aRunning);

/// Reads the data and log file names and the data size recorded in a backup file (its newest backup set).
TDBFileList GetBackupFileList(TDBConnection& aConnection, const QString& aBackupFileName);

/// Restores aBackupFileName over aDatabaseName with the files in the recorded folders, named after the database
/// (<db>_data.mdf, <db>_log.ldf); raises "Filenames not found in backup file." for an incomplete file list.
bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning);

/// Restores aBackupFileName over aDatabaseName, moving the files to aFileList's physical paths; cancels when
/// aRunning turns false. Returns true once the command no longer runs; leaves the connection in master.
bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning,
                     const TDBFileList& aFileList);

/// The restore's deadline for a data file of aDBSize bytes: one second per 2 MiB, at least the minimum.
int RestoreTimeout(qint64 aDBSize);
/// Sets the minimum restore deadline in seconds (30 by default; tests shorten it).
void SetMinimumRestoreTimeout(int aSeconds);

} // namespace USVSQLBackup
