// SPDX-License-Identifier: MIT
#include "VandrelLock.h"

#include "EVandrel.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
/// "process 1234 (dbvandrel)" for the process holding a lock on the file of aStat, from the kernel's lock list.
QString LockHolder(const struct stat& aStat)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
    static const QRegularExpression line(
        QStringLiteral("FLOCK\\s+\\S+\\s+WRITE\\s+(\\d+)\\s+([0-9a-f]+):([0-9a-f]+):(\\d+)"));
    const QString wanted = QString::number(aStat.st_ino);
    // A /proc file has no size: it is read whole, never tested for its end first.
    const QStringList lines = QString::fromLatin1(locks.readAll()).split(QLatin1Char('\n'));
    for (const QString& text : lines) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch() || match.captured(4) != wanted)
            continue;
        bool ok = false;
        const unsigned major = match.captured(2).toUInt(&ok, 16);
        const unsigned minor = match.captured(3).toUInt(&ok, 16);
        if (major != ::major(aStat.st_dev) || minor != ::minor(aStat.st_dev))
            continue;
        const QString pid = match.captured(1);
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        const QString name =
            comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
        return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                              : QStringLiteral("process %1 (%2)").arg(pid, name);
    }
    return QString();
}
} // namespace

TSettingsLock::~TSettingsLock()
{
    Unlock();
}

bool TSettingsLock::TryLock(const QString& aFileName, QString* aHolder)
{
    Unlock();
    const QByteArray path = QFile::encodeName(aFileName);
    const int file = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        throw EVandrel(QStringLiteral("Cannot open the settings file %1 to lock it: %2")
                           .arg(aFileName, QString::fromLocal8Bit(std::strerror(errno))));
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (aHolder) {
            struct stat info = {};
            *aHolder = ::fstat(file, &info) == 0 ? LockHolder(info) : QString();
        }
        ::close(file);
        if (error == EWOULDBLOCK)
            return false;
        throw EVandrel(QStringLiteral("Cannot lock the settings file %1: %2")
                           .arg(aFileName, QString::fromLocal8Bit(std::strerror(error))));
    }
    FFile = file;
    return true;
}

void TSettingsLock::Unlock() noexcept
{
    if (FFile < 0)
        return;
    ::close(FFile);
    FFile = -1;
}

QString LockedLine(const QString& aFileName, const QString& aHolder)
{
    return QStringLiteral("Another run of %1 is under way (%2): this run does not start.")
        .arg(aFileName, aHolder.isEmpty() ? QStringLiteral("another process") : aHolder);
}
