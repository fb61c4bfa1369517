// SPDX-License-Identifier: MIT
// Drives the ZIP engine from the command line for the benchmark script:
//   zipbench zip <archive> <file> [password]      adds the file to the archive (encrypted with a password)
//   zipbench extract <archive> <dir> [password]   extracts every entry into the directory
//   zipbench estimate <file>                      prints the archive-size estimate in KiB
//   zipbench cancel zip|extract <archive> <file|dir> <ms>
//       starts the step, turns the run flag off after <ms> milliseconds, as the window's Cancel does, and prints
//       "cancel_ms=N": how long the step took to stop after that. It fails when the step finished first or left
//       anything behind (an archive, an extracted file).
#include "EVandrel.h"
#include "UZipArchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

int Cancel(const QString& aWhat, const QString& aArchive, const QString& aPath, int aAfterMs)
{
    const bool zip = aWhat == QStringLiteral("zip");
    std::atomic<bool> running{true};
    std::atomic<bool> finished{false};
    QString failure;
    std::thread worker([&]() {
        try {
            if (zip)
                UZipArchive::AddFile(aArchive, aPath, running);
            else
                UZipArchive::ExtractAll(aArchive, aPath, running);
        } catch (const EVandrel& e) {
            failure = QString::fromUtf8(e.what());
        }
        finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(aAfterMs));
    const bool finishedFirst = finished.load();
    QElapsedTimer clock;
    clock.start();
    running = false;
    worker.join();
    const qint64 ms = clock.elapsed();
    if (finishedFirst) {
        std::fprintf(stderr, "the step finished before the cancel: give it a bigger file or a shorter delay\n");
        return 1;
    }
    const bool leftAnything = zip ? QFileInfo::exists(aArchive)
                                  : !QDir(aPath).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    if (leftAnything) {
        std::fprintf(stderr, "the cancelled step left %s behind\n", zip ? "an archive" : "files");
        return 1;
    }
    std::printf("cancel_ms=%lld\n", static_cast<long long>(ms));
    if (!failure.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(failure));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    std::atomic<bool> running{true};
    const QString password = args.size() == 5 ? args[4] : QString();
    try {
        if ((args.size() == 4 || args.size() == 5) && args[1] == QStringLiteral("zip"))
            UZipArchive::AddFile(args[2], args[3], running, {}, password);
        else if ((args.size() == 4 || args.size() == 5) && args[1] == QStringLiteral("extract"))
            UZipArchive::ExtractAll(args[2], args[3], running, {}, password);
        else if (args.size() == 3 && args[1] == QStringLiteral("estimate"))
            std::printf("%d\n", UZipArchive::EstimateArchiveKiB(args[2]));
        else if (args.size() == 6 && args[1] == QStringLiteral("cancel") &&
                 (args[2] == QStringLiteral("zip") || args[2] == QStringLiteral("extract")))
            return Cancel(args[2], args[3], args[4], args[5].toInt());
        else {
            std::fprintf(stderr,
                         "usage: zipbench zip <archive> <file> [password] | extract <archive> <dir> [password]\n"
                         "     | estimate <file> | cancel zip|extract <archive> <file|dir> <ms>\n");
            return 2;
        }
    } catch (const EVandrel& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
