// SPDX-License-Identifier: MIT
// The backup and restore steps run through the run, without any widget, against the fake SQL Server: live progress
// lines, a server error that ends the run, Cancel in the middle of a backup, the module replacing its connection
// while a backup runs, a restore that moves the files, later runs that keep the chosen database, a missing backup,
// and no connection at all.
#include "TDBConnection.h"
#include "TFakeSqlServer.h"
#include "UDatCon.h"
#include "UDatConModule.h"
#include "UFileUtils.h"
#include "UHandles.h"
#include "USVSQLBackup.h"
#include "UWorker.h"
#include "VandrelDatabase.h"
#include "VandrelSalesData.h"
#include "VandrelStepTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <memory>

#include <csignal>
#include <unistd.h>

using namespace VandrelStepTest;

using VandrelSalesData::MakeBackup;
using VandrelSalesData::SalesData;

namespace {

/// Points the connection module at aConnectionString through the stored data link and closes the open connection,
/// so the next database step connects anew through the store.
bool StoreConnection(const QString& aConnectionString)
{
    DatConModule().Close();
    DatConModule().SetLocationKind(lkAuto);
    DatConModule().SetFileName(QString());
    return UDatCon::StoreDataLink(aConnectionString, UFileUtils::ConfigDir() + QStringLiteral("DefaultDataLink.udl"));
}

/// The statement the backup of aDatabase into aFileName sends.
QString BackupStatement(const QString& aDatabase, const QString& aFileName)
{
    return QStringLiteral("BACKUP DATABASE [%1] TO DISK = '%2' WITH DESCRIPTION = 'Full Backup of %1', "
                          "MEDIADESCRIPTION = N'Disk', NAME = '%1 Backup', COMPRESSION, INIT, STATS = 2")
        .arg(aDatabase, aFileName);
}

class VandrelDatabaseStepsTest : public ::testing::Test
{
protected:
    static std::unique_ptr<TConfigFolder> sConfig;
    static std::unique_ptr<TFakeSqlServer> sServer;
    static QByteArray sSalesData;
    TStepRun FRun;

    static void SetUpTestSuite()
    {
        // Before anything reads the configuration folder.
        sConfig = std::make_unique<TConfigFolder>();
        sServer =
            std::make_unique<TFakeSqlServer>(QStringList{QStringLiteral("--progress-delay"), QStringLiteral("0.03")});
        sSalesData = SalesData();
        sServer->CreateDatabase(QStringLiteral("Sales"), sSalesData);
        sServer->CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    }

    static void TearDownTestSuite()
    {
        DatConModule().Close();
        sServer.reset();
        sConfig.reset();
    }

    // The backups of a job saved before copy-only and verification existed: today's statement, byte for byte.
    void SetUp() override
    {
        FRun.Settings.CopyOnly = false;
        FRun.Settings.VerifyBackup = false;
    }

    static QString Path(const QString& aName) { return sServer->Root() + QLatin1Char('/') + aName; }

    /// Ticks the backup of Sales into aBackupFile, and after it a zip that only records that it ran.
    std::shared_ptr<TRecordingStep> TickBackup(const QString& aBackupFile)
    {
        EXPECT_TRUE(StoreConnection(sServer->ConnectionString(QStringLiteral("Sales"))));
        FRun.Settings.Backup = FRun.Settings.Compress = true;
        FRun.Settings.BackupFilename = aBackupFile;
        FRun.Settings.Append = false;
        FRun.Settings.CompressBackup = true;
        return FRun.Record(siZip);
    }

