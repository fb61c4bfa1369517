// SPDX-License-Identifier: MIT
// A job checked without running it, against the fake SQL Server and a loopback FTP server: a good set-up passes and
// leaves nothing behind; each fault (a wrong password, a missing folder, a login without rights, a read-only FTP
// directory) fails its own line; the program's --check says so in its exit status.
#include "VandrelCheck.h"
#include "TFakeSqlServer.h"
#include "TServerProcess.h"
#include "TestFiles.h"
#include "UDatCon.h"
#include "VandrelSettings.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

using namespace VandrelCheck;

namespace {

struct TFaultRow
{
    const char* Name;
    /// What the fault does to the good set-up (settings, connection string) and to the FTP server's options.
    std::function<void(TVandrelSettings&, QString&)> Break;
    QStringList FtpOptions;
    /// The start of the line that must fail, and a text within it.
    QString Subject;
    QString Reason;
};

class VandrelCheckTest : public ::testing::TestWithParam<TFaultRow>
{
protected:
    QTemporaryDir FTemp;
    TFakeSqlServer FSql{{QStringLiteral("--user"), QStringLiteral("reader:Reader1")}};
    TServerProcess FFtp;
    TVandrelSettings FSettings;
    QString FConnection;

    QString Path(const QString& aName) const { return FTemp.filePath(aName); }

    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        FSql.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 's'));
        for (const char* folder : {"backups", "archives", "ftp"})
            ASSERT_TRUE(QDir().mkpath(Path(QLatin1String(folder))));
        FConnection = FSql.ConnectionString(QStringLiteral("Sales"));
        FSettings.Backup = FSettings.Compress = FSettings.Upload = FSettings.Restore = true;
        FSettings.BackupFilename = Path(QStringLiteral("backups/Sales.bak"));
        FSettings.ArchiveFilename = Path(QStringLiteral("archives/Sales.zip"));
        FSettings.FTPUser = QStringLiteral("vandrel");
        FSettings.FTPPassword = QStringLiteral("secret");
        FSettings.FTPFilename = QStringLiteral("Sales.bin");
        FSettings.KeepRemote = QStringLiteral("7");
    }

    void StartFtp(const QStringList& aOptions)
    {
        FFtp.StartPython(QStringLiteral("tests/support/ftpserver.py"),
                         QStringList{QStringLiteral("--root"),
                                     Path(QStringLiteral("ftp")),
                                     QStringLiteral("--user"),
                                     QStringLiteral("vandrel:secret")} +
                             aOptions);
        FSettings.FTPUrl = QStringLiteral("127.0.0.1:%1").arg(FFtp.Port());
    }

    /// Checks the job; its lines in order.
    QList<TCheckLine> Check(bool& aPassed) const
    {
        QList<TCheckLine> lines;
        const std::atomic<bool> running{true};
        aPassed = CheckJob(
            FSettings, FConnection, [&lines](const TCheckLine& aLine) { lines.append(aLine); }, running);
        return lines;
    }

    static std::string Text(const QList<TCheckLine>& aLines)
    {
        QStringList texts;
        for (const TCheckLine& line : aLines)
            texts.append(line.Text());
        return texts.join(QLatin1Char('\n')).toStdString();
    }
};

