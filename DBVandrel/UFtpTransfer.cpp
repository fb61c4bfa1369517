// SPDX-License-Identifier: MIT
#include "UFtpTransfer.h"

#include "EVandrel.h"
#include "UFileUtils.h"
#include "UHandles.h"
#include "ULog.h"
#include "UWriteBehind.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace UFtpTransfer {

namespace {

constexpr qint64 cMaxListingBytes = 64LL * 1024 * 1024;
constexpr auto cReportInterval = std::chrono::milliseconds(50);
constexpr long cReplyTimeoutSeconds = 60;
constexpr long cAcceptTimeoutMs = 10000;
/// Longest wait for a socket between two turns of a request. libcurl 7.88 can leave a reused FTP-over-TLS
/// connection waiting with neither a socket nor a timer after it has read the reply that moves it on (the data
/// connection of the next request then starts only after its own one-second poll); a short wait turns that second
/// into milliseconds, and costs nothing while data flows.
constexpr int cLongestPollMs = 10;
constexpr long cCleanupTimeoutSeconds = 20;
// libcurl's receive and send buffers (16 and 64 KiB by default): a fast link fills bigger ones with far fewer calls,
// through every protocol.
constexpr long cReceiveBufferSize = 512 * 1024;
constexpr long cSendBufferSize = 512 * 1024;

bool HasLineBreak(const QString& aText)
{
    return aText.contains(QLatin1Char('\r')) || aText.contains(QLatin1Char('\n'));
}

void RefuseLineBreak(const QString& aText, const QString& aWhat)
{
    if (HasLineBreak(aText))
        throw EVandrel(QStringLiteral("The FTP %1 contains a line break and is refused.").arg(aWhat));
}

/// Percent-encodes a path for an ftp:// URL, keeping its "/" separators.
QByteArray EncodePath(const QString& aPath)
{
    QByteArray result;
    const QStringList segments = aPath.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (i > 0)
            result += '/';
        result += QUrl::toPercentEncoding(segments[i]);
    }
    return result;
}

QString DecodeLine(const QByteArray& aLine)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(aLine);
    if (utf8.hasError())
        text = QString::fromLatin1(aLine);
    return text;
}

template <typename T> void SetOpt(CURL* aCurl, CURLoption aOption, T aValue)
{
    const CURLcode code = curl_easy_setopt(aCurl, aOption, aValue);
    if (code != CURLE_OK)
        throw EVandrel(QStringLiteral("FTP client set-up failed: %1").arg(QString::fromUtf8(curl_easy_strerror(code))));
}

QString SystemError(int aErrno)
{
    return QString::fromLocal8Bit(std::strerror(aErrno));
}

/// Holds a download to a rate on average: after each piece it waits until the bytes so far are due. libcurl's own
/// receive limit lets FTP data run well ahead of it; this one is kept by the receiving side itself.
class TPacer
{
public:
    explicit TPacer(qint64 aBytesPerSecond)
        : FLimit(aBytesPerSecond)
        , FStart(std::chrono::steady_clock::now())
    {
    }
    /// Counts aBytes more and waits until they are due.
    void Moved(qint64 aBytes)
    {
        if (FLimit <= 0)
            return;
        FBytes += aBytes;
        std::this_thread::sleep_until(FStart + std::chrono::microseconds(FBytes * 1000000 / FLimit));
    }
    /// A piece size that keeps each wait short (a Cancel is seen between pieces): a quarter second's worth.
    static long PieceSize(qint64 aBytesPerSecond)
    {
        return static_cast<long>(std::clamp<qint64>(aBytesPerSecond / 4, 1024, CURL_MAX_WRITE_SIZE));
    }

private:
    qint64 FLimit;
    qint64 FBytes = 0;
    std::chrono::steady_clock::time_point FStart;
};

/// A local file on its way to or from the server, with the observer that sees its bytes.
template <typename TFile> struct TObservedFile
{
    TFile& File;
    const TDataObserver& Observer;
    void Observe(const char* aData, qint64 aSize) const
    {
        if (Observer && aSize > 0)
            Observer(aData, aSize);
    }
};

/// The file a download writes: a temporary file beside the target, readable and writable by its owner only
/// (whatever the umask), which replaces the target on Commit and is removed otherwise. A failed write keeps the
/// system's reason, so that a full disk says so.
class TDownloadFile
{
public:
    /// Creates the temporary file beside aTarget (beside the file a symbolic link aTarget points to).
    explicit TDownloadFile(const QString& aTarget)
        : FTarget(aTarget)
    {
        const QFileInfo target(aTarget);
        const QString path = target.isSymLink() ? target.symLinkTarget() : aTarget;
        FFinal = QFile::encodeName(path);
        FTemporary = FFinal + ".XXXXXX";
        FFile.Reset(::mkstemp(FTemporary.data()));
        if (FFile.Get() < 0) {
            const int error = errno;
            throw EVandrel(QStringLiteral("Cannot create \"%1\": %2").arg(aTarget, SystemError(error)));
        }
        // mkstemp leaves the mode to the umask; the archive holds the database's contents.
        if (::fchmod(FFile.Get(), S_IRUSR | S_IWUSR) != 0) {
            const int error = errno;
            Discard();
            throw EVandrel(QStringLiteral("Cannot create \"%1\": %2").arg(aTarget, SystemError(error)));
        }
    }
    TDownloadFile(const TDownloadFile&) = delete;
    TDownloadFile& operator=(const TDownloadFile&) = delete;
    /// Removes the temporary file unless it was committed.
    ~TDownloadFile() { Discard(); }

    /// Appends aBytes bytes; false after a failure, whose errno Error() then holds. libcurl hands over 16 KiB at a
    /// time: they are gathered and written a MiB at a time.
    bool Write(const char* aData, size_t aBytes) noexcept
    {
        if (FBuffered + aBytes > FBuffer.size() && !Flush())
            return false;
        if (aBytes >= FBuffer.size())
            return WriteOut(aData, aBytes);
        std::memcpy(FBuffer.data() + FBuffered, aData, aBytes);
        FBuffered += aBytes;
        return true;
    }
    /// Writes what is gathered; false after a failure, whose errno Error() then holds.
    bool Flush() noexcept
    {
        const size_t bytes = std::exchange(FBuffered, 0);
        return WriteOut(FBuffer.data(), bytes);
    }
    /// The errno of the failed write, 0 when none failed.
    int Error() const { return FError; }
    /// Flushes the file to disk and renames it over the target; throws EVandrel with the system's reason. Flush()
    /// first.
    void Commit()
    {
        // Some file systems report a full disk only when the data reach it.
        if (::fsync(FFile.Get()) != 0 || !FFile.Close()) {
            const int error = errno;
            throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(FTarget, SystemError(error)));
        }
        if (::rename(FTemporary.constData(), FFinal.constData()) != 0) {
            const int error = errno;
            throw EVandrel(QStringLiteral("Cannot replace \"%1\": %2").arg(FTarget, SystemError(error)));
        }
        FTemporary.clear();
    }

private:
    bool WriteOut(const char* aData, size_t aBytes) noexcept
    {
        if (const int error = WriteAll(FFile.Get(), aData, aBytes, &FWriteBehind)) {
            FError = error;
            return false;
        }
        return true;
    }

    void Discard() noexcept
    {
        FFile.Close();
        if (!FTemporary.isEmpty())
            ::unlink(FTemporary.constData());
        FTemporary.clear();
    }

    QString FTarget;
    QByteArray FFinal;
    QByteArray FTemporary; ///< empty once committed or removed
    TFd FFile;
    int FError = 0;
    TWriteBehind FWriteBehind; ///< the disk catches up while the file arrives: Commit's fsync stays short
    std::vector<char> FBuffer = std::vector<char>(1024 * 1024);
    size_t FBuffered = 0;
};

/// The whole of a small file; empty when it is missing. Throws EVandrel when it exists but cannot be read.
QByteArray ReadTrustFile(const QString& aFileName)
{
    QFile file(aFileName);
    if (aFileName.isEmpty() || !file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Cannot read \"%1\": %2").arg(aFileName, file.errorString()));
    return file.readAll();
}

/// Appends aEntry as a line of its own to aFileName, created readable and writable by its owner only.
void AppendTrustEntry(const QString& aFileName, const QByteArray& aEntry)
{
    UFileUtils::ForceConfigDirFor(aFileName);
    QDir().mkpath(QFileInfo(aFileName).absolutePath());
    const QByteArray path = QFile::encodeName(aFileName);
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        const int error = errno;
        throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(aFileName, SystemError(error)));
    }
    TFinally close([fd]() noexcept { ::close(fd); });
    QByteArray text = aEntry;
    if (!text.endsWith('\n'))
        text += '\n';
    struct stat info = {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        // A file edited by hand may lack its last line end.
        char last = '\n';
        const int reader = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (reader >= 0) {
            if (::pread(reader, &last, 1, info.st_size - 1) != 1)
                last = '\n';
            ::close(reader);
        }
        if (last != '\n')
            text.prepend('\n');
    }
    for (qsizetype done = 0; done < text.size();) {
        const ssize_t written = ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            const int error = errno;
            throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(aFileName, SystemError(error)));
        }
        done += written;
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(aFileName, SystemError(error)));
    }
}

