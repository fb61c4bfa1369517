// SPDX-License-Identifier: MIT
#include "USVSQLBackup.h"

#include "EVandrel.h"
#include "TDBCommand.h"
#include "TDBConnection.h"
#include "TDBQuery.h"

#include <algorithm>
#include <limits>

namespace USVSQLBackup {

QString LastBackupSQL;

namespace {

std::atomic<int> MinimumRestoreTimeout{30};

const QString cUnableToBackup = QStringLiteral("Unable to backup database.");
const QString cUnableToRestore = QStringLiteral("Unable to restore database.");

// The directory part of a path on the server's machine: up to and including the last "\", "/" or ":".
QString DirectoryPart(const QString& aPath)
{
    const qsizetype last = std::max({aPath.lastIndexOf(QLatin1Char('\\')),
                                     aPath.lastIndexOf(QLatin1Char('/')),
                                     aPath.lastIndexOf(QLatin1Char(':'))});
    return last < 0 ? QString() : aPath.left(last + 1);
}

// The position of the newest backup set when the file holds more than one, else 0 (the file's only set).
int NewestBackupSet(TDBConnection& aConnection, const QString& aBackupFileName)
{
    TDBQuery query(aConnection);
    query.SetCommandText(QStringLiteral("RESTORE HEADERONLY FROM DISK = ") + QuotedStr(aBackupFileName));
    query.Open();
    int sets = 0;
    int newest = 0;
    for (; !query.Eof(); query.Next()) {
        ++sets;
        newest = std::max(newest, query.FieldAsInteger(QStringLiteral("Position")));
    }
    query.Close();
    return sets > 1 ? newest : 0;
}

// Waits for a started command while aBusyStates are set, cancelling it when aRunning turns false.
// Returns true when it was cancelled here.
bool WaitForCommand(TDBCommand& aCommand, int aBusyStates, const std::atomic<bool>& aRunning)
{
    while (aCommand.States() & aBusyStates) {
        if (!aRunning.load()) {
            aCommand.Cancel();
            return true;
        }
        aCommand.WaitFor(cPollIntervalMs);
    }
    return false;
}

} // namespace

QString QuotedStr(const QString& aValue)
{
    QString inner = aValue;
    inner.replace(QStringLiteral("'"), QStringLiteral("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QString BracketedName(const QString& aName)
{
    QString inner = aName;
    inner.replace(QStringLiteral("]"), QStringLiteral("]]"));
    return QLatin1Char('[') + inner + QLatin1Char(']');
}

bool BackupDatabase(TDBConnection& aConnection,
                    const QString& aDatabaseName,
                    const QString& aBackupFileName,
                    bool aAppend,
                    bool aCompress,
                    const std::atomic<bool>& aRunning)
{
    if (!aConnection.Connected())
        throw EVandrel(QStringLiteral("Connection not active. Unable to backup database."));
    QString sql = QStringLiteral("BACKUP DATABASE ") + BracketedName(aDatabaseName) + QStringLiteral(" TO DISK = ") +
                  QuotedStr(aBackupFileName) + QStringLiteral(" WITH DESCRIPTION = ") +
                  QuotedStr(QStringLiteral("Full Backup of ") + aDatabaseName) +
                  QStringLiteral(", MEDIADESCRIPTION = N'Disk'") + QStringLiteral(", NAME = ") +
                  QuotedStr(aDatabaseName + QStringLiteral(" Backup"));
    if (aCompress)
        sql += QStringLiteral(", COMPRESSION");
    sql += aAppend ? QStringLiteral(", NOINIT") : QStringLiteral(", INIT");
    sql += QStringLiteral(", STATS = 2");
    LastBackupSQL = sql;

    TDBCommand command(aConnection);
    command.SetCommandText(sql);
    command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
    command.Execute();
    try {
        if (!WaitForCommand(command, stOpen | stConnecting | stExecuting | stFetching, aRunning))
            command.RaiseOnFailure();
    } catch (EVandrel& e) {
        e.AddContext(cUnableToBackup);
        throw;
    }
    return true;
}

TDBFileList GetBackupFileList(TDBConnection& aConnection, const QString& aBackupFileName)
{
    TDBFileList result;
    TDBQuery query(aConnection);
    try {
        const int set = NewestBackupSet(aConnection, aBackupFileName);
        QString sql = QStringLiteral("RESTORE FILELISTONLY FROM DISK = ") + QuotedStr(aBackupFileName);
        if (set > 0)
            sql += QStringLiteral(" WITH FILE = %1").arg(set);
        query.SetCommandText(sql);
        query.Open();
    } catch (EVandrel& e) {
        e.AddContext(QStringLiteral("Unable to retrieve backup info."));
        throw;
    }
    for (; !query.Eof(); query.Next()) {
        const QString type = query.FieldAsString(QStringLiteral("Type"));
        if (type == QLatin1String("D")) {
            result.LogicalDat = query.FieldAsString(QStringLiteral("LogicalName"));
            result.PhysicalDat = query.FieldAsString(QStringLiteral("PhysicalName"));
            result.DBSize = query.FieldAsInt64(QStringLiteral("Size"));
        } else if (type == QLatin1String("L")) {
            result.LogicalLog = query.FieldAsString(QStringLiteral("LogicalName"));
            result.PhysicalLog = query.FieldAsString(QStringLiteral("PhysicalName"));
        }
    }
    query.Close();
    return result;
}

bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning)
{
    TDBFileList list = GetBackupFileList(aConnection, aBackupFileName);
    if (!list.Complete())
        throw EVandrel(QStringLiteral("Filenames not found in backup file."));
    list.PhysicalDat = DirectoryPart(list.PhysicalDat) + aDatabaseName + QStringLiteral("_data.mdf");
    list.PhysicalLog = DirectoryPart(list.PhysicalLog) + aDatabaseName + QStringLiteral("_log.ldf");
    return RestoreDatabase(aConnection, aDatabaseName, aBackupFileName, aRunning, list);
}

bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning,
                     const TDBFileList& aFileList)
{
    if (!aConnection.Connected())
        throw EVandrel(QStringLiteral("Connection not active. Unable to read backup file list."));
    aConnection.Execute(QStringLiteral("USE master"));

    TDBCommand command(aConnection);
    command.SetCommandTimeout(RestoreTimeout(aFileList.DBSize));
    try {
        const int set = NewestBackupSet(aConnection, aBackupFileName);
        const QString sql = QStringLiteral("RESTORE DATABASE ") + BracketedName(aDatabaseName) +
                            QStringLiteral(" FROM DISK = ") + QuotedStr(aBackupFileName) + QStringLiteral(" WITH ") +
                            (set > 0 ? QStringLiteral("FILE = %1, ").arg(set) : QString()) +
                            QStringLiteral("REPLACE,") + QStringLiteral(" MOVE ") + QuotedStr(aFileList.LogicalDat) +
                            QStringLiteral(" TO ") + QuotedStr(aFileList.PhysicalDat) + QStringLiteral(",MOVE ") +
                            QuotedStr(aFileList.LogicalLog) + QStringLiteral(" TO ") +
                            QuotedStr(aFileList.PhysicalLog) + QStringLiteral(", STATS = 10");
        command.SetCommandText(sql);
        command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
        command.Execute();
        if (!WaitForCommand(command, stExecuting | stFetching, aRunning))
            command.RaiseOnFailure();
    } catch (EVandrel& e) {
        e.AddContext(cUnableToRestore);
        throw;
    }
    return true;
}

int RestoreTimeout(qint64 aDBSize)
{
    const qint64 seconds = std::min<qint64>(std::max<qint64>(aDBSize, 0) / 2097152, std::numeric_limits<int>::max());
    return std::max(static_cast<int>(seconds), MinimumRestoreTimeout.load());
}

void SetMinimumRestoreTimeout(int aSeconds)
{
    MinimumRestoreTimeout.store(std::max(1, aSeconds));
}

} // namespace USVSQLBackup
