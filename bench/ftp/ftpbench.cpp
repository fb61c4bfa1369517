// SPDX-License-Identifier: MIT
// Drives the FTP engine from the command line for the benchmark script:
//   ftpbench upload <host:port[/dir]> <user> <password> <local file> <remote name>
//   ftpbench download <host:port[/dir]> <user> <password> <remote name> <local file>
// followed by any of
//   --protocol FTP|FTPES|FTPS|SFTP  --passive  --key <private key file>
//   --trusted-certs <pem file>  --known-hosts <file>    the trust files (instead of the user's own)
//   --cancel-after <ms>    cancels the transfer that long after it started, as the window's Cancel does, and
//                          prints "cancel_ms=N": how long it took to stop after that (it fails if it finished first)
// On success it prints one line of key=value counts: the calls the window's work and status handlers would
// receive, the calls made while the file moved (a known total), the last count and total reported, and the
// highest percentage seen.
#include "EVandrel.h"
#include "UFtpTransfer.h"
#include "UHandles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace UFtpTransfer;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    TFtpOptions options;
    int cancelAfterMs = -1;
    bool usable = args.size() >= 7;
    for (qsizetype i = 7; usable && i < args.size(); ++i) {
        const QString& option = args[i];
        const bool hasValue = i + 1 < args.size();
        if (option == QStringLiteral("--passive"))
            options.Passive = true;
        else if (option == QStringLiteral("--protocol") && hasValue)
            options.Protocol = ProtocolFromName(args[++i]);
        else if (option == QStringLiteral("--key") && hasValue)
            options.KeyFile = args[++i];
        else if (option == QStringLiteral("--trusted-certs") && hasValue)
            options.TrustedCertsFile = args[++i];
        else if (option == QStringLiteral("--known-hosts") && hasValue) {
            options.KnownHostsFile = args[++i];
            options.UserKnownHostsFile = options.KnownHostsFile;
        } else if (option == QStringLiteral("--cancel-after") && hasValue)
            cancelAfterMs = args[++i].toInt();
        else
            usable = false;
    }
    const bool upload = usable && args[1] == QStringLiteral("upload");
    const bool download = usable && args[1] == QStringLiteral("download");
    if (!upload && !download) {
        std::fprintf(stderr,
                     "usage: ftpbench upload <host:port> <user> <password> <local file> <remote name> [options]\n"
                     "       ftpbench download <host:port> <user> <password> <remote name> <local file> [options]\n"
                     "options: --protocol FTP|FTPES|FTPS|SFTP --passive --key <file> --trusted-certs <file>\n"
                     "         --known-hosts <file> --cancel-after <ms>\n");
        return 2;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "curl_global_init failed\n");
        return 1;
    }
    TFinally cleanup([]() noexcept { curl_global_cleanup(); });

    long workCalls = 0;
    long transferCalls = 0;
    long statusCalls = 0;
    qint64 lastCount = -1;
    qint64 lastTotal = -1;
    int maxPercent = 0;
    // The cancel: a timer thread turns the flag on once the data flows, the work handler sees it, as in a run.
    std::atomic<bool> cancelled{false};
    std::atomic<bool> flowing{false};
    std::atomic<bool> done{false};
    QElapsedTimer cancelClock;
    std::thread canceller;
    if (cancelAfterMs >= 0)
        canceller = std::thread([&]() {
            while (!flowing.load() && !done.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(cancelAfterMs);
            while (!done.load() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (!done.load()) {
                cancelClock.start();
                cancelled = true;
            }
        });
    TFinally joinCanceller([&]() noexcept {
        done = true;
        if (canceller.joinable())
            canceller.join();
    });
    try {
        TFtpTransfer ftp(args[2], args[3], args[4], options);
        ftp.SetStatusHandler([&](TFtpStatus, const QString&) { ++statusCalls; });
        ftp.SetWorkHandler([&](qint64 aCount, qint64 aTotal) {
            ++workCalls;
            if (aCount > 0)
                flowing = true;
            if (cancelled.load())
                return false;
            if (aTotal > 0) {
                ++transferCalls;
                lastCount = aCount;
                lastTotal = aTotal;
                maxPercent = std::max(maxPercent, static_cast<int>(aCount * 100 / aTotal));
            }
            return true;
        });
        const TFtpResult result = upload ? ftp.Upload(args[5], args[6]) : ftp.Download(args[5], args[6]);
        const bool cancelSeen = cancelled.load();
        const qint64 cancelMs = cancelSeen ? cancelClock.elapsed() : -1;
        ftp.Disconnect();
        if (cancelAfterMs >= 0) {
            if (result != frCanceled || !cancelSeen) {
                std::fprintf(stderr,
                             "the transfer ended before the cancel: give it a bigger file or a shorter delay\n");
                return 1;
            }
            std::printf("cancel_ms=%lld\n", static_cast<long long>(cancelMs));
            return 0;
        }
        if (result != frDone) {
            std::fprintf(stderr, "%s\n", result == frNotFound ? "not found on the server" : "abandoned");
            return 1;
        }
    } catch (const EVandrel& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("work_calls=%ld transfer_calls=%ld status_calls=%ld last_count=%lld last_total=%lld max_percent=%d\n",
                workCalls,
                transferCalls,
                statusCalls,
                static_cast<long long>(lastCount),
                static_cast<long long>(lastTotal),
                maxPercent);
    return 0;
}
