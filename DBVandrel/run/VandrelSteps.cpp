// SPDX-License-Identifier: MIT
// The six steps: backup, zip, upload, download, extract and restore. Each runs on its worker, reads the settings
// as they stood when it started and reports through its context.
#include "EVandrel.h"
#include "TDBConnection.h"
#include "UDatConModule.h"
#include "UFileNaming.h"
#include "UFtpTransfer.h"
#include "UHandles.h"
#include "UPersistRecords.h"
#include "USVSQLBackup.h"
#include "UWorker.h"
#include "UZipArchive.h"
#include "VandrelChecksum.h"
#include "VandrelDatabase.h"
#include "VandrelHousekeeping.h"
#include "VandrelRun.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

using namespace VandrelDatabase;

namespace {

constexpr int cDatabaseArrowLeft = 24;
constexpr int cArchiveArrowLeft = 48;
constexpr int cFtpArrowLeft = 72;

/// "123456 bytes, 12.3 MB/s" for aBytes moved in aMs milliseconds.
QString Throughput(qint64 aBytes, qint64 aMs)
{
    const double seconds = std::max<qint64>(aMs, 1) / 1000.0;
    return QStringLiteral("%1 bytes, %2 MB/s").arg(aBytes).arg(static_cast<double>(aBytes) / 1e6 / seconds, 0, 'f', 1);
}

/// Adds aContext's step prefix to a worker failure: "Backup Error:" + the message, with aTrailer after CR LF.
EVandrel Prefixed(const QString& aPrefix, const QString& aTrailer = QString())
{
    EVandrel failure(aPrefix + CurrentFailureText());
    if (!aTrailer.isEmpty())
        failure.AddContext(aTrailer);
    return failure;
}

/// A backup given up because its server stopped answering.
class EStalled : public EVandrel
{
public:
    using EVandrel::EVandrel;
};

/// Milliseconds of a steady clock.
qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// How long a server that was told to cancel a stalled backup may take to answer before its connection is
/// abandoned: as long as the stall time-out itself, within these bounds.
constexpr qint64 cMinCancelAnswerMs = 5000;
constexpr qint64 cMaxCancelAnswerMs = 30000;

/// A statement of the backup step, run on the connection with the running flag.
using TBackupStatement = std::function<void(TDBConnection& aConnection, const std::atomic<bool>& aRunning)>;

/// Runs a statement of the backup step (aWhat: "backup", "verification") on a thread of its own, showing the server's
/// messages, and watches it: Cancel stops it, and when the server sends nothing for the context's stall time-out
/// the statement is cancelled and EStalled thrown; a server that does not even answer the cancel is left to that
/// thread, which keeps the connection (and its lease).
void RunBackup(TStepContext& aContext,
               const std::shared_ptr<TDBConnection>& aConnection,
               const std::shared_ptr<TConnectionLease>& aLease,
               const QString& aWhat,
               const TBackupStatement& aStatement)
{
    auto running = std::make_shared<std::atomic<bool>>(true);
    auto lastMessage = std::make_shared<std::atomic<qint64>>(NowMs());
    // The server's messages go to the report while the backup runs, and its progress messages drive the bar.
    const TDBSubscription messages =
        aConnection->SubscribeInfoMessage([&aContext, lastMessage](const TDBError& aError, TDBConnection&) {
            lastMessage->store(NowMs());
            aContext.ServerMessage(aError.Description);
            if (const int percent = ProgressPercent(aError); percent >= 0)
                aContext.Progress(percent);
        });
    // Set when the statement is given up: the program then does not wait for it at its end.
    auto givenUp = std::make_shared<std::shared_ptr<TAbandonable>>();
    auto* statement =
        new TProcThread([aConnection, aLease, running, aStatement, givenUp] { aStatement(*aConnection, *running); });
    statement->start();
    const qint64 stallMs = static_cast<qint64>(aContext.StallTimeout()) * 1000;
    const qint64 answerMs = std::clamp(stallMs, cMinCancelAnswerMs, cMaxCancelAnswerMs);
    qint64 stalledAt = 0;
    while (!statement->wait(QDeadlineTimer(100))) {
        if (aContext.Cancelled())
            running->store(false);
        const qint64 now = NowMs();
        if (stalledAt == 0 && stallMs > 0 && now - lastMessage->load() > stallMs) {
            stalledAt = now;
            running->store(false);
        }
        if (stalledAt != 0 && now - stalledAt > answerMs) {
            *givenUp = std::make_shared<TAbandonable>();
            statement->Abandon();
            throw EStalled(QStringLiteral("The server sent nothing for %1 seconds and did not answer the cancel: the "
                                          "%2 was given up and its connection abandoned.")
                               .arg(aContext.StallTimeout())
                               .arg(aWhat));
        }
    }
    const std::exception_ptr failure = statement->Failure;
    delete statement;
    if (stalledAt != 0)
        throw EStalled(QStringLiteral("The server sent nothing for %1 seconds: the %2 was given up.")
                           .arg(aContext.StallTimeout())
                           .arg(aWhat));
    if (failure)
        std::rethrow_exception(failure);
}

class TBackupStep : public IVandrelStep
{
public:
    void Run(TStepContext& aContext) override
    {
        const TVandrelSettings& settings = aContext.Settings();
        aContext.Arrow(adUp, cDatabaseArrowLeft);
        TADOConDataModule& module = DatConModule();
        TModuleLock moduleLock(aContext);
        if (!ConnectDatabase(module, aContext, false))
            return;
        const TConnectionDisplay display = DescribeConnection(module);
        aContext.Connection(display.Server, display.Database);

        // The connection is the step's until it ends, even should the module replace it meanwhile.
        const std::shared_ptr<TDBConnection> connection = module.SharedConnection();
        // Shared with the statement's thread, which keeps it should it have to be abandoned.
        const auto lease = std::make_shared<TConnectionLease>(connection);
        const QString sizedDatabase = module.Database();
        UseDatabase(*connection, sizedDatabase);
        // The size only feeds an estimate: a login without the right to read it still backs up.
        try {
            ReportDatabaseSize(*connection, sizedDatabase);
        } catch (...) {
            aContext.Status(QStringLiteral("The size of the database could not be read (%1); the backup goes on.")
                                .arg(CurrentFailureText()));
        }
        aContext.Progress(0);

        connection->SetCursorLocation(clUseServer);
        const QString database = module.Database();
        moduleLock.Unlock();
        TBackupOptions options;
        options.Append = settings.Append;
        options.Compress = settings.CompressBackup;
        options.CopyOnly = settings.CopyOnly;
        options.Checksum = settings.VerifyBackup;
        const QString fileName = settings.BackupFilename;
        const bool done =
            RunWatched(aContext,
                       connection,
                       lease,
                       QStringLiteral("backup"),
                       USVSQLBackup::LastBackupSQL,
                       [database, fileName, options](TDBConnection& aConnection, const std::atomic<bool>& aRunning) {
                           USVSQLBackup::BackupDatabase(aConnection, database, fileName, options, aRunning);
                       });
        if (!done)
            return;
        aContext.Progress(100);
        // A damaged backup must not travel: the server reads it back and checks its checksums before the zip.
        if (settings.VerifyBackup) {
            USVSQLBackup::LastVerifySQL.clear();
            aContext.Progress(0);
            const bool verified = RunWatched(aContext,
                                             connection,
                                             lease,
                                             QStringLiteral("verification"),
                                             USVSQLBackup::LastVerifySQL,
                                             [fileName](TDBConnection& aConnection, const std::atomic<bool>& aRunning) {
                                                 USVSQLBackup::VerifyBackup(aConnection, fileName, aRunning);
                                             });
            if (!verified)
                return;
            aContext.Progress(100);
        }
        const QFileInfo file(settings.BackupFilename);
        aContext.Summary(QStringLiteral("database %1 to %2%3%4")
                             .arg(USVSQLBackup::BracketedName(database),
                                  settings.BackupFilename,
                                  file.exists() ? QStringLiteral(" (%1 bytes)").arg(file.size()) : QString(),
                                  settings.VerifyBackup ? QStringLiteral(", verified") : QString()));
    }

private:
    /// Runs one statement of the step under the stall guard; its text (aStatementText, read after it ran) follows
    /// the server's messages, also after a failure. False when it was cancelled (the step then ends); a failure
    /// throws the step's error line.
    static bool RunWatched(TStepContext& aContext,
                           const std::shared_ptr<TDBConnection>& aConnection,
                           const std::shared_ptr<TConnectionLease>& aLease,
                           const QString& aWhat,
                           const QString& aStatementText,
                           const TBackupStatement& aStatement)
    {
        try {
            RunBackup(aContext, aConnection, aLease, aWhat, aStatement);
        } catch (const EStalled&) {
            throw Prefixed(QStringLiteral("Backup Error:"), aStatementText);
        } catch (...) {
            if (!aContext.Cancelled())
                throw Prefixed(QStringLiteral("Backup Error:"), aStatementText);
            aContext.Status(aStatementText);
            return false;
        }
        // A cancelled statement returns normally, but its work is not done: the bar must not show it done.
        aContext.Status(aStatementText);
        return !aContext.Cancelled();
    }
};

/// The restore's progress: the size of aFileName against aExpectedSize bytes.
int RestoreProgress(qint64 aExpectedSize, const QString& aFileName)
{
    if (aExpectedSize <= 0 || aFileName.isEmpty())
        return 0;
    // A fresh QFileInfo: the size is read from the file system each time, without opening the file.
    const QFileInfo file(aFileName);
    if (!file.exists())
        return 0;
    const double percent = static_cast<double>(file.size()) / static_cast<double>(aExpectedSize) * 100.0;
    return static_cast<int>(std::trunc(std::min(percent, 100.0)));
}

/// The record of the last backup set a job restored, beside its settings file ("nightly.cfg" ->
/// "nightly.restored"). A restore of an older set than the one recorded is refused.
class TRestoreRecord
{
public:
    explicit TRestoreRecord(const QString& aSettingsFile)
    {
        const QFileInfo settings(aSettingsFile);
        if (aSettingsFile.isEmpty() || !settings.isFile())
            return;
        FFileName =
            settings.absolutePath() + QLatin1Char('/') + settings.completeBaseName() + QStringLiteral(".restored");
    }

