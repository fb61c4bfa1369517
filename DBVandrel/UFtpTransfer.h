// SPDX-License-Identifier: MIT
#pragma once

#include "EVandrel.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QIODevice;

/// Widget-free file server client of the transfer steps: one connection per object, over plain FTP, FTP with
/// explicit or implicit TLS, or SFTP, in active or passive mode, over IPv4 or IPv6.
namespace UFtpTransfer {

/// The protocol spoken with the file server.
enum TFtpProtocol : int {
    fpFtp,   ///< plain FTP ("ftp://")
    fpFtpes, ///< FTP with explicit TLS: AUTH TLS on the FTP port, TLS required for control and data
    fpFtps,  ///< FTP with implicit TLS ("ftps://", port 990 unless the address names one)
    fpSftp   ///< SFTP over SSH ("sftp://", port 22 unless the address names one)
};

/// The protocol's name as the settings file stores it: "FTP", "FTPES", "FTPS" or "SFTP".
QString ProtocolName(TFtpProtocol aProtocol);
/// The protocol a settings text names (any case; empty is FTP); throws EVandrel for another text.
TFtpProtocol ProtocolFromName(const QString& aName);
/// The address prefix that selects aProtocol when typed before an address: "ftp://", "ftpes://", "ftps://",
/// "sftp://".
QString ProtocolPrefix(TFtpProtocol aProtocol);

/// The program's own files of trusted server identities, in its configuration folder.
QString DefaultTrustedCertsFile(); ///< "trusted-certs.pem": certificates or CAs FTPS accepts besides the system's
QString DefaultKnownHostsFile();   ///< "known_hosts": SSH host keys SFTP accepts besides ~/.ssh/known_hosts
QString UserKnownHostsFile();      ///< the user's "~/.ssh/known_hosts"

/// How to reach the server besides its address and login.
struct TFtpOptions
{
    TFtpProtocol Protocol = fpFtp;
    bool Passive = false;  ///< FTP and FTPS: passive mode (EPSV, then PASV); otherwise active mode (EPRT/PORT)
    QString KeyFile;       ///< SFTP: private key file to log in with (empty: the password)
    QString KeyPassphrase; ///< SFTP: the key file's passphrase
    QString TrustedCertsFile = DefaultTrustedCertsFile();
    QString KnownHostsFile = DefaultKnownHostsFile(); ///< the program's own; keys the user trusts are added here
    QString UserKnownHostsFile = UFtpTransfer::UserKnownHostsFile(); ///< read only
};

/// Connection phases reported to the status handler (they drive the status light).
enum TFtpStatus : int {
    fsResolving,
    fsConnecting,
    fsConnected,
    fsStatusText,
    fsTransfer,
    fsTransferReady,
    fsTransferAborted,
    fsDisconnecting,
    fsDisconnected
};

/// How a download or upload ended when it raised no error.
enum TFtpResult : int { frDone, frNotFound, frCanceled };

/// An FTP address "host[:port][/directory]" split at its first "/".
struct TFtpAddress
{
    QString Host;      ///< host name, optionally with ":port"
    QString Directory; ///< directory path on the server, empty for the login directory
};

/// One entry of a detailed directory listing.
struct TFtpListEntry
{
    QString Name;
    qint64 Size = -1;
    bool IsDirectory = false;
};

/// What an upload did with one of its own files (see TFtpTransfer::IsOwnName) besides the archive itself.
enum TLeftoverAction : int {
    laRemoved,    ///< removed: an earlier upload that did not finish left it there
    laRestored,   ///< put back under the archive's name: an earlier upload stopped while replacing the archive
    laNotRemoved, ///< still on the server: it could not be removed
    laNotRestored ///< still on the server: it could not be put back under the archive's name
};

/// One of an upload's own files on the server, and what became of it.
struct TLeftover
{
    QString Name;     ///< the file's name on the server
    QString FileName; ///< the archive's name it belongs to
    TLeftoverAction Action = laRemoved;
    QString Reason; ///< why it is still there (laNotRemoved, laNotRestored)
};

/// A file name typed for the FTP server: a path below the address's directory.
struct TRemoteName
{
    QString Folder; ///< the folders before the name ("a/b"), empty for the address's directory itself
    QString Leaf;   ///< the file's own name
};

/// Splits an address at its first "/" into host and directory (empty when nothing follows the "/").
TFtpAddress SplitAddress(const QString& aUrl);
/// Splits a typed file name at its last "/". Throws EVandrel, naming the fault, for a name that could reach outside
/// the address's directory or be read otherwise by a server: empty, absolute ("/x", "\x", "C:x"), with an empty,
/// "." or ".." segment ("\" separates too), or with a control character.
TRemoteName SplitRemoteName(const QString& aFileName);
/// The address aUrl with aFolder (a TRemoteName's) below its directory.
QString AddressWithFolder(const QString& aUrl, const QString& aFolder);
/// Parses one line of a LIST reply (Unix "ls -l" or Windows/IIS style); nothing for other lines.
std::optional<TFtpListEntry> ParseListLine(const QString& aLine);
/// Parses a whole LIST reply (UTF-8, CR LF or LF line ends).
QList<TFtpListEntry> ParseListing(const QByteArray& aListing);
/// Size of the first file entry named exactly aName (case-sensitive, directories skipped); -1 when there is none.
qint64 FindFileSize(const QList<TFtpListEntry>& aEntries, const QString& aName);
/// The directory named by a PWD reply ("257 "/a ""b"" is current" gives /a "b); empty when it names none.
QString ParsePwdReply(const QString& aReply);
/// The status line of a download whose file is missing from the server's directory aServerDirectory.
QString NotFoundLine(const QString& aServerDirectory, const QString& aFileName);

/// The status line that tells what became of aLeftover, naming the file.
QString LeftoverLine(const TLeftover& aLeftover);

/// Receives each phase change; aText is the server's reply for fsStatusText.
using TStatusHandler = std::function<void(TFtpStatus aStatus, const QString& aText)>;
/// Receives the bytes moved so far in the current data transfer and its expected total (-1 when unknown);
/// returning false abandons the transfer. Calls are throttled (a change of percentage or 50 ms).
using TWorkHandler = std::function<bool(qint64 aWorkCount, qint64 aWorkTotal)>;
/// Receives each of its own files an upload removed, put back or could not remove, as it happens.
using TLeftoverHandler = std::function<void(const TLeftover& aLeftover)>;
/// Asks a person whether to trust a server identity the trust files do not hold yet (aQuestion names it, with its
/// SHA-256 fingerprint); true for yes. Without a handler an unknown identity fails the connection.
using TTrustHandler = std::function<bool(const QString& aQuestion)>;
/// Sees every chunk of the local file as Store reads it and as Retrieve writes it, in order; must not throw.
using TDataObserver = std::function<void(const char* aData, qint64 aSize)>;

/// One connection to the file server of an address, logged in and in the address's directory.
class TFtpTransfer
{
public:
    /// Prepares a connection to aUrl ("host[:port][/directory]", an IPv6 address in brackets: "[::1]:2121");
    /// nothing is sent yet. The directory is relative to the folder the login starts in (for SFTP the home folder);
    /// a directory that starts with "/" is absolute. Throws EVandrel when an input carries a line break or the host
    /// is malformed.
    TFtpTransfer(const QString& aUrl,
                 const QString& aUser,
                 const QString& aPassword,
                 const TFtpOptions& aOptions = TFtpOptions());
    TFtpTransfer(const TFtpTransfer&) = delete;
    TFtpTransfer& operator=(const TFtpTransfer&) = delete;
    /// Disconnects (QUIT) if still connected.
    ~TFtpTransfer();

