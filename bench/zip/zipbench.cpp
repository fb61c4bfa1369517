// SPDX-License-Identifier: MIT
// Drives the ZIP engine from the command line for the benchmark script:
//   zipbench zip <archive> <file>      adds the file to the archive
//   zipbench extract <archive> <dir>   extracts every entry into the directory
//   zipbench estimate <file>           prints the archive-size estimate in KiB
#include "EVandrel.h"
#include "UZipArchive.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <atomic>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    std::atomic<bool> running{true};
    try {
        if (args.size() == 4 && args[1] == QStringLiteral("zip"))
            UZipArchive::AddFile(args[2], args[3], running);
        else if (args.size() == 4 && args[1] == QStringLiteral("extract"))
            UZipArchive::ExtractAll(args[2], args[3], running);
        else if (args.size() == 3 && args[1] == QStringLiteral("estimate"))
            std::printf("%d\n", UZipArchive::EstimateArchiveKiB(args[2]));
        else {
            std::fprintf(stderr, "usage: zipbench zip <archive> <file> | extract <archive> <dir> | estimate <file>\n");
            return 2;
        }
    } catch (const EVandrel& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