/// The lines of a known_hosts file libssh2 can read: plain entries of the key types it knows (markers such as
/// "@cert-authority" and other key types would make it stop reading the rest of the file).
QByteArray ReadableKnownHosts(const QByteArray& aText)
{
    static const QList<QByteArray> types = {
        "ssh-rsa", "ssh-dss", "ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521"};
    QByteArray result;
    for (const QByteArray& raw : aText.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith('@'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3 || !types.contains(fields[1]))
            continue;
        result += line + '\n';
    }
    return result;
}

/// The name OpenSSH gives a key type of libcurl.
QString KeyTypeName(int aType)
{
    switch (aType) {
    case CURLKHTYPE_RSA1:
    case CURLKHTYPE_RSA:
        return QStringLiteral("ssh-rsa");
    case CURLKHTYPE_DSS:
        return QStringLiteral("ssh-dss");
    case CURLKHTYPE_ECDSA:
        return QStringLiteral("ecdsa-sha2-nistp256");
    case CURLKHTYPE_ED25519:
        return QStringLiteral("ssh-ed25519");
    default:
        return QStringLiteral("unknown");
    }
}

/// The key type named at the start of an SSH public key blob ("ecdsa-sha2-nistp384"); empty when unreadable.
QString BlobKeyType(const QByteArray& aBlob)
{
    if (aBlob.size() < 4)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(aBlob.constData());
    const quint32 length = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) | (quint32(bytes[2]) << 8) | bytes[3];
    if (length > static_cast<quint32>(aBlob.size() - 4) || length > 64)
        return {};
    return QString::fromLatin1(aBlob.mid(4, static_cast<qsizetype>(length)));
}

/// An SSH key's fingerprint as OpenSSH shows it: "SHA256:" and the unpadded Base64 of its SHA-256.
QString SshFingerprint(const QByteArray& aBlob)
{
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(QCryptographicHash::hash(aBlob, QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals));
}

/// A certificate's fingerprint as OpenSSL shows it: the SHA-256 of its DER form, colon-separated hex.
QString CertificateFingerprint(const QByteArray& aDer)
{
    return QString::fromLatin1(QCryptographicHash::hash(aDer, QCryptographicHash::Sha256).toHex(':').toUpper());
}

} // namespace

TRemoteName SplitRemoteName(const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    for (const QChar c : aFileName) {
        if (c.category() == QChar::Other_Control)
            throw EVandrel(QStringLiteral("The FTP file name contains the control character U+%1 and is refused.")
                               .arg(c.unicode(), 4, 16, QLatin1Char('0')));
    }
    if (aFileName.isEmpty())
        throw EVandrel(QStringLiteral("The FTP file name is empty."));
    // Windows servers read "\" as a separator and "C:" as a drive: a name must not climb out there either.
    static const QRegularExpression drive(QStringLiteral(R"(^[A-Za-z]:)"));
    if (aFileName.startsWith(QLatin1Char('/')) || aFileName.startsWith(QLatin1Char('\\')) ||
        drive.match(aFileName).hasMatch())
        throw EVandrel(QStringLiteral("The FTP file name \"%1\" is an absolute path; give a name, or a path below the "
                                      "FTP directory.")
                           .arg(aFileName));
    static const QRegularExpression separator(QStringLiteral(R"([/\\])"));
    static const QRegularExpression onlyDots(QStringLiteral(R"(^\.+$)"));
    for (const QString& segment : aFileName.split(separator)) {
        if (segment.isEmpty() || onlyDots.match(segment).hasMatch())
            throw EVandrel(
                QStringLiteral("The FTP file name \"%1\" has an empty, \".\" or \"..\" part: it must be a name, or a "
                               "path of names below the FTP directory.")
                    .arg(aFileName));
    }
    const qsizetype slash = aFileName.lastIndexOf(QLatin1Char('/'));
    return {aFileName.left(std::max<qsizetype>(slash, 0)), aFileName.mid(slash + 1)};
}

QString AddressWithFolder(const QString& aUrl, const QString& aFolder)
{
    if (aFolder.isEmpty())
        return aUrl;
    QString url = aUrl;
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url + QLatin1Char('/') + aFolder;
}

TFtpAddress SplitAddress(const QString& aUrl)
{
    TFtpAddress result;
    const qsizetype slash = aUrl.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        result.Host = aUrl;
        return result;
    }
    result.Host = aUrl.left(slash);
    result.Directory = aUrl.mid(slash + 1);
    return result;
}

std::optional<TFtpListEntry> ParseListLine(const QString& aLine)
{
    // Unix "ls -l": the size is the number before "month day time-or-year"; the name is the rest after one blank.
    static const QRegularExpression unixEnglish(QStringLiteral(
        R"(^([-dlcbpsD])\S*\s+(?:\S+\s+)*?(\d+)\s+(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\s+)"
        R"(\d{1,2}\s+(?:\d{1,2}:\d{2}|\d{4}) (.*)$)"));
    static const QRegularExpression unixLocal(QStringLiteral(
        R"(^([-dlcbpsD])\S*\s+(?:\S+\s+)*?(\d+)\s+\p{L}{3,5}\.?\s+\d{1,2}\.?\s+(?:\d{1,2}:\d{2}|\d{4}) (.*)$)"));
    // Windows/IIS: "MM-DD-YY hh:mmAM <DIR> name" or "MM-DD-YY hh:mmAM size name".
    static const QRegularExpression windows(
        QStringLiteral(R"(^\d{2}-\d{2}-\d{2,4}\s+\d{1,2}:\d{2}\s*(?:[AaPp][Mm])?\s+(?:(<DIR>)\s+(.+)|(\d+) (.+))$)"));

    QString line = aLine;
    while (line.endsWith(QLatin1Char('\r')) || line.endsWith(QLatin1Char('\n')))
        line.chop(1);

    QRegularExpressionMatch match = windows.match(line);
    if (match.hasMatch()) {
        TFtpListEntry entry;
        entry.IsDirectory = match.capturedLength(1) > 0;
        entry.Name = entry.IsDirectory ? match.captured(2) : match.captured(4);
        entry.Size = entry.IsDirectory ? 0 : match.captured(3).toLongLong();
        return entry;
    }
    match = unixEnglish.match(line);
    if (!match.hasMatch())
        match = unixLocal.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    TFtpListEntry entry;
    const QChar kind = match.captured(1).at(0);
    entry.IsDirectory = kind == QLatin1Char('d') || kind == QLatin1Char('D');
    bool ok = false;
    entry.Size = match.captured(2).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    entry.Name = match.captured(3);
    if (kind == QLatin1Char('l')) {
        const qsizetype arrow = entry.Name.indexOf(QStringLiteral(" -> "));
        if (arrow >= 0)
            entry.Name.truncate(arrow);
    }
    return entry;
}

QList<TFtpListEntry> ParseListing(const QByteArray& aListing)
{
    QList<TFtpListEntry> result;
    for (const QByteArray& raw : aListing.split('\n')) {
        if (auto entry = ParseListLine(DecodeLine(raw)))
            result.append(*entry);
    }
    return result;
}

qint64 FindFileSize(const QList<TFtpListEntry>& aEntries, const QString& aName)
{
    // Walked from the last entry to the first, every match overwrites: the first listed match wins.
    qint64 size = -1;
    for (auto it = aEntries.crbegin(); it != aEntries.crend(); ++it) {
        if (!it->IsDirectory && it->Name == aName)
            size = it->Size;
    }
    return size;
}

QString ParsePwdReply(const QString& aReply)
{
    const qsizetype open = aReply.indexOf(QLatin1Char('"'));
    if (open < 0)
        return aReply.mid(4).trimmed();
    QString result;
    for (qsizetype i = open + 1; i < aReply.size(); ++i) {
        if (aReply[i] == QLatin1Char('"')) {
            if (i + 1 < aReply.size() && aReply[i + 1] == QLatin1Char('"')) {
                result += QLatin1Char('"');
                ++i;
                continue;
            }
            break;
        }
        result += aReply[i];
    }
    return result;
}

QString NotFoundLine(const QString& aServerDirectory, const QString& aFileName)
{
    QString quoted = aServerDirectory;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QStringLiteral("FTP Directory '%1' does not appear to contain a file named: %2").arg(quoted, aFileName);
}

