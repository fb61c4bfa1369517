// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// An exclusive advisory lock on a settings file, held while a run of it lasts: a second run of the same file
/// refuses to start. The file is opened for reading only, so a job may lock a settings file in a folder it cannot
/// write; the kernel releases the lock when the process ends, however it ends.
class TSettingsLock
{
public:
    TSettingsLock() = default;
    TSettingsLock(const TSettingsLock&) = delete;
    TSettingsLock& operator=(const TSettingsLock&) = delete;
    /// Releases the lock.
    ~TSettingsLock();

    /// Takes the lock on aFileName. False when another process holds it; aHolder then names that process.
    /// Throws EVandrel when the file cannot be opened.
    bool TryLock(const QString& aFileName, QString* aHolder = nullptr);
    /// Releases the lock (nothing when none is held).
    void Unlock() noexcept;
    /// True while the lock is held.
    bool Locked() const { return FFile >= 0; }

private:
    int FFile = -1;
};

/// The status line of a run refused because another process runs the same settings file.
QString LockedLine(const QString& aFileName, const QString& aHolder);
