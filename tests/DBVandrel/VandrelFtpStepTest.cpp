// SPDX-License-Identifier: MIT
// The upload and download steps run through the run, without any widget, against a loopback FTP server: upload
// and download in one run, failures that end the run, and Cancel in the middle of a transfer.
#include "TServerProcess.h"
#include "UFtpTransfer.h"
#include "VandrelStepTestSupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <vector>

using namespace VandrelStepTest;

namespace {

/// aSize bytes of random data that does not compress.
QByteArray RandomBytes(qint64 aSize, quint32 aSeed)
{
    QRandomGenerator random(aSeed);
    std::vector<quint32> words(static_cast<size_t>((aSize + 3) / 4));
    random.fillRange(words.data(), static_cast<qsizetype>(words.size()));
    return QByteArray(reinterpret_cast<const char*>(words.data()), static_cast<qsizetype>(aSize));
}

class VandrelFtpStepTest : public ::testing::Test
{
protected:
    QTemporaryDir FTemp;
    TServerProcess FServer;
    TStepRun FRun;

    QString Root() const { return FTemp.filePath(QStringLiteral("root")); }
    QString Local() const { return FTemp.filePath(QStringLiteral("local")); }
    QString Archive() const { return Local() + QStringLiteral("/db.zip"); }
    QString Remote() const { return Root() + QStringLiteral("/in/box/db 1.zip"); }

    /// The server's rate in bytes per second.
    virtual qint64 MaxRate() const { return 16 * 1024 * 1024; }
    /// The server's further options.
    virtual QStringList ServerOptions() const { return {}; }

    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/in/box")));
        ASSERT_TRUE(QDir().mkpath(Local()));
        // A throttled server: a download that Cancel did not stop would still run a second and a half.
        FServer.StartPython(QStringLiteral("tests/support/ftpserver.py"),
                            QStringList{QStringLiteral("--root"),
                                        Root(),
                                        QStringLiteral("--port"),
                                        QStringLiteral("0"),
                                        QStringLiteral("--user"),
                                        QStringLiteral("vandrel:secret"),
                                        QStringLiteral("--max-rate"),
                                        QString::number(MaxRate()),
                                        QStringLiteral("--log-commands")} +
                                ServerOptions());
        FRun.Settings.FTPUrl = QStringLiteral("127.0.0.1:%1/in/box").arg(FServer.Port());
        FRun.Settings.FTPUser = QStringLiteral("vandrel");
        FRun.Settings.FTPPassword = QStringLiteral("secret");
        FRun.Settings.FTPFilename = QStringLiteral("db 1.zip");
        FRun.Settings.ArchiveFilename = Archive();
    }

    /// Ticks the download and, after it, an extract that only records that it ran.
    std::shared_ptr<TRecordingStep> TickDownload()
    {
        FRun.Settings.Download = FRun.Settings.Extract = true;
        return FRun.Record(siExtract);
    }
};

using TArrows = QList<std::pair<TArrowDirection, int>>;

TEST_F(VandrelFtpStepTest, UploadThenDownloadInOneRun)
{
    const QByteArray original = RandomBytes(3 * 1024 * 1024 + 5, 11);
    WriteFile(Archive(), original);
    FRun.Settings.Upload = FRun.Settings.Download = true;
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Report(), QStringList()) << FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess);
    EXPECT_EQ(ReadFile(Remote()), original);
    EXPECT_EQ(ReadFile(Archive()), original);
    EXPECT_EQ(QDir(Local()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db.zip")});
    EXPECT_EQ(FRun.LastProgress(), 100);
    ASSERT_FALSE(FRun.FtpStatuses.isEmpty());
    EXPECT_EQ(FRun.FtpStatuses.last(), UFtpTransfer::fsDisconnected);
    EXPECT_EQ(FRun.Arrows, (TArrows{{adUp, 72}, {adNone, 0}, {adDown, 72}, {adNone, 0}}));
    FServer.Stop();
    const QString log = FServer.Output();
    EXPECT_TRUE(log.contains(QStringLiteral("<- STOR db 1.zip.part.vandrel"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("<- RETR db 1.zip"))) << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("<- CWD in/box")), 2) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("<- EPSV"))) << "a new settings file transfers in passive mode";
}