QString LeftoverLine(const TLeftover& aLeftover)
{
    switch (aLeftover.Action) {
    case laRemoved:
        return QStringLiteral(
                   "Removed \"%1\" from the FTP server: an earlier upload that did not finish left it there.")
            .arg(aLeftover.Name);
    case laRestored:
        return QStringLiteral("Put \"%1\" back as \"%2\" on the FTP server: an earlier upload stopped while "
                              "replacing that archive.")
            .arg(aLeftover.Name, aLeftover.FileName);
    case laNotRemoved:
        return QStringLiteral("Could not remove \"%1\" from the FTP server: %2").arg(aLeftover.Name, aLeftover.Reason);
    case laNotRestored:
        return QStringLiteral("Could not put \"%1\" back as \"%2\" on the FTP server: %3")
            .arg(aLeftover.Name, aLeftover.FileName, aLeftover.Reason);
    }
    return aLeftover.Name;
}

QString ProtocolName(TFtpProtocol aProtocol)
{
    switch (aProtocol) {
    case fpFtp:
        break;
    case fpFtpes:
        return QStringLiteral("FTPES");
    case fpFtps:
        return QStringLiteral("FTPS");
    case fpSftp:
        return QStringLiteral("SFTP");
    }
    return QStringLiteral("FTP");
}

TFtpProtocol ProtocolFromName(const QString& aName)
{
    const QString name = aName.trimmed().toUpper();
    for (TFtpProtocol protocol : {fpFtp, fpFtpes, fpFtps, fpSftp}) {
        if (name == ProtocolName(protocol))
            return protocol;
    }
    if (name.isEmpty())
        return fpFtp;
    throw EVandrel(
        QStringLiteral("The file transfer protocol \"%1\" is not known: FTP, FTPES, FTPS or SFTP.").arg(aName));
}

QString ProtocolPrefix(TFtpProtocol aProtocol)
{
    return ProtocolName(aProtocol).toLower() + QStringLiteral("://");
}

QString DefaultTrustedCertsFile()
{
    return UFileUtils::ConfigDir() + QStringLiteral("trusted-certs.pem");
}

QString DefaultKnownHostsFile()
{
    return UFileUtils::ConfigDir() + QStringLiteral("known_hosts");
}

QString UserKnownHostsFile()
{
    return QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
}

// ---------------------------------------------------------------------------------------------------------------

TFtpTransfer::TFtpTransfer(const QString& aUrl,
                           const QString& aUser,
                           const QString& aPassword,
                           const TFtpOptions& aOptions)
    : FAddress(SplitAddress(aUrl))
    , FOptions(aOptions)
    , FUser(aUser.toUtf8())
    , FPassword(aPassword.toUtf8())
    , FKeyFile(QFile::encodeName(aOptions.KeyFile))
    , FKeyPassphrase(aOptions.KeyPassphrase.toUtf8())
{
    RefuseLineBreak(aUrl, QStringLiteral("address"));
    RefuseLineBreak(aUser, QStringLiteral("user name"));
    RefuseLineBreak(aPassword, QStringLiteral("password"));
    RefuseLineBreak(aOptions.KeyFile, QStringLiteral("key file"));
    RefuseLineBreak(aOptions.KeyPassphrase, QStringLiteral("key passphrase"));
    // A host name or IPv4 address, or an IPv6 address in brackets; then an optional port.
    static const QRegularExpression hostPattern(
        QStringLiteral(R"(^(?:[^\s@/\\?#:\[\]]+|\[[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*\])(:\d{1,5})?$)"));
    if (!hostPattern.match(FAddress.Host).hasMatch()) {
        if (FAddress.Host.count(QLatin1Char(':')) > 1 && !FAddress.Host.startsWith(QLatin1Char('[')))
            throw EVandrel(QStringLiteral("The FTP host \"%1\" is not a valid host name: an IPv6 address goes in "
                                          "brackets, as in \"[%1]:21\".")
                               .arg(FAddress.Host));
        throw EVandrel(QStringLiteral("The FTP host \"%1\" is not a valid host name.").arg(FAddress.Host));
    }

    QString directory = FAddress.Directory;
    while (directory.size() > 1 && directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    const QByteArray host = FAddress.Host.toUtf8();
    const bool sftp = FOptions.Protocol == fpSftp;
    if (sftp) {
        // libcurl's "/~/" is the home folder, where an SFTP login starts; a leading "/" stays absolute.
        if (directory.startsWith(QLatin1Char('/'))) {
            FBaseUrl =
                "sftp://" + host + (directory == QStringLiteral("/") ? QByteArray("/") : EncodePath(directory) + '/');
            FSftpDirectory = directory == QStringLiteral("/") ? directory : directory + QLatin1Char('/');
        } else {
            FBaseUrl = "sftp://" + host + "/~/" + (directory.isEmpty() ? QByteArray() : EncodePath(directory) + '/');
            FSftpDirectory = directory.isEmpty() ? QString() : directory + QLatin1Char('/');
        }
    } else {
        FBaseUrl = (FOptions.Protocol == fpFtps ? "ftps://" : "ftp://") + host + '/';
        if (directory == QStringLiteral("/"))
            FBaseUrl += "%2F/";
        else if (!directory.isEmpty())
            FBaseUrl += EncodePath(directory) + '/';
    }

    FMulti.reset(curl_multi_init());
    FCurl.reset(curl_easy_init());
    if (!FMulti || !FCurl)
        throw EVandrel(QStringLiteral("The FTP client could not be created."));
    CURL* curl = FCurl.get();
    SetOpt(curl, CURLOPT_ERRORBUFFER, FErrorBuffer);
    SetOpt(curl, CURLOPT_PROTOCOLS_STR, sftp ? "sftp" : FOptions.Protocol == fpFtps ? "ftps" : "ftp");
    SetOpt(curl, CURLOPT_NOSIGNAL, 1L);
    SetOpt(curl, CURLOPT_USERNAME, FUser.constData());
    SetOpt(curl, CURLOPT_PASSWORD, FPassword.constData());
    SetOpt(curl, CURLOPT_PROXY, "");
    SetOpt(curl, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_WHATEVER));
    if (FOptions.Protocol == fpFtp || FOptions.Protocol == fpFtpes || FOptions.Protocol == fpFtps) {
        if (!FOptions.Passive)
            SetOpt(curl, CURLOPT_FTPPORT, "-"); // active mode on the address of the control connection
        SetOpt(curl, CURLOPT_ACCEPTTIMEOUT_MS, cAcceptTimeoutMs);
        SetOpt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    }
    if ((FOptions.Protocol == fpFtpes || FOptions.Protocol == fpFtps) && !FOptions.Passive) {
        // libcurl 7.87 and 7.88 open an active data connection without TLS and then wait for it forever.
        const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
        if (version && version->version_num < 0x080000)
            throw EVandrel(QStringLiteral("Active mode over TLS does not work with the installed libcurl %1 (it "
                                          "needs 8.0 or later): choose passive mode for %2.")
                               .arg(QString::fromLatin1(version->version), ProtocolName(FOptions.Protocol)));
    }
    if (FOptions.Protocol == fpFtpes || FOptions.Protocol == fpFtps) {
        // TLS for the login, the commands and every data connection, or no connection at all.
        SetOpt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        SetOpt(curl, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        SetOpt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        SetOpt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (sftp) {
        SetOpt(curl, CURLOPT_SSH_KEYFUNCTION, &TFtpTransfer::KeyCallback);
        SetOpt(curl, CURLOPT_SSH_KEYDATA, this);
        long methods = CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD;
        if (!FKeyFile.isEmpty()) {
            methods = FPassword.isEmpty() ? CURLSSH_AUTH_PUBLICKEY : methods | CURLSSH_AUTH_PUBLICKEY;
            SetOpt(curl, CURLOPT_SSH_PRIVATE_KEYFILE, FKeyFile.constData());
            SetOpt(curl, CURLOPT_KEYPASSWD, FKeyPassphrase.constData());
        }
        SetOpt(curl, CURLOPT_SSH_AUTH_TYPES, methods);
    }
    ApplyTrust();
    SetOpt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, cReplyTimeoutSeconds);
    SetOpt(curl, CURLOPT_NOPROGRESS, 0L);
    SetOpt(curl, CURLOPT_XFERINFOFUNCTION, &TFtpTransfer::ProgressCallback);
    SetOpt(curl, CURLOPT_XFERINFODATA, this);
    SetOpt(curl, CURLOPT_HEADERFUNCTION, &TFtpTransfer::HeaderCallback);
    SetOpt(curl, CURLOPT_HEADERDATA, this);
    SetOpt(curl, CURLOPT_SOCKOPTFUNCTION, &TFtpTransfer::SockoptCallback);
    SetOpt(curl, CURLOPT_SOCKOPTDATA, this);
    SetOpt(curl, CURLOPT_BUFFERSIZE, cReceiveBufferSize);
    SetOpt(curl, CURLOPT_UPLOAD_BUFFERSIZE, cSendBufferSize);
}

TFtpTransfer::~TFtpTransfer()
{
    Disconnect();
}

QString TFtpTransfer::TemporaryName(const QString& aFileName)
{
    return aFileName + QStringLiteral(".part.vandrel");
}

QString TFtpTransfer::AsideName(const QString& aFileName)
{
    const quint64 unique = QRandomGenerator::system()->generate64();
    return aFileName + QStringLiteral(".old-%1.vandrel").arg(unique, 16, 16, QLatin1Char('0'));
}

bool TFtpTransfer::IsAsideName(const QString& aRemoteName, const QString& aFileName)
{
    static const QRegularExpression tail(
        QRegularExpression::anchoredPattern(QStringLiteral(R"(\.old-[0-9a-f]{16}\.vandrel)")));
    return aRemoteName.startsWith(aFileName) && tail.match(aRemoteName.mid(aFileName.size())).hasMatch();
}

bool TFtpTransfer::IsOwnName(const QString& aRemoteName, const QString& aFileName)
{
    return aRemoteName == TemporaryName(aFileName) || IsAsideName(aRemoteName, aFileName);
}

QString TFtpTransfer::UrlOf(const QString& aFileName) const
{
    return QString::fromLatin1(FBaseUrl + QUrl::toPercentEncoding(aFileName));
}

QString TFtpTransfer::SftpPath(const QString& aFileName) const
{
    // Relative paths start in the home folder, as the address's directory does. libcurl takes "\\" and "\"" as
    // escapes inside the quotes.
    QString path = FSftpDirectory + aFileName;
    path.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    path.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString TFtpTransfer::DisplayUrl(const QString& aFileName) const
{
    QString address = FAddress.Host;
    if (!FAddress.Directory.isEmpty())
        address += QLatin1Char('/') + FAddress.Directory;
    return ProtocolPrefix(FOptions.Protocol) + address + QLatin1Char('/') + aFileName;
}

void TFtpTransfer::ApplyTrust()
{
    CURL* curl = FCurl.get();
    if (FOptions.Protocol == fpFtpes || FOptions.Protocol == fpFtps) {
        const QByteArray trusted = ReadTrustFile(FOptions.TrustedCertsFile);
        if (trusted.trimmed().isEmpty())
            return; // the system's store alone
        // libcurl takes one bundle: the system's CAs and the program's trusted certificates together, in memory.
        char* systemBundle = nullptr;
        QString systemFile = QStringLiteral("/etc/ssl/certs/ca-certificates.crt");
        if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &systemBundle) == CURLE_OK && systemBundle && *systemBundle)
            systemFile = QFile::decodeName(systemBundle);
        FCaBundle = ReadTrustFile(systemFile) + '\n' + trusted + '\n';
        curl_blob blob{FCaBundle.data(), static_cast<size_t>(FCaBundle.size()), CURL_BLOB_NOCOPY};
        SetOpt(curl, CURLOPT_CAINFO_BLOB, &blob);
        return;
    }
    if (FOptions.Protocol != fpSftp)
        return;
    // libssh2 reads one known_hosts file: the user's and the program's, in a private copy for this connection.
    const QByteArray hosts = ReadableKnownHosts(ReadTrustFile(FOptions.UserKnownHostsFile)) +
                             ReadableKnownHosts(ReadTrustFile(FOptions.KnownHostsFile));
    FKnownHosts = std::make_unique<QTemporaryFile>(UFileUtils::GetTempDir() + QStringLiteral("vandrel-hosts-XXXXXX"));
    if (!FKnownHosts->open() || FKnownHosts->write(hosts) != hosts.size() || !FKnownHosts->flush())
        throw EVandrel(
            QStringLiteral("Cannot write \"%1\": %2").arg(FKnownHosts->fileName(), FKnownHosts->errorString()));
    const QByteArray path = QFile::encodeName(FKnownHosts->fileName());
    SetOpt(curl, CURLOPT_SSH_KNOWNHOSTS, path.constData());
}