    /// The finish time of the set restored last time; invalid when none is known.
    QDateTime LastFinished() const
    {
        QFile file(FFileName);
        if (FFileName.isEmpty() || !file.open(QIODevice::ReadOnly))
            return QDateTime();
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith(cFinished))
                return QDateTime::fromString(QString::fromUtf8(line.mid(cFinished.size())).trimmed(), Qt::ISODate);
        }
        return QDateTime();
    }

    /// Records aHeader as the set restored into aTarget now; says so in a status line when the record had to be
    /// rewritten in place. Throws EVandrel when the record cannot be written.
    void Write(const TBackupHeader& aHeader, const QString& aTarget, const TStepContext& aContext) const
    {
        if (FFileName.isEmpty())
            return;
        const QByteArray text = cFinished + aHeader.BackupFinishDate.toString(Qt::ISODate).toUtf8() + "\n" +
                                "database=" + aHeader.DatabaseName.toUtf8() + "\n" +
                                "server=" + aHeader.ServerName.toUtf8() + "\n" + "target=" + aTarget.toUtf8() + "\n" +
                                "restored=" + QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + "\n";
        if (UPersistRecords::WriteFileAtomically(FFileName, text) == UPersistRecords::skRewrittenInPlace)
            aContext.Status(UPersistRecords::RewrittenInPlaceLine(FFileName));
    }