// A settings file written before the protocol records existed: plain FTP in active mode, exactly as before.
TEST_F(VandrelFtpStepTest, OlderSettingsFile_PlainFtpInActiveMode)
{
    const QByteArray original = RandomBytes(64 * 1024, 3);
    WriteFile(Archive(), original);
    FRun.Settings.FTPProtocol = QStringLiteral("FTP"); // the values such a file reads for the absent records
    FRun.Settings.FTPPassive = false;
    FRun.Settings.Upload = true;
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(ReadFile(Remote()), original);
    FServer.Stop();
    const QString log = FServer.Output();
    EXPECT_TRUE(log.contains(QStringLiteral("<- PORT ")) || log.contains(QStringLiteral("<- EPRT ")))
        << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("<- EPSV")) || log.contains(QStringLiteral("<- PASV")));
    EXPECT_FALSE(log.contains(QStringLiteral("<- AUTH")));
}

TEST_F(VandrelFtpStepTest, UploadRemovesWhatAKilledUploadLeftAndSaysSo)
{
    const QByteArray original = RandomBytes(64 * 1024, 5);
    WriteFile(Archive(), original);
    WriteFile(Remote() + QStringLiteral(".part.vandrel"), QByteArrayLiteral("half an upload"));
    WriteFile(Root() + QStringLiteral("/in/box/db 1.zip.part"), QByteArrayLiteral("not ours"));
    FRun.Settings.Upload = true;
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess);
    EXPECT_EQ(FRun.Report(),
              QStringList{QStringLiteral("Removed \"db 1.zip.part.vandrel\" from the FTP server: an earlier upload "
                                         "that did not finish left it there.")})
        << FRun.ReportText();
    EXPECT_EQ(ReadFile(Remote()), original);
    EXPECT_EQ(
        QDir(Root() + QStringLiteral("/in/box")).entryList(QDir::Files),
        (QStringList{QStringLiteral("db 1.zip"), QStringLiteral("db 1.zip.part"), QStringLiteral("db 1.zip.sha256")}));
}

struct TDownloadFailureRow
{
    const char* Name;
    QString Password;
    QString Expected; ///< the last report line, or a text within the report
};

class VandrelFtpDownloadFailureTest : public VandrelFtpStepTest,
                                      public ::testing::WithParamInterface<TDownloadFailureRow>
{
};

