// SPDX-License-Identifier: MIT
// The real program started as a scheduler starts it: no display and a settings file with Auto Start ticked. Its exit
// status tells success from failure, SIGTERM cancels the running step cleanly, a start regenerates the names and
// takes "ftp://" off the address, and a run that succeeds writes nothing on standard error: no widget, no platform.
#include "TServerProcess.h"
#include "TestFiles.h"
#include "TestPaths.h"
#include "VandrelHeadless.h"
#include "VandrelRun.h"
#include "VandrelSettings.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

using TestFiles::ReadFile;
using TestFiles::WriteFile;
using TestFiles::WriteServerArchive;

namespace {

class VandrelUnattendedTest : public ::testing::Test
{
protected:
    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<TServerProcess> FFtp;

    void SetUp() override
    {
        FDir = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(FDir->isValid());
        // The settings go to the program's default file in a private configuration folder.
        qputenv("XDG_CONFIG_HOME", FDir->path().toUtf8());
        ASSERT_TRUE(QDir().mkpath(Path("ftp")));
        WriteFile(Path("local/archive.zip"), QByteArrayLiteral("the archive of yesterday"));
        FFtp = std::make_unique<TServerProcess>();
        // 2 MB/s: an 8 MB download lasts long enough to be stopped in the middle.
        FFtp->StartPython(QStringLiteral("tests/support/ftpserver.py"),
                          {QStringLiteral("--root"),
                           Path("ftp"),
                           QStringLiteral("--user"),
                           QStringLiteral("vandrel:secret"),
                           QStringLiteral("--max-rate"),
                           QStringLiteral("2000000"),
                           QStringLiteral("--log-commands")});
    }

    void TearDown() override
    {
        FFtp.reset();
        FDir.reset();
    }

    QString Path(const char* aName) const { return FDir->filePath(QLatin1String(aName)); }

    /// Auto Start, and the loopback server's account.
    TVandrelSettings FtpSettings() const
    {
        TVandrelSettings settings;
        settings.Automated = true;
        settings.FTPUrl = QStringLiteral("127.0.0.1:%1").arg(FFtp->Port());
        settings.FTPUser = QStringLiteral("vandrel");
        settings.FTPPassword = QStringLiteral("secret");
        return settings;
    }

    /// A download of aRemoteName over the local archive, under fixed names.
    TVandrelSettings DownloadSettings(const QString& aRemoteName) const
    {
        TVandrelSettings settings = FtpSettings();
        settings.Download = true;
        settings.FTPNameFormat.clear();
        settings.FTPFilename = aRemoteName;
        settings.ArchiveDateBasedName.clear();
        settings.ArchiveFilename = Path("local/archive.zip");
        settings.BackupNameFormat.clear();
        return settings;
    }

    /// Saves aSettings as the default job, as Save in the window would.
    static void Save(const TVandrelSettings& aSettings)
    {
        const QString file = DefaultSettingsFileName();
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).path()));
        SaveSettingsFile(file, cSettingsKey, aSettings);
    }

    /// The environment of a scheduled job: no display, no platform named, no session.
    QProcessEnvironment JobEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), FDir->path());
        return env;
    }

    /// Starts the program on the default job.
    static void Start(QProcess& aProgram, const QProcessEnvironment& aEnvironment)
    {
        aProgram.setProcessEnvironment(aEnvironment);
        aProgram.start(QStringLiteral(VANDREL_BINARY), {});
        ASSERT_TRUE(aProgram.waitForStarted());
    }

    /// Runs the program on the default job to its end.
    void RunToEnd(QProcess& aProgram, const QProcessEnvironment& aEnvironment)
    {
        Start(aProgram, aEnvironment);
        ASSERT_TRUE(aProgram.waitForFinished(60000)) << "the unattended run did not end by itself";
        ASSERT_EQ(aProgram.exitStatus(), QProcess::NormalExit);
    }

    QStringList LocalFiles() const { return QDir(Path("local")).entryList(QDir::Files | QDir::NoDotAndDotDot); }
};

TEST_F(VandrelUnattendedTest, SuccessfulRunExitsWithZero)
{
    WriteServerArchive(Path("ftp/today.zip"), QByteArray(4096, 'x'));
    Save(DownloadSettings(QStringLiteral("today.zip")));
    QProcess program;
    RunToEnd(program, JobEnvironment());
    EXPECT_EQ(program.exitCode(), esSuccess);
    EXPECT_EQ(ReadFile(Path("local/archive.zip")), QByteArray(4096, 'x'));
}

TEST_F(VandrelUnattendedTest, FailedRunExitsNonZeroWithTheFailureOnStandardOutput)
{
    Save(DownloadSettings(QStringLiteral("missing.zip")));
    QProcess program;
    RunToEnd(program, JobEnvironment());
    EXPECT_EQ(program.exitCode(), esRunFailed);
    const QString output = QString::fromUtf8(program.readAllStandardOutput());
    EXPECT_TRUE(output.contains(QStringLiteral("does not appear to contain a file named: missing.zip")))
        << output.toStdString();
    EXPECT_EQ(ReadFile(Path("local/archive.zip")), QByteArrayLiteral("the archive of yesterday"));
}