TEST_F(VandrelCheckTest, GoodSetUp_EveryCheckPassesAndNothingIsLeft)
{
    StartFtp({});
    bool passed = false;
    const QList<TCheckLine> lines = Check(passed);
    EXPECT_TRUE(passed) << Text(lines);
    QStringList subjects;
    for (const TCheckLine& line : lines) {
        EXPECT_EQ(line.Result, crOk) << line.Text().toStdString();
        subjects.append(line.Subject);
    }
    for (const QString& expected :
         {QStringLiteral("Database connection"),
          QStringLiteral("Permission to back up [Sales]"),
          QStringLiteral("Permission to restore [Sales]"),
          QStringLiteral("Folder %1 on the database server").arg(Path(QStringLiteral("backups"))),
          QStringLiteral("Archive folder %1/").arg(Path(QStringLiteral("archives"))),
          QStringLiteral("FTP write in %1").arg(FSettings.FTPUrl)})
        EXPECT_TRUE(subjects.contains(expected)) << expected.toStdString() << "\n" << Text(lines);
    // The FTP test file went at once; nothing else was made.
    EXPECT_EQ(QDir(Path(QStringLiteral("ftp"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_EQ(QDir(Path(QStringLiteral("archives"))).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST_P(VandrelCheckTest, EachFaultFailsItsOwnLine)
{
    const TFaultRow& row = GetParam();
    StartFtp(row.FtpOptions);
    row.Break(FSettings, FConnection);
    bool passed = true;
    const QList<TCheckLine> lines = Check(passed);
    EXPECT_FALSE(passed) << Text(lines);
    bool found = false;
    for (const TCheckLine& line : lines) {
        if (line.Result != crFailed)
            continue;
        EXPECT_TRUE(line.Subject.startsWith(row.Subject)) << "an unexpected failure: " << Text(lines);
        found = found || line.Detail.contains(row.Reason);
    }
    EXPECT_TRUE(found) << Text(lines);
    EXPECT_EQ(QDir(Path(QStringLiteral("ftp"))).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, VandrelCheckTest, ::testing::Values(
    TFaultRow{"WrongPassword",
        [](TVandrelSettings&, QString& aConnection) {
            aConnection.replace(QStringLiteral("Password=Secret1"), QStringLiteral("Password=Wrong1")); },
        {}, QStringLiteral("Database connection"), QStringLiteral("Login failed for user 'sa'")},
    TFaultRow{"LoginWithoutRights",
        [](TVandrelSettings&, QString& aConnection) {
            aConnection.replace(QStringLiteral("Password=Secret1"), QStringLiteral("Password=Reader1"))
                .replace(QStringLiteral("User ID=sa"), QStringLiteral("User ID=reader")); },
        {}, QStringLiteral("Permission to"), QStringLiteral("the login may not")},
    TFaultRow{"MissingServerFolder",
        [](TVandrelSettings& aSettings, QString&) {
            aSettings.BackupFilename += QStringLiteral(".d/Sales.bak");
            aSettings.Compress = false; },
        {}, QStringLiteral("Folder "), QStringLiteral("the server cannot see such a folder")},
    TFaultRow{"MissingLocalFolder",
        [](TVandrelSettings& aSettings, QString&) { aSettings.ArchiveFilename.replace(QStringLiteral("archives"),
                                                                                     QStringLiteral("nowhere")); },
        {}, QStringLiteral("Archive folder"), QStringLiteral("there is no such folder")},
    TFaultRow{"ReadOnlyFtpDirectory",
        [](TVandrelSettings&, QString&) {},
        {QStringLiteral("--read-only")}, QStringLiteral("FTP write"), QStringLiteral("Unable to write the test file")},
    TFaultRow{"WrongFtpPassword",
        [](TVandrelSettings& aSettings, QString&) { aSettings.FTPPassword = QStringLiteral("wrong"); },
        {}, QStringLiteral("FTP login"), QStringLiteral("530")},
    TFaultRow{"BadTransferLimit",
        [](TVandrelSettings& aSettings, QString&) { aSettings.TransferLimit = QStringLiteral("fast"); },
        {}, QStringLiteral("Transfer limit"), QStringLiteral("is not a number of KiB/s")}),
    [](const ::testing::TestParamInfo<TFaultRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

/// The program's --check on a settings file with its own connection beside it: exit status 0, then 1 once the
/// stored password is wrong; the settings file itself is left as it was.
TEST_F(VandrelCheckTest, Program_ExitStatusSaysWhetherAllPassed)
{
    StartFtp({});
    const QString job = Path(QStringLiteral("job/job.cfg"));
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("job"))));
    SaveSettingsFile(job, cSettingsKey, FSettings);
    const QByteArray saved = TestFiles::ReadFile(job);
    for (const bool good : {true, false}) {
        QString connection = FConnection;
        if (!good)
            connection.replace(QStringLiteral("Password=Secret1"), QStringLiteral("Password=Wrong1"));
        ASSERT_TRUE(UDatCon::StoreDataLink(connection, Path(QStringLiteral("job/job.udl"))));
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), Path(QStringLiteral("config")));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VANDREL_BINARY), {QStringLiteral("--check"), job});
        ASSERT_TRUE(program.waitForFinished(60000));
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        EXPECT_EQ(program.exitCode(), good ? 0 : 1) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("Database connection: ok")) == good) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("FTP write in %1: ok").arg(FSettings.FTPUrl))) << out.toStdString();
    }
    EXPECT_EQ(TestFiles::ReadFile(job), saved);
}

} // namespace