bool TFtpTransfer::ProbeCertificate(const QString& aReason)
{
    // A connection of its own that checks nothing and never logs in: it ends at the first reply that comes through
    // TLS (implicit TLS: the greeting; explicit TLS: the answer to "USER anonymous"), before any password is sent.
    TCurlPtr probe(curl_easy_init());
    if (!probe)
        return false;
    CURL* curl = probe.get();
    struct TProbe
    {
        bool Implicit;
        bool Secured;
    } state{FOptions.Protocol == fpFtps, false};
    auto header = +[](char* aData, size_t aSize, size_t aCount, void* aState) -> size_t {
        auto* probeState = static_cast<TProbe*>(aState);
        if (probeState->Implicit || probeState->Secured)
            return 0;
        if (std::string_view(aData, aSize * aCount).starts_with("234"))
            probeState->Secured = true;
        return aSize * aCount;
    };
    try {
        SetOpt(curl, CURLOPT_URL, FBaseUrl.constData());
        SetOpt(curl, CURLOPT_PROTOCOLS_STR, FOptions.Protocol == fpFtps ? "ftps" : "ftp");
        SetOpt(curl, CURLOPT_NOSIGNAL, 1L);
        SetOpt(curl, CURLOPT_PROXY, "");
        SetOpt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        SetOpt(curl, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        SetOpt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        SetOpt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        SetOpt(curl, CURLOPT_CERTINFO, 1L);
        SetOpt(curl, CURLOPT_NOBODY, 1L);
        SetOpt(curl, CURLOPT_USERNAME, "anonymous");
        SetOpt(curl, CURLOPT_PASSWORD, "");
        SetOpt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
        SetOpt(curl, CURLOPT_TIMEOUT, 60L);
        SetOpt(curl, CURLOPT_HEADERFUNCTION, header);
        SetOpt(curl, CURLOPT_HEADERDATA, &state);
    } catch (const EVandrel&) {
        return false;
    }
    (void)curl_easy_perform(curl);
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
        return false;
    QString subject;
    QByteArray pem;
    for (const curl_slist* item = info->certinfo[0]; item; item = item->next) {
        const QByteArray field(item->data);
        if (field.startsWith("Subject:"))
            subject = QString::fromUtf8(field.mid(8)).trimmed();
        else if (field.startsWith("Cert:"))
            pem = field.mid(5).trimmed();
    }
    QByteArray base64 = pem;
    base64.replace("-----BEGIN CERTIFICATE-----", "").replace("-----END CERTIFICATE-----", "");
    const QByteArray der = QByteArray::fromBase64(base64.simplified().replace(' ', ""));
    if (der.isEmpty())
        return false;
    const QString host = FAddress.Host;
    const QString fingerprint = CertificateFingerprint(der);
    const QString shown = QStringLiteral("Subject: %1\r\nSHA-256 fingerprint: %2").arg(subject, fingerprint);
    TUntrusted untrusted;
    if (aReason.contains(QLatin1String("subject name")) || aReason.contains(QLatin1String("does not match"))) {
        // Trusting it would not help: the certificate is for another name.
        untrusted.Error =
            QStringLiteral("The certificate of FTP server \"%1\" is not for that host name (%2).\r\n%3\r\n"
                           "Connect by a name the certificate carries.")
                .arg(host, aReason, shown);
    } else {
        untrusted.Error =
            QStringLiteral("The certificate of FTP server \"%1\" is not trusted (%2).\r\n%3\r\n"
                           "If that is the server's certificate (compare the fingerprint with the server's), add it "
                           "in PEM form to \"%4\", or trust it when the program asks with a display.")
                .arg(host, aReason, shown, FOptions.TrustedCertsFile);
        untrusted.Question = QStringLiteral("The FTP server \"%1\" presents a certificate that is not trusted:\r\n%2"
                                            "\r\n\r\nCompare the fingerprint with the server's. Trust this "
                                            "certificate from now on? It is added to \"%3\".")
                                 .arg(host, shown, FOptions.TrustedCertsFile);
        untrusted.File = FOptions.TrustedCertsFile;
        untrusted.Entry = "# " + subject.toUtf8() + "\n# SHA-256 " + fingerprint.toLatin1() + '\n' + pem + '\n';
    }
    FUntrusted = untrusted;
    return true;
}

int TFtpTransfer::OnHostKey(const curl_khkey* aFoundKey, curl_khmatch aMatch)
{
    if (aMatch == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    if (!aFoundKey)
        return CURLKHSTAT_REJECT;
    const QByteArray blob = aFoundKey->len > 0 ? QByteArray(aFoundKey->key, static_cast<qsizetype>(aFoundKey->len))
                                               : QByteArray::fromBase64(QByteArray(aFoundKey->key));
    QString type = BlobKeyType(blob);
    if (type.isEmpty())
        type = KeyTypeName(aFoundKey->keytype);
    const QString fingerprint = SshFingerprint(blob);
    // known_hosts names a host on another port than 22 as "[host]:port".
    QString host = FAddress.Host;
    QString port;
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0 && colon > host.lastIndexOf(QLatin1Char(']'))) {
        port = host.mid(colon + 1);
        host.truncate(colon);
    }
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QString name = port.isEmpty() || port.toInt() == 22
                             ? host
                             : QStringLiteral("[%1]:%2").arg(host, QString::number(port.toInt()));
    const QString line = name + QLatin1Char(' ') + type + QLatin1Char(' ') + QString::fromLatin1(blob.toBase64());
    TUntrusted untrusted;
    if (aMatch == CURLKHMATCH_MISMATCH) {
        untrusted.Error =
            QStringLiteral("WARNING: the host key of SFTP server \"%1\" has CHANGED: it now presents %2 %3. Someone "
                           "may be intercepting the connection; nothing was sent. If the server's key was really "
                           "replaced, remove the old line of \"%4\" from \"%5\" or \"%6\" and trust the new "
                           "key.")
                .arg(FAddress.Host, type, fingerprint, name, FOptions.KnownHostsFile, FOptions.UserKnownHostsFile);
    } else {
        untrusted.Error = QStringLiteral("The host key of SFTP server \"%1\" is not known: %2 %3.\r\nIf that is the "
                                         "server's key (compare the fingerprint with the server's), add this line "
                                         "to \"%4\":\r\n%5")
                              .arg(FAddress.Host, type, fingerprint, FOptions.KnownHostsFile, line);
        untrusted.Question = QStringLiteral("The SFTP server \"%1\" is not known yet. Its host key is:\r\n%2 %3\r\n"
                                            "\r\nCompare the fingerprint with the server's. Trust this key from now "
                                            "on? It is added to \"%4\".")
                                 .arg(FAddress.Host, type, fingerprint, FOptions.KnownHostsFile);
        untrusted.File = FOptions.KnownHostsFile;
        untrusted.Entry = line.toUtf8();
    }
    FUntrusted = untrusted;
    return CURLKHSTAT_REJECT;
}

int TFtpTransfer::KeyCallback(
    CURL* /*aCurl*/, const curl_khkey* /*aKnownKey*/, const curl_khkey* aFoundKey, curl_khmatch aMatch, void* aSelf)
{
    try {
        return static_cast<TFtpTransfer*>(aSelf)->OnHostKey(aFoundKey, aMatch);
    } catch (...) {
        return CURLKHSTAT_REJECT;
    }
}

void TFtpTransfer::ResetRequest()
{
    if (!FCurl)
        throw EVandrel(QStringLiteral("The FTP connection is closed."));
    CURL* curl = FCurl.get();
    SetOpt(curl, CURLOPT_URL, FBaseUrl.constData());
    SetOpt(curl, CURLOPT_NOBODY, 0L);
    SetOpt(curl, CURLOPT_UPLOAD, 0L);
    SetOpt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    SetOpt(curl, CURLOPT_POSTQUOTE, static_cast<curl_slist*>(nullptr));
    SetOpt(curl, CURLOPT_TIMEOUT, 0L);
    // A dead data connection would otherwise block until Cancel: fail when nothing moves for a while.
    SetOpt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetOpt(curl, CURLOPT_LOW_SPEED_TIME, std::max(1L, FStallSeconds));
    // libcurl paces the data to the limit on average; the stall guard above still sees every byte that moves.
    SetOpt(curl, CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(FTransferLimit));
    SetOpt(curl, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(FTransferLimit));
    // A request without a sink of its own (the size a NOBODY request reports) drops what it receives: an earlier
    // request's sink is gone by now.
    SetOpt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t aSize, size_t aCount, void*) -> size_t {
            return aSize * aCount;
        });
    SetOpt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    if (FTransferLimit > 0) {
        // Small pieces under a limit: a big buffer would leave in one burst what the limit is to spread.
        SetOpt(curl, CURLOPT_BUFFERSIZE, TPacer::PieceSize(FTransferLimit));
        SetOpt(curl,
               CURLOPT_UPLOAD_BUFFERSIZE,
               std::clamp<long>(TPacer::PieceSize(FTransferLimit), 16384, cSendBufferSize));
    }
    FPostQuote.reset();
    FErrorBuffer[0] = '\0';
    FLastErrorReply.clear();
    FTransferStarted = false;
    FTotal = -1;
    FMovedCount = 0;
    FLastMoved = std::chrono::steady_clock::now();
}

