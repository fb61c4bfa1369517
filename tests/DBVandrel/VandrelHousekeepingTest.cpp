// SPDX-License-Identifier: MIT
// Housekeeping against a loopback FTP server: the retention of dated archives on the server and on disk after a
// successful run (and nothing after a failed one), and the transfer limit on uploads and downloads.
#include "VandrelHousekeeping.h"
#include "EVandrel.h"
#include "TServerProcess.h"
#include "UFtpTransfer.h"
#include "VandrelStepTestSupport.h"

#include <QElapsedTimer>

using namespace VandrelStepTest;
using namespace VandrelHousekeeping;

namespace {

const QString cFtpFormat = QStringLiteral("'DB'mm-dd-yyyy'.bin'");

TEST(VandrelHousekeepingTest, ExpiredNames_OnlyTheOldestOfTheFormatGo)
{
    const QStringList names = {QStringLiteral("DB01-03-2025.bin"),
                               QStringLiteral("DB12-30-2024.bin"),
                               QStringLiteral("notes.txt"),
                               QStringLiteral("DB01-02-2025.bin.sha256"),
                               QStringLiteral("DB01-01-2020.bin.old"),
                               QStringLiteral("DB01-05-2025.bin"),
                               QStringLiteral("DB12-31-2024.bin"),
                               QStringLiteral("DB01-02-2025.bin")};
    const QStringList today = {QStringLiteral("DB01-05-2025.bin")};
    EXPECT_EQ(ExpiredNames(names, cFtpFormat, 3, today),
              (QStringList{QStringLiteral("DB12-30-2024.bin"), QStringLiteral("DB12-31-2024.bin")}));
    // The file the run made stays even when its date is not the newest.
    EXPECT_EQ(ExpiredNames(names, cFtpFormat, 1, {QStringLiteral("DB12-30-2024.bin")}),
              (QStringList{QStringLiteral("DB12-31-2024.bin"),
                           QStringLiteral("DB01-02-2025.bin"),
                           QStringLiteral("DB01-03-2025.bin"),
                           QStringLiteral("DB01-05-2025.bin")}));
    EXPECT_EQ(ExpiredNames(names, cFtpFormat, 0, today), QStringList());
    EXPECT_EQ(ExpiredNames(names, QString(), 1, today), QStringList());
    EXPECT_EQ(ExpiredNames(names, cFtpFormat, 10, today), QStringList());
}

TEST(VandrelHousekeepingTest, Values_BadOnesSayWhatIsExpected)
{
    EXPECT_EQ(TransferLimitBytes(QString()), 0);
    EXPECT_EQ(TransferLimitBytes(QStringLiteral(" 512 ")), 512 * 1024);
    EXPECT_EQ(KeepCount(QStringLiteral("7"), QStringLiteral("K")), 7);
    EXPECT_EQ(KeepCount(QString(), QStringLiteral("K")), 0);
    for (const char* bad : {"fast", "-5", "1.5", "99999999999999999999", "10 KiB"}) {
        try {
            TransferLimitBytes(QString::fromUtf8(bad));
            ADD_FAILURE() << "accepted " << bad;
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().contains(QLatin1String("is not a number of KiB/s"))) << e.Message().toStdString();
        }
        EXPECT_THROW(KeepCount(QString::fromUtf8(bad), QStringLiteral("K")), EVandrel) << bad;
    }
}

/// Fails the step it stands in for.
class TFailingStep : public IVandrelStep
{
public:
    void Run(TStepContext&) override { throw EVandrel(QStringLiteral("Restore Error:the database is in use")); }
};

class VandrelHousekeepingRunTest : public ::testing::Test
{
protected:
    QTemporaryDir FTemp;
    TServerProcess FServer;
    TStepRun FRun;