    /// Calls aAction on the run's thread once the report shows aLine; tells through the result whether it did.
    std::shared_ptr<bool> OnLine(const QString& aLine, std::function<void()> aAction)
    {
        auto done = std::make_shared<bool>(false);
        QObject::connect(&FRun.Run, &TVandrelRun::StatusLine, [done, aLine, aAction](const QString& aText, bool) {
            if (!*done && aText == aLine) {
                *done = true;
                aAction();
            }
        });
        return done;
    }
};

std::unique_ptr<TConfigFolder> VandrelDatabaseStepsTest::sConfig;
std::unique_ptr<TFakeSqlServer> VandrelDatabaseStepsTest::sServer;
QByteArray VandrelDatabaseStepsTest::sSalesData;

TEST_F(VandrelDatabaseStepsTest, Backup_ProgressLinesArriveWhileItRunsAndTheStatementComesLast)
{
    const auto zip = TickBackup(Path(QStringLiteral("Sales.bak")));
    const auto backup = FRun.Watch(siBackup);
    // A progress line must reach the run's thread while the step still works, not after it.
    bool liveLine = false;
    QObject::connect(&FRun.Run, &TVandrelRun::StatusLine, [&](const QString& aLine, bool) {
        if (aLine.endsWith(QLatin1String(" percent processed.")) && backup->Busy)
            liveLine = true;
    });
    QString server;
    QString database;
    QObject::connect(&FRun.Run, &TVandrelRun::ConnectionChanged, [&](const QString& aServer, const QString& aDatabase) {
        server = aServer;
        database = aDatabase;
    });
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_TRUE(zip->Ran);
    EXPECT_TRUE(liveLine);
    EXPECT_EQ(FRun.LastProgress(), 100);
    EXPECT_EQ(database, QStringLiteral("Sales"));
    const QString dataSource =
        QRegularExpression(QStringLiteral("Data Source=([^;]*)")).match(sServer->ConnectionString()).captured(1);
    EXPECT_EQ(server, dataSource);
    ASSERT_GE(report.size(), 3) << FRun.ReportText();
    EXPECT_TRUE(report.contains(QStringLiteral("50 percent processed."))) << FRun.ReportText();
    // The statement comes last, after the server's own closing message.
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), Path(QStringLiteral("Sales.bak"))));
    EXPECT_TRUE(report.at(report.size() - 2).startsWith(QLatin1String("BACKUP DATABASE successfully processed")))
        << FRun.ReportText();
    EXPECT_EQ(FRun.FailureLines(), 0);
    EXPECT_GT(QFileInfo(Path(QStringLiteral("Sales.bak"))).size(), 0);
}

TEST_F(VandrelDatabaseStepsTest, Backup_ServerErrorEndsTheRunWithTheStatementLast)
{
    const QString target = Path(QStringLiteral("no such folder/Sales.bak"));
    const auto zip = TickBackup(target);
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(zip->Ran);
    EXPECT_EQ(FRun.LastProgress(), 0);
    EXPECT_TRUE(FRun.ReportText().find(
                    QStringLiteral("Backup Error:Cannot open backup device '%1'").arg(target).toStdString()) !=
                std::string::npos)
        << FRun.ReportText();
    // One failure line: the server's message with the statement after it.
    EXPECT_EQ(FRun.FailureLines(), 1);
    ASSERT_FALSE(FRun.Lines.isEmpty());
    EXPECT_TRUE(FRun.Lines.last().Failure);
    EXPECT_TRUE(FRun.Lines.last().Text.startsWith(QLatin1String("Backup Error:"))) << FRun.ReportText();
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), target));
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(VandrelDatabaseStepsTest, Backup_CancelStopsTheServerAndKeepsTheConnectionUsable)
{
    const QString target = Path(QStringLiteral("Cancelled.bak"));
    const auto zip = TickBackup(target);
    const auto backup = FRun.Watch(siBackup);
    const auto cancelled = OnLine(QStringLiteral("10 percent processed."), [this] { FRun.Run.Cancel(); });
    bool backupBusyAtEnd = true;
    QObject::connect(&FRun.Run, &TVandrelRun::Finished, [&] { backupBusyAtEnd = backup->Busy; });
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    const std::string all = FRun.ReportText();
    EXPECT_TRUE(*cancelled);
    EXPECT_EQ(FRun.Run.Outcome(), roCancelled);
    EXPECT_FALSE(backupBusyAtEnd) << "the run ended without waiting for the backup to stop";
    EXPECT_FALSE(zip->Ran);
    EXPECT_EQ(FRun.LastProgress(), 0);
    EXPECT_EQ(FRun.FailureLines(), 0);
    EXPECT_EQ(all.find("Backup Error:"), std::string::npos) << all;
    EXPECT_EQ(all.find("100 percent processed."), std::string::npos) << all;
    ASSERT_FALSE(report.isEmpty());
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), target));
    // The server removed its partial file, and the connection is free for the next statement.
    EXPECT_FALSE(QFile::exists(target));
    ASSERT_TRUE(DatConModule().Connected());
    EXPECT_NO_THROW(DatConModule().ADOConnection().Execute(QStringLiteral("SELECT 1")));
}

