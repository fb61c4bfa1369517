// SPDX-License-Identifier: MIT
#include "UFtpTransfer.h"

#include "EVandrel.h"
#include "UHandles.h"
#include "ULog.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>

namespace UFtpTransfer {

namespace {

constexpr qint64 cMaxListingBytes = 64LL * 1024 * 1024;
constexpr auto cReportInterval = std::chrono::milliseconds(50);
constexpr long cReplyTimeoutSeconds = 60;
constexpr long cAcceptTimeoutMs = 10000;
constexpr long cCleanupTimeoutSeconds = 20;

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

} // namespace

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

// ---------------------------------------------------------------------------------------------------------------

TFtpTransfer::TFtpTransfer(const QString& aUrl, const QString& aUser, const QString& aPassword)
    : FAddress(SplitAddress(aUrl))
    , FUser(aUser.toUtf8())
    , FPassword(aPassword.toUtf8())
{
    RefuseLineBreak(aUrl, QStringLiteral("address"));
    RefuseLineBreak(aUser, QStringLiteral("user name"));
    RefuseLineBreak(aPassword, QStringLiteral("password"));
    static const QRegularExpression hostPattern(QStringLiteral(R"(^[^\s@/\\?#:\[\]]+(:\d{1,5})?$)"));
    if (!hostPattern.match(FAddress.Host).hasMatch())
        throw EVandrel(QStringLiteral("The FTP host \"%1\" is not a valid host name.").arg(FAddress.Host));

    QString directory = FAddress.Directory;
    while (directory.size() > 1 && directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    FBaseUrl = "ftp://" + FAddress.Host.toUtf8() + '/';
    if (directory == QStringLiteral("/"))
        FBaseUrl += "%2F/";
    else if (!directory.isEmpty())
        FBaseUrl += EncodePath(directory) + '/';

    FCurl.reset(curl_easy_init());
    if (!FCurl)
        throw EVandrel(QStringLiteral("The FTP client could not be created."));
    CURL* curl = FCurl.get();
    SetOpt(curl, CURLOPT_ERRORBUFFER, FErrorBuffer);
    SetOpt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    SetOpt(curl, CURLOPT_NOSIGNAL, 1L);
    SetOpt(curl, CURLOPT_USERNAME, FUser.constData());
    SetOpt(curl, CURLOPT_PASSWORD, FPassword.constData());
    SetOpt(curl, CURLOPT_PROXY, "");
    SetOpt(curl, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    SetOpt(curl, CURLOPT_FTPPORT, "-"); // active mode on the address of the control connection
    SetOpt(curl, CURLOPT_ACCEPTTIMEOUT_MS, cAcceptTimeoutMs);
    SetOpt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, cReplyTimeoutSeconds);
    SetOpt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    SetOpt(curl, CURLOPT_NOPROGRESS, 0L);
    SetOpt(curl, CURLOPT_XFERINFOFUNCTION, &TFtpTransfer::ProgressCallback);
    SetOpt(curl, CURLOPT_XFERINFODATA, this);
    SetOpt(curl, CURLOPT_HEADERFUNCTION, &TFtpTransfer::HeaderCallback);
    SetOpt(curl, CURLOPT_HEADERDATA, this);
    SetOpt(curl, CURLOPT_SOCKOPTFUNCTION, &TFtpTransfer::SockoptCallback);
    SetOpt(curl, CURLOPT_SOCKOPTDATA, this);
}

TFtpTransfer::~TFtpTransfer()
{
    Disconnect();
}

QString TFtpTransfer::TemporaryName(const QString& aFileName)
{
    return aFileName + QStringLiteral(".part");
}

QString TFtpTransfer::UrlOf(const QString& aFileName) const
{
    return QString::fromLatin1(FBaseUrl + QUrl::toPercentEncoding(aFileName));
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
    FPostQuote.reset();
    FErrorBuffer[0] = '\0';
    FLastErrorReply.clear();
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
    const CURLcode code = curl_easy_perform(FCurl.get());
    if (FPending) {
        std::exception_ptr pending = FPending;
        FPending = nullptr;
        std::rethrow_exception(pending);
    }
    return code;
}

EVandrel TFtpTransfer::Failure(CURLcode aCode, const QString& aContext)
{
    QString message = QString::fromUtf8(curl_easy_strerror(aCode));
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
    Status(fsResolving);
    ResetRequest();
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    const CURLcode code = Perform();
    if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned)
        return false;
    if (code == CURLE_OK)
        return true;
    const QString user = QString::fromUtf8(FUser);
    if (FAddress.Directory.isEmpty())
        Fail(code, QStringLiteral("Unable to connect to FTP server \"%1\" as \"%2\".").arg(FAddress.Host, user));
    Fail(code,
         QStringLiteral("Unable to open FTP directory \"%1\" on \"%2\" as \"%3\".")
             .arg(FAddress.Directory, FAddress.Host, user));
}

QList<TFtpListEntry> TFtpTransfer::List()
{
    ResetRequest();
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
        Fail(code, QStringLiteral("Unable to list FTP directory \"%1\".").arg(FAddress.Directory));
    return ParseListing(listing);
}

QString TFtpTransfer::PrintWorkingDirectory()
{
    ResetRequest();
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    SetPostQuote({QStringLiteral("PWD")}); // after the directory change, also on a new connection
    FLastPwd.clear();
    const CURLcode code = Perform();
    if (code != CURLE_OK)
        Fail(code, QStringLiteral("Unable to read the FTP server's directory."));
    return ParsePwdReply(FLastPwd);
}

bool TFtpTransfer::Retrieve(const QString& aFileName, const QString& aLocalFile, qint64 aExpectedSize)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    QSaveFile file(aLocalFile);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw EVandrel(QStringLiteral("Cannot create \"%1\": %2").arg(aLocalFile, file.errorString()));
    ResetRequest();
    const QByteArray url = UrlOf(aFileName).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    auto write = +[](char* aData, size_t aSize, size_t aCount, void* aFile) -> size_t {
        const qint64 bytes = static_cast<qint64>(aSize * aCount);
        return static_cast<QSaveFile*>(aFile)->write(aData, bytes) == bytes ? aSize * aCount : 0;
    };
    SetOpt(FCurl.get(), CURLOPT_WRITEFUNCTION, write);
    SetOpt(FCurl.get(), CURLOPT_WRITEDATA, &file);
    BeginTransfer(aExpectedSize);
    const CURLcode code = Perform();
    if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned)
        return false; // the temporary file goes with `file`; the local archive stays as it was
    if (code == CURLE_WRITE_ERROR && file.error() != QFileDevice::NoError)
        throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(aLocalFile, file.errorString()));
    if (code != CURLE_OK)
        Fail(code, QStringLiteral("Unable to download \"%1\" from FTP server \"%2\".").arg(aFileName, FAddress.Host));
    if (!file.commit())
        throw EVandrel(QStringLiteral("Cannot write \"%1\": %2").arg(aLocalFile, file.errorString()));
    ReportFinal();
    return true;
}