TEST_P(VandrelFtpDownloadFailureTest, EndsTheRunAndKeepsTheLocalArchive)
{
    const TDownloadFailureRow& row = GetParam();
    FRun.Settings.FTPPassword = row.Password;
    WriteFile(Archive(), "an archive of an earlier run");
    const auto extract = TickDownload();
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(report.last() == row.Expected || report.join(QLatin1Char(' ')).contains(row.Expected))
        << FRun.ReportText();
    ASSERT_FALSE(FRun.Lines.isEmpty());
    EXPECT_TRUE(FRun.Lines.last().Failure);
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(extract->Ran);
    EXPECT_EQ(ReadFile(Archive()), QByteArray("an archive of an earlier run"));
    ASSERT_FALSE(FRun.FtpStatuses.isEmpty());
    EXPECT_EQ(FRun.FtpStatuses.last(), UFtpTransfer::fsDisconnected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Download, VandrelFtpDownloadFailureTest, ::testing::Values(
    TDownloadFailureRow{"FileNotOnTheServer", QStringLiteral("secret"),
        QStringLiteral("FTP Directory '/in/box' does not appear to contain a file named: db 1.zip")},
    TDownloadFailureRow{"LoginRefused", QStringLiteral("wrong"), QStringLiteral("530")}),
    [](const ::testing::TestParamInfo<TDownloadFailureRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

TEST_F(VandrelFtpStepTest, UploadedArchiveAndChecksumPassSha256sum)
{
    const QString sha256sum = QStandardPaths::findExecutable(QStringLiteral("sha256sum"));
    ASSERT_FALSE(sha256sum.isEmpty());
    ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/in/box/sub")));
    WriteFile(Archive(), RandomBytes(200 * 1024, 3));
    // A name with a folder gets its checksum file beside it.
    for (const QString& name : {QStringLiteral("db 1.zip"), QStringLiteral("sub/db 2.zip")}) {
        TStepRun run;
        run.Settings = FRun.Settings;
        run.Settings.Upload = true;
        run.Settings.FTPFilename = name;
        ASSERT_TRUE(run.RunToEnd());
        EXPECT_EQ(run.Run.Outcome(), roSuccess) << run.ReportText();
        const QFileInfo remote(Root() + QStringLiteral("/in/box/") + name);
        EXPECT_EQ(ReadFile(remote.filePath()), ReadFile(Archive()));
        QProcess check;
        check.setWorkingDirectory(remote.path());
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(sha256sum, {QStringLiteral("-c"), remote.fileName() + QStringLiteral(".sha256")});
        ASSERT_TRUE(check.waitForFinished(30000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();
    }
}

TEST_F(VandrelFtpStepTest, NameWithAFolder_BothWays_AndANameLeavingTheDirectoryRefused)
{
    ASSERT_TRUE(QDir().mkpath(Root() + QStringLiteral("/in/box/weekly")));
    const QByteArray original = RandomBytes(100 * 1024, 5);
    WriteFile(Archive(), original);
    FRun.Settings.FTPFilename = QStringLiteral("weekly/db 3.zip");
    FRun.Settings.Upload = FRun.Settings.Download = true;
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(ReadFile(Root() + QStringLiteral("/in/box/weekly/db 3.zip")), original);
    EXPECT_TRUE(QFileInfo::exists(Root() + QStringLiteral("/in/box/weekly/db 3.zip.sha256")));
    EXPECT_EQ(ReadFile(Archive()), original);

    TStepRun escaping;
    escaping.Settings = FRun.Settings;
    escaping.Settings.Download = false;
    escaping.Settings.FTPFilename = QStringLiteral("../escaped.zip");
    ASSERT_TRUE(escaping.RunToEnd());
    EXPECT_EQ(escaping.Run.Outcome(), roFailed);
    EXPECT_NE(escaping.ReportText().find("\"..\" part"), std::string::npos) << escaping.ReportText();
    EXPECT_EQ(QDir(Root() + QStringLiteral("/in")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

struct TChecksumRow
{
    const char* Name;
    QByteArray Checksum; ///< the checksum file on the server, "-" for none; "@" stands for the archive's digest
    bool Required;
    QString Line; ///< the last report line
    bool Failed;
};

class VandrelFtpChecksumTest : public VandrelFtpStepTest, public ::testing::WithParamInterface<TChecksumRow>
{
};

TEST_P(VandrelFtpChecksumTest, DownloadChecksTheArchiveBeforeItReplacesTheLocalOne)
{
    const TChecksumRow& row = GetParam();
    const QByteArray archive = RandomBytes(512 * 1024, 9);
    WriteFile(Remote(), archive);
    const QByteArray digest = QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex();
    if (row.Checksum != "-")
        WriteFile(Remote() + QStringLiteral(".sha256"), QByteArray(row.Checksum).replace("@", digest));
    WriteFile(Archive(), "an archive of an earlier run");
    FRun.Settings.RequireChecksum = row.Required;
    const auto extract = TickDownload();
    ASSERT_TRUE(FRun.RunToEnd());

    const QString line = QString(row.Line).replace(QLatin1Char('@'), QString::fromLatin1(digest));
    EXPECT_EQ(FRun.Report(), line.isEmpty() ? QStringList() : QStringList{line});
    EXPECT_EQ(FRun.FailureLines(), row.Failed ? 1 : 0) << FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), row.Failed ? roFailed : roSuccess);
    EXPECT_EQ(extract->Ran.load(), !row.Failed);
    EXPECT_EQ(ReadFile(Archive()), row.Failed ? QByteArray("an archive of an earlier run") : archive);
    EXPECT_EQ(QDir(Local()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db.zip")});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Download, VandrelFtpChecksumTest, ::testing::Values(
    TChecksumRow{"Matches", "@ *db 1.zip\n", true, QString(), false},
    TChecksumRow{"Mismatch", QByteArray(64, '0') + "  db 1.zip\n", false,
        QStringLiteral("The downloaded archive does not match its checksum file \"db 1.zip.sha256\" (SHA-256 %1 "
                       "expected, %2 received): the local archive was kept as it was.")
            .arg(QString(64, QLatin1Char('0')), QStringLiteral("@")), true},
    TChecksumRow{"ForAnotherName", "@  db 2.zip\n", false,
        QStringLiteral("The checksum file \"db 1.zip.sha256\" holds no SHA-256 checksum for \"db 1.zip\"."), true},
    TChecksumRow{"MissingAndRequired", "-", true,
        QStringLiteral("The archive could not be verified: the FTP server has no checksum file \"db 1.zip.sha256\". "
                       "A checksum is required: the local archive was kept as it was."), true},
    TChecksumRow{"MissingAndNotRequired", "-", false,
        QStringLiteral("The archive could not be verified: the FTP server has no checksum file \"db 1.zip.sha256\"."),
        false}),
    [](const ::testing::TestParamInfo<TChecksumRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

/// A server that refuses the upload's temporary names, as one that refuses the extension does.
class VandrelFtpTemporaryRefusedTest : public VandrelFtpStepTest
{
protected:
    QStringList ServerOptions() const override
    {
        return {QStringLiteral("--refuse-store"), QStringLiteral("*.part.vandrel")};
    }
};

TEST_F(VandrelFtpTemporaryRefusedTest, UploadStoresArchiveAndChecksumUnderTheirNamesAndSaysSo)
{
    const QByteArray original = RandomBytes(300 * 1024, 8);
    WriteFile(Archive(), original);
    WriteFile(Remote(), "the archive of an earlier run");
    FRun.Settings.Upload = FRun.Settings.Download = true; // the download checks the archive against its checksum
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_EQ(FRun.Report(),
              (QStringList{QStringLiteral("The FTP server refused the temporary name \"db 1.zip.part.vandrel\" (553 "
                                          "Could not create file.): the archive is stored under \"db 1.zip\" directly, "
                                          "and an archive already there is overwritten in place."),
                           QStringLiteral("The FTP server refused the temporary name \"db 1.zip.sha256.part.vandrel\" "
                                          "(553 Could not create file.): the file is stored under \"db 1.zip.sha256\" "
                                          "directly, and a file already there is overwritten in place.")}));
    EXPECT_EQ(ReadFile(Remote()), original);
    EXPECT_EQ(ReadFile(Archive()), original);
    EXPECT_EQ(QDir(Root() + QStringLiteral("/in/box")).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("db 1.zip"), QStringLiteral("db 1.zip.sha256")}));
}

/// A server slow enough that the bar moves many times during a download, even when the client reads each burst
/// of the server's in one go.
class VandrelFtpSlowServerTest : public VandrelFtpStepTest
{
protected:
    qint64 MaxRate() const override { return 2 * 1024 * 1024; }
};

TEST_F(VandrelFtpSlowServerTest, CancelDuringDownload_KeepsTheOlderArchive)
{
    WriteFile(Remote(), RandomBytes(6 * 1024 * 1024, 12));
    WriteFile(Archive(), "older archive");
    const auto extract = TickDownload();
    const auto download = FRun.Watch(siDownload);
    // Cancel is pressed once the bar has started to move, i.e. in the middle of the retrieval.
    int progressAtCancel = -1;
    QObject::connect(&FRun.Run, &TVandrelRun::ProgressChanged, [&](int aPercent) {
        if (aPercent > 0 && progressAtCancel < 0) {
            progressAtCancel = aPercent;
            FRun.Run.Cancel();
        }
    });
    bool downloadBusyAtEnd = true;
    QObject::connect(&FRun.Run, &TVandrelRun::Finished, [&] { downloadBusyAtEnd = download->Busy; });
    ASSERT_TRUE(FRun.RunToEnd());

    ASSERT_GT(progressAtCancel, 0);
    EXPECT_LT(progressAtCancel, 100) << "the transfer ended before Cancel";
    EXPECT_EQ(FRun.Report(), QStringList{QStringLiteral("FTP Canceled.")});
    EXPECT_EQ(FRun.FailureLines(), 0);
    EXPECT_EQ(FRun.Run.Outcome(), roCancelled);
    EXPECT_FALSE(downloadBusyAtEnd) << "the run ended without waiting for the transfer to stop";
    EXPECT_FALSE(extract->Ran);
    EXPECT_EQ(ReadFile(Archive()), QByteArray("older archive"));
    EXPECT_EQ(QDir(Local()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db.zip")});
    ASSERT_FALSE(FRun.FtpStatuses.isEmpty());
    EXPECT_EQ(FRun.FtpStatuses.last(), UFtpTransfer::fsDisconnected);
}

} // namespace