TEST_F(VandrelDatabaseStepsTest, Backup_SizeThatCannotBeReadDoesNotStopTheBackup)
{
    // A login without the right to read the log space: the size report fails, the backup goes on.
    TFakeSqlServer denied({QStringLiteral("--deny-logspace")});
    denied.CreateDatabase(QStringLiteral("Sales"), sSalesData);
    ASSERT_TRUE(StoreConnection(denied.ConnectionString(QStringLiteral("Sales"))));
    FRun.Settings.Backup = FRun.Settings.Compress = true;
    FRun.Settings.BackupFilename = denied.Root() + QStringLiteral("/Sales.bak");
    const auto zip = FRun.Record(siZip);
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(report.first().startsWith(QLatin1String("The size of the database could not be read (")))
        << FRun.ReportText();
    EXPECT_TRUE(report.first().endsWith(QLatin1String("); the backup goes on."))) << FRun.ReportText();
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), FRun.Settings.BackupFilename));
    EXPECT_TRUE(zip->Ran);
    EXPECT_GT(QFileInfo(FRun.Settings.BackupFilename).size(), 0);
}

TEST_F(VandrelDatabaseStepsTest, Backup_ServerThatStopsAnsweringFailsTheRunAfterTheStallTimeout)
{
    // A server of its own, frozen (SIGSTOP) after its first progress message: it answers neither the backup nor
    // the cancel, so the step gives the backup up and abandons its connection.
    TFakeSqlServer frozen({QStringLiteral("--progress-delay"), QStringLiteral("0.2")});
    frozen.CreateDatabase(QStringLiteral("Sales"), sSalesData);
    ASSERT_TRUE(StoreConnection(frozen.ConnectionString(QStringLiteral("Sales"))));
    QProcess find;
    find.start(QStringLiteral("pgrep"),
               {QStringLiteral("-P"), QString::number(::getpid()), QStringLiteral("-f"), frozen.Root()});
    ASSERT_TRUE(find.waitForFinished(10000));
    const pid_t pid = QString::fromLatin1(find.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0).toInt();
    ASSERT_GT(pid, 0);
    TFinally thaw([pid]() noexcept { ::kill(pid, SIGCONT); });
    FRun.Settings.Backup = FRun.Settings.Compress = true;
    FRun.Settings.BackupFilename = frozen.Root() + QStringLiteral("/Frozen.bak");
    const auto zip = FRun.Record(siZip);
    FRun.Run.SetStallTimeout(2);
    const auto froze = OnLine(QStringLiteral("2 percent processed."), [pid] { ::kill(pid, SIGSTOP); });

    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(FRun.RunToEnd(30000));
    EXPECT_TRUE(*froze);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_EQ(ExitStatusOf(FRun.Run.Outcome()), esRunFailed);
    EXPECT_FALSE(zip->Ran);
    const std::string all = FRun.ReportText();
    EXPECT_NE(all.find("Backup Error:The server sent nothing for 2 seconds and did not answer the cancel"),
              std::string::npos)
        << all;
    // The next step that needs the database does not use the abandoned connection.
    EXPECT_TRUE(VandrelDatabase::Leased(&DatConModule().ADOConnection()));
    VandrelDatabase::AvoidLeasedConnection(DatConModule());
    EXPECT_FALSE(VandrelDatabase::Leased(&DatConModule().ADOConnection()));

    // Thawed, the server answers the cancel at last: the given-up statement ends and its thread frees itself.
    ::kill(pid, SIGCONT);
    QElapsedTimer ending;
    ending.start();
    while (TProcThread::Running() > 0 && ending.elapsed() < 20000)
        QThread::msleep(20);
    EXPECT_EQ(TProcThread::Running(), 0);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(VandrelDatabaseStepsTest, Backup_ModuleReconnectingMeanwhileLeavesTheStepsConnectionAlone)
{
    const auto zip = TickBackup(Path(QStringLiteral("Reconnected.bak")));
    // What the connection button does once no run holds it back: a statement may still run on the current
    // connection, so the module takes a fresh one before it reconnects.
    std::shared_ptr<TDBConnection> stepsConnection;
    const auto reconnected = OnLine(QStringLiteral("10 percent processed."), [&stepsConnection] {
        TADOConDataModule& module = DatConModule();
        stepsConnection = module.SharedConnection();
        VandrelDatabase::AvoidLeasedConnection(module);
        module.SetConnected(false);
        module.Connect(QString(), lkAuto);
    });
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_TRUE(*reconnected);
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_TRUE(zip->Ran);
    ASSERT_FALSE(report.isEmpty());
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), Path(QStringLiteral("Reconnected.bak"))));
    EXPECT_NE(DatConModule().SharedConnection(), stepsConnection);
    ASSERT_TRUE(DatConModule().Connected());
    EXPECT_NO_THROW(DatConModule().ADOConnection().Execute(QStringLiteral("SELECT 1")));
}