private:
    static inline const QByteArray cFinished = QByteArrayLiteral("finished=");
    QString FFileName;
};

/// A date and time for the status report.
QString ShownTime(const QDateTime& aTime)
{
    return aTime.isValid() ? aTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("(unknown)");
}

/// "data" or "log" for a file type of the file list.
QString FileKind(const QString& aType)
{
    return aType == QLatin1String("L") ? QStringLiteral("log") : QStringLiteral("data");
}

class TRestoreStep : public IVandrelStep
{
public:
    void Run(TStepContext& aContext) override
    {
        const TVandrelSettings& settings = aContext.Settings();
        aContext.Arrow(adDown, cDatabaseArrowLeft);
        TADOConDataModule& module = DatConModule();
        TModuleLock moduleLock(aContext);
        if (!ConnectDatabase(module, aContext, true))
            return;
        const std::shared_ptr<TDBConnection> connection = module.SharedConnection();
        const TConnectionLease lease(connection);
        const QString backupFile = settings.BackupFilename;
        // The database the connection works in, and the one the restore creates or replaces.
        const QString connected = module.Database();
        const QString target = settings.RestoreAs.trimmed().isEmpty() ? connected : settings.RestoreAs.trimmed();

        // What the set is, before anything is touched: a failure to read it ends the run with its own message.
        const TBackupHeader header = USVSQLBackup::GetBackupHeader(*connection, backupFile);
        aContext.Status(QStringLiteral("Backup set: database %1 from server %2, finished %3, %4 bytes.")
                            .arg(USVSQLBackup::BracketedName(header.DatabaseName),
                                 header.ServerName,
                                 ShownTime(header.BackupFinishDate))
                            .arg(header.BackupSize));
        const QString expected = settings.ExpectSourceDatabase.trimmed();
        if (!expected.isEmpty() && expected.compare(header.DatabaseName, Qt::CaseInsensitive) != 0)
            throw EVandrel(
                QStringLiteral("Restore Error:The backup is of database %1, not of the expected source "
                               "database %2: nothing was restored.")
                    .arg(USVSQLBackup::BracketedName(header.DatabaseName), USVSQLBackup::BracketedName(expected)));
        const TRestoreRecord record(aContext.SettingsFile());
        const QDateTime last = record.LastFinished();
        if (last.isValid() && header.BackupFinishDate.isValid() && header.BackupFinishDate < last)
            throw EVandrel(QStringLiteral("Restore Error:The backup set finished at %1 is older than the set this job "
                                          "restored last time, finished at %2: nothing was restored. An older set "
                                          "is restored by hand.")
                               .arg(ShownTime(header.BackupFinishDate), ShownTime(last)));

        // Where each file goes, said before the restore starts.
        const QList<TBackupFile> files = USVSQLBackup::GetBackupFiles(*connection, backupFile);
        const QList<TFileMove> moves = USVSQLBackup::PlanFileMoves(
            files, target, settings.Move, settings.RestorePhysicalData, settings.RestorePhysicalLog);
        for (const TFileMove& move : moves)
            aContext.Status(QStringLiteral("Restore of %1: %2 file %3 to %4")
                                .arg(USVSQLBackup::BracketedName(target),
                                     FileKind(move.Type),
                                     USVSQLBackup::QuotedStr(move.LogicalName),
                                     USVSQLBackup::QuotedStr(move.PhysicalName)));
        // The watch list: the first data file, where it grows (the typed path with Move, else as recorded).
        TDBFileList watch;
        qint64 dataBytes = 0;
        for (const TBackupFile& file : files) {
            if (file.Type != QLatin1String("D"))
                continue;
            dataBytes += file.Size;
            if (watch.PhysicalDat.isEmpty()) {
                watch.PhysicalDat = settings.Move ? settings.RestorePhysicalData : file.PhysicalName;
                watch.DBSize = file.Size;
            }
        }
        const bool singleUser = settings.SingleUser && USVSQLBackup::DatabaseExists(*connection, target);
        moduleLock.Unlock();
        aContext.Progress(0);
        std::exception_ptr failure;
        {
            // The server's progress and completion messages go to the report while the restore runs; the bar
            // follows the data file.
            const TDBSubscription messages = connection->SubscribeInfoMessage(
                [&aContext](const TDBError& aError, TDBConnection&) { aContext.ServerMessage(aError.Description); });
            if (singleUser) {
                try {
                    USVSQLBackup::SetSingleUser(*connection, target);
                    aContext.Status(QStringLiteral("Database %1 set to single user: its other connections were "
                                                   "closed.")
                                        .arg(USVSQLBackup::BracketedName(target)));
                } catch (...) {
                    throw Prefixed(QStringLiteral("Restore Error:"));
                }
            }
            // The growing data file drives the bar while the server restores.
            std::jthread watcher([&aContext, watch](std::stop_token aStop) {
                while (!aStop.stop_requested()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(USVSQLBackup::cPollIntervalMs));
                    aContext.Progress(RestoreProgress(watch.DBSize, watch.PhysicalDat));
                }
            });
            try {
                USVSQLBackup::RestoreDatabase(*connection, target, backupFile, aContext.Running(), moves, dataBytes);
            } catch (...) {
                failure = std::current_exception();
            }
            watcher.request_stop();
            watcher.join();
            // Back to multi user whatever happened; a failure here is only reported.
            if (singleUser) {
                try {
                    USVSQLBackup::SetMultiUser(*connection, target);
                    aContext.Status(
                        QStringLiteral("Database %1 set back to multi user.").arg(USVSQLBackup::BracketedName(target)));
                } catch (...) {
                    aContext.Status(QStringLiteral("Warning: database %1 could not be set back to multi user: %2")
                                        .arg(USVSQLBackup::BracketedName(target), CurrentFailureText()));
                }
            }
        }
        // The restore ran from master and left the connection there. Back in the job's database, the connection
        // again reports the database this job works on, so a later backup or restore does not pick master.
        try {
            UseDatabase(*connection, connected);
        } catch (const EDatabaseError&) {
            // The database is not there (the restore failed or was cancelled): the connection stays in master.
        }
        if (failure && !aContext.Cancelled()) {
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                throw Prefixed(QStringLiteral("Restore Error:"));
            }
        }
        // A cancelled restore returns normally too; the database was not restored.
        if (failure || aContext.Cancelled())
            return;
        aContext.Progress(100);
        record.Write(header, target, aContext);
        aContext.Summary(QStringLiteral("%1 over database %2%3")
                             .arg(settings.BackupFilename,
                                  USVSQLBackup::BracketedName(target),
                                  settings.Move ? QStringLiteral(", files moved to %1 and %2")
                                                      .arg(settings.RestorePhysicalData, settings.RestorePhysicalLog)
                                                : QString()));
    }
};

