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
QString LastVerifySQL;

namespace {

std::atomic<int> MinimumRestoreTimeout{30};

const QString cUnableToBackup = QStringLiteral("Unable to backup database.");
const QString cUnableToRestore = QStringLiteral("Unable to restore database.");

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

// A date and time column as the driver gives it as text ("2026-12-10 06:32:00.000").
QDateTime ParseDateTime(const QString& aText)
{
    QDateTime result = QDateTime::fromString(aText.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!result.isValid())
        result = QDateTime::fromString(aText, Qt::ISODate);
    return result;
}

// Runs a started command to its end, raising the server's failure; cancels it when aRunning turns false.
void Finish(TDBCommand& aCommand, int aBusyStates, const std::atomic<bool>& aRunning)
{
    if (!WaitForCommand(aCommand, aBusyStates, aRunning))
        aCommand.RaiseOnFailure();
}

} // namespace

QString DirectoryPart(const QString& aPath)
{
    const qsizetype last = std::max({aPath.lastIndexOf(QLatin1Char('\\')),
                                     aPath.lastIndexOf(QLatin1Char('/')),
                                     aPath.lastIndexOf(QLatin1Char(':'))});
    return last < 0 ? QString() : aPath.left(last + 1);
}

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

QString BackupStatement(const QString& aDatabaseName, const QString& aBackupFileName, const TBackupOptions& aOptions)
{
    QString sql = QStringLiteral("BACKUP DATABASE ") + BracketedName(aDatabaseName) + QStringLiteral(" TO DISK = ") +
                  QuotedStr(aBackupFileName) + QStringLiteral(" WITH DESCRIPTION = ") +
                  QuotedStr(QStringLiteral("Full Backup of ") + aDatabaseName) +
                  QStringLiteral(", MEDIADESCRIPTION = N'Disk'") + QStringLiteral(", NAME = ") +
                  QuotedStr(aDatabaseName + QStringLiteral(" Backup"));
    if (aOptions.CopyOnly)
        sql += QStringLiteral(", COPY_ONLY");
    if (aOptions.Checksum)
        sql += QStringLiteral(", CHECKSUM");
    if (aOptions.Compress)
        sql += QStringLiteral(", COMPRESSION");
    sql += aOptions.Append ? QStringLiteral(", NOINIT") : QStringLiteral(", INIT");
    sql += QStringLiteral(", STATS = 2");
    return sql;
}

bool BackupDatabase(TDBConnection& aConnection,
                    const QString& aDatabaseName,
                    const QString& aBackupFileName,
                    bool aAppend,
                    bool aCompress,
                    const std::atomic<bool>& aRunning)
{
    TBackupOptions options;
    options.Append = aAppend;
    options.Compress = aCompress;
    return BackupDatabase(aConnection, aDatabaseName, aBackupFileName, options, aRunning);
}

bool BackupDatabase(TDBConnection& aConnection,
                    const QString& aDatabaseName,
                    const QString& aBackupFileName,
                    const TBackupOptions& aOptions,
                    const std::atomic<bool>& aRunning)
{
    if (!aConnection.Connected())
        throw EVandrel(QStringLiteral("Connection not active. Unable to backup database."));
    const QString sql = BackupStatement(aDatabaseName, aBackupFileName, aOptions);
    LastBackupSQL = sql;

    TDBCommand command(aConnection);
    command.SetCommandText(sql);
    command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
    command.Execute();
    try {
        Finish(command, stOpen | stConnecting | stExecuting | stFetching, aRunning);
    } catch (EVandrel& e) {
        e.AddContext(cUnableToBackup);
        throw;
    }
    return true;
}

QString VerifyStatement(const QString& aBackupFileName, int aSet)
{
    return QStringLiteral("RESTORE VERIFYONLY FROM DISK = ") + QuotedStr(aBackupFileName) + QStringLiteral(" WITH ") +
           (aSet > 0 ? QStringLiteral("FILE = %1, ").arg(aSet) : QString()) + QStringLiteral("CHECKSUM, STATS = 10");
}

bool VerifyBackup(TDBConnection& aConnection, const QString& aBackupFileName, const std::atomic<bool>& aRunning)
{
    if (!aConnection.Connected())
        throw EVandrel(QStringLiteral("Connection not active. Unable to verify the backup."));
    try {
        const QString sql = VerifyStatement(aBackupFileName, NewestBackupSet(aConnection, aBackupFileName));
        LastVerifySQL = sql;
        TDBCommand command(aConnection);
        command.SetCommandText(sql);
        command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
        command.Execute();
        Finish(command, stOpen | stConnecting | stExecuting | stFetching, aRunning);
    } catch (EVandrel& e) {
        e.AddContext(QStringLiteral("The backup did not pass verification."));
        throw;
    }
    return true;
}

