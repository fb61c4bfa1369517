// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>

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