bool TFtpTransfer::Store(const QString& aLocalFile, const QString& aFileName)
{
    RefuseLineBreak(aFileName, QStringLiteral("file name"));
    QFile file(aLocalFile);
    if (!file.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Cannot open \"%1\": %2").arg(aLocalFile, file.errorString()));
    const QString temporary = TemporaryName(aFileName);
    ResetRequest();
    const QByteArray url = UrlOf(temporary).toLatin1();
    SetOpt(FCurl.get(), CURLOPT_URL, url.constData());
    SetOpt(FCurl.get(), CURLOPT_UPLOAD, 1L);
    SetOpt(FCurl.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size()));
    auto read = +[](char* aData, size_t aSize, size_t aCount, void* aFile) -> size_t {
        const qint64 got = static_cast<QFile*>(aFile)->read(aData, static_cast<qint64>(aSize * aCount));
        return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
    };
    SetOpt(FCurl.get(), CURLOPT_READFUNCTION, read);
    SetOpt(FCurl.get(), CURLOPT_READDATA, &file);
    BeginTransfer(file.size());
    CURLcode code = CURLE_OK;
    try {
        code = Perform();
    } catch (...) {
        RemoveRemote(temporary);
        throw;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && FAbandoned) {
        RemoveRemote(temporary);
        return false;
    }
    if (code != CURLE_OK) {
        // The error is taken before the clean-up, whose own requests would replace its details.
        const EVandrel error =
            file.error() != QFileDevice::NoError
                ? EVandrel(QStringLiteral("Cannot read \"%1\": %2").arg(aLocalFile, file.errorString()))
                : Failure(
                      code,
                      QStringLiteral("Unable to upload \"%1\" to FTP server \"%2\".").arg(aFileName, FAddress.Host));
        RemoveRemote(temporary);
        throw error;
    }
    ReportFinal();

    // Some servers refuse to rename over an existing file: then the old file goes first.
    const QString rnfr = QStringLiteral("RNFR ") + temporary;
    const QString rnto = QStringLiteral("RNTO ") + aFileName;
    // The file is complete: a Cancel from now on no longer abandons the rename.
    const bool quiet = FQuiet;
    FQuiet = true;
    TFinally restoreQuiet([this, quiet]() noexcept { FQuiet = quiet; });
    ResetRequest();
    SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
    SetPostQuote({rnfr, rnto});
    code = Perform();
    if (code != CURLE_OK) {
        ResetRequest();
        SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
        SetPostQuote({QStringLiteral("*DELE ") + aFileName, rnfr, rnto});
        code = Perform();
    }
    if (code != CURLE_OK) {
        // The upload is complete under its temporary name, and the old file may be gone already: keep it, so the
        // archive is not lost. A download looks for the final name only, so it never takes it for a finished one.
        throw Failure(code,
                      QStringLiteral("Unable to rename \"%1\" to \"%2\" on FTP server \"%3\"; the complete upload "
                                     "is kept as \"%1\".")
                          .arg(temporary, aFileName, FAddress.Host));
    }
    return true;
}

