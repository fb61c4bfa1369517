// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QList>
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

/// How a backup is written.
struct TBackupOptions
{
    /// Appends a backup set to the file (NOINIT) instead of overwriting it (INIT).
    bool Append = false;
    /// Asks the server for a compressed backup.
    bool Compress = true;
    /// A copy-only backup: it leaves the base of the production's differential backups alone.
    bool CopyOnly = false;
    /// The server writes page and backup checksums (and a verification can check them).
    bool Checksum = false;
};

/// One file of the database in a backup set (a row of RESTORE FILELISTONLY).
struct TBackupFile
{
    QString LogicalName;
    QString PhysicalName;
    /// "D" data, "L" log, "S" FILESTREAM or memory-optimized container, "F" full-text catalog.
    QString Type;
    qint64 FileId = 0;
    qint64 Size = 0;
};

/// Where RESTORE puts one logical file.
struct TFileMove
{
    QString LogicalName;
    QString PhysicalName;
    /// "D" or "L", as in the backup.
    QString Type;
};

/// What a backup set says about itself (a row of RESTORE HEADERONLY).
struct TBackupHeader
{
    QString DatabaseName;
    QString ServerName;
    QDateTime BackupFinishDate;
    qint64 BackupSize = 0;
    int Position = 0;
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

/// The BACKUP statement for aDatabaseName into aBackupFileName.
QString BackupStatement(const QString& aDatabaseName, const QString& aBackupFileName, const TBackupOptions& aOptions);

/// Backs aDatabaseName up to aBackupFileName as aOptions say; cancels when aRunning turns false. Returns true once
/// the command no longer runs (also after a cancel); raises when the connection is closed or the server reports an
/// error.
bool BackupDatabase(TDBConnection& aConnection,
                    const QString& aDatabaseName,
                    const QString& aBackupFileName,
                    const TBackupOptions& aOptions,
                    const std::atomic<bool>& aRunning);

/// The text of the last RESTORE VERIFYONLY statement built (empty at start).
extern QString LastVerifySQL;

/// The verification of backup set aSet of aBackupFileName (0: the file's only set).
QString VerifyStatement(const QString& aBackupFileName, int aSet);

/// Lets the server read the newest backup set of aBackupFileName and check its checksums (RESTORE VERIFYONLY);
/// cancels when aRunning turns false. Raises with the server's messages and "The backup did not pass verification."
/// when the set is damaged or cannot be read.
bool VerifyBackup(TDBConnection& aConnection, const QString& aBackupFileName, const std::atomic<bool>& aRunning);

/// Reads the header of the newest backup set of aBackupFileName.
TBackupHeader GetBackupHeader(TDBConnection& aConnection, const QString& aBackupFileName);

/// Reads every file recorded in the newest backup set of aBackupFileName, in file-id order.
QList<TBackupFile> GetBackupFiles(TDBConnection& aConnection, const QString& aBackupFileName);

/// Where each file of aFiles goes when restored as aTargetName. aMove: the first data and log files go to
/// aDataPath and aLogPath, further ones beside them as <target>_<k>.ndf and <target>_log<k>.ldf (k from 2); without
/// it every file stays in its recorded folder under such a name (the first ones <target>_data.mdf and
/// <target>_log.ldf). Raises "Filenames not found in backup file." without a data or a log file, and names the
/// FILESTREAM and full-text files, which are not placed here.
QList<TFileMove> PlanFileMoves(const QList<TBackupFile>& aFiles,
                               const QString& aTargetName,
                               bool aMove,
                               const QString& aDataPath,
                               const QString& aLogPath);

/// The directory part of a path on the server's machine: up to and including the last "\", "/" or ":".
QString DirectoryPart(const QString& aPath);

/// The RESTORE statement of set aSet (0: the file's only set) of aBackupFileName over aDatabaseName with aMoves.
QString RestoreStatement(const QString& aDatabaseName,
                         const QString& aBackupFileName,
                         int aSet,
                         const QList<TFileMove>& aMoves);

/// Restores aBackupFileName over aDatabaseName, each file where aMoves puts it; aDBSize (the data bytes) sets the
/// deadline. Cancels when aRunning turns false. Returns true once the command no longer runs; leaves the
/// connection in master.
bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning,
                     const QList<TFileMove>& aMoves,
                     qint64 aDBSize);

/// True when the server has a database named aDatabaseName (compared without regard to case).
bool DatabaseExists(TDBConnection& aConnection, const QString& aDatabaseName);
/// Sets aDatabaseName to single user, rolling back and closing the other connections to it ("USE master" first).
void SetSingleUser(TDBConnection& aConnection, const QString& aDatabaseName);
/// Sets aDatabaseName back to multi user.
void SetMultiUser(TDBConnection& aConnection, const QString& aDatabaseName);

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
