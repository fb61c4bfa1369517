// SPDX-License-Identifier: MIT
#include "USVSQLBackup.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "TFakeSqlServer.h"
#include "UHandles.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <QProcess>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <csignal>
#include <unistd.h>

namespace {

const QByteArray cSalesData = QByteArray("sales data page ").repeated(8192);
// Short progress pauses: a backup with STATS = 2 takes fifty of them.
const QStringList cFast{QStringLiteral("--progress-delay"), QStringLiteral("0.01")};

class USVSQLBackupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        USVSQLBackup::LastBackupSQL.clear();
        USVSQLBackup::SetMinimumRestoreTimeout(30);
    }
    void TearDown() override { USVSQLBackup::SetMinimumRestoreTimeout(30); }

    void Connect(TFakeSqlServer& aServer)
    {
        FConnection.SetConnectionString(aServer.ConnectionString());
        FConnection.Open();
    }
    QString Path(TFakeSqlServer& aServer, const QString& aName) { return aServer.Root() + QLatin1Char('/') + aName; }
    // Records the statements sent and the server's information messages.
    void Record()
    {
        FConnection.SetOnWillExecute([this](const QString& aText, TDBConnection&) {
            std::lock_guard lock(FLock);
            FStatements << aText;
        });
        FConnection.SetOnInfoMessage([this](const TDBError& aError, TDBConnection&) {
            std::lock_guard lock(FLock);
            FInfos << aError.Description;
        });
    }

    TDBConnection FConnection;
    std::atomic<bool> FRunning{true};
    std::mutex FLock;
    QStringList FStatements;
    QStringList FInfos;
};

struct TBackupRow
{
    const char* Name;
    const char* Database;
    const char* File;
    bool Append;
    bool Compress;
    bool CopyOnly;
    bool Checksum;
    const char* Expected; // %1 = the root folder
};

// clang-format off
const TBackupRow cBackups[] = {
    // Without copy-only and checksums: the statements of every earlier job, byte for byte.
    {"CompressInit", "Sales", "x.bak", false, true, false, false,
     "BACKUP DATABASE [Sales] TO DISK = '%1/x.bak' WITH DESCRIPTION = 'Full Backup of Sales', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', COMPRESSION, INIT, STATS = 2"},
    {"AppendWithoutCompression", "Sales", "x.bak", true, false, false, false,
     "BACKUP DATABASE [Sales] TO DISK = '%1/x.bak' WITH DESCRIPTION = 'Full Backup of Sales', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', NOINIT, STATS = 2"},
    {"QuoteInFileAndBracketInNameDoubled", "O'Hara]s", "O'Hara.bak", false, false, false, false,
     "BACKUP DATABASE [O'Hara]]s] TO DISK = '%1/O''Hara.bak' WITH DESCRIPTION = 'Full Backup of O''Hara]s', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'O''Hara]s Backup', INIT, STATS = 2"},
    // Each option after the name and before the compression clause, copy-only first.
    {"CopyOnlyAndChecksum", "Sales", "x.bak", false, true, true, true,
     "BACKUP DATABASE [Sales] TO DISK = '%1/x.bak' WITH DESCRIPTION = 'Full Backup of Sales', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', COPY_ONLY, CHECKSUM, COMPRESSION, INIT, STATS = 2"},
    {"CopyOnlyAppend", "Sales", "x.bak", true, false, true, false,
     "BACKUP DATABASE [Sales] TO DISK = '%1/x.bak' WITH DESCRIPTION = 'Full Backup of Sales', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', COPY_ONLY, NOINIT, STATS = 2"},
    {"ChecksumOnly", "Sales", "x.bak", false, true, false, true,
     "BACKUP DATABASE [Sales] TO DISK = '%1/x.bak' WITH DESCRIPTION = 'Full Backup of Sales', "
     "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', CHECKSUM, COMPRESSION, INIT, STATS = 2"},
};
// clang-format on

class USVSQLBackupStatement : public USVSQLBackupTest, public ::testing::WithParamInterface<TBackupRow>
{
};

