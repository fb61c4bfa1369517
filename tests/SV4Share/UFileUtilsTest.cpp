// SPDX-License-Identifier: MIT
#include "UFileUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {
/// Sets an environment variable for one test and restores it afterwards.
class TEnvGuard
{
public:
    TEnvGuard(const char* aName, const QString& aValue)
        : FName(aName)
        , FHad(qEnvironmentVariableIsSet(aName))
        , FOld(qgetenv(aName))
    {
        qputenv(aName, QFile::encodeName(aValue));
    }
    ~TEnvGuard()
    {
        if (FHad)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    bool FHad;
    QByteArray FOld;
};

QString WriteScript(const QTemporaryDir& aDir, const QByteArray& aBody)
{
    const QString name = aDir.filePath(QStringLiteral("tool.sh"));
    QFile file(name);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\n" + aBody + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return name;
}
} // namespace

TEST(UFileUtilsTest, GetTempDir_ExistingOrCreatableTempFolder_WithTrailingSeparator)
{
    QTemporaryDir dir;
    {
        TEnvGuard tmp("TMPDIR", dir.path());
        EXPECT_EQ(UFileUtils::GetTempDir(), dir.path() + QLatin1Char('/'));
    }
    const QString missing = dir.filePath(QStringLiteral("fresh"));
    TEnvGuard tmp("TMPDIR", missing);
    EXPECT_EQ(UFileUtils::GetTempDir(), missing + QLatin1Char('/'));
    EXPECT_TRUE(QFileInfo(missing).isDir());
}

TEST(UFileUtilsTest, GetTempDir_UncreatableTempFolder_FallsBackWithoutSeparator)
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("plainfile")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    TEnvGuard tmp("TMPDIR", blocker.fileName() + QStringLiteral("/sub"));
    const QString result = UFileUtils::GetTempDir();
    EXPECT_TRUE(result == QStringLiteral("/var/tmp") || result == QStringLiteral("/tmp")) << result.toStdString();
}

TEST(UFileUtilsTest, ShellExecuteWaitFor_ReturnsExitCodeAndCallsBackBeforeEveryPoll)
{
    QTemporaryDir dir;
    const QString script = WriteScript(dir, "pwd > where.txt; exit \"$1\"");
    int calls = 0;
    EXPECT_EQ(UFileUtils::ShellExecuteWaitFor(
                  [&calls] { ++calls; }, QStringLiteral("Open"), script, QStringLiteral("7"), dir.path()),
              7);
    EXPECT_GE(calls, 1);
    QFile where(dir.filePath(QStringLiteral("where.txt")));
    ASSERT_TRUE(where.open(QIODevice::ReadOnly));
    EXPECT_EQ(QFileInfo(QString::fromLocal8Bit(where.readAll().trimmed())).canonicalFilePath(),
              QFileInfo(dir.path()).canonicalFilePath());
    EXPECT_EQ(UFileUtils::ShellExecuteWaitFor({}, QStringLiteral("Open"), script, QStringLiteral("0"), dir.path()), 0);
}

TEST(UFileUtilsTest, ShellExecuteWaitFor_NothingStarted_IsFailure)
{
    EXPECT_EQ(UFileUtils::ShellExecuteWaitFor(
                  {}, QStringLiteral("run"), QStringLiteral("/no/such/program"), QString(), QDir::tempPath()),
              -1);
}

TEST(UFileUtilsTest, ConfigDir_FollowsXdgConfigHome_AndIsCreatedOnlyForItsOwnFiles)
{
    QTemporaryDir dir;
    TEnvGuard xdg("XDG_CONFIG_HOME", dir.path());
    const QString config = dir.path() + QStringLiteral("/dbvandrel/");
    EXPECT_EQ(UFileUtils::ConfigDir(), config);
    EXPECT_EQ(UFileUtils::DefaultSettingsFile(), config + QStringLiteral("vandrel.cfg"));
    UFileUtils::ForceConfigDirFor(dir.path() + QStringLiteral("/elsewhere/x.ini"));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/elsewhere")));
    UFileUtils::ForceConfigDirFor(config + QStringLiteral("x.ini"));
    EXPECT_TRUE(QFileInfo(config).isDir());
    const QFileDevice::Permissions permissions = QFileInfo(config).permissions();
    EXPECT_FALSE(permissions.testFlag(QFileDevice::ReadGroup) || permissions.testFlag(QFileDevice::ReadOther));
}

TEST(UFileUtilsTest, SameFile_ComparesCleanedPathsAndFollowsLinks)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("real")));
    QFile file(dir.filePath(QStringLiteral("real/job.cfg")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("real")), dir.filePath(QStringLiteral("link"))));
    const QString real = dir.filePath(QStringLiteral("real/job.cfg"));
    // clang-format off
    const struct { const char* Name; QString First; QString Second; bool Same; } rows[] = {
        {"Identical",             real, real, true},
        {"DotAndDoubleSlash",     real, dir.path() + QStringLiteral("/real/./other/..//job.cfg"), true},
        {"ThroughALinkedFolder",  real, dir.filePath(QStringLiteral("link/job.cfg")), true},
        {"MissingFilesByPath",    dir.filePath(QStringLiteral("a/x.ini")), dir.path() + QStringLiteral("/a/../a/x.ini"), true},
        {"OtherExtension",        real, dir.filePath(QStringLiteral("real/job.ini")), false},
        {"MissingThroughALink",   dir.filePath(QStringLiteral("real/no.ini")), dir.filePath(QStringLiteral("link/no.ini")), true},
        {"MissingInAnotherFolder", dir.filePath(QStringLiteral("real/no.ini")), dir.filePath(QStringLiteral("no.ini")), false},
        {"EmptyMatchesNothing",   QString(), QString(), false},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(UFileUtils::SameFile(row.First, row.Second), row.Same) << row.Name;
        EXPECT_EQ(UFileUtils::SameFile(row.Second, row.First), row.Same) << row.Name;
    }
}
