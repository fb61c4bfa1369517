// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

/// ZIP archives of the backup file: packing one file into an archive and unpacking every entry of one,
/// streamed through libzip, with progress and cancel. Widget-free; any thread.
namespace UZipArchive {

/// Receives the share of the work done (0..100) each time it changes; called on the working thread.
using TProgress = std::function<void(int aPercent)>;

/// Deflate level of the entries we write (libzip's own default is 9: three times slower for the same size).
constexpr int cDeflateLevel = 6;

/// How a file is expected to pack, judged from a few deflated samples.
struct TPackEstimate
{
    /// True when deflate shrinks the samples enough to pay for itself; false: the entry is stored.
    bool Deflate = false;
    /// Deflated size / original size of the samples (1.0 for an empty file).
    double Ratio = 1.0;
    /// Expected size in bytes of an archive holding only this file.
    qint64 ArchiveBytes = 0;
};

/// Deflates a few samples of the file (at most about 1 MiB read) to tell whether deflate pays and how much.
TPackEstimate EstimatePacking(const QString& aFileName);

/// Expected size in KiB of an archive holding only aFileName (clamped to 32 bits); 0 when it cannot be read.
qint32 EstimateArchiveKiB(const QString& aFileName);

/// Adds the file under its bare name to the archive, which is created when absent; an entry of the same name is
/// replaced. The archive is rebuilt in WorkFolder() and renamed into place, readable by its owner only. Deflate at
/// cDeflateLevel, in blocks on every core joined into one standard stream, or stored when deflate would not shrink
/// it; ZIP64 when it needs it. Memory stays bounded by the blocks in flight. aProgress follows the bytes of the file
/// written to the archive. When aRunning turns false the write stops and the archive stays as it was. Raises EVandrel
/// with libzip's message on failure. A non-empty aPassword encrypts the entry with AES-256 (WinZip AE-2).
void AddFile(const QString& aArchiveName,
             const QString& aFileName,
             const std::atomic<bool>& aRunning,
             const TProgress& aProgress = {},
             const QString& aPassword = {});

/// Extracts every entry into aTargetDir (created when missing) under its stored relative path: missing
/// subdirectories are created, existing files replaced. Refuses the whole archive, before writing anything, when an
/// entry is absolute or climbs out of aTargetDir. Each file is written to "<name>.part.vandrel" beside its final one,
/// flushed and renamed when complete, so a failure or cancel (aRunning false) leaves no partial file; files already
/// complete stay. Extracted files are readable by their owner and the group of their folder only (0640). Raises
/// EVandrel with libzip's message on failure. Returns the relative paths of the files written.
/// Encrypted entries are read with aPassword; when it is wrong or missing, EVandrel with cWrongPassword is raised
/// before anything is written.
QStringList ExtractAll(const QString& aArchiveName,
                       const QString& aTargetDir,
                       const std::atomic<bool>& aRunning,
                       const TProgress& aProgress = {},
                       const QString& aPassword = {});

/// The failure of an extraction whose encrypted entries the password does not open.
inline const QString cWrongPassword =
    QStringLiteral("The archive is encrypted: the archive password is wrong or missing.");

/// Size in bytes of the named file; -1 when there is none.
qint64 FileSize(const QString& aName);

/// The folder beside an archive in which AddFile rebuilds it ("<archive>.zipping.vandrel").
QString WorkFolder(const QString& aArchiveName);
/// Removes what a zip of aArchiveName that was killed left (its work folder; the archive itself is untouched).
/// Returns the path removed, or empty text when there was none.
QString RemoveLeftovers(const QString& aArchiveName);

} // namespace UZipArchive
