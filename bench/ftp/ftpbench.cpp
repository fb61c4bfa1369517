// SPDX-License-Identifier: MIT
// Drives the FTP engine from the command line for the benchmark script:
//   ftpbench upload <host:port[/dir]> <user> <password> <local file> <remote name>
//   ftpbench download <host:port[/dir]> <user> <password> <remote name> <local file>
// On success it prints one line of key=value counts: the calls the window's work and status handlers would
// receive, the calls made while the file moved (a known total), the last count and total reported, and the
// highest percentage seen.
#include "EVandrel.h"
#include "UFtpTransfer.h"
#include "UHandles.h"

#include <QCoreApplication>
#include <QStringList>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>

using namespace UFtpTransfer;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool upload = args.size() == 7 && args[1] == QStringLiteral("upload");
    const bool download = args.size() == 7 && args[1] == QStringLiteral("download");
    if (!upload && !download) {
        std::fprintf(stderr,
                     "usage: ftpbench upload <host:port> <user> <password> <local file> <remote name>\n"
                     "       ftpbench download <host:port> <user> <password> <remote name> <local file>\n");
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
    try {
        TFtpTransfer ftp(args[2], args[3], args[4]);
        ftp.SetStatusHandler([&](TFtpStatus, const QString&) { ++statusCalls; });
        ftp.SetWorkHandler([&](qint64 aCount, qint64 aTotal) {
            ++workCalls;
            if (aTotal > 0) {
                ++transferCalls;
                lastCount = aCount;
                lastTotal = aTotal;
                maxPercent = std::max(maxPercent, static_cast<int>(aCount * 100 / aTotal));
            }
            return true;
        });
        const TFtpResult result = upload ? ftp.Upload(args[5], args[6]) : ftp.Download(args[5], args[6]);
        ftp.Disconnect();
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