/// The extension of a path's file-name part, from its last dot, dot included; empty when it has none.
QString ExtensionPart(const QString& aPath)
{
    const QString name = UFileNaming::ExtractFileName(aPath);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

class TArchiveStep : public IVandrelStep
{
public:
    explicit TArchiveStep(bool aExtract)
        : FExtract(aExtract)
    {
    }

    void Run(TStepContext& aContext) override
    {
        const TVandrelSettings& settings = aContext.Settings();
        const QString archiveName = settings.ArchiveFilename;
        const QString archiveDir = UFileNaming::ExtractFilePath(archiveName);
        if (!QFileInfo(archiveDir).isDir())
            aContext.Status(QStringLiteral("Warning: File path for archive does not exists. - ") +
                            USVSQLBackup::QuotedStr(archiveDir));
        // Going on would upload or extract a stale archive of an earlier run as if it were this run's.
        if (ExtensionPart(archiveName) != QLatin1String(".zip"))
            throw EVandrel(QStringLiteral("Warning: File for archive is not a zip. - ") +
                           USVSQLBackup::QuotedStr(archiveDir));
        const UZipArchive::TProgress progress = [&aContext](int aPercent) { aContext.Progress(aPercent); };
        if (FExtract)
            Extract(aContext, archiveName, progress);
        else
            Zip(aContext, archiveName, progress);
    }

private:
    static void Extract(TStepContext& aContext, const QString& aArchiveName, const UZipArchive::TProgress& aProgress)
    {
        const QString backupName = aContext.Settings().BackupFilename;
        aContext.Arrow(adDown, cArchiveArrowLeft);
        const QString folder = UFileNaming::ExtractFilePath(backupName);
        aContext.Progress(0);
        QElapsedTimer clock;
        clock.start();
        // A failure ends the run with its own message.
        const QStringList written = UZipArchive::ExtractAll(aArchiveName,
                                                            folder.isEmpty() ? QStringLiteral(".") : folder,
                                                            aContext.Running(),
                                                            aProgress,
                                                            aContext.Settings().ArchivePassword);
        if (aContext.Cancelled())
            return;
        aContext.Progress(100);
        // The restore reads the file the backup field names; when the archive did not bring that file, it would
        // restore whatever older file of that name lies there.
        const QString backupFile = QFileInfo(backupName).fileName();
        if (aContext.Settings().Restore && !written.contains(backupFile))
            throw EVandrel(QStringLiteral("The archive holds no file named '%1': the restore would read an older file.")
                               .arg(backupFile));
        const QString target = folder.isEmpty() ? QStringLiteral("./") : folder;
        qint64 bytes = 0;
        for (const QString& name : written)
            bytes += QFileInfo(target + name).size();
        aContext.Summary(
            QStringLiteral("%1 into %2: %3 (%4)")
                .arg(aArchiveName, target, written.join(QStringLiteral(", ")), Throughput(bytes, clock.elapsed())));
    }

    /// The password that encrypts the archive: none unless "Encrypt archive" is ticked and the password is set.
    static QString ArchivePassword(TStepContext& aContext)
    {
        const TVandrelSettings& settings = aContext.Settings();
        if (!settings.EncryptArchive)
            return QString();
        if (settings.ArchivePassword.isEmpty())
            aContext.Status(QStringLiteral("Warning: the archive is not encrypted: the archive password is empty."));
        return settings.ArchivePassword;
    }

    static void Zip(TStepContext& aContext, const QString& aArchiveName, const UZipArchive::TProgress& aProgress)
    {
        const QString backupName = aContext.Settings().BackupFilename;
        aContext.Arrow(adUp, cArchiveArrowLeft);
        // Without the backup file there is nothing to zip; an earlier archive of that name stays as it was.
        if (UZipArchive::FileSize(backupName) < 0)
            throw EVandrel(QStringLiteral("Backup Error:The backup file %1 does not exist: there is nothing to zip.")
                               .arg(USVSQLBackup::QuotedStr(backupName)));
        aContext.Progress(0);
        const QString leftover = UZipArchive::RemoveLeftovers(aArchiveName);
        if (!leftover.isEmpty())
            aContext.Status(QStringLiteral("Removed %1: a zip that did not finish left it there.").arg(leftover));
        const QString password = ArchivePassword(aContext);
        QElapsedTimer clock;
        clock.start();
        try {
            UZipArchive::AddFile(aArchiveName, backupName, aContext.Running(), aProgress, password);
        } catch (...) {
            throw Prefixed(QStringLiteral("Backup Error:"));
        }
        if (aContext.Cancelled())
            return;
        aContext.Progress(100);
        aContext.Summary(QStringLiteral("%1 (%2) into %3 (%4 bytes)")
                             .arg(backupName, Throughput(QFileInfo(backupName).size(), clock.elapsed()), aArchiveName)
                             .arg(QFileInfo(aArchiveName).size()));
    }

    bool FExtract;
};

class TFtpStep : public IVandrelStep
{
public:
    explicit TFtpStep(bool aDownload)
        : FDownload(aDownload)
    {
    }

    void Run(TStepContext& aContext) override
    {
        using namespace UFtpTransfer;
        const TVandrelSettings& settings = aContext.Settings();
        // A limit that cannot be read stops the step before it connects.
        const qint64 limit = VandrelHousekeeping::TransferLimitBytes(settings.TransferLimit);
        // A name with "/" is a path below the address's directory: its folder joins the address, so the listing,
        // the temporary names and the checksum file all work in that folder. A name that could leave the directory
        // is refused before anything is sent.
        const TRemoteName name = SplitRemoteName(settings.FTPFilename);
        TFtpTransfer ftp(AddressWithFolder(settings.FTPUrl, name.Folder),
                         settings.FTPUser,
                         settings.FTPPassword,
                         FtpOptionsOf(settings));
        // A server the trust files do not know yet: a person may trust it; a run without one fails and says how.
        if (aContext.Interactive())
            ftp.SetTrustHandler([&aContext](const QString& aQuestion) { return aContext.Confirm(aQuestion); });
        ftp.SetTransferLimit(limit);
        ftp.SetStatusHandler([&aContext](TFtpStatus aStatus, const QString&) {
            if (aStatus != fsTransferReady && aStatus != fsTransferAborted)
                aContext.FtpStatus(aStatus);
        });
        bool cancelReported = false;
        ftp.SetWorkHandler([&aContext, &cancelReported](qint64 aWorkCount, qint64 aWorkTotal) {
            const qint64 percent = aWorkTotal != 0 ? std::clamp<qint64>(aWorkCount * 100 / aWorkTotal, 0, 100) : 0;
            aContext.Progress(static_cast<int>(percent));
            if (!aContext.Cancelled())
                return true;
            if (!cancelReported)
                aContext.Status(QStringLiteral("FTP Canceled."));
            cancelReported = true;
            return false;
        });
        // One status line for each of the upload's own files left by an earlier run that it removed or put back, or
        // could not.
        ftp.SetLeftoverHandler([&aContext](const TLeftover& aLeftover) { aContext.Status(LeftoverLine(aLeftover)); });
        // A server that refuses the upload's temporary name gets the file under its own name: the line says so.
        ftp.SetNoticeHandler([&aContext](const QString& aLine) { aContext.Status(aLine); });
        TFinally disconnect([&ftp]() noexcept { ftp.Disconnect(); });
        const QString fileName = name.Leaf;
        const QString archive = settings.ArchiveFilename;
        // The server in the log: the address without its user or password, which it never holds.
        const QString remote = ftp.DisplayUrl(fileName);
        QElapsedTimer clock;
        clock.start();
        // The archive's SHA-256, computed from its bytes as they are sent or arrive.
        VandrelChecksum::TSha256 sha256;
        ftp.SetDataObserver([&sha256](const char* aData, qint64 aSize) { sha256.Add(aData, aSize); });
        if (FDownload) {
            aContext.Arrow(adDown, cFtpArrowLeft);
            QString verified;
            ftp.SetRetrieveCheck([&] { verified = CheckDownload(aContext, ftp, fileName, sha256.Digest()); });
            // A missing file ends the run: extract and restore would otherwise work on an old local archive.
            const TFtpResult result = ftp.Download(fileName, archive);
            if (result == frNotFound)
                throw EVandrel(NotFoundLine(ftp.ServerDirectory(), fileName));
            if (result == frDone)
                aContext.Summary(
                    QStringLiteral("%1 to %2 (%3)%4")
                        .arg(remote, archive, Throughput(QFileInfo(archive).size(), clock.elapsed()), verified));
        } else {
            aContext.Arrow(adUp, cFtpArrowLeft);
            if (ftp.Upload(archive, fileName) != frDone)
                return;
            const QByteArray digest = sha256.Digest();
            CheckUploadSize(aContext, ftp, archive, fileName);
            ftp.StoreBytes(VandrelChecksum::ChecksumText(digest, fileName), VandrelChecksum::ChecksumName(fileName));
            aContext.Summary(QStringLiteral("%1 to %2 (%3), SHA-256 %4")
                                 .arg(archive,
                                      remote,
                                      Throughput(QFileInfo(archive).size(), clock.elapsed()),
                                      QString::fromLatin1(digest.toHex())));
        }
    }

private:
    /// Compares the server's size of the uploaded archive with the local one; a difference fails the run.
    static void CheckUploadSize(TStepContext& aContext,
                                UFtpTransfer::TFtpTransfer& aFtp,
                                const QString& aArchive,
                                const QString& aFileName)
    {
        const qint64 local = QFileInfo(aArchive).size();
        const qint64 remote = aFtp.RemoteSize(aFileName);
        if (remote < 0)
            aContext.Status(
                QStringLiteral("Warning: the FTP server does not tell the size of \"%1\": the upload's size was not "
                               "checked.")
                    .arg(aFileName));
        else if (remote != local)
            throw EVandrel(
                QStringLiteral(
                    "The FTP server holds %1 bytes under \"%2\", but the archive %3 has %4 bytes: the upload "
                    "is incomplete.")
                    .arg(remote)
                    .arg(aFileName, aArchive)
                    .arg(local));
    }

    /// Checks the downloaded archive, whose digest is aDigest, against the checksum file beside it on the server,
    /// before it replaces the local archive: a failure keeps the local archive. Returns the summary's note.
    static QString CheckDownload(TStepContext& aContext,
                                 UFtpTransfer::TFtpTransfer& aFtp,
                                 const QString& aFileName,
                                 const QByteArray& aDigest)
    {
        const QString checksumName = VandrelChecksum::ChecksumName(aFileName);
        const std::optional<QByteArray> text = aFtp.FetchSmall(checksumName, VandrelChecksum::cMaxChecksumFileBytes);
        if (!text) {
            const QString unverified =
                QStringLiteral("The archive could not be verified: the FTP server has no checksum file \"%1\".")
                    .arg(checksumName);
            if (aContext.Settings().RequireChecksum)
                throw EVandrel(unverified +
                               QStringLiteral(" A checksum is required: the local archive was kept as it was."));
            aContext.Status(unverified);
            return QStringLiteral(", not verified");
        }
        const QByteArray expected = VandrelChecksum::ParseChecksum(*text, aFileName, checksumName);
        if (expected != aDigest)
            throw EVandrel(
                QStringLiteral("The downloaded archive does not match its checksum file \"%1\" (SHA-256 %2 "
                               "expected, %3 received): the local archive was kept as it was.")
                    .arg(checksumName, QString::fromLatin1(expected.toHex()), QString::fromLatin1(aDigest.toHex())));
        return QStringLiteral(", SHA-256 verified");
    }

    bool FDownload;
};

} // namespace

std::shared_ptr<IVandrelStep> MakeStep(TStepIndex aIndex)
{
    switch (aIndex) {
    case siBackup:
        return std::make_shared<TBackupStep>();
    case siZip:
        return std::make_shared<TArchiveStep>(false);
    case siUpload:
        return std::make_shared<TFtpStep>(false);
    case siDownload:
        return std::make_shared<TFtpStep>(true);
    case siExtract:
        return std::make_shared<TArchiveStep>(true);
    case siRestore:
        return std::make_shared<TRestoreStep>();
    case siStepCount:
        break;
    }
    return nullptr;
}