TEST_F(VandrelDatabaseStepsTest, Restore_MovesFilesUnderAnotherName)
{
    // The backup to restore is carried to a slower server whose restore lasts long enough (over a second) for the
    // bar to be seen moving.
    const QString made = Path(QStringLiteral("ToRestore.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), made);
    TFakeSqlServer slow({QStringLiteral("--progress-delay"), QStringLiteral("0.15")});
    slow.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    const QString backup = slow.Root() + QStringLiteral("/ToRestore.bak");
    ASSERT_TRUE(QFile::copy(made, backup));
    ASSERT_TRUE(StoreConnection(slow.ConnectionString(QStringLiteral("Copy"))));
    ASSERT_TRUE(QDir().mkpath(slow.Root() + QStringLiteral("/moved")));
    const QString data = slow.Root() + QStringLiteral("/moved/Copy_data.mdf");
    const QString log = slow.Root() + QStringLiteral("/moved/Copy_log.ldf");
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.Move = true;
    FRun.Settings.RestorePhysicalData = data;
    FRun.Settings.RestorePhysicalLog = log;
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(FRun.LastProgress(), 100);
    // The growing data file drove the bar.
    EXPECT_TRUE(FRun.ProgressMoved()) << "the bar did not move while restoring";
    EXPECT_EQ(ReadFile(data), sSalesData);
    EXPECT_EQ(ReadFile(log), ReadFile(Path(QStringLiteral("Sales/Sales_log.ldf"))));
    EXPECT_EQ(DatConModule().Database(), QStringLiteral("Copy"));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_LaterRunsKeepTheChosenDatabase)
{
    // The restore goes through master; a second restore and a backup afterwards must still work on Copy, never on
    // master.
    const QString backup = Path(QStringLiteral("Again.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), backup);
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString(QStringLiteral("Copy"))));
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.Move = true;
    FRun.Settings.RestorePhysicalData = Path(QStringLiteral("Copy/Copy_data.mdf"));
    FRun.Settings.RestorePhysicalLog = Path(QStringLiteral("Copy/Copy_log.ldf"));
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(FRun.RunToEnd());
        EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << "run " << run << ": " << FRun.ReportText();
        EXPECT_EQ(DatConModule().Database(), QStringLiteral("Copy")) << "run " << run;
    }
    EXPECT_EQ(ReadFile(Path(QStringLiteral("Copy/Copy_data.mdf"))), sSalesData);

    FRun.Settings.Restore = false;
    FRun.Settings.Backup = true;
    FRun.Settings.BackupFilename = Path(QStringLiteral("CopyAfterRestore.bak"));
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(FRun.Report().last(),
              BackupStatement(QStringLiteral("Copy"), Path(QStringLiteral("CopyAfterRestore.bak"))));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_CancelLeavesNoFileAndTheConnectionInTheChosenDatabase)
{
    // On the slower server the restore lasts over a second: Cancel reaches it in the middle.
    const QString made = Path(QStringLiteral("ForCancel.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), made);
    TFakeSqlServer slow({QStringLiteral("--progress-delay"), QStringLiteral("0.15")});
    slow.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    const QString backup = slow.Root() + QStringLiteral("/ForCancel.bak");
    ASSERT_TRUE(QFile::copy(made, backup));
    ASSERT_TRUE(StoreConnection(slow.ConnectionString(QStringLiteral("Copy"))));
    const QString data = slow.Root() + QStringLiteral("/Copy/Copy_data.mdf");
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.Move = true;
    FRun.Settings.RestorePhysicalData = data;
    FRun.Settings.RestorePhysicalLog = slow.Root() + QStringLiteral("/Copy/Copy_log.ldf");
    const auto restore = FRun.Watch(siRestore);
    // Cancel once the growing data file moved the bar.
    int progressAtCancel = -1;
    QObject::connect(&FRun.Run, &TVandrelRun::ProgressChanged, [&](int aPercent) {
        if (aPercent > 0 && progressAtCancel < 0) {
            progressAtCancel = aPercent;
            FRun.Run.Cancel();
        }
    });
    bool restoreBusyAtEnd = true;
    QObject::connect(&FRun.Run, &TVandrelRun::Finished, [&] { restoreBusyAtEnd = restore->Busy; });
    ASSERT_TRUE(FRun.RunToEnd());

    ASSERT_GT(progressAtCancel, 0);
    EXPECT_LT(progressAtCancel, 100) << "the restore ended before Cancel";
    EXPECT_EQ(FRun.Run.Outcome(), roCancelled);
    EXPECT_FALSE(restoreBusyAtEnd) << "the run ended without waiting for the restore to stop";
    EXPECT_EQ(FRun.FailureLines(), 0) << FRun.ReportText();
    EXPECT_FALSE(FRun.Progress.contains(100)) << "the bar shows a cancelled restore done";
    // The server removed the partial file; the connection went back from master to the job's database.
    EXPECT_FALSE(QFile::exists(data));
    ASSERT_TRUE(DatConModule().Connected());
    EXPECT_EQ(DatConModule().Database(), QStringLiteral("Copy"));
    EXPECT_NO_THROW(DatConModule().ADOConnection().Execute(QStringLiteral("SELECT 1")));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_MissingBackupEndsTheRunBeforeTheRestoreBegins)
{
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString(QStringLiteral("Copy"))));
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = Path(QStringLiteral("nothing here.bak"));
    ASSERT_TRUE(FRun.RunToEnd());

    const std::string all = FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_EQ(FRun.FailureLines(), 1);
    EXPECT_EQ(all.find("Restore Error:"), std::string::npos) << all;
    EXPECT_NE(all.find("Operating system error 2"), std::string::npos) << all;
    EXPECT_TRUE(FRun.Report().last().endsWith(QLatin1String("Unable to retrieve backup info."))) << all;
    // The bar never moved: only the failure's reset reached it.
    EXPECT_EQ(FRun.Progress, QList<int>{0});
}

struct TNoConnectionRow
{
    const char* Name;
    bool Restore;
};

class VandrelNoConnectionTest : public VandrelDatabaseStepsTest, public ::testing::WithParamInterface<TNoConnectionRow>
{
};

TEST_P(VandrelNoConnectionTest, EndsTheProgramWithStatusThree)
{
    // Nothing listens on port 1: both attempts fail and, without a person to ask, nobody is asked.
    ASSERT_TRUE(
        StoreConnection(QStringLiteral("Provider=SQLOLEDB.1;User ID=sa;Password=Secret1;Data Source=127.0.0.1,1")));
    const bool restore = GetParam().Restore;
    (restore ? FRun.Settings.Restore : FRun.Settings.Backup) = true;
    // The backup has a step after it; the restore is the last one.
    FRun.Settings.Compress = !restore;
    const auto zip = FRun.Record(siZip);
    FRun.Settings.BackupFilename = Path(QStringLiteral("Sales.bak"));
    QSignalSpy exit(&FRun.Run, &TVandrelRun::ExitRequested);
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roConnectionRequired);
    ASSERT_EQ(exit.count(), 1);
    EXPECT_EQ(exit.first().first().toInt(), int(esConnectionRequired));
    EXPECT_EQ(FRun.Run.ExitStatus(), int(esConnectionRequired));
    // One error a person must see, ending with the program's last word (the reason may come before it).
    ASSERT_EQ(FRun.Prompts.Errors.size(), 1) << FRun.Prompts.Errors.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(FRun.Prompts.Errors.first().split(QStringLiteral("\r\n")).last(),
              QStringLiteral("Connection Required: Application must exit."));
    EXPECT_FALSE(zip->Ran);
    EXPECT_FALSE(DatConModule().Connected());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(NoConnection, VandrelNoConnectionTest, ::testing::Values(
    TNoConnectionRow{"Backup", false}, TNoConnectionRow{"Restore", true}),
    [](const ::testing::TestParamInfo<TNoConnectionRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

} // namespace
