// SPDX-License-Identifier: MIT
// A job checked without running it: the settings' values, the database and its permissions, the folders, the FTP
// server. Every check reads; the one thing written is the FTP test file, removed at once.
#include "VandrelCheck.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "TDBQuery.h"
#include "UConnectionStringManager.h"
#include "UFileNaming.h"
#include "UFtpTransfer.h"
#include "UHandles.h"
#include "USVSQLBackup.h"
#include "VandrelHousekeeping.h"
#include "VandrelRun.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QStorageInfo>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace VandrelCheck {

namespace {

/// A failure's text on one line.
QString OneLine(QString aText)
{
    return aText.replace(QStringLiteral("\r\n"), QStringLiteral(" ")).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

QString Size(qint64 aBytes)
{
    return QLocale::c().formattedDataSize(aBytes);
}

/// The folder part of a path as the database server writes it ("/" or "\" separated).
QString ServerFolder(const QString& aPath)
{
    const qsizetype cut = std::max(aPath.lastIndexOf(QLatin1Char('/')), aPath.lastIndexOf(QLatin1Char('\\')));
    QString folder = aPath.left(cut + 1);
    // The root keeps its separator ("/", "C:\"); other folders are named without it.
    if (folder.size() > 1 && !folder.endsWith(QLatin1String(":\\")))
        folder.chop(1);
    return folder;
}

class TChecker
{
public:
    TChecker(const TVandrelSettings& aSettings, const TCheckReport& aReport, const std::atomic<bool>& aRunning)
        : FSettings(aSettings)
        , FReport(aReport)
        , FRunning(aRunning)
    {
    }

    bool AllPassed() const { return FAllPassed; }
    bool Running() const { return FRunning.load(); }

    void Line(const QString& aSubject, TCheckResult aResult, const QString& aDetail = QString())
    {
        if (aResult == crFailed)
            FAllPassed = false;
        FReport({aSubject, aResult, OneLine(aDetail)});
    }

    /// Runs aBody: its text is the detail of an "ok"; a failure becomes the line's reason.
    void Guarded(const QString& aSubject, const std::function<QString()>& aBody)
    {
        QString detail;
        try {
            detail = aBody();
        } catch (...) {
            Line(aSubject, crFailed, CurrentFailureText());
            return;
        }
        Line(aSubject, crOk, detail);
    }

    void Values()
    {
        const TVandrelSettings& s = FSettings;
        if (s.Upload || s.Download)
            Guarded(QStringLiteral("Transfer limit"), [&s] {
                const qint64 limit = VandrelHousekeeping::TransferLimitBytes(s.TransferLimit);
                return limit == 0 ? QStringLiteral("none") : QStringLiteral("%1 KiB/s").arg(limit / 1024);
            });
        if (s.Upload)
            Guarded(QStringLiteral("Archives kept on the server"), [&s] {
                const int keep = VandrelHousekeeping::KeepCount(
                    s.KeepRemote, QStringLiteral("\"Keep the newest N archives on the server\""));
                return keep == 0 ? QStringLiteral("all") : QString::number(keep);
            });
        if (s.Backup || s.Compress || s.Download || s.Extract)
            Guarded(QStringLiteral("Files kept locally"), [&s] {
                const int keep =
                    VandrelHousekeeping::KeepCount(s.KeepLocal, QStringLiteral("\"Keep the newest N files locally\""));
                return keep == 0 ? QStringLiteral("all") : QString::number(keep);
            });
    }

    void Database(const QString& aConnectionString)
    {
        const TVandrelSettings& s = FSettings;
        const QString subject = QStringLiteral("Database connection");
        QString connectionString = aConnectionString;
        if (connectionString.isEmpty()) {
            try {
                connectionString = TConnectionStringManager().ConnectionString();
            } catch (...) {
                Line(subject, crFailed, CurrentFailureText());
                return;
            }
        }
        if (connectionString.isEmpty()) {
            Line(subject, crFailed, QStringLiteral("no connection is stored for this job (a run would ask for one)"));
            return;
        }
        TDBConnection connection;
        QString database;
        try {
            connection.SetConnectionString(connectionString);
            connection.Open();
            database = Value(connection, QStringLiteral("SELECT DB_NAME() AS name"), QStringLiteral("name"));
        } catch (...) {
            Line(subject, crFailed, CurrentFailureText());
            return;
        }
        Line(subject, crOk, QStringLiteral("database %1").arg(USVSQLBackup::BracketedName(database)));
        if (!Running())
            return;
        std::optional<bool> sysadmin;
        if (s.Backup)
            Permission(connection,
                       QStringLiteral("Permission to back up %1").arg(USVSQLBackup::BracketedName(database)),
                       QStringLiteral("SELECT HAS_PERMS_BY_NAME(N%1, N'DATABASE', N'BACKUP DATABASE') AS allowed")
                           .arg(USVSQLBackup::QuotedStr(database)),
                       QStringLiteral("the login may not back it up (it needs BACKUP DATABASE on it, as "
                                      "db_backupoperator, db_owner or sysadmin have)"));
        if (s.Restore)
            Permission(
                connection,
                QStringLiteral("Permission to restore %1").arg(USVSQLBackup::BracketedName(database)),
                QStringLiteral("SELECT IS_SRVROLEMEMBER(N'sysadmin') AS sysadmin, IS_SRVROLEMEMBER(N'dbcreator') "
                               "AS dbcreator, HAS_PERMS_BY_NAME(NULL, NULL, N'CREATE ANY DATABASE') AS allowed"),
                QStringLiteral("the login may not restore (it is neither sysadmin nor dbcreator and lacks "
                               "CREATE ANY DATABASE)"));
        try {
            sysadmin = Value(connection,
                             QStringLiteral("SELECT IS_SRVROLEMEMBER(N'sysadmin') AS sysadmin"),
                             QStringLiteral("sysadmin")) == QLatin1String("1");
        } catch (...) {
            sysadmin = false;
        }
        QStringList folders;
        if (s.Backup || s.Restore)
            folders.append(ServerFolder(s.BackupFilename));
        if (s.Restore && s.Move)
            folders << ServerFolder(s.RestorePhysicalData) << ServerFolder(s.RestorePhysicalLog);
        folders.removeDuplicates();
        for (const QString& folder : folders)
            if (Running())
                ServerFolderExists(connection, folder, *sysadmin);
    }

    void LocalFolders()
    {
        const TVandrelSettings& s = FSettings;
        // What each ticked step reads or writes on this machine.
        if (s.Compress)
            Folder(QStringLiteral("Backup folder"), s.BackupFilename, QString(), false);
        if (s.Compress || s.Download)
            Folder(QStringLiteral("Archive folder"), s.ArchiveFilename, s.ArchiveDateBasedName, true);
        if (s.Extract)
            Folder(QStringLiteral("Backup folder"), s.BackupFilename, s.BackupNameFormat, true);
    }

    void Ftp()
    {
        using namespace UFtpTransfer;
        const TVandrelSettings& s = FSettings;
        const QString subject = QStringLiteral("FTP login to %1 as %2").arg(s.FTPUrl, s.FTPUser);
        std::optional<TFtpTransfer> ftp;
        try {
            ftp.emplace(s.FTPUrl, s.FTPUser, s.FTPPassword, FtpOptionsOf(s));
            ftp->SetWorkHandler([this](qint64, qint64) { return Running(); });
            if (!ftp->Connect())
                return;
        } catch (...) {
            Line(subject, crFailed, CurrentFailureText());
            return;
        }
        TFinally disconnect([&ftp]() noexcept { ftp->Disconnect(); });
        Line(subject, crOk);
        // The login above checked the server's certificate or host key: an identity the trust files do not hold
        // fails it with the fingerprint and how to trust it, since nobody is asked here.
        if (s.FTPProtocol.compare(QLatin1String("FTP"), Qt::CaseInsensitive) != 0)
            Line(QStringLiteral("FTP server identity (%1)").arg(s.FTPProtocol), crOk);
        const QString folder = UFileNaming::ExtractFilePath(s.FTPFilename);
        const QString where = s.FTPUrl + (folder.isEmpty() ? QString() : QStringLiteral("/") + folder);
        bool listed = false;
        Guarded(QStringLiteral("FTP listing of %1").arg(where), [&] {
            const QList<TFtpListEntry> entries = ftp->List(folder);
            listed = true;
            if (!s.Download)
                return QStringLiteral("%1 entries").arg(entries.size());
            const QString name = UFileNaming::ExtractFileName(s.FTPFilename);
            return FindFileSize(entries, name) > 0 ? QStringLiteral("\"%1\" is there").arg(name)
                                                   : QStringLiteral("\"%1\" is not there yet").arg(name);
        });
        if (!s.Upload || !listed || !Running())
            return;
        // A name under the upload's temporary pattern that no upload uses: it never meets a real archive.
        const QString base = UFileNaming::ExtractFileName(s.FTPFilename);
        const QString probe =
            folder +
            TFtpTransfer::TemporaryName(
                (base.isEmpty() ? QStringLiteral("vandrel") : base) +
                QStringLiteral(".check-%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0')));
        Guarded(QStringLiteral("FTP write in %1").arg(where), [&] {
            ftp->ProbeWrite(probe);
            return QString();
        });
    }

private:
    /// The one value of aSql's first row, column aColumn.
    static QString Value(TDBConnection& aConnection, const QString& aSql, const QString& aColumn)
    {
        TDBQuery query(aConnection);
        query.SetCommandText(aSql);
        query.Open();
        if (query.Eof())
            throw EVandrel(QStringLiteral("The server answered \"%1\" with no row.").arg(aSql));
        return query.FieldIsNull(aColumn) ? QString() : query.FieldAsString(aColumn);
    }

    /// A permission query: ok when any of its columns is 1.
    void Permission(TDBConnection& aConnection, const QString& aSubject, const QString& aSql, const QString& aRefused)
    {
        try {
            TDBQuery query(aConnection);
            query.SetCommandText(aSql);
            query.Open();
            bool allowed = false;
            for (int i = 0; !query.Eof() && i < query.FieldCount(); ++i) {
                const QString column = query.FieldName(i);
                allowed = allowed || (!query.FieldIsNull(column) && query.FieldAsString(column) == QLatin1String("1"));
            }
            Line(aSubject, allowed ? crOk : crFailed, allowed ? QString() : aRefused);
        } catch (...) {
            Line(aSubject, crFailed, CurrentFailureText());
        }
    }

    /// Asks the server whether aFolder is a folder it can see (xp_fileexist).
    void ServerFolderExists(TDBConnection& aConnection, const QString& aFolder, bool aSysadmin)
    {
        const QString subject = QStringLiteral("Folder %1 on the database server").arg(aFolder);
        if (aFolder.isEmpty()) {
            Line(subject, crFailed, QStringLiteral("the backup file name has no folder"));
            return;
        }
        // xp_fileexist answers only a sysadmin truthfully; for others it says "no" to everything.
        if (!aSysadmin) {
            Line(subject, crSkipped, QStringLiteral("only a sysadmin login can ask the server about its folders"));
            return;
        }
        try {
            TDBQuery query(aConnection);
            query.SetCommandText(
                QStringLiteral("EXEC master.dbo.xp_fileexist N%1").arg(USVSQLBackup::QuotedStr(aFolder)));
            query.Open();
            if (query.Eof())
                throw EVandrel(QStringLiteral("xp_fileexist answered with no row."));
            if (query.FieldAsInteger(QStringLiteral("File is a Directory")) == 1)
                Line(subject, crOk);
            else if (query.FieldAsInteger(QStringLiteral("File Exists")) == 1)
                Line(subject, crFailed, QStringLiteral("it is a file, not a folder"));
            else
                Line(subject, crFailed, QStringLiteral("the server cannot see such a folder"));
        } catch (...) {
            Line(subject, crSkipped, CurrentFailureText());
        }
    }

    /// A local folder: it exists and may be read (and written, with room for the last file of aPattern there).
    void Folder(const QString& aRole, const QString& aFileName, const QString& aPattern, bool aWrite)
    {
        const QString folder = UFileNaming::ExtractFilePath(aFileName);
        const QString subject = QStringLiteral("%1 %2").arg(aRole, folder.isEmpty() ? aFileName : folder);
        if (!FSeen.contains(subject + (aWrite ? QStringLiteral("w") : QString())))
            FSeen.append(subject + (aWrite ? QStringLiteral("w") : QString()));
        else
            return;
        if (folder.isEmpty()) {
            Line(subject, crFailed, QStringLiteral("the file name \"%1\" has no folder").arg(aFileName));
            return;
        }
        if (!QFileInfo(folder).isDir()) {
            Line(subject, crFailed, QStringLiteral("there is no such folder"));
            return;
        }
        const QByteArray path = QFile::encodeName(folder);
        if (::access(path.constData(), (aWrite ? W_OK : R_OK) | X_OK) != 0) {
            Line(subject,
                 crFailed,
                 QStringLiteral("it cannot be %1: %2")
                     .arg(aWrite ? QStringLiteral("written") : QStringLiteral("read"),
                          QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        if (!aWrite) {
            Line(subject, crOk);
            return;
        }
        const qint64 free = QStorageInfo(folder).bytesAvailable();
        const qint64 last = LastSize(folder, aFileName, aPattern);
        if (last > 0 && free >= 0 && free < last) {
            Line(subject, crFailed, QStringLiteral("only %1 free, the last file took %2").arg(Size(free), Size(last)));
            return;
        }
        Line(subject,
             crOk,
             last > 0 ? QStringLiteral("%1 free, the last file took %2").arg(Size(free), Size(last))
                      : QStringLiteral("%1 free").arg(Size(free)));
    }

    /// The size of the newest file of aPattern in aFolder, else of aFileName; -1 when there is none.
    static qint64 LastSize(const QString& aFolder, const QString& aFileName, const QString& aPattern)
    {
        std::optional<UFileNaming::TNameStamp> newest;
        qint64 size = QFileInfo(aFileName).isFile() ? QFileInfo(aFileName).size() : -1;
        const QDir dir(aFolder);
        for (const QFileInfo& file : dir.entryInfoList(QDir::Files)) {
            const auto stamp = UFileNaming::ReadDateName(aPattern, file.fileName());
            if (stamp && (!newest || *stamp > *newest)) {
                newest = stamp;
                size = file.size();
            }
        }
        return size;
    }

    const TVandrelSettings& FSettings;
    const TCheckReport& FReport;
    const std::atomic<bool>& FRunning;
    QStringList FSeen;
    bool FAllPassed = true;
};

} // namespace

QString TCheckLine::Text() const
{
    switch (Result) {
    case crOk:
        return Subject + (Detail.isEmpty() ? QStringLiteral(": ok") : QStringLiteral(": ok (%1)").arg(Detail));
    case crFailed:
        return Subject + QStringLiteral(": ") + Detail;
    case crSkipped:
        return Subject + QStringLiteral(": not checked: ") + Detail;
    }
    return Subject;
}

bool CheckJob(const TVandrelSettings& aSettings,
              const QString& aConnectionString,
              const TCheckReport& aReport,
              const std::atomic<bool>& aRunning)
{
    TChecker checker(aSettings, aReport, aRunning);
    QStringList ticked;
    for (int i = 0; i < siStepCount; ++i)
        if (StepTicked(aSettings, static_cast<TStepIndex>(i)))
            ticked.append(StepName(static_cast<TStepIndex>(i)));
    if (ticked.isEmpty()) {
        checker.Line(QStringLiteral("Steps"), crSkipped, QStringLiteral("none is ticked"));
        return true;
    }
    checker.Line(QStringLiteral("Steps"), crOk, ticked.join(QStringLiteral(", ")));
    checker.Values();
    if (checker.Running() && (aSettings.Backup || aSettings.Restore))
        checker.Database(aConnectionString);
    if (checker.Running())
        checker.LocalFolders();
    if (checker.Running() && (aSettings.Upload || aSettings.Download))
        checker.Ftp();
    return checker.AllPassed() && checker.Running();
}

int RunCheck(const TCommandLine& aCommandLine)
{
    const QString fileName = aCommandLine.SettingsFile.isEmpty()
                                 ? DefaultSettingsFileName()
                                 : QFileInfo(aCommandLine.SettingsFile).absoluteFilePath();
    const auto print = [](const QString& aLine) {
        std::fputs((aLine + QLatin1Char('\n')).toUtf8().constData(), stdout);
        std::fflush(stdout);
    };
    const QString subject = QStringLiteral("Settings %1").arg(fileName);
    if (SettingsFileState(fileName) != sfExisting) {
        print(subject + QStringLiteral(": there is no such settings file (or it is empty or a folder)"));
        return esRunFailed;
    }
    TConnectionStringManager::SetConfigurationFile(fileName);
    TVandrelSettings settings;
    try {
        // A damaged file stays where it is: a check changes nothing.
        const TSettingsLoad load = LoadSettingsFile(fileName, cSettingsKey, settings, false);
        if (!load.Ok) {
            print(subject + QStringLiteral(": ") + OneLine(load.StatusLine));
            return esRunFailed;
        }
        PrepareLoadedSettings(settings, QDateTime(QDate::currentDate(), QTime(0, 0)));
    } catch (...) {
        print(subject + QStringLiteral(": ") + OneLine(CurrentFailureText()));
        return esRunFailed;
    }
    print(subject + QStringLiteral(": ok"));
    const std::atomic<bool> running{true};
    const bool passed = CheckJob(
        settings, QString(), [&print](const TCheckLine& aLine) { print(aLine.Text()); }, running);
    return passed ? esSuccess : esRunFailed;
}

} // namespace VandrelCheck