    QString Root() const { return FTemp.filePath(QStringLiteral("root")); }
    QString Local() const { return FTemp.filePath(QStringLiteral("local")); }
    QStringList RemoteFiles() const { return QDir(Root()).entryList(QDir::Files, QDir::Name); }
    QStringList LocalFiles() const { return QDir(Local()).entryList(QDir::Files, QDir::Name); }

    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        ASSERT_TRUE(QDir().mkpath(Root()));
        ASSERT_TRUE(QDir().mkpath(Local()));
        FServer.StartPython(
            QStringLiteral("tests/support/ftpserver.py"),
            {QStringLiteral("--root"), Root(), QStringLiteral("--user"), QStringLiteral("vandrel:secret")});
        FRun.Settings.FTPUrl = QStringLiteral("127.0.0.1:%1").arg(FServer.Port());
        FRun.Settings.FTPUser = QStringLiteral("vandrel");
        FRun.Settings.FTPPassword = QStringLiteral("secret");
        FRun.Settings.FTPFilename = QStringLiteral("DB01-05-2025.bin");
        FRun.Settings.ArchiveFilename = Local() + QStringLiteral("/01-05-2025.zip");
        WriteFile(FRun.Settings.ArchiveFilename, QByteArray(4096, 'a'));
        // Earlier nights' archives with their checksums, and files of other forms that must stay.
        for (const char* name : {"DB12-30-2024.bin",
                                 "DB12-31-2024.bin",
                                 "DB12-31-2024.bin.sha256",
                                 "DB01-02-2025.bin",
                                 "DB01-02-2025.bin.sha256",
                                 "DB01-03-2025.bin",
                                 "DB01-01-2020.bin.old",
                                 "notes.txt"})
            WriteFile(Root() + QLatin1Char('/') + QLatin1String(name), "x");
        ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/DB01-01-2019.bin")));
    }

    QStringList RemovedLines() const
    {
        QStringList removed;
        for (const QString& line : FRun.Report())
            if (line.startsWith(QLatin1String("Removed")))
                removed.append(line);
        return removed;
    }
};

TEST_F(VandrelHousekeepingRunTest, AfterAnUpload_TheOldestArchivesOfTheFormatGoWithTheirChecksums)
{
    FRun.Settings.Upload = true;
    FRun.Settings.FTPNameFormat = cFtpFormat;
    FRun.Settings.KeepRemote = QStringLiteral("3");
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(RemoteFiles(),
              (QStringList{QStringLiteral("DB01-01-2020.bin.old"),
                           QStringLiteral("DB01-02-2025.bin"),
                           QStringLiteral("DB01-02-2025.bin.sha256"),
                           QStringLiteral("DB01-03-2025.bin"),
                           QStringLiteral("DB01-05-2025.bin"),
                           QStringLiteral("DB01-05-2025.bin.sha256"),
                           QStringLiteral("notes.txt")}));
    EXPECT_TRUE(QFileInfo(Root() + QStringLiteral("/DB01-01-2019.bin")).isDir());
    EXPECT_EQ(RemovedLines(),
              (QStringList{
                  QStringLiteral("Removed \"DB12-30-2024.bin\" from the FTP server (keeping the newest 3)."),
                  QStringLiteral("Removed \"DB12-31-2024.bin\" from the FTP server (keeping the newest 3)."),
                  QStringLiteral("Removed \"DB12-31-2024.bin.sha256\" from the FTP server (keeping the newest 3).")}))
        << FRun.ReportText();
}

TEST_F(VandrelHousekeepingRunTest, AFailedRun_RemovesNothing)
{
    FRun.Settings.Upload = FRun.Settings.Restore = true;
    FRun.Settings.FTPNameFormat = cFtpFormat;
    FRun.Settings.KeepRemote = QStringLiteral("1");
    FRun.Settings.KeepLocal = QStringLiteral("1");
    FRun.Run.SetStep(siRestore, std::make_shared<TFailingStep>());
    const QStringList before = RemoteFiles();
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    QStringList expected =
        before + QStringList{QStringLiteral("DB01-05-2025.bin"), QStringLiteral("DB01-05-2025.bin.sha256")};
    expected.sort();
    EXPECT_EQ(RemoteFiles(), expected);
    EXPECT_EQ(RemovedLines(), QStringList()) << FRun.ReportText();
}

