// SPDX-License-Identifier: MIT
// The real program as a scheduler runs it (no display) against loopback FTP and the fake SQL Server: the command
// line it refuses, damaged settings files, one run of a settings file at a time, the log on standard output and in
// the history file, the restore's server messages as they come, the reason of a refused login, SIGTERM during a
// login, the job's own connection beside its settings file, and the modes of the files it writes.
#include "TDBConnection.h"
#include "TFakeSqlServer.h"
#include "TServerProcess.h"
#include "TestFiles.h"
#include "TestPaths.h"
#include "UDatCon.h"
#include "UPersistRecords.h"
#include "USVSQLBackup.h"
#include "UVersionInfo.h"
#include "VandrelRun.h"
#include "VandrelSalesData.h"
#include "VandrelSettings.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

using TestFiles::ReadFile;
using TestFiles::WriteFile;
using TestFiles::WriteServerArchive;

using VandrelSalesData::MakeBackup;
using VandrelSalesData::SalesData;

namespace {

/// How long a run that should end by itself may take.
constexpr int cRunMs = 60000;

/// The permission bits of a file; -1 when it does not exist.
int ModeOf(const QString& aName)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(aName).constData(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

/// Bytes that change along the file, so that a shifted, cut or mixed copy shows.
QByteArray Pattern(qsizetype aSize)
{
    QByteArray data(aSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < aSize; ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

/// aServer's connection string with a password it refuses.
QString WrongPassword(const TFakeSqlServer& aServer, const QString& aDatabase)
{
    return aServer.ConnectionString(aDatabase).replace(QStringLiteral("Password=Secret1"),
                                                       QStringLiteral("Password=Wrong1"));
}

/// The port aServer listens on.
quint16 PortOf(const TFakeSqlServer& aServer)
{
    static const QRegularExpression port(QStringLiteral(",(\\d+)$"));
    return static_cast<quint16>(port.match(aServer.ConnectionString()).captured(1).toUInt());
}

/// True when a TCP connection to 127.0.0.1:aPort is established: a client has reached the server.
bool ConnectedTo(quint16 aPort)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // "sl local_address rem_address st ...": the client's end has the server's port as its remote one; 01 is
    // ESTABLISHED. A /proc file has no size, so it is read whole rather than up to an end Qt cannot see.
    const QString remote = QStringLiteral("0100007F:%1").arg(aPort, 4, 16, QLatin1Char('0')).toUpper();
    const QStringList lines = QString::fromLatin1(table.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.size() > 3 && fields.at(2) == remote && fields.at(3) == QLatin1String("01"))
            return true;
    }
    return false;
}

/// The record lines of a settings file for aSettings, written by hand in the file's order: the 25 names, each
/// followed by its value.
QStringList RecordLines(const TVandrelSettings& aSettings)
{
    QStringList lines;
    for (const TSettingField& field : SettingFields()) {
        lines.append(QLatin1String(field.Name));
        lines.append(field.Checked ? UPersistRecords::TruthLine(aSettings.*field.Checked) : aSettings.*field.Text);
    }
    return lines;
}

/// How a run of the program ended and what it wrote.
struct TProgramRun
{
    /// False when it did not end by itself in time, or crashed.
    bool Ended = false;
    int ExitCode = -1;
    QString Out;
    QString Err;
    QDateTime StartedAt;
    QDateTime EndedAt;

    /// Everything, for failure messages.
    std::string Text() const
    {
        return QStringLiteral("exit status %1\n--- standard output:\n%2--- standard error:\n%3")
            .arg(ExitCode)
            .arg(Out, Err)
            .toStdString();
    }
};

/// The texts of the lines on standard output without their time; every line must start with the local time of the
/// run ("2026-12-10 02:30:01 ").
QStringList LogTexts(const TProgramRun& aRun)
{
    static const QRegularExpression stamped(QStringLiteral("^(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}) (.*)$"));
    QString out = aRun.Out;
    EXPECT_TRUE(out.isEmpty() || out.endsWith(QLatin1Char('\n'))) << "the last line is not ended: " << aRun.Text();
    if (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    QStringList texts;
    if (out.isEmpty())
        return texts;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = stamped.match(line);
        if (!match.hasMatch()) {
            ADD_FAILURE() << "a line without its time: \"" << line.toStdString() << "\"\n" << aRun.Text();
            texts.append(line);
            continue;
        }
        const QDateTime at = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        EXPECT_TRUE(at.isValid() && at >= aRun.StartedAt.addSecs(-1) && at <= aRun.EndedAt.addSecs(1))
            << "a line stamped outside the run: \"" << line.toStdString() << "\"";
        texts.append(match.captured(2));
    }
    return texts;
}

class VandrelScheduledTest : public ::testing::Test
{
protected:
    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<TServerProcess> FFtp;

    void SetUp() override
    {
        FDir = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(FDir->isValid());
        for (const char* folder : {"config/dbvandrel", "x/in", "ftp"})
            ASSERT_TRUE(QDir().mkpath(Path(folder)));
    }

    void TearDown() override
    {
        FFtp.reset();
        FDir.reset();
    }

    QString Path(const char* aName) const { return FDir->filePath(QLatin1String(aName)); }
    /// The job's settings file; its history file and its own connection file go beside it.
    QString JobFile() const { return Path("x/job.cfg"); }
    /// A file in the program's configuration folder.
    QString ConfigFile(const char* aName) const { return Path("config/dbvandrel/") + QLatin1String(aName); }
    /// The files on the FTP server.
    QStringList RemoteFiles() const { return QDir(Path("ftp")).entryList(QDir::Files | QDir::Hidden); }

    /// Starts the loopback FTP server on the test's ftp folder; aOptions adds to its command line.
    void StartFtp(const QStringList& aOptions = {})
    {
        FFtp = std::make_unique<TServerProcess>();
        FFtp->StartPython(
            QStringLiteral("tests/support/ftpserver.py"),
            QStringList{
                QStringLiteral("--root"), Path("ftp"), QStringLiteral("--user"), QStringLiteral("vandrel:secret")} +
                aOptions);
    }

    /// Auto Start on the loopback FTP server (when one runs); the names are used as they stand (no formats).
    TVandrelSettings Job(const QString& aRemoteName = QString()) const
    {
        TVandrelSettings settings;
        settings.Automated = true;
        if (FFtp)
            settings.FTPUrl = QStringLiteral("127.0.0.1:%1").arg(FFtp->Port());
        settings.FTPUser = QStringLiteral("vandrel");
        settings.FTPPassword = QStringLiteral("secret");
        settings.FTPNameFormat.clear();
        settings.FTPFilename = aRemoteName;
        settings.ArchiveDateBasedName.clear();
        settings.BackupNameFormat.clear();
        return settings;
    }

    /// An upload of aLocal as aRemoteName.
    TVandrelSettings UploadJob(const QString& aLocal, const QString& aRemoteName) const
    {
        TVandrelSettings settings = Job(aRemoteName);
        settings.Upload = true;
        settings.ArchiveFilename = aLocal;
        return settings;
    }

    /// A download of aRemoteName into aLocal.
    TVandrelSettings DownloadJob(const QString& aRemoteName, const QString& aLocal) const
    {
        TVandrelSettings settings = Job(aRemoteName);
        settings.Download = true;
        settings.ArchiveFilename = aLocal;
        return settings;
    }

    /// Saves aSettings as the window's Save would.
    static void Save(const QString& aFileName, const TVandrelSettings& aSettings)
    {
        SaveSettingsFile(aFileName, cSettingsKey, aSettings);
    }

    /// Writes a data-link file with aConnectionString.
    static void StoreConnection(const QString& aConnectionString, const QString& aFileName)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(aFileName).path()));
        ASSERT_TRUE(UDatCon::StoreDataLink(aConnectionString, aFileName)) << aFileName.toStdString();
    }

    /// A scheduled job's environment: no display, no platform named, no session; the test's configuration folder.
    QProcessEnvironment JobEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), Path("config"));
        return env;
    }

    /// Starts the program with aArguments, in the job's folder.
    void Start(QProcess& aProgram, const QStringList& aArguments) const
    {
        aProgram.setProcessEnvironment(JobEnvironment());
        aProgram.setWorkingDirectory(Path("x"));
        aProgram.start(QStringLiteral(VANDREL_BINARY), aArguments);
        ASSERT_TRUE(aProgram.waitForStarted());
    }

    /// Collects how aProgram ended; it must end by itself within aTimeoutMs.
    static void Collect(QProcess& aProgram, TProgramRun& aRun, int aTimeoutMs = cRunMs)
    {
        if (aProgram.error() == QProcess::FailedToStart) {
            ADD_FAILURE() << "the program did not start: " << aProgram.errorString().toStdString();
            return;
        }
        // A program already read to its end has finished: waitForFinished would say false.
        const bool finished = aProgram.state() == QProcess::NotRunning || aProgram.waitForFinished(aTimeoutMs);
        aRun.Ended = finished && aProgram.exitStatus() == QProcess::NormalExit;
        aRun.EndedAt = QDateTime::currentDateTime();
        if (aProgram.state() != QProcess::NotRunning) {
            aProgram.kill();
            aProgram.waitForFinished();
        }
        aRun.ExitCode = aRun.Ended ? aProgram.exitCode() : -1;
        aRun.Out += QString::fromUtf8(aProgram.readAllStandardOutput());
        aRun.Err += QString::fromUtf8(aProgram.readAllStandardError());
        EXPECT_TRUE(aRun.Ended) << "the program did not end by itself\n" << aRun.Text();
    }

    /// Runs the program with aArguments to its end.
    TProgramRun RunToEnd(const QStringList& aArguments) const
    {
        TProgramRun run;
        run.StartedAt = QDateTime::currentDateTime();
        QProcess program;
        Start(program, aArguments);
        Collect(program, run);
        return run;
    }
};