    /// Sets the handler of connection phases.
    void SetStatusHandler(TStatusHandler aHandler) { FStatusHandler = std::move(aHandler); }
    /// Sets the progress handler that may abandon a transfer.
    void SetWorkHandler(TWorkHandler aHandler) { FWorkHandler = std::move(aHandler); }
    /// Sets the handler that hears of the upload's own files removed or put back (see RemoveLeftovers).
    void SetLeftoverHandler(TLeftoverHandler aHandler) { FLeftoverHandler = std::move(aHandler); }
    /// Sets the handler of the lines a person should read about how a store went: the file stored under its own name
    /// because the server refused the temporary one, and what a failed or cancelled store of that kind left.
    void SetNoticeHandler(std::function<void(const QString& aLine)> aHandler) { FNoticeHandler = std::move(aHandler); }
    /// Sets the handler that asks whether to trust an unknown server identity (only where a person can answer).
    void SetTrustHandler(TTrustHandler aHandler) { FTrustHandler = std::move(aHandler); }
    /// Sets the handler called (about every 50 ms, at least once a second) while a request runs that can no longer
    /// be abandoned: the rename of a complete upload and the removal of a failed one's temporary file. The window
    /// processes its events there, so it does not freeze while the server takes its time.
    void SetIdleHandler(std::function<void()> aHandler) { FIdleHandler = std::move(aHandler); }
    /// A transfer that moves less than 1 byte/s for this long fails as stalled (default 60 s), so that an
    /// unattended run never hangs on a dead data connection.
    void SetStallTimeout(std::chrono::seconds aTimeout) { FStallSeconds = static_cast<long>(aTimeout.count()); }
    /// Limits every data transfer to aBytesPerSecond on average, uploads and downloads alike (0: no limit).
    void SetTransferLimit(qint64 aBytesPerSecond) { FTransferLimit = std::max<qint64>(0, aBytesPerSecond); }
    /// Sets the observer of the file's bytes on their way (a checksum is computed there, without a pass of its own).
    void SetDataObserver(TDataObserver aObserver) { FDataObserver = std::move(aObserver); }
    /// Sets the check a complete download passes before it replaces the local file: when it throws, the local file
    /// stays as it was and the error goes on.
    void SetRetrieveCheck(std::function<void()> aCheck) { FRetrieveCheck = std::move(aCheck); }