TEST_F(VandrelUnattendedTest, TerminateCancelsTheStepAndKeepsTheOldArchive)
{
    WriteServerArchive(Path("ftp/big.zip"), QByteArray(8 * 1024 * 1024, 'y'));
    Save(DownloadSettings(QStringLiteral("big.zip")));
    QProcess program;
    Start(program, JobEnvironment());
    // The server logs RETR when the transfer starts: the signal then lands in the middle of it.
    ASSERT_TRUE(QTest::qWaitFor([this] { return FFtp->Output().contains(QStringLiteral("RETR big.zip")); }, 20000));
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(20000)) << "SIGTERM did not end the program";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), esTerminated);
    EXPECT_EQ(ReadFile(Path("local/archive.zip")), QByteArrayLiteral("the archive of yesterday"));
    EXPECT_EQ(LocalFiles(), QStringList{QStringLiteral("archive.zip")});
}

TEST_F(VandrelUnattendedTest, NothingToDoExitsWithTwo)
{
    // No settings file: the defaults do not tick Auto Start.
    QProcess program;
    RunToEnd(program, JobEnvironment());
    EXPECT_EQ(program.exitCode(), esNothingToDo);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(errors.contains(QStringLiteral("Auto Start"))) << errors.toStdString();
}

TEST_F(VandrelUnattendedTest, StartRegeneratesTheNamesAndTakesTheFtpPrefixOff)
{
    // Saved days ago: stale names, and the address typed with its prefix.
    TVandrelSettings settings = FtpSettings();
    settings.Upload = true;
    settings.FTPUrl = QStringLiteral("ftp://127.0.0.1:%1").arg(FFtp->Port());
    settings.FTPNameFormat = QStringLiteral("'Nightly'yyyy-mm-dd'.bin'");
    settings.FTPFilename = QStringLiteral("Nightly2020-01-01.bin");
    settings.ArchiveDateBasedName = QStringLiteral("'Sales'yyyy-mm-dd'.zip'");
    settings.ArchiveFilename = Path("local/Sales2020-01-01.zip");
    Save(settings);
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    WriteFile(FDir->filePath(QStringLiteral("local/Sales%1.zip").arg(today)),
              QByteArrayLiteral("the archive of today"));

    QProcess program;
    RunToEnd(program, JobEnvironment());
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    EXPECT_EQ(program.exitCode(), esSuccess) << errors.toStdString();
    EXPECT_EQ(ReadFile(FDir->filePath(QStringLiteral("ftp/Nightly%1.bin").arg(today))),
              QByteArrayLiteral("the archive of today"));
    EXPECT_EQ(
        QDir(Path("ftp")).entryList(QDir::Files),
        (QStringList{QStringLiteral("Nightly%1.bin").arg(today), QStringLiteral("Nightly%1.bin.sha256").arg(today)}));
    EXPECT_EQ(errors, VandrelConsole::ForDisplay(FtpPrefixMessage()) + QLatin1Char('\n'));
}

struct TQuietRow
{
    const char* Name;
    /// Variables set on top of a scheduled job's environment.
    std::vector<std::pair<const char*, const char*>> Set;
};

class VandrelUnattendedQuietTest : public VandrelUnattendedTest, public ::testing::WithParamInterface<TQuietRow>
{
};

TEST_P(VandrelUnattendedQuietTest, SuccessfulRunWritesNothingOnStandardError)
{
    WriteServerArchive(Path("ftp/today.zip"), QByteArray(4096, 'x'));
    Save(DownloadSettings(QStringLiteral("today.zip")));
    QProcessEnvironment env = JobEnvironment();
    for (const auto& [name, value] : GetParam().Set)
        env.insert(QLatin1String(name), QLatin1String(value));
    QProcess program;
    RunToEnd(program, env);
    EXPECT_EQ(program.exitCode(), esSuccess);
    // Any widget would need a platform plugin: it would fail without a display, or warn on the offscreen platform.
    EXPECT_EQ(QString::fromUtf8(program.readAllStandardError()), QString());
    EXPECT_EQ(ReadFile(Path("local/archive.zip")), QByteArray(4096, 'x'));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Environments, VandrelUnattendedQuietTest, ::testing::Values(
    TQuietRow{"NoDisplayNoSession", {}},
    TQuietRow{"NoPlatformPluginToLoad", {{"QT_QPA_PLATFORM_PLUGIN_PATH", "/nonexistent"}, {"QT_PLUGIN_PATH", "/nonexistent"}}},
    TQuietRow{"OffscreenPlatformWithADisplayNamed", {{"QT_QPA_PLATFORM", "offscreen"}, {"DISPLAY", ":0"}}}),
    [](const ::testing::TestParamInfo<TQuietRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

} // namespace
