// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

/// A folder in which the test's user may not create files, holding files that user may (or may not) write: a job
/// in a folder of root's. Running as root, the user is "nobody" (the folder belongs to root; TAsUser switches the
/// effective ids while it lives); otherwise the user is the test's own and the folder is made read-only.
class TLockedFolder
{
public:
    /// Makes the folder aParent/aName (aParent is made passable for the user).
    TLockedFolder(const QString& aParent, const QString& aName)
        : FPath(QDir(aParent).filePath(aName))
    {
        QDir().mkpath(FPath);
        if (::geteuid() != 0)
            return;
        const passwd* nobody = ::getpwnam("nobody");
        FUid = nobody ? nobody->pw_uid : 65534;
        FGid = nobody ? nobody->pw_gid : 65534;
        ::chmod(QFile::encodeName(aParent).constData(), 0711);
        ::chmod(QFile::encodeName(FPath).constData(), 0755);
    }
    TLockedFolder(const TLockedFolder&) = delete;
    TLockedFolder& operator=(const TLockedFolder&) = delete;
    /// Gives the folder back to its owner, so the test's temporary folder can be removed.
    ~TLockedFolder() { ::chmod(QFile::encodeName(FPath).constData(), 0755); }

    /// The folder.
    const QString& Path() const { return FPath; }
    /// aName in the folder.
    QString FilePath(const QString& aName) const { return QDir(FPath).filePath(aName); }
    /// True when the files are written as another user (the tests run as root).
    bool AsOtherUser() const { return FUid != static_cast<uid_t>(-1); }

    /// Creates aName holding aBytes with aMode, owned by the user (by root when aOwnedByUser is false: as root, the
    /// way to make a file the user may not write). False when it cannot be made.
    bool AddFile(const QString& aName, const QByteArray& aBytes, mode_t aMode, bool aOwnedByUser = true) const
    {
        const QByteArray path = QFile::encodeName(FilePath(aName));
        QFile file(FilePath(aName));
        if (!file.open(QIODevice::WriteOnly) || file.write(aBytes) != aBytes.size())
            return false;
        file.close();
        if (AsOtherUser() && aOwnedByUser && ::chown(path.constData(), FUid, FGid) != 0)
            return false;
        return ::chmod(path.constData(), aMode) == 0;
    }

    /// Takes the right to create files in the folder from the user (a folder of root's is locked already).
    bool Lock() const { return AsOtherUser() || ::chmod(QFile::encodeName(FPath).constData(), 0555) == 0; }

    /// While it lives, this process works as the folder's user (running as root: effective ids of "nobody").
    class TAsUser
    {
    public:
        explicit TAsUser(const TLockedFolder& aFolder)
        {
            if (!aFolder.AsOtherUser()) {
                FActive = true;
                return;
            }
            FGroupSwitched = ::setegid(aFolder.FGid) == 0;
            FUserSwitched = FGroupSwitched && ::seteuid(aFolder.FUid) == 0;
            // The folders above the test's own must let the user through too.
            FActive = FUserSwitched &&
                      ::faccessat(AT_FDCWD, QFile::encodeName(aFolder.FPath).constData(), X_OK, AT_EACCESS) == 0;
        }
        TAsUser(const TAsUser&) = delete;
        TAsUser& operator=(const TAsUser&) = delete;
        ~TAsUser()
        {
            // The rest of the tests must not run as the other user.
            if ((FUserSwitched && ::seteuid(FUid) != 0) || (FGroupSwitched && ::setegid(FGid) != 0))
                std::abort();
        }
        /// False when the ids could not be switched (no right to): the test cannot show the case here.
        bool Active() const { return FActive; }

    private:
        uid_t FUid = ::geteuid();
        gid_t FGid = ::getegid();
        bool FGroupSwitched = false;
        bool FUserSwitched = false;
        bool FActive = false;
    };

private:
    QString FPath;
    uid_t FUid = static_cast<uid_t>(-1);
    gid_t FGid = static_cast<gid_t>(-1);
};