    /// Connects, logs in and changes to the address's directory (one CWD); throws EVandrel on failure.
    /// Returns false when the work handler abandoned it.
    bool Connect();
    /// Lists the working directory, or aFolder below it ("a/b/"; empty text: the directory itself); empty when
    /// abandoned. Throws EVandrel on failure.
    QList<TFtpListEntry> List(const QString& aFolder = QString());
    /// Deletes aFileName (a path below the working directory); throws EVandrel with the server's reason.
    void Delete(const QString& aFileName);
    /// Writes an empty file aFileName and deletes it at once, to prove the directory may be written; throws
    /// EVandrel naming what failed (and a probe that could not be removed).
    void ProbeWrite(const QString& aFileName);
    /// Asks the server for its working directory (PWD); throws EVandrel on failure.
    QString PrintWorkingDirectory();
    /// Retrieves aFileName into aLocalFile by way of a temporary file beside it, which replaces aLocalFile only
    /// when the transfer completed. aExpectedSize is the listed size (for progress). False when abandoned.
    bool Retrieve(const QString& aFileName, const QString& aLocalFile, qint64 aExpectedSize);
    /// Stores aLocalFile as aFileName: as TemporaryName(aFileName) first, then CommitUpload. The temporary file is
    /// removed when the transfer fails; after a failed commit it is kept (the error says so). False when abandoned.
    /// FTP and FTPS: when the server refuses the STOR of the temporary name itself (a permanent 5xx reply other than
    /// 552 before it opened the transfer: an upload-only account, a refused extension), the file is stored under
    /// aFileName directly and a file already there is overwritten in place; the notice handler says so. Should that
    /// transfer fail or be abandoned once the server began to write, the incomplete file is removed where the server
    /// lets it, and the error (or, when abandoned, a notice) says that no complete archive is under aFileName.
    bool Store(const QString& aLocalFile, const QString& aFileName);
    /// Moves the complete upload TemporaryName(aFileName) into place as aFileName; a Cancel no longer stops it.
    /// One rename when the server renames over an existing file. When it refuses and aFileName is a file, the old
    /// file is renamed aside (AsideName) first, the new one renamed into place, and the old one deleted last; a
    /// failure on the way puts the old one back. Throws EVandrel whose last line says what the server then holds.
    void CommitUpload(const QString& aFileName);
    /// Clears what an earlier, killed upload of aFileName left in the listed directory aEntries: removes the files
    /// IsOwnName recognises, except that an aside file goes back to aFileName when no entry has that name (the run
    /// died between the two renames of CommitUpload). Never touches another name. Each outcome also goes to the
    /// leftover handler; a request the server refuses does not raise, it is reported as laNotRemoved or laNotRestored.
    QList<TLeftover> RemoveLeftovers(const QList<TFtpListEntry>& aEntries, const QString& aFileName);
    /// Fetches aFileName, at most aMaxBytes of it, into memory; nothing when the server has no such file. A Cancel
    /// does not stop it; the data observer does not see it. Throws EVandrel on failure.
    std::optional<QByteArray> FetchSmall(const QString& aFileName, qint64 aMaxBytes);
    /// Stores aBytes as aFileName the way Store does (temporary name, then CommitUpload, or aFileName directly when
    /// the server refuses the temporary name); a Cancel does not stop it and the data observer does not see it.
    /// Throws EVandrel on failure.
    void StoreBytes(const QByteArray& aBytes, const QString& aFileName);
    /// The server's size of aFileName in bytes (SIZE); -1 when the server does not tell. Throws EVandrel on failure.
    qint64 RemoteSize(const QString& aFileName);
    /// Connect, list, find aFileName exactly, PWD when it is missing or empty, retrieve into aLocalFile.
    TFtpResult Download(const QString& aFileName, const QString& aLocalFile);
    /// Connect, list, RemoveLeftovers (skipped when the directory cannot be listed), store aLocalFile as aFileName.
    TFtpResult Upload(const QString& aLocalFile, const QString& aFileName);
    /// The server's directory found by the last PWD (set when Download reports frNotFound).
    const QString& ServerDirectory() const { return FServerDirectory; }
    /// True once the work handler abandoned a transfer; later requests of this connection are not sent.
    bool Abandoned() const { return FAbandoned; }
    /// Logs out (QUIT) and closes the connection; reports disconnecting and disconnected once.
    void Disconnect() noexcept;
    /// The address of aFileName for the log, with the protocol's scheme and never a login:
    /// "sftp://host/dir/name".
    QString DisplayUrl(const QString& aFileName) const;

