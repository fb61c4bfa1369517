// SPDX-License-Identifier: MIT
// The backup and restore steps run through the run, without any widget, against the fake SQL Server: live progress
// lines, a server error that ends the run, Cancel in the middle of a backup, the module replacing its connection
// while a backup runs, a restore that moves the files, later runs that keep the chosen database, a missing backup,
// and no connection at all.
#include "EVandrel.h"
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

#include <algorithm>
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

    /// Calls aAction on the run's thread once the server's message aLine arrives; tells through the result whether it
    /// did.
    std::shared_ptr<bool> OnLine(const QString& aLine, std::function<void()> aAction)
    {
        auto done = std::make_shared<bool>(false);
        QObject::connect(&FRun.Run, &TVandrelRun::ServerLine, [done, aLine, aAction](const QString& aText) {
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

TEST_F(VandrelDatabaseStepsTest, Backup_ProgressLinesArriveWhileItRunsDriveTheBarAndTheStatementComesLast)
{
    const auto zip = TickBackup(Path(QStringLiteral("Sales.bak")));
    const auto backup = FRun.Watch(siBackup);
    // A progress line must reach the run's thread while the step still works, not after it.
    bool liveLine = false;
    QObject::connect(&FRun.Run, &TVandrelRun::ServerLine, [&](const QString& aLine) {
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
    // The server's progress messages move the bar, forwards only, to 100.
    EXPECT_TRUE(FRun.Progress.contains(50)) << FRun.ReportText();
    EXPECT_TRUE(std::is_sorted(FRun.Progress.cbegin(), FRun.Progress.cend()));
    // The statement comes last, after the server's own closing message.
    EXPECT_EQ(report.last(), BackupStatement(QStringLiteral("Sales"), Path(QStringLiteral("Sales.bak"))));
    EXPECT_TRUE(report.at(report.size() - 2).startsWith(QLatin1String("BACKUP DATABASE successfully processed")))
        << FRun.ReportText();
    EXPECT_EQ(FRun.FailureLines(), 0);
    EXPECT_GT(QFileInfo(Path(QStringLiteral("Sales.bak"))).size(), 0);
}

struct TProgressMessageCase
{
    const char* Name;
    int Number;
    const char16_t* Text;
    int Percent;
};

class VandrelProgressMessageTest : public ::testing::TestWithParam<TProgressMessageCase>
{
};

TEST_P(VandrelProgressMessageTest, PercentOfTheServersProgressMessage)
{
    const TProgressMessageCase& row = GetParam();
    TDBError message;
    message.Description = QString::fromUtf16(row.Text);
    message.SQLState = QStringLiteral("01000");
    message.NativeError = row.Number;
    EXPECT_EQ(VandrelDatabase::ProgressPercent(message), row.Percent);
}

// clang-format off
const TProgressMessageCase cProgressMessageCases[] = {
    {"English",                  3211, u"42 percent processed.",                                   42},
    {"German",                   3211, u"42 Prozent verarbeitet.",                                 42},
    {"NumberInTheMiddle",        3211, u"y\u00FCzde 42 i\u015Flendi.",                             42},
    {"ArabicIndicDigits",        3211, u"\u0664\u0662 \u0628\u0627\u0644\u0645\u0626\u0629",                 42},
    {"Done",                     3211, u"100 percent processed.",                                  100},
    {"NeverAboveAHundred",       3211, u"1000000000000 percent processed.",                        100},
    {"ProgressWithoutANumber",   3211, u"percent processed.",                                      -1},
    {"OtherMessageWithANumber",  4035, u"Processed 208 pages for database 'Sales', file 'Sales'.", -1},
    {"Completion",               3014, u"BACKUP DATABASE successfully processed 210 pages.",       -1},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Languages,
                         VandrelProgressMessageTest,
                         ::testing::ValuesIn(cProgressMessageCases),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

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

/// The lines of the report that contain aText.
QStringList LinesWith(const QStringList& aReport, const QString& aText)
{
    QStringList found;
    for (const QString& line : aReport)
        if (line.contains(aText))
            found << line;
    return found;
}

TEST_F(VandrelDatabaseStepsTest, Backup_CopyOnlyAndVerifiedThenADamagedOneStopsBeforeTheZip)
{
    // A new job's defaults: copy-only, with checksums, read back by the server before anything is zipped.
    TFakeSqlServer damaging(
        {QStringLiteral("--progress-delay"), QStringLiteral("0.01"), QStringLiteral("--damage-backups")});
    damaging.CreateDatabase(QStringLiteral("Sales"), sSalesData);
    struct
    {
        const TFakeSqlServer* Server;
        bool Damaged;
    } const cases[] = {{sServer.get(), false}, {&damaging, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Damaged ? "damaged" : "sound");
        TStepRun run;
        ASSERT_TRUE(StoreConnection(c.Server->ConnectionString(QStringLiteral("Sales"))));
        const QString file = c.Server->Root() + QStringLiteral("/Verified.bak");
        run.Settings.Backup = run.Settings.Compress = run.Settings.Upload = true;
        run.Settings.BackupFilename = file;
        const auto zip = run.Record(siZip);
        const auto upload = run.Record(siUpload);
        ASSERT_TRUE(run.RunToEnd());

        const QStringList report = run.Report();
        const QString backup =
            QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1' WITH DESCRIPTION = 'Full Backup of Sales', "
                           "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', COPY_ONLY, CHECKSUM, COMPRESSION, INIT, "
                           "STATS = 2")
                .arg(file);
        const QString verify =
            QStringLiteral("RESTORE VERIFYONLY FROM DISK = '%1' WITH CHECKSUM, STATS = 10").arg(file);
        EXPECT_TRUE(report.contains(backup)) << run.ReportText();
        ASSERT_FALSE(report.isEmpty());
        EXPECT_EQ(report.last(), verify) << run.ReportText();
        if (!c.Damaged) {
            EXPECT_EQ(run.Run.Outcome(), roSuccess) << run.ReportText();
            // The verification's messages came after the backup's statement, the verdict before its own.
            EXPECT_GT(report.indexOf(QStringLiteral("The backup set on file 1 is valid.")), report.indexOf(backup));
            EXPECT_TRUE(zip->Ran && upload->Ran);
            continue;
        }
        EXPECT_EQ(run.Run.Outcome(), roFailed);
        EXPECT_FALSE(zip->Ran);
        EXPECT_FALSE(upload->Ran);
        EXPECT_EQ(run.FailureLines(), 1);
        EXPECT_TRUE(report.contains(QStringLiteral("Backup Error:Damage to the backup set was detected.")))
            << run.ReportText();
        EXPECT_TRUE(report.contains(QStringLiteral("VERIFY DATABASE is terminating abnormally.")));
        EXPECT_TRUE(report.contains(QStringLiteral("The backup did not pass verification.")));
    }
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_AsANewNameBesideTheOriginalFromMaster)
{
    const QString backup = Path(QStringLiteral("ForCopy.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), backup);
    const QByteArray originalLog = ReadFile(Path(QStringLiteral("Sales/Sales_log.ldf")));
    // The connection points at master: the copy does not exist yet.
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString()));
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.RestoreAs = QStringLiteral("SalesCopy");
    FRun.Settings.SingleUser = true; // a target that does not exist is left alone
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    // What the set is comes first: its source database, server, finish time and size.
    const QStringList header = LinesWith(report, QStringLiteral("Backup set: "));
    ASSERT_EQ(header.size(), 1) << FRun.ReportText();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Backup set: database \\[Sales\\] from server FAKESQL, finished "
                                                  "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, [1-9]\\d* bytes\\.$"))
                    .match(header.first())
                    .hasMatch())
        << header.first().toStdString();
    // Where each file goes, before the server's first message: beside the original's files, under the new name.
    const QString data = Path(QStringLiteral("Sales/SalesCopy_data.mdf"));
    const QString log = Path(QStringLiteral("Sales/SalesCopy_log.ldf"));
    const int dataLine = report.indexOf(QStringLiteral("Restore of [SalesCopy]: data file 'Sales' to '%1'").arg(data));
    EXPECT_GE(dataLine, 0) << FRun.ReportText();
    EXPECT_GE(report.indexOf(QStringLiteral("Restore of [SalesCopy]: log file 'Sales_log' to '%1'").arg(log)), 0);
    EXPECT_LT(dataLine, report.indexOf(QStringLiteral("10 percent processed.")));
    EXPECT_TRUE(LinesWith(report, QStringLiteral("single user")).isEmpty()) << FRun.ReportText();
    EXPECT_EQ(ReadFile(data), sSalesData);
    EXPECT_EQ(ReadFile(log), originalLog);
    // The original is untouched, and the connection is back where it was.
    EXPECT_EQ(ReadFile(Path(QStringLiteral("Sales/Sales.mdf"))), sSalesData);
    EXPECT_EQ(DatConModule().Database(), QStringLiteral("master"));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_ThreeFileDatabaseMovedCompletely)
{
    const QString folder = Path(QStringLiteral("Three/"));
    WriteAll(folder + QStringLiteral("Three.mdf"), sSalesData);
    const QByteArray second = QByteArray("second data file ").repeated(2000);
    WriteAll(folder + QStringLiteral("Three_2.ndf"), second);
    WriteAll(folder + QStringLiteral("Three_log.ldf"), QByteArray(5000, 'L'));
    const QString backup = Path(QStringLiteral("Three.bak"));
    MakeBackup(*sServer, QStringLiteral("Three"), backup);
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("data3"))));
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("log3"))));
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString()));
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.RestoreAs = QStringLiteral("Moved");
    FRun.Settings.Move = true;
    FRun.Settings.RestorePhysicalData = Path(QStringLiteral("data3/Moved.mdf"));
    FRun.Settings.RestorePhysicalLog = Path(QStringLiteral("log3/Moved.ldf"));
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    // In file-id order: the primary data file, the log, then the further data file beside the first.
    const QStringList placed = LinesWith(FRun.Report(), QStringLiteral("Restore of [Moved]: "));
    EXPECT_EQ(placed,
              (QStringList{QStringLiteral("Restore of [Moved]: data file 'Three' to '%1'")
                               .arg(Path(QStringLiteral("data3/Moved.mdf"))),
                           QStringLiteral("Restore of [Moved]: log file 'Three_log' to '%1'")
                               .arg(Path(QStringLiteral("log3/Moved.ldf"))),
                           QStringLiteral("Restore of [Moved]: data file 'Three_2' to '%1'")
                               .arg(Path(QStringLiteral("data3/Moved_2.ndf")))}))
        << FRun.ReportText();
    EXPECT_EQ(ReadFile(Path(QStringLiteral("data3/Moved.mdf"))), sSalesData);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("data3/Moved_2.ndf"))), second);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("log3/Moved.ldf"))), QByteArray(5000, 'L'));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_SingleUserSetAndResetAroundAFailingRestore)
{
    const QString backup = Path(QStringLiteral("ForSingle.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), backup);
    sServer->CreateDatabase(QStringLiteral("Busy"), QByteArray(8192, 'B'));
    // Another user works in the target.
    TDBConnection other;
    other.SetConnectionString(sServer->ConnectionString(QStringLiteral("Busy")));
    other.Open();
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString()));
    FRun.Settings.Restore = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.RestoreAs = QStringLiteral("Busy");
    FRun.Settings.SingleUser = true;
    // The restore fails: the typed folder does not exist.
    FRun.Settings.Move = true;
    FRun.Settings.RestorePhysicalData = Path(QStringLiteral("no such folder/Busy.mdf"));
    FRun.Settings.RestorePhysicalLog = Path(QStringLiteral("no such folder/Busy.ldf"));
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    const int single =
        report.indexOf(QStringLiteral("Database [Busy] set to single user: its other connections were closed."));
    const int failed = report.indexOf(QRegularExpression(QStringLiteral("^Restore Error:.*")));
    const int multi = report.indexOf(QStringLiteral("Database [Busy] set back to multi user."));
    EXPECT_GE(single, 0) << FRun.ReportText();
    EXPECT_GT(failed, single) << FRun.ReportText();
    // Back to multi user before the step ends with its failure.
    EXPECT_GT(multi, single) << FRun.ReportText();
    EXPECT_GT(failed, multi) << FRun.ReportText();
    const QString server = sServer->Output();
    const qsizetype setAt = server.indexOf(QStringLiteral("database Busy is now SINGLE_USER (1 other"));
    EXPECT_GE(setAt, 0) << server.toStdString();
    EXPECT_GT(server.indexOf(QStringLiteral("database Busy is now MULTI_USER"), setAt), setAt);
    // The other user was disconnected; the database's files are as they were.
    EXPECT_THROW(other.Execute(QStringLiteral("SELECT 1")), EVandrel);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("Busy/Busy.mdf"))), QByteArray(8192, 'B'));
    DatConModule().Close();
}

