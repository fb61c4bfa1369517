// SPDX-License-Identifier: MIT
#include "UZipArchive.h"

#include "EVandrel.h"
#include "UHandles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

namespace UZipArchive {
namespace {

using TZip = THandle<zip_t, &zip_discard>;
using TZipFile = THandle<zip_file_t, &zip_fclose>;

// Samples deflated to judge a file: 16 x 64 KiB spread over it (the whole file when it is smaller).
constexpr qint64 cSampleSize = 64 * 1024;
constexpr int cSampleCount = 16;
// Deflate is used only when it saves at least 1%: below that (server-compressed backups) it costs many times the
// time of storing for nothing worth having.
constexpr double cDeflateWorthRatio = 0.99;
// Local and central headers, ZIP64 extras and the end records of a one-entry archive, without the name.
constexpr qint64 cArchiveOverhead = 30 + 46 + 2 * 32 + 56 + 20 + 22;
constexpr qint64 cExtractBufferSize = 1024 * 1024;

QString Local(const char* aText)
{
    return QString::fromLocal8Bit(aText);
}

QString ZipErrorText(int aCode, int aSystemError = 0)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_error_set(&error, aCode, aSystemError);
    const QString text = Local(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

[[noreturn]] void Fail(const QString& aMessage, const QString& aContext)
{
    EVandrel failure(aMessage);
    failure.AddContext(aContext);
    throw failure;
}

/// A file descriptor closed when it goes out of scope.
class TFd
{
public:
    TFd() = default;
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    bool Open(const QString& aName)
    {
        Close();
        FFd = ::open(QFile::encodeName(aName).constData(), O_RDONLY | O_CLOEXEC);
        return FFd >= 0;
    }
    void Close() noexcept
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }
    int Get() const { return FFd; }

private:
    int FFd = -1;
};

// Reads up to aLength bytes at aOffset; fewer only at the end of the file. -1 on a read error.
qint64 ReadAt(int aFd, char* aBuffer, qint64 aLength, qint64 aOffset)
{
    qint64 done = 0;
    while (done < aLength) {
        const ssize_t n = ::pread(aFd, aBuffer + done, static_cast<size_t>(aLength - done), aOffset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

/// Deflates chunks at cDeflateLevel and counts what goes in and out.
class TDeflateSampler
{
public:
    TDeflateSampler()
    {
        std::memset(&FStream, 0, sizeof FStream);
        FReady = deflateInit2(&FStream, cDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    TDeflateSampler(const TDeflateSampler&) = delete;
    TDeflateSampler& operator=(const TDeflateSampler&) = delete;
    ~TDeflateSampler()
    {
        if (FReady)
            deflateEnd(&FStream);
    }
    /// Deflates one chunk; aLast ends the stream (a new sample starts a fresh one).
    void Add(const char* aData, qint64 aLength, bool aLast)
    {
        if (!FReady)
            return;
        FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData));
        FStream.avail_in = static_cast<uInt>(aLength);
        In += aLength;
        const int flush = aLast ? Z_FINISH : Z_NO_FLUSH;
        int rc = Z_OK;
        do {
            FStream.next_out = FOut;
            FStream.avail_out = sizeof FOut;
            rc = deflate(&FStream, flush);
            Out += static_cast<qint64>(sizeof FOut - FStream.avail_out);
        } while (rc == Z_OK && (FStream.avail_in > 0 || (aLast && FStream.avail_out == 0)));
        if (aLast)
            deflateReset(&FStream);
    }
    qint64 In = 0;
    qint64 Out = 0;

private:
    z_stream FStream;
    bool FReady = false;
    Bytef FOut[16384];
};

/// State of the source through which libzip reads the file being added.
struct TFileSource
{
    QString FileName;
    qint64 Size = 0;
    time_t ModTime = 0;
    qint64 Done = 0;
    int LastPercent = -1;
    const std::atomic<bool>* Running = nullptr;
    const TProgress* Progress = nullptr;
    TFd Fd;
    zip_error_t Error;

    void Report()
    {
        const int percent = Size > 0 ? static_cast<int>(Done * 100 / Size) : 100;
        if (percent != LastPercent && Progress && *Progress) {
            LastPercent = percent;
            (*Progress)(percent);
        }
    }
};

zip_int64_t FileSourceCallback(void* aState, void* aData, zip_uint64_t aLength, zip_source_cmd_t aCommand)
{
    auto* s = static_cast<TFileSource*>(aState);
    switch (aCommand) {
    case ZIP_SOURCE_OPEN:
        if (!s->Fd.Open(s->FileName)) {
            zip_error_set(&s->Error, ZIP_ER_OPEN, errno);
            return -1;
        }
        ::posix_fadvise(s->Fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        s->Done = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        if (!s->Running->load()) {
            zip_error_set(&s->Error, ZIP_ER_CANCELLED, 0);
            return -1;
        }
        ssize_t n;
        do
            n = ::read(s->Fd.Get(), aData, aLength);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            zip_error_set(&s->Error, ZIP_ER_READ, errno);
            return -1;
        }
        s->Done += n;
        s->Report();
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        s->Fd.Close();
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, aData, aLength, &s->Error);
        if (!st)
            return -1;
        zip_stat_init(st);
        st->size = static_cast<zip_uint64_t>(s->Size);
        st->mtime = s->ModTime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&s->Error, aData, aLength);
    case ZIP_SOURCE_FREE:
        return 0; // the state belongs to AddFile
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_READABLE;
    default:
        zip_error_set(&s->Error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

int CancelCallback(zip_t*, void* aRunning)
{
    return static_cast<const std::atomic<bool>*>(aRunning)->load() ? 0 : 1;
}

TZip OpenArchive(const QString& aArchiveName, int aFlags)
{
    int code = 0;
    TZip archive(zip_open(QFile::encodeName(aArchiveName).constData(), aFlags, &code));
    if (!archive)
        Fail(ZipErrorText(code), QStringLiteral("Unable to open archive %1.").arg(aArchiveName));
    return archive;
}

// The entry's path relative to the target directory, with "/" separators; throws when it is absolute or climbs
// out ("..") of the directory. "\" counts as a separator too: archives made on Windows may use it.
QString SafeRelativePath(const QString& aEntryName, const QString& aArchiveName)
{
    QString name = aEntryName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const bool absolute = name.startsWith(QLatin1Char('/')) ||
                          (name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter());
    QStringList parts;
    bool climbs = false;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".."))
            climbs = true;
        else if (part != QLatin1String("."))
            parts << part;
    }
    if (absolute || climbs || parts.isEmpty())
        Fail(QStringLiteral("Unsafe entry path '%1': an absolute path or one leaving the target directory.")
                 .arg(aEntryName),
             QStringLiteral("Unable to extract archive %1.").arg(aArchiveName));
    return parts.join(QLatin1Char('/'));
}

struct TEntry
{
    zip_uint64_t Index;
    QString Path;
    bool Directory;
    qint64 Size;
};

/// The system's reason for the last failed call, e.g. "No space left on device".
QString SystemError(int aError)
{
    return Local(std::strerror(aError));
}

/// Writes aBytes to aFile, all of them; throws with the system's reason (a full disk says so).
void WriteAll(int aFile, const char* aBytes, qint64 aCount, const QString& aName, const QString& aContext)
{
    while (aCount > 0) {
        const ssize_t n = ::write(aFile, aBytes, static_cast<size_t>(aCount));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            Fail(QStringLiteral("Cannot write %1: %2").arg(aName, SystemError(error)), aContext);
        }
        aBytes += n;
        aCount -= n;
    }
}

/// Writes an extracted file through "<name>.part.vandrel" beside it, renamed over aFinalName once complete and on
/// disk, so a failure or a killed run never leaves half a file under the name (and a leftover of ours is simply
/// replaced). The file is readable by its owner and by the group of its folder only: the database server's
/// account reads it through that group.
void WriteExtracted(const QString& aFinalName, const QString& aContext, const std::function<void(int)>& aFill)
{
    const QByteArray finalPath = QFile::encodeName(aFinalName);
    const QByteArray tempPath = finalPath + ".part.vandrel";
    ::unlink(tempPath.constData());
    const int file = ::open(tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (file < 0)
        Fail(QStringLiteral("Cannot create %1: %2").arg(aFinalName, SystemError(errno)), aContext);
    bool done = false;
    TFinally cleanUp([&]() noexcept {
        ::close(file);
        if (!done)
            ::unlink(tempPath.constData());
    });
    aFill(file);
    struct stat folder = {};
    if (::stat(QFile::encodeName(QFileInfo(aFinalName).absolutePath()).constData(), &folder) == 0) [[maybe_unused]]
        const int owned = ::fchown(file, static_cast<uid_t>(-1), folder.st_gid);
    if (::fchmod(file, S_IRUSR | S_IWUSR | S_IRGRP) != 0 || ::fsync(file) != 0)
        Fail(QStringLiteral("Cannot write %1: %2").arg(aFinalName, SystemError(errno)), aContext);
    if (::rename(tempPath.constData(), finalPath.constData()) != 0)
        Fail(QStringLiteral("Cannot replace %1: %2").arg(aFinalName, SystemError(errno)), aContext);
    done = true;
}

void ExtractEntry(zip_t* aArchive,
                  const TEntry& aEntry,
                  const QString& aFinalName,
                  const QString& aArchiveName,
                  std::vector<char>& aBuffer,
                  const std::function<bool(qint64)>& aAdvance)
{
    const QString context = QStringLiteral("Unable to extract %1 from archive %2.").arg(aEntry.Path, aArchiveName);
    TZipFile entry(zip_fopen_index(aArchive, aEntry.Index, 0));
    if (!entry)
        Fail(Local(zip_strerror(aArchive)), context);
    WriteExtracted(aFinalName, context, [&](int aFile) {
        for (;;) {
            const zip_int64_t n = zip_fread(entry.get(), aBuffer.data(), aBuffer.size());
            if (n < 0)
                Fail(Local(zip_file_strerror(entry.get())), context);
            if (n == 0)
                break;
            WriteAll(aFile, aBuffer.data(), n, aFinalName, context);
            if (!aAdvance(n))
                Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
        }
    });
}

/// Makes aPassword the one libzip reads encrypted entries with, and opens each of them once: a password that is
/// wrong or missing fails here, before anything is written.
void OpenWithPassword(zip_t* aArchive, const QString& aPassword, const QString& aArchiveName)
{
    QByteArray password = aPassword.toUtf8();
    const int set = zip_set_default_password(aArchive, password.isEmpty() ? nullptr : password.constData());
    password.fill('\0');
    const QString context = QStringLiteral("Unable to extract archive %1.").arg(aArchiveName);
    if (set != 0)
        Fail(Local(zip_strerror(aArchive)), context);
    const zip_int64_t count = zip_get_num_entries(aArchive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        const auto index = static_cast<zip_uint64_t>(i);
        if (zip_stat_index(aArchive, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_ENCRYPTION_METHOD) ||
            st.encryption_method == ZIP_EM_NONE)
            continue;
        TZipFile entry(zip_fopen_index(aArchive, index, 0));
        if (entry)
            continue;
        const int code = zip_error_code_zip(zip_get_error(aArchive));
        if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD)
            throw EVandrel(cWrongPassword);
        Fail(Local(zip_strerror(aArchive)), context);
    }
}

} // namespace

TPackEstimate EstimatePacking(const QString& aFileName)
{
    TPackEstimate estimate;
    const qint64 size = FileSize(aFileName);
    TFd fd;
    if (size < 0 || !fd.Open(aFileName))
        return estimate;
    const qint64 nameBytes = 2 * QFileInfo(aFileName).fileName().toUtf8().size();
    TDeflateSampler sampler;
    std::vector<char> buffer(cSampleSize);
    if (size <= cSampleSize * cSampleCount) {
        for (qint64 offset = 0; offset < size; offset += cSampleSize) {
            const qint64 n = ReadAt(fd.Get(), buffer.data(), cSampleSize, offset);
            if (n <= 0)
                break;
            sampler.Add(buffer.data(), n, offset + n >= size);
        }
    } else {
        for (int i = 0; i < cSampleCount; ++i) {
            const qint64 offset = (size - cSampleSize) * i / (cSampleCount - 1);
            const qint64 n = ReadAt(fd.Get(), buffer.data(), cSampleSize, offset);
            if (n <= 0)
                break;
            sampler.Add(buffer.data(), n, true);
        }
    }
    if (sampler.In > 0)
        estimate.Ratio = static_cast<double>(sampler.Out) / static_cast<double>(sampler.In);
    estimate.Deflate = estimate.Ratio < cDeflateWorthRatio;
    const double body = estimate.Deflate ? static_cast<double>(size) * estimate.Ratio : static_cast<double>(size);
    estimate.ArchiveBytes = static_cast<qint64>(body) + cArchiveOverhead + nameBytes;
    return estimate;
}

qint32 EstimateArchiveKiB(const QString& aFileName)
{
    if (FileSize(aFileName) < 0)
        return 0;
    const qint64 kib = EstimatePacking(aFileName).ArchiveBytes / 1024;
    return static_cast<qint32>(std::clamp<qint64>(kib, 1, std::numeric_limits<qint32>::max()));
}

void AddFile(const QString& aArchiveName,
             const QString& aFileName,
             const std::atomic<bool>& aRunning,
             const TProgress& aProgress,
             const QString& aPassword)
{
    const QString context = QStringLiteral("Unable to add %1 to archive %2.").arg(aFileName, aArchiveName);
    struct stat info;
    if (::stat(QFile::encodeName(aFileName).constData(), &info) != 0)
        Fail(ZipErrorText(ZIP_ER_OPEN, errno), context);
    if (!S_ISREG(info.st_mode))
        Fail(ZipErrorText(ZIP_ER_OPEN, EISDIR), context);
    const TPackEstimate packing = EstimatePacking(aFileName);

    // The source libzip keeps points at this state until the archive frees it (zip_close, or zip_discard when we
    // leave by an exception), so the state is declared first: it is destroyed after the archive.
    TFileSource state;
    zip_error_init(&state.Error);
    TFinally freeError([&state]() noexcept { zip_error_fini(&state.Error); });
    state.FileName = aFileName;
    state.Size = info.st_size;
    state.ModTime = info.st_mtime;
    state.Running = &aRunning;
    state.Progress = &aProgress;

    // The archive is rebuilt in a folder of our own beside it and renamed over it when complete: the archive under
    // its name is never half written, and a run killed meanwhile leaves only that folder, which the next zip of this
    // archive removes. The folder is private, so nobody reads the database on its way into the archive.
    RemoveLeftovers(aArchiveName);
    const QString work = WorkFolder(aArchiveName);
    const QByteArray workPath = QFile::encodeName(work);
    if (::mkdir(workPath.constData(), S_IRWXU) != 0)
        Fail(QStringLiteral("Cannot create %1: %2").arg(work, SystemError(errno)), context);
    TFinally removeWork([&work]() noexcept { QDir(work).removeRecursively(); });
    const QString inWork = work + QLatin1Char('/') + QFileInfo(aArchiveName).fileName();
    const QByteArray archivePath = QFile::encodeName(aArchiveName);
    const QByteArray inWorkPath = QFile::encodeName(inWork);
    // The earlier archive's entries are kept: libzip reads them through a second name of the same file.
    if (QFileInfo::exists(aArchiveName) && ::link(archivePath.constData(), inWorkPath.constData()) != 0 &&
        !QFile::copy(aArchiveName, inWork))
        Fail(QStringLiteral("Cannot prepare %1 in %2.").arg(aArchiveName, work), context);

    TZip archive = OpenArchive(inWork, ZIP_CREATE);
    zip_register_cancel_callback_with_state(
        archive.get(), &CancelCallback, nullptr, const_cast<std::atomic<bool>*>(&aRunning));

    zip_source_t* source = zip_source_function(archive.get(), &FileSourceCallback, &state);
    if (!source)
        Fail(Local(zip_strerror(archive.get())), context);
    const QByteArray entryName = QFileInfo(aFileName).fileName().toUtf8();
    const zip_int64_t index =
        zip_file_add(archive.get(), entryName.constData(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        Fail(Local(zip_strerror(archive.get())), context);
    }
    const auto index64 = static_cast<zip_uint64_t>(index);
    const int rc = packing.Deflate ? zip_set_file_compression(archive.get(), index64, ZIP_CM_DEFLATE, cDeflateLevel)
                                   : zip_set_file_compression(archive.get(), index64, ZIP_CM_STORE, 0);
    if (rc != 0)
        Fail(Local(zip_strerror(archive.get())), context);
    if (!aPassword.isEmpty()) {
        // libzip keeps a copy of the password until the archive is written.
        QByteArray password = aPassword.toUtf8();
        const int encrypted = zip_file_set_encryption(archive.get(), index64, ZIP_EM_AES_256, password.constData());
        password.fill('\0');
        if (encrypted != 0)
            Fail(Local(zip_strerror(archive.get())), context);
    }

    // On failure libzip removes its temporary file and leaves the archive as it was.
    if (zip_close(archive.get()) != 0) {
        if (!aRunning.load())
            Fail(ZipErrorText(ZIP_ER_CANCELLED), context);
        Fail(Local(zip_strerror(archive.get())), context);
    }
    (void)archive.release(); // zip_close freed it
    if (::chmod(inWorkPath.constData(), S_IRUSR | S_IWUSR) != 0 ||
        ::rename(inWorkPath.constData(), archivePath.constData()) != 0)
        Fail(QStringLiteral("Cannot replace %1: %2").arg(aArchiveName, SystemError(errno)), context);
    if (state.LastPercent != 100 && aProgress)
        aProgress(100);
}

QStringList ExtractAll(const QString& aArchiveName,
                       const QString& aTargetDir,
                       const std::atomic<bool>& aRunning,
                       const TProgress& aProgress,
                       const QString& aPassword)
{
    TZip archive = OpenArchive(aArchiveName, ZIP_RDONLY);
    OpenWithPassword(archive.get(), aPassword, aArchiveName);
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);

    // Every name is checked before anything is written.
    std::vector<TEntry> entries;
    qint64 total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0)
            Fail(Local(zip_strerror(archive.get())), QStringLiteral("Unable to read archive %1.").arg(aArchiveName));
        const QString name = QString::fromUtf8(st.name);
        TEntry entry{static_cast<zip_uint64_t>(i),
                     SafeRelativePath(name, aArchiveName),
                     name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\')),
                     static_cast<qint64>(st.size)};
        total += entry.Size;
        entries.push_back(entry);
    }

    const QDir target(aTargetDir);
    if (!target.mkpath(QStringLiteral(".")))
        Fail(QStringLiteral("Cannot create directory %1.").arg(aTargetDir),
             QStringLiteral("Unable to extract archive %1.").arg(aArchiveName));
    std::vector<char> buffer(cExtractBufferSize);
    QStringList written;
    qint64 done = 0;
    int lastPercent = -1;
    const auto advance = [&](qint64 aBytes) {
        done += aBytes;
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent != lastPercent && aProgress) {
            lastPercent = percent;
            aProgress(percent);
        }
        return aRunning.load();
    };
    for (const TEntry& entry : entries) {
        if (!aRunning.load())
            Fail(ZipErrorText(ZIP_ER_CANCELLED), QStringLiteral("Unable to extract archive %1.").arg(aArchiveName));
        const QString finalName = target.filePath(entry.Path);
        const QString dir = entry.Directory ? finalName : QFileInfo(finalName).path();
        if (!QDir().mkpath(dir))
            Fail(QStringLiteral("Cannot create directory %1.").arg(dir),
                 QStringLiteral("Unable to extract archive %1.").arg(aArchiveName));
        if (!entry.Directory) {
            ExtractEntry(archive.get(), entry, finalName, aArchiveName, buffer, advance);
            written.append(entry.Path);
        }
    }
    if (lastPercent != 100 && aProgress)
        aProgress(100);
    return written;
}

qint64 FileSize(const QString& aName)
{
    struct stat info;
    if (aName.isEmpty() || ::stat(QFile::encodeName(aName).constData(), &info) != 0)
        return -1;
    return S_ISDIR(info.st_mode) ? 0 : static_cast<qint64>(info.st_size);
}

QString WorkFolder(const QString& aArchiveName)
{
    return aArchiveName + QStringLiteral(".zipping.vandrel");
}

QString RemoveLeftovers(const QString& aArchiveName)
{
    const QString work = WorkFolder(aArchiveName);
    const QFileInfo info(work);
    if (!info.exists() || !info.isDir() || info.isSymLink())
        return QString();
    QDir(work).removeRecursively();
    return work;
}

} // namespace UZipArchive