    // The upload's own files beside its archive name N follow one pattern, "N.<role>.vandrel":
    //   N.part.vandrel                 the new archive while it is written and until it is renamed to N
    //   N.old-<16 hex digits>.vandrel  the previous archive while the new one takes its name (lower-case digits)
    // The suffix keeps them apart from a user's files, and IsOwnName tells them apart exactly.

    /// Name under which Store writes before renaming: "<aFileName>.part.vandrel".
    static QString TemporaryName(const QString& aFileName);
    /// A fresh name for the previous archive while the new one takes its name: "<aFileName>.old-<16 hex>.vandrel".
    static QString AsideName(const QString& aFileName);
    /// True when aRemoteName is AsideName(aFileName) for some digits.
    static bool IsAsideName(const QString& aRemoteName, const QString& aFileName);
    /// True when aRemoteName is one of the upload's own files for aFileName: its temporary or an aside name.
    static bool IsOwnName(const QString& aRemoteName, const QString& aFileName);

private:
    struct TCurlDeleter
    {
        void operator()(CURL* aCurl) const noexcept { curl_easy_cleanup(aCurl); }
    };
    struct TSlistDeleter
    {
        void operator()(curl_slist* aList) const noexcept { curl_slist_free_all(aList); }
    };
    struct TMultiDeleter
    {
        void operator()(CURLM* aMulti) const noexcept { curl_multi_cleanup(aMulti); }
    };
    using TCurlPtr = std::unique_ptr<CURL, TCurlDeleter>;
    using TMultiPtr = std::unique_ptr<CURLM, TMultiDeleter>;
    using TSlistPtr = std::unique_ptr<curl_slist, TSlistDeleter>;

    /// A server identity the trust files do not hold, found by the last failed connection.
    struct TUntrusted
    {
        QString Question; ///< the question for a person
        QString Error;    ///< the failure without a person: what was presented and how to trust it
        QString File;     ///< the trust file it is added to
        QByteArray Entry; ///< what is added (a known_hosts line or a PEM certificate)
    };