// ---------------------------------------------------------------------------------------------------------------
// The command line: a settings file that is not there runs nothing, not even the default one.

struct TRefusedRow
{
    const char* Name;
    /// The arguments; "{dir}" stands for the test's folder.
    std::vector<const char*> Arguments;
    /// What standard error must name ("{dir}" as above).
    const char* Named;
};

class VandrelRefusedCommandLineTest : public VandrelScheduledTest, public ::testing::WithParamInterface<TRefusedRow>
{
};

TEST_P(VandrelRefusedCommandLineTest, ExitsWithTwoAndRunsNothing)
{
    // The default job and a named one would each leave an archive on the server.
    StartFtp();
    WriteFile(Path("x/in/Sales.zip"), Pattern(4096));
    Save(ConfigFile("vandrel.cfg"), UploadJob(Path("x/in/Sales.zip"), QStringLiteral("default.zip")));
    Save(JobFile(), UploadJob(Path("x/in/Sales.zip"), QStringLiteral("job.zip")));
    ASSERT_TRUE(QDir().mkpath(Path("x/folder.cfg")));
    const QByteArray defaultJob = ReadFile(ConfigFile("vandrel.cfg"));
    const auto withFolder = [this](const char* aText) {
        return QString::fromUtf8(aText).replace(QStringLiteral("{dir}"), FDir->path());
    };
    QStringList arguments;
    for (const char* argument : GetParam().Arguments)
        arguments.append(withFolder(argument));

    const TProgramRun run = RunToEnd(arguments);
    EXPECT_EQ(run.ExitCode, esNothingToDo) << run.Text();
    EXPECT_TRUE(run.Err.contains(withFolder(GetParam().Named))) << run.Text();
    EXPECT_FALSE(run.Out.contains(QLatin1String(": started"))) << run.Text();
    EXPECT_EQ(RemoteFiles(), QStringList());
    // Neither job ran nor was touched: no history file, no file moved aside.
    EXPECT_EQ(ReadFile(ConfigFile("vandrel.cfg")), defaultJob);
    EXPECT_EQ(QDir(Path("config/dbvandrel")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("vandrel.cfg")});
    EXPECT_EQ(QDir(Path("x")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
              (QStringList{QStringLiteral("folder.cfg"), QStringLiteral("in"), QStringLiteral("job.cfg")}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(CommandLine, VandrelRefusedCommandLineTest, ::testing::Values(
    TRefusedRow{"MissingFile", {"{dir}/x/nosuch.cfg"}, "{dir}/x/nosuch.cfg"},
    TRefusedRow{"MissingFileAfterDoubleDash", {"--", "{dir}/x/nosuch.cfg"}, "{dir}/x/nosuch.cfg"},
    TRefusedRow{"Folder", {"{dir}/x/folder.cfg"}, "{dir}/x/folder.cfg"},
    TRefusedRow{"UnknownOption", {"--no-such-option"}, "--no-such-option"},
    TRefusedRow{"UnknownOptionBeforeAFile", {"--no-such-option", "{dir}/x/job.cfg"}, "--no-such-option"}),
    [](const ::testing::TestParamInfo<TRefusedRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

// --help and --version answer on standard output before anything else: no display is opened (the one named here
// does not exist), no settings file is read or created. An unknown option points to --help.

struct TAnswerRow
{
    const char* Name;
    std::vector<const char*> Arguments;
    int ExitStatus;
    /// Texts standard output (or, for a usage error, standard error) must hold.
    std::vector<const char*> Holds;
};

class VandrelAnswerTest : public VandrelScheduledTest, public ::testing::WithParamInterface<TAnswerRow>
{
};

TEST_P(VandrelAnswerTest, AnswersWithoutReadingTheSettingsOrOpeningTheDisplay)
{
    Save(ConfigFile("vandrel.cfg"), Job());
    const QByteArray defaultJob = ReadFile(ConfigFile("vandrel.cfg"));
    const bool usageError = GetParam().ExitStatus != esSuccess;
    TProgramRun run;
    run.StartedAt = QDateTime::currentDateTime();
    QProcess program;
    QProcessEnvironment env = JobEnvironment();
    if (!usageError)
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":97"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(Path("x"));
    QStringList arguments;
    for (const char* argument : GetParam().Arguments)
        arguments.append(QString::fromUtf8(argument).replace(QStringLiteral("{dir}"), FDir->path()));
    program.start(QStringLiteral(VANDREL_BINARY), arguments);
    ASSERT_TRUE(program.waitForStarted());
    Collect(program, run);

    EXPECT_EQ(run.ExitCode, GetParam().ExitStatus) << run.Text();
    const QString& answer = usageError ? run.Err : run.Out;
    EXPECT_TRUE((usageError ? run.Out : run.Err).isEmpty()) << run.Text();
    for (const char* text : GetParam().Holds)
        EXPECT_TRUE(answer.contains(
            QString::fromUtf8(text).replace(QStringLiteral("{version}"), TVersionInfo::ProgramVersion())))
            << text << "\n"
            << run.Text();
    EXPECT_EQ(ReadFile(ConfigFile("vandrel.cfg")), defaultJob);
    EXPECT_EQ(QDir(Path("config/dbvandrel")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("vandrel.cfg")});
    EXPECT_EQ(QDir(Path("x")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("in")});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(CommandLine, VandrelAnswerTest, ::testing::Values(
    TAnswerRow{"Help", {"--help"}, esSuccess,
               {"Usage: dbvandrel [OPTION]... [SETTINGS-FILE]\n", "\n      --stall-timeout=SECONDS ", "\n      --help ",
                "\n      --version ", "\nExit status:\n", "\n  0  success", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ",
                "\n  5  another run", "\nEnvironment:\n", "\n  XDG_CONFIG_HOME ", "DBVANDREL_HINT"}},
    TAnswerRow{"HelpBeforeAMissingFile", {"--help", "{dir}/x/nosuch.cfg"}, esSuccess, {"Usage: dbvandrel "}},
    TAnswerRow{"HelpAfterAnOption", {"--stall-timeout=5", "--help"}, esSuccess, {"Usage: dbvandrel "}},
    TAnswerRow{"Version", {"--version"}, esSuccess,
               {"dbvandrel (Database Vandrel) {version}\n", "Qt 6.", "libcurl ", "libzip ", "zlib ", "libgcrypt ",
                "unixODBC ", "The Database Vandrel developers", "License MIT"}},
    TAnswerRow{"UnknownOption", {"--frobnicate"}, esNothingToDo,
               {"--frobnicate", "Try 'dbvandrel --help' for more information."}},
    TAnswerRow{"HelpWithAValue", {"--help=all"}, esNothingToDo, {"--help", "Try 'dbvandrel --help'"}}),
    [](const ::testing::TestParamInfo<TAnswerRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

TEST_F(VandrelScheduledTest, CommandLine_HelpListsEveryOptionTheParserKnows)
{
    // The options are the "--name" literals of the parser; an option added there must be explained by --help.
    const QString parser =
        QString::fromUtf8(ReadFile(TestPaths::SourceDir() + QStringLiteral("/DBVandrel/run/VandrelCommandLine.cpp")));
    static const QRegularExpression literal(QStringLiteral("QStringLiteral\\(\"(--[a-z][a-z-]*)\"\\)"));
    QStringList options;
    for (const QRegularExpressionMatch& match : literal.globalMatch(parser))
        options.append(match.captured(1));
    ASSERT_TRUE(options.contains(QStringLiteral("--stall-timeout"))) << options.join(u' ').toStdString();
    const TProgramRun run = RunToEnd({QStringLiteral("--help")});
    ASSERT_EQ(run.ExitCode, esSuccess) << run.Text();
    for (const QString& option : options)
        EXPECT_TRUE(run.Out.contains(QStringLiteral("\n      ") + option)) << option.toStdString() << "\n"
                                                                           << run.Text();
}

TEST_F(VandrelScheduledTest, CommandLine_DoubleDashThenAFileWhoseNameStartsWithADash)
{
    StartFtp();
    const QByteArray archive = Pattern(4096);
    WriteFile(Path("x/in/Sales.zip"), archive);
    Save(Path("x/-job.cfg"), UploadJob(Path("x/in/Sales.zip"), QStringLiteral("Sales.zip")));

    const TProgramRun run = RunToEnd({QStringLiteral("--"), QStringLiteral("-job.cfg")});
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    EXPECT_EQ(ReadFile(Path("ftp/Sales.zip")), archive);
    const QStringList log = LogTexts(run);
    ASSERT_FALSE(log.isEmpty()) << run.Text();
    // Named relative to the folder it was started in, and shown with its full path.
    EXPECT_TRUE(log.first().contains(QFileInfo(Path("x/-job.cfg")).canonicalFilePath())) << run.Text();
}

// ---------------------------------------------------------------------------------------------------------------
// Damaged settings: a record out of place among the first 25 would put values into the wrong fields.

struct TDamageRow
{
    const char* Name;
    /// Damages the record lines (name, value, name, value ...).
    void (*Damage)(QStringList& aLines);
};

class VandrelDamagedSettingsTest : public VandrelScheduledTest, public ::testing::WithParamInterface<TDamageRow>
{
};

TEST_P(VandrelDamagedSettingsTest, FileMovedAsideAndNothingRuns)
{
    StartFtp();
    WriteFile(Path("x/in/Sales.zip"), Pattern(4096));
    QStringList lines = RecordLines(UploadJob(Path("x/in/Sales.zip"), QStringLiteral("Sales.zip")));
    GetParam().Damage(lines);
    const QByteArray damaged = UPersistRecords::EncodeSettingsFile(lines, cSettingsKey);
    WriteFile(JobFile(), damaged);

    const TProgramRun run = RunToEnd({JobFile()});
    EXPECT_EQ(run.ExitCode, esRunFailed) << run.Text();
    EXPECT_FALSE(run.Out.contains(QLatin1String(": started"))) << run.Text();
    EXPECT_EQ(RemoteFiles(), QStringList());
    // Kept as it was under another name, and the run says where it went.
    EXPECT_FALSE(QFile::exists(JobFile()));
    EXPECT_EQ(ReadFile(JobFile() + QStringLiteral(".bad")), damaged);
    EXPECT_TRUE((run.Out + run.Err).contains(JobFile() + QStringLiteral(".bad"))) << run.Text();
    EXPECT_FALSE(run.Err.isEmpty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Settings, VandrelDamagedSettingsTest, ::testing::Values(
    TDamageRow{"FirstTwoRecordsSwapped", [](QStringList& aLines) { aLines.move(0, 3); aLines.move(0, 3); }},
    TDamageRow{"LastOfThe25Renamed", [](QStringList& aLines) { aLines[48] = QStringLiteral("edtFTPAddress"); }},
    TDamageRow{"ARecordMissing", [](QStringList& aLines) { aLines.remove(24, 2); }}),
    [](const ::testing::TestParamInfo<TDamageRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

TEST_F(VandrelScheduledTest, Settings_ARecordAfterThe25ThatThisVersionDoesNotKnowIsNoDamage)
{
    StartFtp();
    const QByteArray archive = Pattern(4096);
    WriteFile(Path("x/in/Sales.zip"), archive);
    // Written by a later version with a record of its own.
    const QByteArray bytes = UPersistRecords::EncodeSettingsFile(
        RecordLines(UploadJob(Path("x/in/Sales.zip"), QStringLiteral("Sales.zip"))) +
            QStringList{QStringLiteral("ckbxVerifyUpload"), QStringLiteral("-1")},
        cSettingsKey);
    WriteFile(JobFile(), bytes);

    const TProgramRun run = RunToEnd({JobFile()});
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    EXPECT_EQ(ReadFile(Path("ftp/Sales.zip")), archive);
    EXPECT_EQ(ReadFile(JobFile()), bytes);
    EXPECT_FALSE(QFile::exists(JobFile() + QStringLiteral(".bad")));
}

// ---------------------------------------------------------------------------------------------------------------
// One run of a settings file at a time.

TEST_F(VandrelScheduledTest, Lock_ASecondRunRefusesWhileTheFirstUploadsAndTheFirstCompletes)
{
    // 1 MB/s: the upload of 3 MiB lasts about three seconds.
    StartFtp({QStringLiteral("--max-rate"), QStringLiteral("1000000"), QStringLiteral("--log-commands")});
    const QByteArray archive = Pattern(3 * 1024 * 1024);
    WriteFile(Path("x/in/Sales.zip"), archive);
    Save(JobFile(), UploadJob(Path("x/in/Sales.zip"), QStringLiteral("Sales.zip")));
    TProgramRun firstRun;
    firstRun.StartedAt = QDateTime::currentDateTime();
    QProcess first;
    Start(first, {JobFile()});
    ASSERT_TRUE(QTest::qWaitFor([this] { return FFtp->Output().contains(QLatin1String("STOR ")); }, 20000))
        << FFtp->Output().toStdString();

    const TProgramRun second = RunToEnd({JobFile()});
    const bool firstStillRunning = first.state() == QProcess::Running;
    EXPECT_EQ(second.ExitCode, esLocked) << second.Text();
    // The refusal names the first run's process by its number (the paths, which may hold digits, left out).
    QString said = LogTexts(second).join(QLatin1Char('\n')) + QLatin1Char('\n') + second.Err;
    said.remove(FDir->path());
    const QRegularExpression pid(QStringLiteral("(?<![0-9])%1(?![0-9])").arg(first.processId()));
    EXPECT_TRUE(said.contains(pid)) << "pid " << first.processId() << " not named\n" << second.Text();
    EXPECT_TRUE(firstStillRunning) << "the first run ended before the second was refused";

    Collect(first, firstRun);
    EXPECT_EQ(firstRun.ExitCode, esSuccess) << firstRun.Text();
    EXPECT_EQ(ReadFile(Path("ftp/Sales.zip")), archive);
    EXPECT_EQ(RemoteFiles(), (QStringList{QStringLiteral("Sales.zip"), QStringLiteral("Sales.zip.sha256")}));
}

// ---------------------------------------------------------------------------------------------------------------
// The log: standard output and the history file beside the settings file.

TEST_F(VandrelScheduledTest, Log_StampedLinesForTheRunAndEachStep_AppendedToTheHistoryFile)
{
    StartFtp();
    WriteFile(Path("x/in/Sales.bak"), Pattern(256 * 1024));
    TVandrelSettings job = UploadJob(Path("x/in/Sales.zip"), QStringLiteral("Sales.zip"));
    job.Compress = true;
    job.BackupFilename = Path("x/in/Sales.bak");
    Save(JobFile(), job);
    const QByteArray earlier = "2020-01-01 02:30:01 End: the run succeeded; exit status 0.\n";
    WriteFile(Path("x/job.log"), earlier);
    ASSERT_TRUE(QFile::setPermissions(Path("x/job.log"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    const TProgramRun run = RunToEnd({JobFile()});
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    EXPECT_EQ(run.Err, QString());
    const QStringList log = LogTexts(run);
    ASSERT_GE(log.size(), 6) << run.Text();

    // The first line: the version, the settings file's full path and the ticked steps, no others.
    const QString& first = log.first();
    EXPECT_TRUE(first.contains(TVersionInfo::ProgramVersion())) << first.toStdString();
    EXPECT_TRUE(first.contains(JobFile())) << first.toStdString();
    for (const char* step : {"Zip Archive", "Upload"})
        EXPECT_TRUE(first.contains(QLatin1String(step))) << step << " missing: " << first.toStdString();
    for (const char* step : {"Backup", "Download", "Extract", "Restore"})
        EXPECT_FALSE(first.contains(QLatin1String(step))) << step << " not ticked: " << first.toStdString();

    // Each step starts and ends in turn; the end line says how long it took and what it did.
    const qsizetype zipStarted = log.indexOf(QStringLiteral("Zip Archive: started"));
    const qsizetype zipDone =
        log.indexOf(QRegularExpression(QStringLiteral("Zip Archive: done in \\d+(\\.\\d+)? s: .*Sales\\.zip.*")));
    const qsizetype uploadStarted = log.indexOf(QStringLiteral("Upload: started"));
    const qsizetype uploadDone =
        log.indexOf(QRegularExpression(QStringLiteral("Upload: done in \\d+(\\.\\d+)? s: .*Sales\\.zip.*")));
    EXPECT_GT(zipStarted, 0) << run.Text();
    EXPECT_GT(zipDone, zipStarted) << run.Text();
    EXPECT_GT(uploadStarted, zipDone) << run.Text();
    EXPECT_GT(uploadDone, uploadStarted) << run.Text();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^End: .+; exit status 0\\.$")).match(log.last()).hasMatch())
        << run.Text();

    // The same lines, after the earlier runs' history.
    EXPECT_EQ(ReadFile(Path("x/job.log")), earlier + run.Out.toUtf8());
}

// ---------------------------------------------------------------------------------------------------------------
// The database steps.

TEST_F(VandrelScheduledTest, Restore_ServerMessagesReachTheLogWhileTheRestoreRuns)
{
    TFakeSqlServer fast({QStringLiteral("--progress-delay"), QStringLiteral("0.01")});
    const QByteArray sales = SalesData();
    fast.CreateDatabase(QStringLiteral("Sales"), sales);
    const QString made = fast.Root() + QStringLiteral("/Sales.bak");
    MakeBackup(fast, QStringLiteral("Sales"), made);
    // Nine progress steps of 0.3 s: the restore lasts close to three seconds.
    TFakeSqlServer slow({QStringLiteral("--progress-delay"), QStringLiteral("0.3")});
    slow.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    const QString backup = slow.Root() + QStringLiteral("/ToRestore.bak");
    ASSERT_TRUE(QFile::copy(made, backup));
    ASSERT_TRUE(QDir().mkpath(slow.Root() + QStringLiteral("/moved")));
    StoreConnection(slow.ConnectionString(QStringLiteral("Copy")), ConfigFile("DefaultDataLink.udl"));
    TVandrelSettings job = Job();
    job.Restore = true;
    job.BackupFilename = backup;
    job.Move = true;
    job.RestorePhysicalData = slow.Root() + QStringLiteral("/moved/Copy_data.mdf");
    job.RestorePhysicalLog = slow.Root() + QStringLiteral("/moved/Copy_log.ldf");
    Save(JobFile(), job);

    // Standard output read as it comes: when did the first progress line and the step's end line arrive?
    TProgramRun run;
    run.StartedAt = QDateTime::currentDateTime();
    QProcess program;
    Start(program, {JobFile()});
    QElapsedTimer clock;
    clock.start();
    qint64 firstProgressAt = -1;
    qint64 doneAt = -1;
    QString pending;
    while (program.state() != QProcess::NotRunning && clock.elapsed() < cRunMs) {
        program.waitForReadyRead(100);
        const QString text = QString::fromUtf8(program.readAllStandardOutput());
        run.Out += text;
        pending += text;
        while (pending.contains(QLatin1Char('\n'))) {
            const qsizetype end = pending.indexOf(QLatin1Char('\n'));
            const QString line = pending.left(end);
            pending.remove(0, end + 1);
            if (firstProgressAt < 0 && line.endsWith(QLatin1String(" percent processed.")))
                firstProgressAt = clock.elapsed();
            if (doneAt < 0 && line.contains(QLatin1String("Restore: done in ")))
                doneAt = clock.elapsed();
        }
    }
    Collect(program, run);
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    ASSERT_GE(firstProgressAt, 0) << run.Text();
    ASSERT_GE(doneAt, 0) << run.Text();
    // Lines held back until the step ended would all arrive at once.
    EXPECT_GE(doneAt - firstProgressAt, 1000)
        << "first progress line at " << firstProgressAt << " ms, end at " << doneAt << " ms";

    const QStringList log = LogTexts(run);
    const qsizetype started = log.indexOf(QStringLiteral("Restore: started"));
    const qsizetype done = log.indexOf(QRegularExpression(QStringLiteral("Restore: done in .*")));
    ASSERT_GE(started, 0) << run.Text();
    ASSERT_GT(done, started) << run.Text();
    const QStringList during = log.mid(started + 1, done - started - 1);
    for (int percent = 10; percent <= 100; percent += 10)
        EXPECT_TRUE(during.contains(QStringLiteral("%1 percent processed.").arg(percent))) << percent << "\n"
                                                                                           << run.Text();
    EXPECT_GE(during.indexOf(QRegularExpression(QStringLiteral("RESTORE DATABASE successfully processed .*"))), 0)
        << run.Text();
    EXPECT_EQ(ReadFile(Path("x/job.log")), run.Out.toUtf8());
    EXPECT_EQ(ReadFile(job.RestorePhysicalData), sales);
}

TEST_F(VandrelScheduledTest, Login_RefusedLoginShowsTheReasonExitsWithThreeAndKeepsTheDownloadedArchive)
{
    TFakeSqlServer sql;
    sql.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    StoreConnection(WrongPassword(sql, QStringLiteral("Copy")), ConfigFile("DefaultDataLink.udl"));
    StartFtp();
    const QByteArray archive = Pattern(64 * 1024);
    WriteServerArchive(Path("ftp/Sales.zip"), archive);
    // The archive is not to be kept: after a run it would go, but this run could not finish its work.
    TVandrelSettings job = DownloadJob(QStringLiteral("Sales.zip"), Path("x/in/Sales.zip"));
    job.KeepArchive = false;
    job.Restore = true;
    job.BackupFilename = sql.Root() + QStringLiteral("/Sales.bak");
    Save(JobFile(), job);

    const TProgramRun run = RunToEnd({JobFile()});
    EXPECT_EQ(run.ExitCode, esConnectionRequired) << run.Text();
    const QString reason = QStringLiteral("Login failed for user 'sa'.");
    const QString required = QStringLiteral("Connection Required: Application must exit.");
    const QStringList log = LogTexts(run);
    const qsizetype reasonLine = log.indexOf(
        QRegularExpression(QStringLiteral(".*") + QRegularExpression::escape(reason) + QStringLiteral(".*")));
    const qsizetype requiredLine = log.indexOf(required);
    EXPECT_GE(reasonLine, 0) << run.Text();
    EXPECT_GT(requiredLine, reasonLine) << run.Text();
    EXPECT_GE(run.Err.indexOf(reason), 0) << run.Text();
    EXPECT_GT(run.Err.indexOf(required), run.Err.indexOf(reason)) << run.Text();
    EXPECT_EQ(ReadFile(Path("x/in/Sales.zip")), archive);
}

TEST_F(VandrelScheduledTest, Login_SigtermWhileTheServerHoldsTheLoginEndsTheProgramAtOnce)
{
    TFakeSqlServer sql({QStringLiteral("--login-delay"), QStringLiteral("30")});
    sql.CreateDatabase(QStringLiteral("Sales"), SalesData());
    StoreConnection(sql.ConnectionString(QStringLiteral("Sales")), ConfigFile("DefaultDataLink.udl"));
    TVandrelSettings job = Job();
    job.Backup = true;
    job.BackupFilename = sql.Root() + QStringLiteral("/Sales.bak");
    Save(JobFile(), job);

    TProgramRun run;
    run.StartedAt = QDateTime::currentDateTime();
    QProcess program;
    Start(program, {JobFile()});
    // The program has reached the server: it waits in its login.
    ASSERT_TRUE(QTest::qWaitFor([&sql] { return ConnectedTo(PortOf(sql)); }, 20000)) << sql.Output().toStdString();
    QElapsedTimer clock;
    clock.start();
    program.terminate();
    Collect(program, run, 20000);
    const qint64 elapsed = clock.elapsed();

    EXPECT_LT(elapsed, 8000) << "the program waited for the login";
    EXPECT_EQ(run.ExitCode, esTerminated) << run.Text();
    const QStringList log = LogTexts(run);
    ASSERT_FALSE(log.isEmpty()) << run.Text();
    EXPECT_TRUE(log.last().contains(QLatin1String("stopped by SIGTERM during the Backup step"))) << run.Text();
    EXPECT_TRUE(log.last().endsWith(QLatin1String("exit status 4."))) << run.Text();
}

TEST_F(VandrelScheduledTest, Connection_TheJobsOwnDataLinkBesideItsSettingsComesFirst)
{
    TFakeSqlServer sql;
    sql.CreateDatabase(QStringLiteral("Sales"), SalesData());
    StoreConnection(sql.ConnectionString(QStringLiteral("Sales")), Path("x/job.udl"));
    // The configuration folder's connections would fail the login.
    for (const char* shared : {"DefaultDataLink.udl", "dbvandrel.udl"})
        StoreConnection(WrongPassword(sql, QStringLiteral("Sales")), ConfigFile(shared));
    const QByteArray own = ReadFile(Path("x/job.udl"));
    const QByteArray sharedOne = ReadFile(ConfigFile("DefaultDataLink.udl"));
    TVandrelSettings job = Job();
    job.Backup = true;
    job.BackupFilename = sql.Root() + QStringLiteral("/Sales.bak");
    Save(JobFile(), job);

    const TProgramRun run = RunToEnd({JobFile()});
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    EXPECT_GT(QFileInfo(job.BackupFilename).size(), 0);
    EXPECT_FALSE((run.Out + run.Err).contains(QLatin1String("Login failed"))) << run.Text();
    EXPECT_EQ(ReadFile(Path("x/job.udl")), own);
    EXPECT_EQ(ReadFile(ConfigFile("DefaultDataLink.udl")), sharedOne);
}

// ---------------------------------------------------------------------------------------------------------------
// The files a run writes are its owner's only.

struct TModeRow
{
    const char* Name;
    /// An archive readable by everyone lies where the download goes.
    bool OlderArchive;
};

class VandrelFileModeTest : public VandrelScheduledTest, public ::testing::WithParamInterface<TModeRow>
{
};

TEST_P(VandrelFileModeTest, HistoryAndDownloadedArchiveAreTheOwnersOnly)
{
    // The usual umask would leave new files readable by everyone.
    const mode_t oldMask = ::umask(022);
    StartFtp();
    const QByteArray archive = Pattern(64 * 1024);
    WriteServerArchive(Path("ftp/Sales.zip"), archive);
    if (GetParam().OlderArchive) {
        WriteFile(Path("x/in/Sales.zip"), QByteArrayLiteral("the archive of yesterday"));
        ASSERT_EQ(::chmod(QFile::encodeName(Path("x/in/Sales.zip")).constData(), 0644), 0);
    }
    Save(JobFile(), DownloadJob(QStringLiteral("Sales.zip"), Path("x/in/Sales.zip")));

    const TProgramRun run = RunToEnd({JobFile()});
    ::umask(oldMask);
    EXPECT_EQ(run.ExitCode, esSuccess) << run.Text();
    EXPECT_EQ(ReadFile(Path("x/in/Sales.zip")), archive);
    EXPECT_EQ(ModeOf(Path("x/in/Sales.zip")), 0600);
    EXPECT_EQ(ModeOf(Path("x/job.log")), 0600);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, VandrelFileModeTest, ::testing::Values(
    TModeRow{"NewArchive", false}, TModeRow{"OverAnArchiveReadableByAll", true}),
    [](const ::testing::TestParamInfo<TModeRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

// ---------------------------------------------------------------------------------------------------------------
// A scheduled pair with every integrity option on: what arrives is what left, under a new name beside the original.

TEST_F(VandrelScheduledTest, Pair_EveryIntegrityOptionOn_MovesTheDatabaseUnderANewNameBesideTheOriginal)
{
    TFakeSqlServer sql;
    const QByteArray sales = SalesData();
    sql.CreateDatabase(QStringLiteral("Sales"), sales);
    StartFtp();
    const QString password = QStringLiteral("Tr0ub4dor&3");
    ASSERT_TRUE(QDir().mkpath(Path("x/out")));
    ASSERT_TRUE(QDir().mkpath(sql.Root() + QStringLiteral("/nightly")));

    TVandrelSettings sending = Job(QStringLiteral("Sales.bin"));
    sending.Backup = sending.Compress = sending.Upload = true;
    sending.CopyOnly = sending.VerifyBackup = sending.EncryptArchive = sending.RequireChecksum = true;
    sending.ArchivePassword = password;
    sending.BackupFilename = sql.Root() + QStringLiteral("/Sales.bak");
    sending.ArchiveFilename = Path("x/out/Sales.zip");
    Save(Path("x/sending.cfg"), sending);
    StoreConnection(sql.ConnectionString(QStringLiteral("Sales")), Path("x/sending.udl"));
    const TProgramRun sent = RunToEnd({Path("x/sending.cfg")});
    ASSERT_EQ(sent.ExitCode, esSuccess) << sent.Text();
    EXPECT_TRUE(sent.Out.contains(QStringLiteral("COPY_ONLY, CHECKSUM"))) << sent.Text();
    EXPECT_TRUE(sent.Out.contains(QStringLiteral("RESTORE VERIFYONLY"))) << sent.Text();
    EXPECT_TRUE(RemoteFiles().contains(QStringLiteral("Sales.bin.sha256"))) << RemoteFiles().join(u' ').toStdString();
    // The entry on the FTP server is AES-encrypted (compression method 99 in its local header).
    const QByteArray remote = ReadFile(Path("ftp/Sales.bin"));
    ASSERT_GT(remote.size(), 30);
    EXPECT_EQ(static_cast<unsigned char>(remote.at(8)), 99);
    EXPECT_EQ(remote.indexOf(sales.left(64)), -1);

    // The receiving job connects to master and restores as a new database, its files moved.
    TVandrelSettings receiving = Job(QStringLiteral("Sales.bin"));
    receiving.Download = receiving.Extract = receiving.Restore = true;
    receiving.EncryptArchive = receiving.RequireChecksum = receiving.SingleUser = true;
    receiving.ArchivePassword = password;
    receiving.ArchiveFilename = Path("x/in/Sales.zip");
    receiving.BackupFilename = Path("x/in/Sales.bak");
    receiving.RestoreAs = QStringLiteral("SalesNightly");
    receiving.ExpectSourceDatabase = QStringLiteral("Sales");
    receiving.Move = true;
    receiving.RestorePhysicalData = sql.Root() + QStringLiteral("/nightly/SalesNightly.mdf");
    receiving.RestorePhysicalLog = sql.Root() + QStringLiteral("/nightly/SalesNightly_log.ldf");
    Save(Path("x/receiving.cfg"), receiving);
    StoreConnection(sql.ConnectionString(QStringLiteral("master")), Path("x/receiving.udl"));
    const TProgramRun received = RunToEnd({Path("x/receiving.cfg")});
    ASSERT_EQ(received.ExitCode, esSuccess) << received.Text();
    EXPECT_TRUE(received.Out.contains(QStringLiteral("Backup set: database [Sales]"))) << received.Text();
    EXPECT_EQ(ReadFile(receiving.RestorePhysicalData), sales);
    // The original is untouched, and still backs up.
    EXPECT_EQ(ReadFile(sql.Root() + QStringLiteral("/Sales/Sales.mdf")), sales);
    const TProgramRun again = RunToEnd({Path("x/sending.cfg")});
    EXPECT_EQ(again.ExitCode, esSuccess) << again.Text();
}

} // namespace