void TFtpTransfer::RemoveRemote(const QString& aFileName) noexcept
{
    const bool quiet = FQuiet;
    FQuiet = true;
    try {
        ResetRequest();
        SetOpt(FCurl.get(), CURLOPT_NOBODY, 1L);
        SetOpt(FCurl.get(), CURLOPT_TIMEOUT, cCleanupTimeoutSeconds);
        SetPostQuote({QStringLiteral("*DELE ") + aFileName});
        const CURLcode code = Perform();
        if (code != CURLE_OK)
            ULog::OutputDebugLine(QStringLiteral("UFtpTransfer: could not remove %1: %2")
                                      .arg(aFileName, QString::fromUtf8(curl_easy_strerror(code))));
    } catch (const std::exception& e) {
        ULog::OutputDebugLine(
            QStringLiteral("UFtpTransfer: could not remove %1: %2").arg(aFileName, QString::fromUtf8(e.what())));
    }
    FQuiet = quiet;
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
    return Store(aLocalFile, aFileName) ? frDone : frCanceled;
}

void TFtpTransfer::Disconnect() noexcept
{
    if (FDisconnected)
        return;
    FDisconnected = true;
    Status(fsDisconnecting);
    FCurl.reset(); // sends QUIT on a live connection
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
    else if (code == 125 || code == 150)
        Status(fsTransfer, line);
    else if (code == 226)
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

int TFtpTransfer::SockoptCallback(void* aSelf, curl_socket_t /*aSocket*/, curlsocktype aPurpose)
{
    if (aPurpose == CURLSOCKTYPE_IPCXN)
        static_cast<TFtpTransfer*>(aSelf)->Status(fsConnecting);
    return CURL_SOCKOPT_OK;
}

} // namespace UFtpTransfer
