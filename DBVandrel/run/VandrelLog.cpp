// SPDX-License-Identifier: MIT
#include "VandrelLog.h"

#include "UFileUtils.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TRunLog::TRunLog(const QString& aSettingsFile, bool aEcho)
    : FEcho(aEcho)
{
    if (aSettingsFile.isEmpty())
        return;
    // A service with a logs directory of its own (systemd's LogsDirectory= names it in $LOGS_DIRECTORY) keeps its
    // history there; a job whose settings lie in a folder it may not write keeps it in the configuration folder.
    const QString logs = qEnvironmentVariable("LOGS_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!logs.isEmpty() && Open(logs + QLatin1Char('/') + QFileInfo(HistoryFileFor(aSettingsFile)).fileName()))
        return;
    if (!Open(HistoryFileFor(aSettingsFile))) {
        const QString fallback = UFileUtils::ConfigDir() + QFileInfo(HistoryFileFor(aSettingsFile)).fileName();
        try {
            UFileUtils::ForceConfigDirFor(fallback);
            Open(fallback);
        } catch (...) {
            // Standard output still gets every line.
        }
    }
}

TRunLog::~TRunLog()
{
    if (FHistory)
        std::fclose(FHistory);
}

QString TRunLog::HistoryFileFor(const QString& aSettingsFile)
{
    const QFileInfo info(aSettingsFile);
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".log");
}

QString TRunLog::Timestamped(const QString& aText)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    QString text = aText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QStringList lines = text.split(QLatin1Char('\n'));
    QString result;
    for (const QString& line : lines) {
        if (!result.isEmpty())
            result += QLatin1Char('\n');
        result += stamp + line;
    }
    return result;
}

bool TRunLog::Open(const QString& aFileName)
{
    const QByteArray path = QFile::encodeName(aFileName);
    const int file = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (file < 0)
        return false;
    FHistory = ::fdopen(file, "a");
    if (!FHistory) {
        ::close(file);
        return false;
    }
    FHistoryFile = aFileName;
    return true;
}

void TRunLog::Rotate()
{
    std::fclose(FHistory);
    FHistory = nullptr;
    const QString base = FHistoryFile;
    QFile::remove(base + QStringLiteral(".%1").arg(cKeptFiles));
    for (int i = cKeptFiles - 1; i >= 1; --i)
        QFile::rename(base + QStringLiteral(".%1").arg(i), base + QStringLiteral(".%1").arg(i + 1));
    QFile::rename(base, base + QStringLiteral(".1"));
    if (!Open(base))
        FHistoryFile.clear();
}

void TRunLog::Line(const QString& aText)
{
    const QByteArray bytes = Timestamped(aText).toUtf8() + '\n';
    if (FEcho) {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    }
    if (!FHistory)
        return;
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), FHistory);
    std::fflush(FHistory);
    if (std::ftell(FHistory) >= cRotateBytes)
        Rotate();
}