TEST_P(USVSQLBackupStatement, BuildsStatementAndBacksUp)
{
    const TBackupRow& row = GetParam();
    TFakeSqlServer server(cFast);
    const QString database = QString::fromUtf8(row.Database);
    server.CreateDatabase(database, cSalesData);
    Connect(server);
    Record();
    TBackupOptions options;
    options.Append = row.Append;
    options.Compress = row.Compress;
    options.CopyOnly = row.CopyOnly;
    options.Checksum = row.Checksum;
    EXPECT_TRUE(USVSQLBackup::BackupDatabase(
        FConnection, database, Path(server, QString::fromUtf8(row.File)), options, FRunning));
    const QString expected = QString::fromUtf8(row.Expected).arg(server.Root());
    EXPECT_EQ(USVSQLBackup::LastBackupSQL, expected);
    EXPECT_EQ(FStatements, QStringList{expected});
    EXPECT_TRUE(QFile::exists(Path(server, QString::fromUtf8(row.File))));
    EXPECT_TRUE(FInfos.last().startsWith(QStringLiteral("BACKUP DATABASE successfully processed")))
        << server.Output().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Backup, USVSQLBackupStatement, ::testing::ValuesIn(cBackups), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST_F(USVSQLBackupTest, BackupFailuresCarryServerMessage)
{
    TFakeSqlServer server({QStringLiteral("--no-compression")});
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);

    EXPECT_THROW(
        {
            try {
                USVSQLBackup::BackupDatabase(FConnection,
                                             QStringLiteral("Sales"),
                                             Path(server, QStringLiteral("x.bak")),
                                             false,
                                             false,
                                             FRunning);
            } catch (const EVandrel& e) {
                EXPECT_EQ(e.Message(), QStringLiteral("Connection not active. Unable to backup database."));
                throw;
            }
        },
        EVandrel);

    Connect(server);
    struct
    {
        QString File;
        bool Compress;
        QString Start;
    } const cases[] = {
        {Path(server, QStringLiteral("missing/dir/x.bak")), false, QStringLiteral("Cannot open backup device")},
        {Path(server, QStringLiteral("x.bak")), true, QStringLiteral("BACKUP DATABASE WITH COMPRESSION")},
    };
    for (const auto& c : cases) {
        try {
            USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), c.File, false, c.Compress, FRunning);
            ADD_FAILURE() << "backup reported success: " << c.File.toStdString();
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().startsWith(c.Start)) << e.what();
            EXPECT_TRUE(e.Message().endsWith(
                QStringLiteral("\r\nBACKUP DATABASE is terminating abnormally.\r\nUnable to backup database.")))
                << e.what();
        }
    }
    EXPECT_FALSE(QFile::exists(Path(server, QStringLiteral("x.bak"))));
}

TEST_F(USVSQLBackupTest, CancelMidBackupAfterLiveProgress)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("0.3")});
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    std::atomic<int> progress{0};
    // The flag turns false from the message handler: this only stops the backup early when the messages
    // arrive while the statement runs, not all at its end.
    FConnection.SetOnInfoMessage([&](const TDBError& aError, TDBConnection&) {
        if (aError.NativeError == 3211 && ++progress == 2)
            FRunning = false;
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(USVSQLBackup::BackupDatabase(
        FConnection, QStringLiteral("Sales"), Path(server, QStringLiteral("c.bak")), false, false, FRunning));
    EXPECT_LT(timer.elapsed(), 10000); // fifty steps of 0.3 s each when not cancelled
    EXPECT_GE(progress.load(), 2);
    EXPECT_FALSE(QFile::exists(Path(server, QStringLiteral("c.bak"))));
    FConnection.Execute(QStringLiteral("SELECT 1"));
}

TEST_F(USVSQLBackupTest, FileListAndRestoreWithMoveAndDerivedNames)
{
    TFakeSqlServer server(cFast);
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("sales.bak"));
    USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), backup, false, false, FRunning);

    const TDBFileList list = USVSQLBackup::GetBackupFileList(FConnection, backup);
    EXPECT_EQ(list.LogicalDat, QStringLiteral("Sales"));
    EXPECT_EQ(list.PhysicalDat, Path(server, QStringLiteral("Sales/Sales.mdf")));
    EXPECT_EQ(list.LogicalLog, QStringLiteral("Sales_log"));
    EXPECT_EQ(list.PhysicalLog, Path(server, QStringLiteral("Sales/Sales_log.ldf")));
    EXPECT_EQ(list.DBSize, cSalesData.size());

    TDBFileList moved = list;
    moved.PhysicalDat = Path(server, QStringLiteral("moved/Copy.mdf"));
    moved.PhysicalLog = Path(server, QStringLiteral("moved/Copy.ldf"));
    QDir().mkpath(Path(server, QStringLiteral("moved")));
    Record();
    EXPECT_TRUE(USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning, moved));
    const QString expected =
        QStringLiteral("RESTORE DATABASE [Copy] FROM DISK = '%1' WITH REPLACE, MOVE 'Sales' TO '%2',MOVE 'Sales_log' "
                       "TO '%3', STATS = 10")
            .arg(backup, moved.PhysicalDat, moved.PhysicalLog);
    EXPECT_TRUE(FStatements.contains(expected)) << FStatements.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(FStatements.first(), QStringLiteral("USE master"));
    EXPECT_EQ(ReadAll(moved.PhysicalDat), cSalesData);
    EXPECT_EQ(ReadAll(moved.PhysicalLog), ReadAll(list.PhysicalLog));
    EXPECT_EQ(FConnection.Property(QStringLiteral("Current Catalog")), QStringLiteral("master"));

    EXPECT_TRUE(USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Other"), backup, FRunning));
    EXPECT_EQ(ReadAll(Path(server, QStringLiteral("Sales/Other_data.mdf"))), cSalesData);
    EXPECT_TRUE(QFile::exists(Path(server, QStringLiteral("Sales/Other_log.ldf"))));

    try {
        USVSQLBackup::GetBackupFileList(FConnection, Path(server, QStringLiteral("none.bak")));
        ADD_FAILURE() << "file list of a missing backup";
    } catch (const EVandrel& e) {
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("\r\nUnable to retrieve backup info."))) << e.what();
    }
}