TBackupHeader GetBackupHeader(TDBConnection& aConnection, const QString& aBackupFileName)
{
    TBackupHeader result;
    TDBQuery query(aConnection);
    try {
        query.SetCommandText(QStringLiteral("RESTORE HEADERONLY FROM DISK = ") + QuotedStr(aBackupFileName));
        query.Open();
    } catch (EVandrel& e) {
        e.AddContext(QStringLiteral("Unable to retrieve backup info."));
        throw;
    }
    for (; !query.Eof(); query.Next()) {
        const int position = query.FieldAsInteger(QStringLiteral("Position"));
        if (position < result.Position)
            continue;
        result.Position = position;
        result.DatabaseName = query.FieldAsString(QStringLiteral("DatabaseName"));
        result.ServerName = query.FieldAsString(QStringLiteral("ServerName"));
        result.BackupFinishDate = ParseDateTime(query.FieldAsString(QStringLiteral("BackupFinishDate")));
        result.BackupSize = query.FieldAsInt64(QStringLiteral("BackupSize"));
    }
    query.Close();
    return result;
}

/// Opens the file list of the newest backup set in aBackupFileName on aQuery.
static void OpenFileList(TDBQuery& aQuery, TDBConnection& aConnection, const QString& aBackupFileName)
{
    try {
        const int set = NewestBackupSet(aConnection, aBackupFileName);
        QString sql = QStringLiteral("RESTORE FILELISTONLY FROM DISK = ") + QuotedStr(aBackupFileName);
        if (set > 0)
            sql += QStringLiteral(" WITH FILE = %1").arg(set);
        aQuery.SetCommandText(sql);
        aQuery.Open();
    } catch (EVandrel& e) {
        e.AddContext(QStringLiteral("Unable to retrieve backup info."));
        throw;
    }
}

QList<TBackupFile> GetBackupFiles(TDBConnection& aConnection, const QString& aBackupFileName)
{
    QList<TBackupFile> result;
    TDBQuery query(aConnection);
    OpenFileList(query, aConnection, aBackupFileName);
    for (; !query.Eof(); query.Next()) {
        TBackupFile file;
        file.LogicalName = query.FieldAsString(QStringLiteral("LogicalName"));
        file.PhysicalName = query.FieldAsString(QStringLiteral("PhysicalName"));
        file.Type = query.FieldAsString(QStringLiteral("Type")).trimmed();
        file.FileId = query.FieldAsInt64(QStringLiteral("FileId"));
        file.Size = query.FieldAsInt64(QStringLiteral("Size"));
        result << file;
    }
    query.Close();
    std::stable_sort(result.begin(), result.end(), [](const TBackupFile& aLeft, const TBackupFile& aRight) {
        return aLeft.FileId < aRight.FileId;
    });
    return result;
}

QList<TFileMove> PlanFileMoves(const QList<TBackupFile>& aFiles,
                               const QString& aTargetName,
                               bool aMove,
                               const QString& aDataPath,
                               const QString& aLogPath)
{
    QStringList refused;
    for (const TBackupFile& file : aFiles) {
        if (file.Type == QLatin1String("S"))
            refused << QStringLiteral("'%1' (FILESTREAM or memory-optimized data)").arg(file.LogicalName);
        else if (file.Type == QLatin1String("F"))
            refused << QStringLiteral("'%1' (full-text catalog)").arg(file.LogicalName);
    }
    if (!refused.isEmpty())
        throw EVandrel(QStringLiteral("The backup holds files this program does not place: %1. Restore it by hand.")
                           .arg(refused.join(QStringLiteral(", "))));
    QList<TBackupFile> files = aFiles;
    std::stable_sort(files.begin(), files.end(), [](const TBackupFile& aLeft, const TBackupFile& aRight) {
        return aLeft.FileId < aRight.FileId;
    });
    QList<TFileMove> moves;
    int data = 0;
    int logs = 0;
    for (const TBackupFile& file : files) {
        const bool isData = file.Type == QLatin1String("D");
        if (!isData && file.Type != QLatin1String("L"))
            continue;
        const int k = isData ? ++data : ++logs;
        if (file.LogicalName.isEmpty() || file.PhysicalName.isEmpty())
            throw EVandrel(QStringLiteral("Filenames not found in backup file."));
        const QString typed = isData ? aDataPath : aLogPath;
        QString target;
        if (aMove && k == 1)
            target = typed;
        else {
            const QString folder = aMove ? DirectoryPart(typed) : DirectoryPart(file.PhysicalName);
            if (k == 1)
                target = folder + aTargetName + (isData ? QStringLiteral("_data.mdf") : QStringLiteral("_log.ldf"));
            else
                target = folder + aTargetName +
                         (isData ? QStringLiteral("_%1.ndf").arg(k) : QStringLiteral("_log%1.ldf").arg(k));
        }
        moves << TFileMove{file.LogicalName, target, file.Type};
    }
    if (data == 0 || logs == 0)
        throw EVandrel(QStringLiteral("Filenames not found in backup file."));
    return moves;
}