void TFtpTransfer::SetPostQuote(const QStringList& aCommands)
{
    curl_slist* list = nullptr;
    for (const QString& command : aCommands) {
        curl_slist* grown = curl_slist_append(list, command.toUtf8().constData());
        if (!grown) {
            curl_slist_free_all(list);
            throw EVandrel(QStringLiteral("Out of memory."));
        }
        list = grown;
    }
    FPostQuote.reset(list);
    SetOpt(FCurl.get(), CURLOPT_POSTQUOTE, list);
}

CURLcode TFtpTransfer::Perform()
{
    if (FAbandoned && !FQuiet)
        return CURLE_ABORTED_BY_CALLBACK;
    FPending = nullptr;
    const CURLcode code = RunRequest();
    if (FPending) {
        std::exception_ptr pending = FPending;
        FPending = nullptr;
        std::rethrow_exception(pending);
    }
    return code;
}

CURLcode TFtpTransfer::RunRequest()
{
    // curl_easy_perform's own loop, with a shorter longest wait (see cLongestPollMs).
    CURLM* multi = FMulti.get();
    CURL* curl = FCurl.get();
    if (curl_multi_add_handle(multi, curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    TFinally remove([multi, curl]() noexcept { curl_multi_remove_handle(multi, curl); });
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return CURLE_OUT_OF_MEMORY;
        if (running == 0)
            break;
        long timeout = -1;
        (void)curl_multi_timeout(multi, &timeout);
        const int wait = timeout < 0 || timeout > cLongestPollMs ? cLongestPollMs : static_cast<int>(timeout);
        if (curl_multi_poll(multi, nullptr, 0, wait, nullptr) != CURLM_OK)
            return CURLE_OUT_OF_MEMORY;
    }
    CURLcode result = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl)
            result = message->data.result;
    }
    return result;
}

QString TFtpTransfer::ErrorText(CURLcode aCode) const
{
    QString message = QString::fromUtf8(curl_easy_strerror(aCode));
    // What failed, in the words of the person who has to mend it.
    QString failed;
    switch (aCode) {
    case CURLE_SSL_CONNECT_ERROR:
        failed = QStringLiteral("TLS handshake failed");
        break;
    case CURLE_USE_SSL_FAILED:
        failed = QStringLiteral("The server refused TLS");
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
        failed = FOptions.Protocol == fpSftp ? QStringLiteral("Host key not accepted")
                                             : QStringLiteral("Certificate not accepted");
        break;
    case CURLE_LOGIN_DENIED:
        failed = QStringLiteral("Authentication failed");
        break;
    case CURLE_REMOTE_ACCESS_DENIED:
        failed = QStringLiteral("Permission denied");
        break;
    case CURLE_SSH:
        failed = QStringLiteral("SSH failed");
        break;
    default:
        break;
    }
    if (!failed.isEmpty())
        message = failed + QStringLiteral(": ") + message;
    QString detail = QString::fromLocal8Bit(FErrorBuffer).trimmed();
    // libcurl keeps the first text of a request; in active mode that is a harmless note of the PORT set-up,
    // which would only mislead here.
    if (detail.startsWith(QLatin1String("sa_addr inet_ntop()")))
        detail.clear();
    // libcurl's low-speed check (its own text may not reach the error buffer): nothing moved for the stall time.
    const auto still = std::chrono::steady_clock::now() - FLastMoved;
    if (aCode == CURLE_OPERATION_TIMEDOUT && still >= std::chrono::seconds(FStallSeconds))
        message = QStringLiteral("The transfer stalled: no data moved for %1 seconds").arg(FStallSeconds);
    if (!detail.isEmpty() && detail != message)
        message += QStringLiteral(": ") + detail;
    if (!FLastErrorReply.isEmpty())
        message += QStringLiteral(" (server reply: %1)").arg(FLastErrorReply);
    return message;
}

EVandrel TFtpTransfer::Failure(CURLcode aCode, const QString& aContext)
{
    const QString message = ErrorText(aCode);
    ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + message);
    EVandrel error(message);
    error.AddContext(aContext);
    return error;
}

void TFtpTransfer::Fail(CURLcode aCode, const QString& aContext)
{
    throw Failure(aCode, aContext);
}

bool TFtpTransfer::Connect()
{
    CURLcode code = CURLE_OK;
    for (bool retried = false;; retried = true) {
        Status(fsResolving);
        ResetRequest();
        FUntrusted.reset();
        SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
        code = Perform();
        if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned)
            return false;
        if (code == CURLE_OK) {
            if (FOptions.Protocol == fpSftp)
                Status(fsConnected);
            return true;
        }
        if (code == CURLE_PEER_FAILED_VERIFICATION && FOptions.Protocol != fpSftp && !FUntrusted)
            ProbeCertificate(ErrorText(code));
        if (!FUntrusted)
            break;
        const bool ask = !retried && FTrustHandler && !FUntrusted->Entry.isEmpty();
        if (!ask || !FTrustHandler(FUntrusted->Question)) {
            EVandrel error(FUntrusted->Error);
            error.AddContext(QStringLiteral("Unable to connect to %1 server \"%2\".")
                                 .arg(ProtocolName(FOptions.Protocol), FAddress.Host));
            ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + error.Message());
            throw error;
        }
        AppendTrustEntry(FUntrusted->File, FUntrusted->Entry);
        ApplyTrust();
    }
    const QString user = QString::fromUtf8(FUser);
    if (FAddress.Directory.isEmpty())
        Fail(code, QStringLiteral("Unable to connect to FTP server \"%1\" as \"%2\".").arg(FAddress.Host, user));
    Fail(code,
         QStringLiteral("Unable to open FTP directory \"%1\" on \"%2\" as \"%3\".")
             .arg(FAddress.Directory, FAddress.Host, user));
}

