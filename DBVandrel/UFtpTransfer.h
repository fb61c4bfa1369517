// SPDX-License-Identifier: MIT
#pragma once

#include "EVandrel.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

/// Widget-free FTP client of the transfer steps: one connection per object, plain FTP in active mode over IPv4.
namespace UFtpTransfer {

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

/// Splits an address at its first "/" into host and directory (empty when nothing follows the "/").
TFtpAddress SplitAddress(const QString& aUrl);
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

/// Receives each phase change; aText is the server's reply for fsStatusText.
using TStatusHandler = std::function<void(TFtpStatus aStatus, const QString& aText)>;
/// Receives the bytes moved so far in the current data transfer and its expected total (-1 when unknown);
/// returning false abandons the transfer. Calls are throttled (a change of percentage or 50 ms).
using TWorkHandler = std::function<bool(qint64 aWorkCount, qint64 aWorkTotal)>;

/// One FTP connection to the server of an address, logged in and in the address's directory.
class TFtpTransfer
{
public:
    /// Prepares a connection to aUrl ("host[:port][/directory]"); nothing is sent yet.
    /// Throws EVandrel when an input carries a line break or the host is malformed.
    TFtpTransfer(const QString& aUrl, const QString& aUser, const QString& aPassword);
    TFtpTransfer(const TFtpTransfer&) = delete;
    TFtpTransfer& operator=(const TFtpTransfer&) = delete;
    /// Disconnects (QUIT) if still connected.
    ~TFtpTransfer();

    /// Sets the handler of connection phases.
    void SetStatusHandler(TStatusHandler aHandler) { FStatusHandler = std::move(aHandler); }
    /// Sets the progress handler that may abandon a transfer.
    void SetWorkHandler(TWorkHandler aHandler) { FWorkHandler = std::move(aHandler); }
    /// Sets the handler called (about every 50 ms, at least once a second) while a request runs that can no longer
    /// be abandoned: the rename of a complete upload and the removal of a failed one's temporary file. The window
    /// processes its events there, so it does not freeze while the server takes its time.
    void SetIdleHandler(std::function<void()> aHandler) { FIdleHandler = std::move(aHandler); }
    /// A transfer that moves less than 1 byte/s for this long fails as stalled (default 60 s), so that an
    /// unattended run never hangs on a dead data connection.
    void SetStallTimeout(std::chrono::seconds aTimeout) { FStallSeconds = static_cast<long>(aTimeout.count()); }

    /// Connects, logs in and changes to the address's directory (one CWD); throws EVandrel on failure.
    /// Returns false when the work handler abandoned it.
    bool Connect();
    /// Lists the working directory (empty when abandoned); throws EVandrel on failure.
    QList<TFtpListEntry> List();
    /// Asks the server for its working directory (PWD); throws EVandrel on failure.
    QString PrintWorkingDirectory();
    /// Retrieves aFileName into aLocalFile by way of a temporary file beside it, which replaces aLocalFile only
    /// when the transfer completed. aExpectedSize is the listed size (for progress). False when abandoned.
    bool Retrieve(const QString& aFileName, const QString& aLocalFile, qint64 aExpectedSize);
    /// Stores aLocalFile as aFileName: under a temporary name first, renamed when complete (replacing a file of
    /// that name). The temporary file is removed after a failure. False when abandoned.
    bool Store(const QString& aLocalFile, const QString& aFileName);
    /// Connect, list, find aFileName exactly, PWD when it is missing or empty, retrieve into aLocalFile.
    TFtpResult Download(const QString& aFileName, const QString& aLocalFile);
    /// Connect and store aLocalFile as aFileName.
    TFtpResult Upload(const QString& aLocalFile, const QString& aFileName);
    /// The server's directory found by the last PWD (set when Download reports frNotFound).
    const QString& ServerDirectory() const { return FServerDirectory; }
    /// True once the work handler abandoned a transfer; later requests of this connection are not sent.
    bool Abandoned() const { return FAbandoned; }
    /// Logs out (QUIT) and closes the connection; reports disconnecting and disconnected once.
    void Disconnect() noexcept;

    /// Name under which Store writes before renaming.
    static QString TemporaryName(const QString& aFileName);

private:
    struct TCurlDeleter
    {
        void operator()(CURL* aCurl) const noexcept { curl_easy_cleanup(aCurl); }
    };
    struct TSlistDeleter
    {
        void operator()(curl_slist* aList) const noexcept { curl_slist_free_all(aList); }
    };
    using TCurlPtr = std::unique_ptr<CURL, TCurlDeleter>;
    using TSlistPtr = std::unique_ptr<curl_slist, TSlistDeleter>;

    QString UrlOf(const QString& aFileName) const;
    void ResetRequest();
    void SetPostQuote(const QStringList& aCommands);
    CURLcode Perform();
    /// The error of a failed request, from libcurl's code, its detail and the server's last error reply.
    EVandrel Failure(CURLcode aCode, const QString& aContext);
    [[noreturn]] void Fail(CURLcode aCode, const QString& aContext);
    void RemoveRemote(const QString& aFileName) noexcept;
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

    TFtpAddress FAddress;
    QByteArray FUser;
    QByteArray FPassword;
    QByteArray FBaseUrl;
    TCurlPtr FCurl;
    TSlistPtr FPostQuote;
    char FErrorBuffer[CURL_ERROR_SIZE] = {};
    TStatusHandler FStatusHandler;
    TWorkHandler FWorkHandler;
    std::function<void()> FIdleHandler;
    QString FServerDirectory;
    QString FLastErrorReply;
    QString FLastPwd;
    bool FDisconnected = false;
    bool FInTransfer = false;
    bool FAbandoned = false;
    bool FQuiet = false;
    long FStallSeconds = 60;
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
