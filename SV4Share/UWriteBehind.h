// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

/// Write-behind for a file written from start to end and flushed (fsync) once complete: every aWindow bytes the
/// kernel is asked to start writing the window just filled (sync_file_range, without waiting), so the copy to disk
/// runs alongside the writer and the closing fsync waits for the last window only, not for the whole file. The
/// fsync stays the one guarantee; a failure here is left for it to report.
class TWriteBehind
{
public:
    explicit TWriteBehind(std::int64_t aWindow = 8 * 1024 * 1024) noexcept
        : FWindow(aWindow)
    {
    }
    /// Counts aBytes just written at the end of aFd and starts the disk writes of each window filled.
    void Written(int aFd, std::int64_t aBytes) noexcept
    {
        FWritten += aBytes;
        if (FWritten - FStarted < FWindow)
            return;
        (void)::sync_file_range(aFd, FStarted, FWritten - FStarted, SYNC_FILE_RANGE_WRITE);
        FStarted = FWritten;
    }

private:
    std::int64_t FWindow;
    std::int64_t FWritten = 0;
    std::int64_t FStarted = 0;
};

/// Writes all aBytes bytes of aData to aFd (again after a signal, on after a short write), telling aWriteBehind of
/// each piece when given. 0, or the errno of the failure (ENOSPC when the system wrote nothing and said no more).
inline int WriteAll(int aFd, const char* aData, std::size_t aBytes, TWriteBehind* aWriteBehind = nullptr) noexcept
{
    while (aBytes > 0) {
        const ssize_t written = ::write(aFd, aData, aBytes);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : ENOSPC;
        aData += written;
        aBytes -= static_cast<std::size_t>(written);
        if (aWriteBehind)
            aWriteBehind->Written(aFd, written);
    }
    return 0;
}