QList<TFtpListEntry> TFtpTransfer::List(const QString& aFolder)
{
    RefuseLineBreak(aFolder, QStringLiteral("folder"));
    ResetRequest();
    QByteArray folderUrl;
    if (!aFolder.isEmpty()) {
        folderUrl = FBaseUrl + EncodePath(aFolder);
        if (!folderUrl.endsWith('/'))
            folderUrl += '/';
        SetOpt(FCurl.get(), CURLOPT_URL, folderUrl.constData());
    }
    QByteArray listing;
    using TSink = QByteArray;
    auto write = +[](char* aData, size_t aSize, size_t aCount, void* aSink) -> size_t {
        auto* sink = static_cast<TSink*>(aSink);
        const size_t bytes = aSize * aCount;
        if (sink->size() + static_cast<qint64>(bytes) > cMaxListingBytes)
            return 0;
        sink->append(aData, static_cast<qsizetype>(bytes));
        return bytes;
    };
    SetOpt(FCurl.get(), CURLOPT_WRITEFUNCTION, write);
    SetOpt(FCurl.get(), CURLOPT_WRITEDATA, &listing);
    BeginTransfer(-1);
    const CURLcode code = Perform();
    if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned)
        return {};
    if (code != CURLE_OK)
        Fail(code, QStringLiteral("Unable to list FTP directory \"%1\".").arg(FAddress.Directory + aFolder));
    return ParseListing(listing);
}

void TFtpTransfer::Delete(const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    const CURLcode code = Remove(aFileName);
    if (code != CURLE_OK)
        Fail(code, QStringLiteral("Unable to delete \"%1\" on FTP server \"%2\".").arg(aFileName, FAddress.Host));
}

void TFtpTransfer::ProbeWrite(const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    ResetRequest();
    const QByteArray url = UrlOf(aFileName).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    SetOpt(FCurl.get(), CURLOPT_UPLOAD, 1L);
    SetOpt(FCurl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(0));
    auto nothing = +[](char*, size_t, size_t, void*) -> size_t { return 0; };
    SetOpt(FCurl.get(), CURLOPT_READFUNCTION, nothing);
    CURLcode code = Perform();
    if (code != CURLE_OK) {
        const EVandrel error = Failure(
            code,
            QStringLiteral("Unable to write the test file \"%1\" on FTP server \"%2\".").arg(aFileName, FAddress.Host));
        RemoveRemote(aFileName); // a server may keep what it refused to finish
        throw error;
    }
    code = Remove(aFileName);
    if (code != CURLE_OK)
        Fail(code,
             QStringLiteral("The test file \"%1\" was written but could not be deleted on FTP server \"%2\".")
                 .arg(aFileName, FAddress.Host));
}

QString TFtpTransfer::PrintWorkingDirectory()
{
    ResetRequest();
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    if (FOptions.Protocol != fpSftp)
        SetPostQuote({QStringLiteral("PWD")}); // after the directory change, also on a new connection
    FLastPwd.clear();
    const CURLcode code = Perform();
    if (code != CURLE_OK)
        Fail(code, QStringLiteral("Unable to read the FTP server's directory."));
    if (FOptions.Protocol != fpSftp)
        return ParsePwdReply(FLastPwd);
    // SFTP: the home folder the login starts in, and the address's directory from there.
    QString directory = FSftpDirectory;
    if (directory.size() > 1 && directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    if (directory.startsWith(QLatin1Char('/')))
        return directory;
    char* home = nullptr;
    QString result = curl_easy_getinfo(FCurl.get(), CURLINFO_FTP_ENTRY_PATH, &home) == CURLE_OK && home
                         ? QString::fromUtf8(home)
                         : QStringLiteral("~");
    if (!directory.isEmpty())
        result += (result.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + directory;
    return result;
}

bool TFtpTransfer::Retrieve(const QString& aFileName, const QString& aLocalFile, qint64 aExpectedSize)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    TDownloadFile file(aLocalFile);
    ResetRequest();
    const QByteArray url = UrlOf(aFileName).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    struct TSink
    {
        TFtpTransfer& Self;
        TObservedFile<TDownloadFile> Observed;
        TPacer Pacer;
        qint64 Received = 0;
    } sink{*this, {file, FDataObserver}, TPacer(FTransferLimit)};
    auto write = +[](char* aData, size_t aSize, size_t aCount, void* aSink) -> size_t {
        auto* sink = static_cast<TSink*>(aSink);
        const size_t bytes = aSize * aCount;
        if (!sink->Observed.File.Write(aData, bytes))
            return 0;
        sink->Observed.Observe(aData, static_cast<qint64>(bytes));
        if (sink->Self.FTransferLimit > 0) {
            // libcurl reads what the socket holds before it reports progress again: a paced download reports (and
            // hears of a Cancel) here.
            sink->Received += static_cast<qint64>(bytes);
            if (sink->Self.OnProgress(sink->Received, 0, 0) != 0)
                return 0;
            sink->Pacer.Moved(static_cast<qint64>(bytes));
        }
        return bytes;
    };
    SetOpt(FCurl.get(), CURLOPT_WRITEFUNCTION, write);
    SetOpt(FCurl.get(), CURLOPT_WRITEDATA, &sink);
    BeginTransfer(aExpectedSize);
    CURLcode code = Perform();
    if ((code == CURLE_ABORTED_BY_CALLBACK || code == CURLE_WRITE_ERROR) && FAbandoned)
        return false; // the temporary file goes with `file`; the local archive stays as it was
    const QString context =
        QStringLiteral("Unable to download \"%1\" from FTP server \"%2\".").arg(aFileName, FAddress.Host);
    if (code == CURLE_OK && !file.Flush())
        code = CURLE_WRITE_ERROR;
    if (code == CURLE_WRITE_ERROR && file.Error() != 0) {
        // libcurl only knows that the write failed; the system knows why (a full disk, for one).
        EVandrel error(QStringLiteral("Cannot write \"%1\": %2").arg(aLocalFile, SystemError(file.Error())));
        error.AddContext(context);
        throw error;
    }
    if (code != CURLE_OK)
        Fail(code, context);
    ReportFinal();
    if (FRetrieveCheck)
        FRetrieveCheck();
    file.Commit();
    return true;
}

bool TFtpTransfer::Store(const QString& aLocalFile, const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    QFile file(aLocalFile);
    if (!file.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Cannot open \"%1\": %2").arg(aLocalFile, file.errorString()));
    return StoreFrom(file, aLocalFile, aFileName, true);
}

bool TFtpTransfer::StoreRefused(CURLcode aCode) const
{
    // libcurl fails with this code when the server answers the STOR itself with an error. Before a 125 or 150 the
    // server opened no transfer and wrote nothing. A lack of space (552) is no refusal of the name: storing under the
    // final name would then only destroy the file already there.
    if (FOptions.Protocol == fpSftp || aCode != CURLE_UPLOAD_FAILED || FTransferStarted)
        return false;
    const int reply = FLastErrorReply.left(3).toInt();
    return reply >= 500 && reply <= 599 && reply != 552;
}

