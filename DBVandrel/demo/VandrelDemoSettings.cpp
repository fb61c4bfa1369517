// SPDX-License-Identifier: MIT
// Writes the demo's two jobs with the program's own settings and connection code: a sending job (backup of Sales,
// zip, upload) and a receiving one (download, extract, restore over SalesCopy), each with its connection file
// beside it. scripts/demo.sh calls it once its servers listen.
#include "EVandrel.h"
#include "UDatCon.h"
#include "VandrelSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

#include <cstdio>

namespace {
/// A job on the demo's FTP server with fixed names: no date formats, so both sides agree on the file names.
TVandrelSettings Job(quint16 aFtpPort, bool aAutomated)
{
    TVandrelSettings settings;
    settings.Automated = aAutomated;
    settings.AutoExit = aAutomated;
    settings.BackupNameFormat.clear();
    settings.ArchiveDateBasedName.clear();
    settings.FTPNameFormat.clear();
    settings.FTPUrl = QStringLiteral("127.0.0.1:%1").arg(aFtpPort);
    settings.FTPUser = QStringLiteral("vandrel");
    settings.FTPPassword = QStringLiteral("secret");
    settings.FTPFilename = QStringLiteral("Sales.zip");
    return settings;
}

QString ConnectionString(quint16 aSqlPort, const QString& aDatabase)
{
    return QStringLiteral("Provider=SQLOLEDB.1;Password=sa;Persist Security Info=True;User ID=sa;"
                          "Initial Catalog=%1;Data Source=127.0.0.1,%2")
        .arg(aDatabase)
        .arg(aSqlPort);
}

void Write(const QString& aSettingsFile, const TVandrelSettings& aSettings, const QString& aConnection)
{
    SaveSettingsFile(aSettingsFile, cSettingsKey, aSettings);
    // The job's own connection: NAME.udl beside NAME.cfg.
    const QString link = aSettingsFile.left(aSettingsFile.size() - 4) + QStringLiteral(".udl");
    if (!UDatCon::StoreDataLink(aConnection, link))
        throw EVandrel(QStringLiteral("Cannot write \"%1\".").arg(link));
    std::printf("%s\n%s\n", qPrintable(aSettingsFile), qPrintable(link));
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const bool automated = arguments.removeAll(QStringLiteral("--auto")) > 0;
    bool sqlOk = false;
    bool ftpOk = false;
    const quint16 sqlPort = arguments.size() == 3 ? arguments.at(1).toUShort(&sqlOk) : 0;
    const quint16 ftpPort = arguments.size() == 3 ? arguments.at(2).toUShort(&ftpOk) : 0;
    if (!sqlOk || !ftpOk) {
        std::fputs("Usage: vandrel-demo-settings [--auto] DEMO-FOLDER SQL-PORT FTP-PORT\n"
                   "Writes DEMO-FOLDER/sending/sending.cfg and DEMO-FOLDER/receiving/receiving.cfg with their\n"
                   "connection files; --auto ticks Auto Start and Auto Exit (for a run without a display).\n",
                   stderr);
        return 2;
    }
    const QDir demo(arguments.at(0));
    try {
        TVandrelSettings sending = Job(ftpPort, automated);
        sending.Backup = sending.Compress = sending.Upload = true;
        sending.BackupFilename = demo.absoluteFilePath(QStringLiteral("sending/Sales.bak"));
        sending.ArchiveFilename = demo.absoluteFilePath(QStringLiteral("sending/Sales.zip"));
        Write(demo.absoluteFilePath(QStringLiteral("sending/sending.cfg")),
              sending,
              ConnectionString(sqlPort, QStringLiteral("Sales")));

        TVandrelSettings receiving = Job(ftpPort, automated);
        receiving.Download = receiving.Extract = receiving.Restore = true;
        receiving.ArchiveFilename = demo.absoluteFilePath(QStringLiteral("receiving/Sales.zip"));
        receiving.BackupFilename = demo.absoluteFilePath(QStringLiteral("receiving/Sales.bak"));
        // SalesCopy keeps its own files: the restore moves Sales's files onto them.
        receiving.Move = true;
        receiving.RestorePhysicalData = demo.absoluteFilePath(QStringLiteral("sql/SalesCopy/SalesCopy.mdf"));
        receiving.RestorePhysicalLog = demo.absoluteFilePath(QStringLiteral("sql/SalesCopy/SalesCopy_log.ldf"));
        Write(demo.absoluteFilePath(QStringLiteral("receiving/receiving.cfg")),
              receiving,
              ConnectionString(sqlPort, QStringLiteral("SalesCopy")));
    } catch (...) {
        std::fprintf(stderr, "vandrel-demo-settings: %s\n", qPrintable(CurrentFailureText()));
        return 1;
    }
    return 0;
}