    QString UrlOf(const QString& aFileName) const;
    /// A file name as SFTP's quote commands take it: the directory's path before it, in double quotes.
    QString SftpPath(const QString& aFileName) const;
    void ApplyTrust();
    /// Fetches the certificate of the server without logging in and fills FUntrusted; false when it cannot.
    bool ProbeCertificate(const QString& aReason);
    void ResetRequest();
    void SetPostQuote(const QStringList& aCommands);
    CURLcode Perform();
    /// Runs the request set up on FCurl through FMulti to its end; its result.
    CURLcode RunRequest();
    /// The text of a failed request: libcurl's code, its detail and the server's last error reply.
    QString ErrorText(CURLcode aCode) const;
    /// The error of a failed request, from ErrorText and aContext on a line of its own.
    EVandrel Failure(CURLcode aCode, const QString& aContext);
    [[noreturn]] void Fail(CURLcode aCode, const QString& aContext);
    /// Deletes aFileName even after a Cancel, within a short time; false when it could not.
    bool RemoveRemote(const QString& aFileName) noexcept;
    /// Store and StoreBytes: aSource (open, at its start) as aFileName; aArchive: its bytes go to the data observer.
    /// aLocalFile names the source in a read error.
    bool StoreFrom(QIODevice& aSource, const QString& aLocalFile, const QString& aFileName, bool aArchive);
    /// True when the STOR just failed with aCode was refused by the server before it opened the transfer,
    /// permanently, and not for want of space.
    bool StoreRefused(CURLcode aCode) const;
    void Notice(const QString& aLine);
    /// Sends aCommands after an empty request in the directory; the first refused one fails it.
    CURLcode Quote(const QStringList& aCommands);
    CURLcode Rename(const QString& aFrom, const QString& aTo);
    CURLcode Remove(const QString& aFileName);
    /// Whether the directory lists a file named aFileName; nothing when it cannot be listed.
    std::optional<bool> HasFile(const QString& aFileName);
    /// Makes the requests until the returned guard ends run to their end even after a Cancel.
    auto Uninterruptible();
    void Report(const TLeftover& aLeftover);
    void Status(TFtpStatus aStatus, const QString& aText = QString());
    void BeginTransfer(qint64 aTotal);
    int OnProgress(curl_off_t aDlNow, curl_off_t aDlTotal, curl_off_t aUlNow);
    void Idle() noexcept;
    void OnReply(const QByteArray& aLine);
    void ReportFinal();

    static int
    ProgressCallback(void* aSelf, curl_off_t aDlTotal, curl_off_t aDlNow, curl_off_t aUlTotal, curl_off_t aUlNow);
    static size_t HeaderCallback(char* aData, size_t aSize, size_t aCount, void* aSelf);
    static int SockoptCallback(void* aSelf, curl_socket_t aSocket, curlsocktype aPurpose);
    static int KeyCallback(CURL* aCurl,
                           const struct curl_khkey* aKnownKey,
                           const struct curl_khkey* aFoundKey,
                           enum curl_khmatch aMatch,
                           void* aSelf);
    int OnHostKey(const struct curl_khkey* aFoundKey, enum curl_khmatch aMatch);

    TFtpAddress FAddress;
    TFtpOptions FOptions;
    QByteArray FUser;
    QByteArray FPassword;
    QByteArray FKeyFile;
    QByteArray FKeyPassphrase;
    QByteArray FBaseUrl;
    QString FSftpDirectory;                      ///< SFTP: the directory as quote commands name it, "" or ending in "/"
    QByteArray FCaBundle;                        ///< the system's CAs and the trusted certificates, handed to libcurl
    std::unique_ptr<QTemporaryFile> FKnownHosts; ///< SFTP: both known_hosts files in one, for libssh2
    std::optional<TUntrusted> FUntrusted;
    TTrustHandler FTrustHandler;
    TMultiPtr FMulti; ///< runs every request and keeps the connection between them (QUIT when it goes)
    TCurlPtr FCurl;   ///< the request's options; not part of FMulti between requests
    TSlistPtr FPostQuote;
    char FErrorBuffer[CURL_ERROR_SIZE] = {};
    TStatusHandler FStatusHandler;
    TWorkHandler FWorkHandler;
    std::function<void()> FIdleHandler;
    TLeftoverHandler FLeftoverHandler;
    std::function<void(const QString&)> FNoticeHandler;
    TDataObserver FDataObserver;
    std::function<void()> FRetrieveCheck;
    QString FServerDirectory;
    QString FLastErrorReply;
    QString FLastPwd;
    bool FDisconnected = false;
    bool FInTransfer = false;
    bool FTransferStarted = false; ///< the server opened the current request's data transfer (125 or 150)
    bool FAbandoned = false;
    bool FQuiet = false;
    long FStallSeconds = 60;
    qint64 FTransferLimit = 0;
    qint64 FTotal = -1;
    qint64 FLastCount = -1;
    int FLastPercent = -1;
    std::chrono::steady_clock::time_point FLastReport;
    std::chrono::steady_clock::time_point FLastIdle;
    qint64 FMovedCount = 0;                           ///< bytes moved when last seen by the progress callback
    std::chrono::steady_clock::time_point FLastMoved; ///< when that count last grew
    std::exception_ptr FPending;
};

} // namespace UFtpTransfer