bool TFtpTransfer::StoreFrom(QIODevice& aSource, const QString& aLocalFile, const QString& aFileName, bool aArchive)
{
    static const TDataObserver unobserved;
    struct TSource
    {
        TObservedFile<QIODevice> Observed;
        bool ReadFailed = false;
    } source{{aSource, aArchive ? FDataObserver : unobserved}, false};
    auto read = +[](char* aData, size_t aSize, size_t aCount, void* aSource) -> size_t {
        auto* source = static_cast<TSource*>(aSource);
        const qint64 got = source->Observed.File.read(aData, static_cast<qint64>(aSize * aCount));
        if (got < 0) {
            source->ReadFailed = true;
            return CURL_READFUNC_ABORT;
        }
        source->Observed.Observe(aData, got);
        return static_cast<size_t>(got);
    };
    const qint64 size = aSource.size();
    auto send = [&](const QString& aRemoteName) {
        ResetRequest();
        const QByteArray url = UrlOf(aRemoteName).toLatin1();
        SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
        SetOpt(FCurl.get(), CURLOPT_UPLOAD, 1L);
        if (FOptions.Protocol == fpSftp) // an archive holds a database: readable by the login's owner only
            SetOpt(FCurl.get(), CURLOPT_NEW_FILE_PERMS, 0600L);
        SetOpt(FCurl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        SetOpt(FCurl.get(), CURLOPT_READFUNCTION, read);
        SetOpt(FCurl.get(), CURLOPT_READDATA, &source);
        BeginTransfer(size);
        return Perform();
    };
    const QString temporary = TemporaryName(aFileName);
    const QString what = aArchive ? QStringLiteral("archive") : QStringLiteral("file");
    bool direct = false;
    // What a failed or abandoned store leaves behind; the line for the user when it is worth one. The temporary file
    // always goes. Under the name itself a refused STOR changed nothing; once the server began to write there,
    // nothing sound is left under the name.
    auto clearUp = [&]() -> QString {
        if (!direct) {
            RemoveRemote(temporary);
            return {};
        }
        if (!FTransferStarted)
            return {};
        if (RemoveRemote(aFileName))
            return QStringLiteral("The %1 was being stored under \"%2\" directly: the incomplete file was removed, "
                                  "and there is no complete %1 under that name on the server.")
                .arg(what, aFileName);
        return QStringLiteral("The %1 was being stored under \"%2\" directly: there is no complete %1 under that "
                              "name on the server, only an incomplete file that could not be removed.")
            .arg(what, aFileName);
    };
    CURLcode code = CURLE_OK;
    try {
        code = send(temporary);
        // A server that refuses the temporary name (an upload-only account, a refused extension) still takes the
        // file under its own name, which then holds an incomplete file while the transfer runs.
        if (code != CURLE_OK && !source.ReadFailed && aSource.pos() == 0 && StoreRefused(code)) {
            Notice(
                QStringLiteral("The FTP server refused the temporary name \"%1\" (%2): the %3 is stored under \"%4\" "
                               "directly, and %5 already there is overwritten in place.")
                    .arg(temporary,
                         FLastErrorReply,
                         what,
                         aFileName,
                         aArchive ? QStringLiteral("an archive") : QStringLiteral("a file")));
            direct = true;
            code = send(aFileName);
        }
    } catch (EVandrel& e) {
        const QString left = clearUp();
        if (!left.isEmpty())
            e.AddContext(left);
        throw;
    } catch (...) {
        clearUp();
        throw;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned) {
        const QString left = clearUp();
        if (!left.isEmpty())
            Notice(left);
        return false;
    }
    if (code != CURLE_OK) {
        // The error is taken before the clean-up, whose own requests would replace its details.
        EVandrel error =
            source.ReadFailed
                ? EVandrel(QStringLiteral("Cannot read \"%1\": %2").arg(aLocalFile, aSource.errorString()))
                : Failure(
                      code,
                      QStringLiteral("Unable to upload \"%1\" to FTP server \"%2\".").arg(aFileName, FAddress.Host));
        const QString left = clearUp();
        if (!left.isEmpty())
            error.AddContext(left);
        throw error;
    }
    ReportFinal();
    if (!direct)
        CommitUpload(aFileName);
    return true;
}

void TFtpTransfer::Notice(const QString& aLine)
{
    ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + aLine);
    if (!FNoticeHandler)
        return;
    try {
        FNoticeHandler(aLine);
    } catch (...) {
        ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: the notice handler failed"));
    }
}

auto TFtpTransfer::Uninterruptible()
{
    const bool quiet = FQuiet;
    FQuiet = true;
    return TFinally([this, quiet]() noexcept { FQuiet = quiet; });
}

CURLcode TFtpTransfer::Quote(const QStringList& aCommands)
{
    ResetRequest();
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    SetPostQuote(aCommands);
    return Perform();
}

CURLcode TFtpTransfer::Rename(const QString& aFrom, const QString& aTo)
{
    if (FOptions.Protocol == fpSftp)
        return Quote({QStringLiteral("rename %1 %2").arg(SftpPath(aFrom), SftpPath(aTo))});
    return Quote({QStringLiteral("RNFR ") + aFrom, QStringLiteral("RNTO ") + aTo});
}

CURLcode TFtpTransfer::Remove(const QString& aFileName)
{
    if (FOptions.Protocol == fpSftp)
        return Quote({QStringLiteral("rm ") + SftpPath(aFileName)});
    return Quote({QStringLiteral("DELE ") + aFileName});
}

std::optional<bool> TFtpTransfer::HasFile(const QString& aFileName)
{
    try {
        return FindFileSize(List(), aFileName) >= 0;
    } catch (const EVandrel& e) {
        ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + e.Message());
        return std::nullopt;
    }
}

void TFtpTransfer::CommitUpload(const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    const QString temporary = TemporaryName(aFileName);
    // The file is complete: a Cancel from now on no longer stops its way into place.
    const auto uninterruptible = Uninterruptible();
    CURLcode code = Rename(temporary, aFileName);
    if (code == CURLE_OK)
        return;
    const QString renameFailed = QStringLiteral("Unable to rename \"%1\" to \"%2\" on FTP server \"%3\"")
                                     .arg(temporary, aFileName, FAddress.Host);
    const QString newKept = QStringLiteral("the new one is kept as \"%1\".").arg(temporary);
    EVandrel direct(ErrorText(code));

    // Some servers refuse to rename over an existing file. Then the old file moves aside first and is deleted
    // last, so that the name never lacks a complete archive for longer than between two renames.
    const std::optional<bool> hasOld = HasFile(aFileName);
    if (!hasOld) {
        direct.AddContext(renameFailed + QStringLiteral(": whatever was under \"%1\" is still there; ").arg(aFileName) +
                          newKept);
        throw direct;
    }
    if (!*hasOld) {
        direct.AddContext(renameFailed + QStringLiteral(": there is no archive under \"%1\"; ").arg(aFileName) +
                          newKept);
        throw direct;
    }
    const QString oldInPlace = QStringLiteral("the previous archive is still in place under \"%1\"; ").arg(aFileName);
    const QString aside = AsideName(aFileName);
    code = Rename(aFileName, aside);
    if (code != CURLE_OK)
        throw Failure(code,
                      QStringLiteral("Unable to move \"%1\" aside to \"%2\" on FTP server \"%3\": ")
                              .arg(aFileName, aside, FAddress.Host) +
                          oldInPlace + newKept);
    code = Rename(temporary, aFileName);
    if (code != CURLE_OK) {
        EVandrel error(ErrorText(code)); // taken before the put-back replaces its details
        if (Rename(aside, aFileName) == CURLE_OK)
            error.AddContext(renameFailed + QStringLiteral(": ") + oldInPlace + newKept);
        else
            error.AddContext(renameFailed +
                             QStringLiteral(", nor put the previous archive back: there is no archive under \"%1\"; "
                                            "the previous one is kept as \"%2\" and the new one as \"%3\".")
                                 .arg(aFileName, aside, temporary));
        ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + error.Message());
        throw error;
    }
    code = Remove(aside);
    if (code != CURLE_OK) // the archive is in place; the next upload's clean-up removes the old one
        Report({aside, aFileName, laNotRemoved, ErrorText(code)});
}

QList<TLeftover> TFtpTransfer::RemoveLeftovers(const QList<TFtpListEntry>& aEntries, const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    bool hasName = false;
    QStringList asides;
    QStringList temporaries;
    for (const TFtpListEntry& entry : aEntries) {
        if (entry.Name == aFileName)
            hasName = true;
        else if (entry.IsDirectory)
            continue;
        else if (IsAsideName(entry.Name, aFileName))
            asides.append(entry.Name);
        else if (entry.Name == TemporaryName(aFileName))
            temporaries.append(entry.Name);
    }
    const auto uninterruptible = Uninterruptible();
    QList<TLeftover> result;
    auto done = [this, &result](TLeftover aLeftover) {
        result.append(aLeftover);
        Report(result.last());
    };
    if (!hasName && !asides.isEmpty()) {
        // An earlier run died between moving the previous archive aside and moving the new one in: the archive
        // goes back under its name. The other aside files are older ones; they go only once one is back.
        const QString aside = asides.takeFirst();
        const CURLcode code = Rename(aside, aFileName);
        if (code == CURLE_OK) {
            done({aside, aFileName, laRestored, {}});
        } else {
            done({aside, aFileName, laNotRestored, ErrorText(code)});
            asides.clear();
        }
    }
    for (const QString& name : asides + temporaries) {
        const CURLcode code = Remove(name);
        done({name,
              aFileName,
              code == CURLE_OK ? laRemoved : laNotRemoved,
              code == CURLE_OK ? QString() : ErrorText(code)});
    }
    return result;
}

void TFtpTransfer::Report(const TLeftover& aLeftover)
{
    ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: ") + LeftoverLine(aLeftover));
    if (FLeftoverHandler)
        FLeftoverHandler(aLeftover);
}