TEST_F(USVSQLBackupTest, IncompleteFileListFailsBeforeUseMaster)
{
    TFakeSqlServer server(cFast);
    server.CreateDatabase(QStringLiteral("NoLog"), cSalesData, false);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("nolog.bak"));
    USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("NoLog"), backup, false, false, FRunning);
    Record();
    try {
        USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning);
        ADD_FAILURE() << "restore of an incomplete file list";
    } catch (const EVandrel& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Filenames not found in backup file."));
    }
    EXPECT_FALSE(FStatements.contains(QStringLiteral("USE master")));
}

TEST_F(USVSQLBackupTest, NewestSetOfAppendedFileIsRestored)
{
    TFakeSqlServer server(cFast);
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("sets.bak"));
    USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), backup, false, false, FRunning);
    const QByteArray newer = QByteArray("newer page ").repeated(5000);
    WriteAll(Path(server, QStringLiteral("Sales/Sales.mdf")), newer);
    USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), backup, true, false, FRunning);

    EXPECT_EQ(USVSQLBackup::GetBackupFileList(FConnection, backup).DBSize, newer.size());
    Record();
    EXPECT_TRUE(USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning));
    EXPECT_EQ(ReadAll(Path(server, QStringLiteral("Sales/Copy_data.mdf"))), newer);
    EXPECT_TRUE(FStatements.last().contains(QStringLiteral(" WITH FILE = 2, REPLACE, MOVE ")))
        << FStatements.last().toStdString();
}

TEST_F(USVSQLBackupTest, RestoreDeadlineAndCancel)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("0.5")});
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("sales.bak"));
    // One progress step (STATS = 50) keeps the slow server's backup short.
    FConnection.Execute(QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1' WITH INIT, STATS = 50").arg(backup));

    EXPECT_EQ(USVSQLBackup::RestoreTimeout(0), 30);
    EXPECT_EQ(USVSQLBackup::RestoreTimeout(qint64(1) << 30), 512);
    USVSQLBackup::SetMinimumRestoreTimeout(1);
    try {
        USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning);
        ADD_FAILURE() << "the restore deadline did not end the restore";
    } catch (const EVandrel& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("timeout expired"))) << e.what();
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("\r\nUnable to restore database."))) << e.what();
    }

    USVSQLBackup::SetMinimumRestoreTimeout(30);
    FConnection.SetOnInfoMessage([&](const TDBError& aError, TDBConnection&) {
        if (aError.NativeError == 3211)
            FRunning = false;
    });
    EXPECT_TRUE(USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning));
    FConnection.Execute(QStringLiteral("SELECT 1"));
}