TEST_F(VandrelDatabaseStepsTest, Restore_RefusesAnotherSourceAndAnOlderSetBeforeTouchingAnything)
{
    // Two sets of Sales, a second apart.
    const QString older = Path(QStringLiteral("Older.bak"));
    const QString newer = Path(QStringLiteral("Newer.bak"));
    MakeBackup(*sServer, QStringLiteral("Sales"), older);
    QThread::msleep(1100);
    MakeBackup(*sServer, QStringLiteral("Sales"), newer);
    // The job's settings file: its restore record lies beside it.
    const QString settingsFile = sConfig->path() + QStringLiteral("/guarded.cfg");
    WriteAll(settingsFile, QByteArray("settings"));
    FRun.Run.SetSettingsFile(settingsFile);
    ASSERT_TRUE(StoreConnection(sServer->ConnectionString()));
    FRun.Settings.Restore = true;
    FRun.Settings.RestoreAs = QStringLiteral("Guarded");
    const QString target = Path(QStringLiteral("Sales/Guarded_data.mdf"));

    // A backup of another database than the expected one.
    FRun.Settings.BackupFilename = newer;
    FRun.Settings.ExpectSourceDatabase = QStringLiteral("Accounts");
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_EQ(FRun.Report().last(),
              QStringLiteral("Restore Error:The backup is of database [Sales], not of the expected source database "
                             "[Accounts]: nothing was restored."))
        << FRun.ReportText();
    EXPECT_FALSE(QFile::exists(target));

    // The expected source (in any case), the newer set: restored and recorded.
    FRun.Settings.ExpectSourceDatabase = QStringLiteral("sales");
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    const QString record = sConfig->path() + QStringLiteral("/guarded.restored");
    const QFileDevice::Permissions mode = QFile::permissions(record);
    EXPECT_TRUE(mode & QFileDevice::ReadOwner);
    EXPECT_FALSE(mode & (QFileDevice::ReadGroup | QFileDevice::ReadOther)) << "the record is the owner's only";
    ASSERT_TRUE(QFile::remove(target));

    // The older set after it: refused with both times.
    FRun.Lines.clear();
    FRun.Settings.BackupFilename = older;
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    const QRegularExpression refusal(
        QStringLiteral("Restore Error:The backup set finished at (\\S+ \\S+) is older than the set this job restored "
                       "last time, finished at (\\S+ \\S+): nothing was restored\\."));
    const QRegularExpressionMatch match = refusal.match(FRun.Report().join(QLatin1Char('\n')));
    ASSERT_TRUE(match.hasMatch()) << FRun.ReportText();
    EXPECT_LT(match.captured(1), match.captured(2));
    EXPECT_FALSE(QFile::exists(target));
    DatConModule().Close();
}