bool TFtpTransfer::RemoveRemote(const QString& aFileName) noexcept
{
    const bool quiet = FQuiet;
    FQuiet = true;
    bool removed = false;
    try {
        ResetRequest();
        SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
        SetOpt(FCurl.get(), CURLOPT_TIMEOUT, cCleanupTimeoutSeconds);
        // Not marked "*" (failure ignored): the caller learns whether the file is gone.
        SetPostQuote({FOptions.Protocol == fpSftp ? QStringLiteral("rm ") + SftpPath(aFileName)
                                                  : QStringLiteral("DELE ") + aFileName});
        const CURLcode code = Perform();
        removed = code == CURLE_OK;
        if (!removed)
            ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: could not remove %1: %2")
                                      .arg(aFileName, QString::fromUtf8(curl_easy_strerror(code))));
    } catch (const std::exception& e) {
        ULog::OutputDebugLine(
            QStringLiteral("UFtpTransfer: could not remove %1: %2").arg(aFileName, QString::fromUtf8(e.what())));
    }
    FQuiet = quiet;
    return removed;
}

TFtpResult TFtpTransfer::Download(const QString& aFileName, const QString& aLocalFile)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    if (!Connect())
        return frCanceled;
    const QList<TFtpListEntry> entries = List();
    if (FAbandoned)
        return frCanceled;
    const qint64 size = FindFileSize(entries, aFileName);
    if (size <= 0) {
        FServerDirectory = PrintWorkingDirectory();
        return frNotFound;
    }
    return Retrieve(aFileName, aLocalFile, size) ? frDone : frCanceled;
}

TFtpResult TFtpTransfer::Upload(const QString& aLocalFile, const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    QFile probe(aLocalFile);
    if (!probe.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Cannot open \"%1\": %2").arg(aLocalFile, probe.errorString()));
    probe.close();
    if (!Connect())
        return frCanceled;
    // The clean-up is a courtesy: a directory that may be written but not listed still takes the upload.
    std::optional<QList<TFtpListEntry>> entries;
    try {
        entries = List();
    } catch (const EVandrel& e) {
        ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: no clean-up before the upload: ") + e.Message());
    }
    if (FAbandoned)
        return frCanceled;
    if (entries)
        RemoveLeftovers(*entries, aFileName);
    return Store(aLocalFile, aFileName) ? frDone : frCanceled;
}

void TFtpTransfer::Disconnect() noexcept
{
    if (FDisconnected)
        return;
    FDisconnected = true;
    Status(fsDisconnecting);
    FCurl.reset();
    FMulti.reset(); // sends QUIT on a live connection
    Status(fsDisconnected);
}

void TFtpTransfer::Status(TFtpStatus aStatus, const QString& aText)
{
    if (!FStatusHandler)
        return;
    try {
        FStatusHandler(aStatus, aText);
    } catch (...) {
        if (!FPending)
            FPending = std::current_exception();
    }
}

void TFtpTransfer::BeginTransfer(qint64 aTotal)
{
    FTotal = aTotal;
    FLastCount = -1;
    FLastPercent = -1;
    FLastReport = {};
}

void TFtpTransfer::ReportFinal()
{
    if (!FWorkHandler || FQuiet || FTotal < 0 || FLastCount == FTotal)
        return;
    try {
        (void)FWorkHandler(FTotal, FTotal);
    } catch (...) {
        FPending = nullptr;
    }
    FLastCount = FTotal;
}

int TFtpTransfer::OnProgress(curl_off_t aDlNow, curl_off_t aDlTotal, curl_off_t aUlNow)
{
    const qint64 count = static_cast<qint64>(aDlNow) + static_cast<qint64>(aUlNow);
    if (count != FMovedCount) {
        FMovedCount = count;
        FLastMoved = std::chrono::steady_clock::now();
    }
    if (FQuiet) {
        Idle();
        return 0;
    }
    if (FAbandoned)
        return 1;
    if (!FWorkHandler)
        return 0;
    if (aDlTotal > 0 && FTotal > 0)
        FTotal = static_cast<qint64>(aDlTotal); // the server's SIZE beats a listed link length
    const int percent = FTotal > 0 ? static_cast<int>(std::clamp<qint64>(count * 100 / FTotal, 0, 100)) : 0;
    const auto now = std::chrono::steady_clock::now();
    if (percent == FLastPercent && now - FLastReport < cReportInterval)
        return 0;
    FLastPercent = percent;
    FLastReport = now;
    FLastCount = count;
    bool carryOn = false;
    try {
        carryOn = FWorkHandler(count, FTotal);
    } catch (...) {
        FPending = std::current_exception();
    }
    if (carryOn)
        return 0;
    FAbandoned = true;
    Status(fsTransferAborted);
    return 1;
}

void TFtpTransfer::Idle() noexcept
{
    const auto now = std::chrono::steady_clock::now();
    if (!FIdleHandler || now - FLastIdle < cReportInterval)
        return;
    FLastIdle = now;
    try {
        FIdleHandler();
    } catch (...) {
        ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: the idle handler failed"));
    }
}

void TFtpTransfer::OnReply(const QByteArray& aLine)
{
    const QString line = DecodeLine(aLine).trimmed();
    if (line.isEmpty())
        return;
    const int code = line.left(3).toInt();
    if (code == 257)
        FLastPwd = line;
    if (code >= 400)
        FLastErrorReply = line;
    if (code == 220)
        Status(fsConnected, line);
    else if (code == 125 || code == 150) {
        FTransferStarted = true;
        Status(fsTransfer, line);
    } else if (code == 226)
        Status(fsTransferReady, line);
    else
        Status(fsStatusText, line);
}

int TFtpTransfer::ProgressCallback(
    void* aSelf, curl_off_t aDlTotal, curl_off_t aDlNow, curl_off_t /*aUlTotal*/, curl_off_t aUlNow)
{
    return static_cast<TFtpTransfer*>(aSelf)->OnProgress(aDlNow, aDlTotal, aUlNow);
}

size_t TFtpTransfer::HeaderCallback(char* aData, size_t aSize, size_t aCount, void* aSelf)
{
    const size_t bytes = aSize * aCount;
    static_cast<TFtpTransfer*>(aSelf)->OnReply(QByteArray(aData, static_cast<qsizetype>(bytes)));
    return bytes;
}

std::optional<QByteArray> TFtpTransfer::FetchSmall(const QString& aFileName, qint64 aMaxBytes)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    const auto uninterruptible = Uninterruptible();
    ResetRequest();
    const QByteArray url = UrlOf(aFileName).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    struct TSink
    {
        QByteArray Bytes;
        qint64 Max = 0;
        bool TooLarge = false;
    } sink{{}, aMaxBytes, false};
    auto write = +[](char* aData, size_t aSize, size_t aCount, void* aSink) -> size_t {
        auto* sink = static_cast<TSink*>(aSink);
        const size_t bytes = aSize * aCount;
        if (sink->Bytes.size() + static_cast<qint64>(bytes) > sink->Max) {
            sink->TooLarge = true;
            return 0;
        }
        sink->Bytes.append(aData, static_cast<qsizetype>(bytes));
        return bytes;
    };
    SetOpt(FCurl.get(), CURLOPT_WRITEFUNCTION, write);
    SetOpt(FCurl.get(), CURLOPT_WRITEDATA, &sink);
    const CURLcode code = Perform();
    if (code == CURLE_REMOTE_FILE_NOT_FOUND)
        return std::nullopt;
    const QString context =
        QStringLiteral("Unable to download \"%1\" from FTP server \"%2\".").arg(aFileName, FAddress.Host);
    if (sink.TooLarge) {
        EVandrel error(QStringLiteral("The file is larger than %1 bytes.").arg(aMaxBytes));
        error.AddContext(context);
        throw error;
    }
    if (code != CURLE_OK)
        Fail(code, context);
    return sink.Bytes;
}

void TFtpTransfer::StoreBytes(const QByteArray& aBytes, const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    const auto uninterruptible = Uninterruptible();
    QBuffer buffer;
    buffer.setData(aBytes);
    if (!buffer.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Out of memory."));
    StoreFrom(buffer, QString(), aFileName, false);
}

qint64 TFtpTransfer::RemoteSize(const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    const auto uninterruptible = Uninterruptible();
    ResetRequest();
    const QByteArray url = UrlOf(aFileName).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    const CURLcode code = Perform();
    if (code != CURLE_OK)
        Fail(code,
             QStringLiteral("Unable to read the size of \"%1\" on FTP server \"%2\".").arg(aFileName, FAddress.Host));
    curl_off_t size = -1;
    if (curl_easy_getinfo(FCurl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) != CURLE_OK)
        return -1;
    return static_cast<qint64>(size);
}

int TFtpTransfer::SockoptCallback(void* aSelf, curl_socket_t /*aSocket*/, curlsocktype aPurpose)
{
    if (aPurpose == CURLSOCKTYPE_IPCXN)
        static_cast<TFtpTransfer*>(aSelf)->Status(fsConnecting);
    return CURL_SOCKOPT_OK;
}

} // namespace UFtpTransfer