TDBFileList GetBackupFileList(TDBConnection& aConnection, const QString& aBackupFileName)
{
    TDBFileList result;
    TDBQuery query(aConnection);
    OpenFileList(query, aConnection, aBackupFileName);
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
    const QList<TFileMove> moves{{aFileList.LogicalDat, aFileList.PhysicalDat, QStringLiteral("D")},
                                 {aFileList.LogicalLog, aFileList.PhysicalLog, QStringLiteral("L")}};
    return RestoreDatabase(aConnection, aDatabaseName, aBackupFileName, aRunning, moves, aFileList.DBSize);
}

QString
RestoreStatement(const QString& aDatabaseName, const QString& aBackupFileName, int aSet, const QList<TFileMove>& aMoves)
{
    QString sql = QStringLiteral("RESTORE DATABASE ") + BracketedName(aDatabaseName) + QStringLiteral(" FROM DISK = ") +
                  QuotedStr(aBackupFileName) + QStringLiteral(" WITH ") +
                  (aSet > 0 ? QStringLiteral("FILE = %1, ").arg(aSet) : QString()) + QStringLiteral("REPLACE,");
    bool first = true;
    for (const TFileMove& move : aMoves) {
        sql += (first ? QStringLiteral(" MOVE ") : QStringLiteral(",MOVE ")) + QuotedStr(move.LogicalName) +
               QStringLiteral(" TO ") + QuotedStr(move.PhysicalName);
        first = false;
    }
    return sql + QStringLiteral(", STATS = 10");
}

bool RestoreDatabase(TDBConnection& aConnection,
                     const QString& aDatabaseName,
                     const QString& aBackupFileName,
                     const std::atomic<bool>& aRunning,
                     const QList<TFileMove>& aMoves,
                     qint64 aDBSize)
{
    if (!aConnection.Connected())
        throw EVandrel(QStringLiteral("Connection not active. Unable to read backup file list."));
    aConnection.Execute(QStringLiteral("USE master"));

    TDBCommand command(aConnection);
    command.SetCommandTimeout(RestoreTimeout(aDBSize));
    try {
        const int set = NewestBackupSet(aConnection, aBackupFileName);
        command.SetCommandText(RestoreStatement(aDatabaseName, aBackupFileName, set, aMoves));
        command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
        command.Execute();
        Finish(command, stExecuting | stFetching, aRunning);
    } catch (EVandrel& e) {
        e.AddContext(cUnableToRestore);
        throw;
    }
    return true;
}

bool DatabaseExists(TDBConnection& aConnection, const QString& aDatabaseName)
{
    TDBQuery query(aConnection);
    query.SetCommandText(QStringLiteral("SELECT name FROM master.sys.databases"));
    query.Open();
    bool found = false;
    for (; !query.Eof() && !found; query.Next())
        found = query.FieldAsString(QStringLiteral("name")).compare(aDatabaseName, Qt::CaseInsensitive) == 0;
    query.Close();
    return found;
}

void SetSingleUser(TDBConnection& aConnection, const QString& aDatabaseName)
{
    // From master: a connection that sat in the database would hold its one place.
    aConnection.Execute(QStringLiteral("USE master"));
    aConnection.Execute(QStringLiteral("ALTER DATABASE ") + BracketedName(aDatabaseName) +
                        QStringLiteral(" SET SINGLE_USER WITH ROLLBACK IMMEDIATE"));
}

void SetMultiUser(TDBConnection& aConnection, const QString& aDatabaseName)
{
    aConnection.Execute(QStringLiteral("ALTER DATABASE ") + BracketedName(aDatabaseName) +
                        QStringLiteral(" SET MULTI_USER"));
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
