// SPDX-License-Identifier: MIT
// The run history beside a settings file: stamped lines, owner-only, rotated with three older files kept, and the
// configuration folder when the settings folder cannot take it.
#include "VandrelLog.h"
#include "TestFiles.h"
#include "UFileUtils.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

mode_t Mode(const QString& aName)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(aName).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(VandrelLogTest, HistoryIsStampedPrivateAndRotatedKeepingThreeOlderFiles)
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("nightly.cfg"));
    const QString history = dir.filePath(QStringLiteral("nightly.log"));
    {
        TRunLog log(settings);
        EXPECT_EQ(log.HistoryFile(), history);
        log.Line(QStringLiteral("first\r\ncontext"));
    }
    const QStringList lines = QString::fromUtf8(TestFiles::ReadFile(history)).split(QLatin1Char('\n'));
    const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "));
    ASSERT_EQ(lines.size(), 3); // two lines and the final line end
    EXPECT_TRUE(stamp.match(lines.at(0)).hasMatch() && lines.at(0).endsWith(QLatin1String(" first")));
    EXPECT_TRUE(stamp.match(lines.at(1)).hasMatch() && lines.at(1).endsWith(QLatin1String(" context")));
    EXPECT_EQ(Mode(history), mode_t(0600));

    // Five rotations' worth of lines: the newest three older files stay, nothing beyond them.
    TRunLog log(settings, false);
    const QString line(1000, QLatin1Char('x'));
    for (qint64 written = 0; written < 5 * TRunLog::cRotateBytes; written += line.size())
        log.Line(line);
    for (const char* kept : {"nightly.log", "nightly.log.1", "nightly.log.2", "nightly.log.3"})
        EXPECT_TRUE(QFileInfo::exists(dir.filePath(QLatin1String(kept)))) << kept;
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("nightly.log.4"))));
    EXPECT_LE(QFileInfo(dir.filePath(QStringLiteral("nightly.log.1"))).size(), TRunLog::cRotateBytes + 2 * line.size());
    EXPECT_EQ(Mode(dir.filePath(QStringLiteral("nightly.log.3"))), mode_t(0600));
}

TEST(VandrelLogTest, SettingsFolderThatCannotTakeTheHistorySendsItToTheConfigurationFolder)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    // A settings file whose folder is gone (or not writable) still gets its history.
    TRunLog log(config.filePath(QStringLiteral("no/such/folder/nightly.cfg")));
    EXPECT_EQ(log.HistoryFile(), UFileUtils::ConfigDir() + QStringLiteral("nightly.log"));
    log.Line(QStringLiteral("kept"));
    EXPECT_TRUE(TestFiles::ReadFile(log.HistoryFile()).endsWith(" kept\n"));
}

TEST(VandrelLogTest, ServiceLogsDirectoryTakesTheHistoryBeforeTheSettingsFolder)
{
    QTemporaryDir folder;
    QTemporaryDir logs;
    qputenv("LOGS_DIRECTORY", (logs.path() + QStringLiteral(":/var/log/other")).toUtf8());
    TRunLog log(folder.filePath(QStringLiteral("nightly.cfg")));
    qunsetenv("LOGS_DIRECTORY");
    EXPECT_EQ(log.HistoryFile(), logs.filePath(QStringLiteral("nightly.log")));
    log.Line(QStringLiteral("kept"));
    EXPECT_TRUE(TestFiles::ReadFile(log.HistoryFile()).endsWith(" kept\n"));
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("nightly.log"))));
}

} // namespace