TEST_F(USVSQLBackupTest, RestoreDeadlineHoldsWhenTheServerHangs)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("0.2")});
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("sales.bak"));
    FConnection.Execute(QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1' WITH INIT, STATS = 50").arg(backup));
    // The server is our child process; it is frozen after its first progress message, so it answers neither the
    // statement nor the cancel.
    QProcess find;
    find.start(QStringLiteral("pgrep"),
               {QStringLiteral("-P"), QString::number(::getpid()), QStringLiteral("-f"), server.Root()});
    ASSERT_TRUE(find.waitForFinished(10000));
    const pid_t pid = QString::fromLatin1(find.readAllStandardOutput()).section(QLatin1Char('\n'), 0, 0).toInt();
    ASSERT_GT(pid, 0);
    FConnection.SetOnInfoMessage([pid](const TDBError& aError, TDBConnection&) {
        if (aError.NativeError == 3211)
            ::kill(pid, SIGSTOP);
    });
    // Without the deadline's hold on the driver the restore would wait for the server forever: it is woken late.
    std::promise<void> finished;
    std::thread thaw([pid, done = finished.get_future()] {
        done.wait_for(std::chrono::seconds(30));
        ::kill(pid, SIGCONT);
    });
    TFinally thawServer([&]() noexcept {
        finished.set_value();
        thaw.join();
    });

    USVSQLBackup::SetMinimumRestoreTimeout(2);
    QElapsedTimer timer;
    timer.start();
    try {
        USVSQLBackup::RestoreDatabase(FConnection, QStringLiteral("Copy"), backup, FRunning);
        ADD_FAILURE() << "a restore on a hung server reported success";
    } catch (const EVandrel& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Query timeout expired (2 seconds)."))) << e.what();
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("\r\nUnable to restore database."))) << e.what();
    }
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_FALSE(FConnection.Connected());
}

} // namespace

TEST_F(USVSQLBackupTest, VerificationOfSoundAndDamagedSetsAndTheHeader)
{
    TFakeSqlServer server(cFast);
    server.CreateDatabase(QStringLiteral("Sales"), cSalesData);
    Connect(server);
    const QString backup = Path(server, QStringLiteral("v.bak"));
    TBackupOptions options;
    options.Checksum = true;
    options.Compress = false;
    ASSERT_TRUE(USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), backup, options, FRunning));
    Record();
    EXPECT_TRUE(USVSQLBackup::VerifyBackup(FConnection, backup, FRunning));
    EXPECT_EQ(USVSQLBackup::LastVerifySQL,
              QStringLiteral("RESTORE VERIFYONLY FROM DISK = '%1' WITH CHECKSUM, STATS = 10").arg(backup));
    EXPECT_TRUE(FInfos.contains(QStringLiteral("50 percent processed.")));
    EXPECT_EQ(FInfos.last(), QStringLiteral("The backup set on file 1 is valid."));

    const TBackupHeader header = USVSQLBackup::GetBackupHeader(FConnection, backup);
    EXPECT_EQ(header.DatabaseName, QStringLiteral("Sales"));
    EXPECT_EQ(header.ServerName, QStringLiteral("FAKESQL"));
    EXPECT_LT(std::abs(header.BackupFinishDate.secsTo(QDateTime::currentDateTime())), 120);
    EXPECT_GT(header.BackupSize, cSalesData.size());

    // A second set: the newest is verified, named by its position.
    options.Append = true;
    ASSERT_TRUE(USVSQLBackup::BackupDatabase(FConnection, QStringLiteral("Sales"), backup, options, FRunning));
    EXPECT_TRUE(USVSQLBackup::VerifyBackup(FConnection, backup, FRunning));
    EXPECT_EQ(USVSQLBackup::LastVerifySQL,
              QStringLiteral("RESTORE VERIFYONLY FROM DISK = '%1' WITH FILE = 2, CHECKSUM, STATS = 10").arg(backup));
    EXPECT_EQ(FInfos.last(), QStringLiteral("The backup set on file 2 is valid."));
    EXPECT_EQ(USVSQLBackup::GetBackupHeader(FConnection, backup).Position, 2);

    // One flipped bit in the middle of the uncompressed pages.
    QFile file(backup);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype middle = bytes.indexOf(QByteArray("sales data page"), bytes.size() / 4 * 3);
    ASSERT_GT(middle, 0);
    bytes[middle] = static_cast<char>(bytes[middle] ^ 0x01);
    file.seek(0);
    file.write(bytes);
    file.close();
    try {
        USVSQLBackup::VerifyBackup(FConnection, backup, FRunning);
        ADD_FAILURE() << "a damaged set passed verification";
    } catch (const EVandrel& e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("Damage to the backup set was detected.\r\nVERIFY DATABASE is terminating "
                                 "abnormally.\r\nThe backup did not pass verification."));
    }
}

struct TPlanRow
{
    const char* Name;
    bool Move;
    QList<TBackupFile> Files;
    std::vector<const char*> Expected; // "logical -> physical", or the failure's message
};

