// SPDX-License-Identifier: MIT
#include "UFileUtils.h"

#include "EVandrel.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>

namespace {
constexpr int cPollMs = 50;

/// True when aPath is a directory (links followed), or could be created as one; else aError is the reason.
bool ExistsOrCreate(const QString& aPath, int& aError)
{
    if (QFileInfo(aPath).isDir())
        return true;
    const QByteArray path = QFile::encodeName(aPath);
    if (::mkdir(path.constData(), 0777) == 0)
        return true;
    aError = errno;
    return QFileInfo(aPath).isDir();
}

/// aFileName absolute and cleaned, with links followed as far as the file or else its folder exists.
QString ResolvedPath(const QString& aFileName)
{
    const QFileInfo info(aFileName);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return QDir::cleanPath(info.absoluteFilePath());
    return folder + QLatin1Char('/') + info.fileName();
}
} // namespace

namespace UFileUtils {
bool FileExists(const QString& aFileName)
{
    return !aFileName.isEmpty() && QFileInfo(aFileName).isFile();
}

int ShellExecuteWaitFor(const std::function<void()>& aWaitCallback,
                        const QString& aOperation,
                        const QString& aFile,
                        const QString& aParameters,
                        const QString& aDirectory)
{
    QProcess process;
    process.setWorkingDirectory(aDirectory);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    const QFileInfo file(aFile);
    const bool document =
        aOperation.compare(QStringLiteral("open"), Qt::CaseInsensitive) == 0 && !(file.isFile() && file.isExecutable());
    if (document)
        process.start(QStringLiteral("xdg-open"), QStringList{aFile} + QProcess::splitCommand(aParameters));
    else
        process.start(aFile, QProcess::splitCommand(aParameters));
    if (!process.waitForStarted(-1))
        return -1;
    do {
        if (aWaitCallback)
            aWaitCallback();
    } while (!process.waitForFinished(cPollMs) && process.state() != QProcess::NotRunning);
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QString GetWindowsDir()
{
    const QString dir = QStringLiteral("/var");
    if (!QFileInfo(dir).isDir())
        throw EVandrel(qt_error_string(ENOENT));
    return dir;
}

QString GetTempDir()
{
    // QDir::tempPath() canonicalises, which empties the name of a folder that does not exist yet.
    QString temp = qEnvironmentVariable("TMPDIR");
    temp = QDir::cleanPath(temp.isEmpty() ? QStringLiteral("/tmp") : temp);
    if (!temp.endsWith(QLatin1Char('/')))
        temp += QLatin1Char('/');
    int error = ENOENT;
    if (ExistsOrCreate(temp, error))
        return temp;
    QString system = GetWindowsDir();
    if (!system.endsWith(QLatin1Char('/')))
        system += QLatin1Char('/');
    for (const QString& candidate : {system + QStringLiteral("tmp"), QStringLiteral("/tmp")}) {
        if (ExistsOrCreate(candidate, error))
            return candidate;
    }
    throw EVandrel(qt_error_string(error));
}

QString ConfigDir()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/dbvandrel/");
}

QString DefaultSettingsFile()
{
    return ConfigDir() + QStringLiteral("vandrel.cfg");
}

bool SameFile(const QString& aFirst, const QString& aSecond)
{
    if (aFirst.isEmpty() || aSecond.isEmpty())
        return false;
    return ResolvedPath(aFirst) == ResolvedPath(aSecond);
}

void ForceConfigDirFor(const QString& aFileName)
{
    const QString folder = QFileInfo(aFileName).absolutePath() + QLatin1Char('/');
    const QString config = ConfigDir();
    if (QDir::cleanPath(folder) != QDir::cleanPath(config) || QFileInfo(config).isDir())
        return;
    if (!QDir().mkpath(config))
        throw EVandrel(QStringLiteral("Cannot create the folder \"%1\".").arg(config));
    QFile::setPermissions(config, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace UFileUtils