TEST_F(VandrelHousekeepingRunTest, LocalFolders_KeepTheNewestBackupsAndArchives)
{
    // The archive folder holds the backups too; each format keeps its own newest.
    FRun.Settings.Compress = true;
    FRun.Record(siZip);
    FRun.Settings.Backup = true;
    FRun.Record(siBackup);
    FRun.Settings.BackupFilename = Local() + QStringLiteral("/DB01-05-2025.bak");
    FRun.Settings.KeepLocal = QStringLiteral("2");
    for (const char* name : {"DB01-05-2025.bak",
                             "DB01-04-2025.bak",
                             "DB01-03-2025.bak",
                             "01-03-2025.zip",
                             "01-02-2025.zip",
                             "01-02-2025.zip.sha256",
                             "01-01-2025.zip",
                             "keep-me.zip"})
        WriteFile(Local() + QLatin1Char('/') + QLatin1String(name), "x");
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(LocalFiles(),
              (QStringList{QStringLiteral("01-03-2025.zip"),
                           QStringLiteral("01-05-2025.zip"),
                           QStringLiteral("DB01-04-2025.bak"),
                           QStringLiteral("DB01-05-2025.bak"),
                           QStringLiteral("keep-me.zip")}));
    EXPECT_EQ(RemovedLines().size(), 4) << FRun.ReportText();
    EXPECT_TRUE(FRun.ReportText().find("DB01-03-2025.bak\" (keeping the newest 2).") != std::string::npos)
        << FRun.ReportText();
}

TEST_F(VandrelHousekeepingRunTest, TransferLimit_PacesTheUploadAndABadValueStopsItBeforeConnecting)
{
    // 96 KiB at 32 KiB/s take about three seconds; without the limit, milliseconds on loopback.
    WriteFile(FRun.Settings.ArchiveFilename, QByteArray(96 * 1024, 'z'));
    FRun.Settings.Upload = true;
    FRun.Settings.TransferLimit = QStringLiteral("32");
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_GE(clock.elapsed(), 1500);
    EXPECT_EQ(ReadFile(Root() + QStringLiteral("/DB01-05-2025.bin")).size(), 96 * 1024);

    FRun.Settings.TransferLimit = QStringLiteral("a lot");
    FRun.Lines.clear();
    FRun.FtpStatuses.clear();
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    ASSERT_FALSE(FRun.Lines.isEmpty());
    EXPECT_TRUE(FRun.Lines.last().Text.contains(QLatin1String("The transfer limit \"a lot\" is not a number of KiB/s")))
        << FRun.ReportText();
    EXPECT_TRUE(FRun.FtpStatuses.isEmpty()) << "it connected";
}

// Under the limit, progress keeps coming and a short stall guard does not mistake the pacing for a stall.
TEST_F(VandrelHousekeepingRunTest, TransferLimit_ProgressAndStallGuardUnderTheLimit)
{
    using namespace UFtpTransfer;
    const QByteArray data(160 * 1024, 'q');
    WriteFile(Local() + QStringLiteral("/up.bin"), data);
    for (const bool download : {false, true}) {
        TFtpTransfer ftp(FRun.Settings.FTPUrl, QStringLiteral("vandrel"), QStringLiteral("secret"));
        ftp.SetTransferLimit(40 * 1024);
        ftp.SetStallTimeout(std::chrono::seconds(1));
        QList<qint64> counts;
        ftp.SetWorkHandler([&counts](qint64 aCount, qint64) {
            counts.append(aCount);
            return true;
        });
        QElapsedTimer clock;
        clock.start();
        const TFtpResult result = download
                                      ? ftp.Download(QStringLiteral("paced.bin"), Local() + QStringLiteral("/down.bin"))
                                      : ftp.Upload(Local() + QStringLiteral("/up.bin"), QStringLiteral("paced.bin"));
        EXPECT_EQ(result, frDone) << (download ? "download" : "upload");
        EXPECT_GE(clock.elapsed(), 2000) << (download ? "download" : "upload");
        qsizetype between = 0;
        for (const qint64 count : counts)
            between += count > 0 && count < data.size() ? 1 : 0;
        EXPECT_GE(between, 2) << "progress while paced: " << (download ? "download " : "upload ") << counts.size();
    }
    EXPECT_EQ(ReadFile(Local() + QStringLiteral("/down.bin")), data);
}

} // namespace