TEST(USVSQLBackupPlan, EveryFileGetsItsPlaceOrTheRestoreIsRefused)
{
    const auto file = [](const char* aLogical, const char* aPhysical, const char* aType, int aId) {
        return TBackupFile{QString::fromUtf8(aLogical), QString::fromUtf8(aPhysical), QString::fromUtf8(aType), aId, 0};
    };
    // clang-format off
    const TPlanRow rows[] = {
        {"TwoFilesDerived", false, {file("Sales", "D:\\Data\\Sales.mdf", "D", 1), file("Sales_log", "L:\\Log\\Sales_log.ldf", "L", 2)},
         {"Sales -> D:\\Data\\Copy_data.mdf", "Sales_log -> L:\\Log\\Copy_log.ldf"}},
        {"ManyFilesDerivedInFileIdOrder", false,
         {file("S3", "/d2/s3.ndf", "D", 3), file("Sales", "/d/s.mdf", "D", 1), file("Log", "/l/s.ldf", "L", 2),
          file("Log2", "/l2/s2.ldf", "L", 4)},
         {"Sales -> /d/Copy_data.mdf", "Log -> /l/Copy_log.ldf", "S3 -> /d2/Copy_2.ndf", "Log2 -> /l2/Copy_log2.ldf"}},
        {"ManyFilesMovedBesideTheTypedPaths", true,
         {file("Sales", "/d/s.mdf", "D", 1), file("Log", "/l/s.ldf", "L", 2), file("S3", "/d2/s3.ndf", "D", 3),
          file("S4", "/d2/s4.ndf", "D", 4), file("Log2", "/l2/s2.ldf", "L", 5)},
         {"Sales -> /new/data/x.mdf", "Log -> /new/log/y.ldf", "S3 -> /new/data/Copy_2.ndf",
          "S4 -> /new/data/Copy_3.ndf", "Log2 -> /new/log/Copy_log2.ldf"}},
        {"FilestreamAndFullTextRefused", false,
         {file("Sales", "/d/s.mdf", "D", 1), file("Log", "/l/s.ldf", "L", 2), file("Docs", "/fs/docs", "S", 3),
          file("Ft", "/ft/cat", "F", 4)},
         {"The backup holds files this program does not place: 'Docs' (FILESTREAM or memory-optimized data), "
          "'Ft' (full-text catalog). Restore it by hand."}},
        {"NoLogFile", false, {file("Sales", "/d/s.mdf", "D", 1)}, {"Filenames not found in backup file."}},
    };
    // clang-format on
    for (const TPlanRow& row : rows) {
        SCOPED_TRACE(row.Name);
        QStringList got;
        try {
            for (const TFileMove& move : USVSQLBackup::PlanFileMoves(row.Files,
                                                                     QStringLiteral("Copy"),
                                                                     row.Move,
                                                                     QStringLiteral("/new/data/x.mdf"),
                                                                     QStringLiteral("/new/log/y.ldf")))
                got << move.LogicalName + QStringLiteral(" -> ") + move.PhysicalName;
        } catch (const EVandrel& e) {
            got << e.Message();
        }
        QStringList expected;
        for (const char* line : row.Expected)
            expected << QString::fromUtf8(line);
        EXPECT_EQ(got, expected);
    }
}

TEST(USVSQLBackupPlan, RestoreStatementOfTwoFilesIsTodaysAndMoreFilesFollow)
{
    const QList<TFileMove> two{
        {QStringLiteral("Sales"), QStringLiteral("E:\\Data\\Sales_data.mdf"), QStringLiteral("D")},
        {QStringLiteral("Sales_log"), QStringLiteral("E:\\Data\\Sales_log.ldf"), QStringLiteral("L")}};
    EXPECT_EQ(USVSQLBackup::RestoreStatement(QStringLiteral("Sales"), QStringLiteral("D:\\Backup\\x.bak"), 0, two),
              QStringLiteral("RESTORE DATABASE [Sales] FROM DISK = 'D:\\Backup\\x.bak' WITH REPLACE, MOVE 'Sales' TO "
                             "'E:\\Data\\Sales_data.mdf',MOVE 'Sales_log' TO 'E:\\Data\\Sales_log.ldf', STATS = 10"));
    QList<TFileMove> three = two;
    three << TFileMove{QStringLiteral("Sales_2"), QStringLiteral("E:\\Data\\Sales_2.ndf"), QStringLiteral("D")};
    EXPECT_EQ(USVSQLBackup::RestoreStatement(QStringLiteral("Sales"), QStringLiteral("x.bak"), 3, three),
              QStringLiteral("RESTORE DATABASE [Sales] FROM DISK = 'x.bak' WITH FILE = 3, REPLACE, MOVE 'Sales' TO "
                             "'E:\\Data\\Sales_data.mdf',MOVE 'Sales_log' TO 'E:\\Data\\Sales_log.ldf',MOVE 'Sales_2' "
                             "TO 'E:\\Data\\Sales_2.ndf', STATS = 10"));
}
