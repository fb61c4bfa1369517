// SPDX-License-Identifier: MIT
// Housekeeping: the transfer limit's value, and the retention step that removes old dated files after a successful
// run, on the FTP server and in the local folders.
#include "VandrelHousekeeping.h"

#include "EVandrel.h"
#include "UFileNaming.h"
#include "UFtpTransfer.h"
#include "UHandles.h"
#include "VandrelRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <optional>

namespace VandrelHousekeeping {

namespace {

/// The whole number of aText (blanks around it allowed), or nothing.
std::optional<qint64> WholeNumber(const QString& aText)
{
    bool ok = false;
    const qint64 value = aText.trimmed().toLongLong(&ok);
    return ok && value >= 0 ? std::optional<qint64>(value) : std::nullopt;
}

/// True when aText asks to keep only some files (a bad value too: the step then says what is wrong with it).
bool Limited(const QString& aText)
{
    const QString text = aText.trimmed();
    return !text.isEmpty() && WholeNumber(text) != 0;
}

const QString cKeepRemoteName = QStringLiteral("\"Keep the newest N archives on the server\"");
const QString cKeepLocalName = QStringLiteral("\"Keep the newest N files locally\"");

class TRetentionStep : public IVandrelStep
{
public:
    void Run(TStepContext& aContext) override
    {
        const TVandrelSettings& settings = aContext.Settings();
        QStringList failed;
        if (settings.Upload && Limited(settings.KeepRemote))
            RemoveOldRemote(aContext, KeepCount(settings.KeepRemote, cKeepRemoteName), failed);
        if (Limited(settings.KeepLocal))
            RemoveOldLocal(aContext, KeepCount(settings.KeepLocal, cKeepLocalName), failed);
        if (!failed.isEmpty())
            throw EVandrel(QStringLiteral("Retention: %1 old file(s) could not be removed: %2")
                               .arg(failed.size())
                               .arg(failed.join(QStringLiteral(", "))));
    }

private:
    static void RemoveOldRemote(TStepContext& aContext, int aKeep, QStringList& aFailed)
    {
        using namespace UFtpTransfer;
        const TVandrelSettings& settings = aContext.Settings();
        if (settings.FTPNameFormat.isEmpty())
            return;
        TFtpTransfer ftp(settings.FTPUrl, settings.FTPUser, settings.FTPPassword, FtpOptionsOf(settings));
        ftp.SetStatusHandler([&aContext](TFtpStatus aStatus, const QString&) {
            if (aStatus != fsTransferReady && aStatus != fsTransferAborted)
                aContext.FtpStatus(aStatus);
        });
        ftp.SetWorkHandler([&aContext](qint64, qint64) { return !aContext.Cancelled(); });
        TFinally disconnect([&ftp]() noexcept { ftp.Disconnect(); });
        if (!ftp.Connect())
            return;
        // The archive's own folder below the address: the name may carry one ("sync/DB01-05-2025.bin").
        const QString folder = UFileNaming::ExtractFilePath(settings.FTPFilename);
        const QList<TFtpListEntry> entries = ftp.List(folder);
        if (ftp.Abandoned())
            return;
        QStringList files;
        for (const TFtpListEntry& entry : entries)
            if (!entry.IsDirectory)
                files.append(entry.Name);
        const QStringList expired =
            ExpiredNames(files, settings.FTPNameFormat, aKeep, {UFileNaming::ExtractFileName(settings.FTPFilename)});
        for (const QString& name : expired) {
            if (aContext.Cancelled())
                return;
            const QString checksum = name + QStringLiteral(".sha256");
            // A checksum goes only with its archive.
            if (RemoveRemote(aContext, ftp, folder + name, aKeep, aFailed) && files.contains(checksum))
                RemoveRemote(aContext, ftp, folder + checksum, aKeep, aFailed);
        }
    }

    static bool RemoveRemote(
        TStepContext& aContext, UFtpTransfer::TFtpTransfer& aFtp, const QString& aName, int aKeep, QStringList& aFailed)
    {
        try {
            aFtp.Delete(aName);
        } catch (const EVandrel& e) {
            aContext.Status(QStringLiteral("Could not remove \"%1\" from the FTP server: %2").arg(aName, e.Message()));
            aFailed.append(aName);
            return false;
        }
        aContext.Status(
            QStringLiteral("Removed \"%1\" from the FTP server (keeping the newest %2).").arg(aName).arg(aKeep));
        return true;
    }

    static void RemoveOldLocal(TStepContext& aContext, int aKeep, QStringList& aFailed)
    {
        const TVandrelSettings& settings = aContext.Settings();
        const QStringList made = {settings.BackupFilename, settings.ArchiveFilename};
        if (settings.Backup || settings.Extract)
            RemoveOldIn(aContext, settings.BackupFilename, settings.BackupNameFormat, made, aKeep, aFailed);
        if (settings.Compress || settings.Download)
            RemoveOldIn(aContext, settings.ArchiveFilename, settings.ArchiveDateBasedName, made, aKeep, aFailed);
    }

    /// Removes the old files of aPattern in the folder of aFileName; aMade are the files this run made.
    static void RemoveOldIn(TStepContext& aContext,
                            const QString& aFileName,
                            const QString& aPattern,
                            const QStringList& aMade,
                            int aKeep,
                            QStringList& aFailed)
    {
        const QString folder = UFileNaming::ExtractFilePath(aFileName);
        if (folder.isEmpty() || aPattern.isEmpty() || !QFileInfo(folder).isDir())
            return;
        const QDir dir(folder);
        QStringList spare;
        for (const QString& made : aMade)
            if (!made.isEmpty() && QFileInfo(made).absolutePath() == dir.absolutePath())
                spare.append(QFileInfo(made).fileName());
        const QStringList files = dir.entryList(QDir::Files | QDir::Hidden);
        for (const QString& name : ExpiredNames(files, aPattern, aKeep, spare)) {
            if (aContext.Cancelled())
                return;
            if (RemoveLocal(aContext, dir.filePath(name), aKeep, aFailed) &&
                files.contains(name + QStringLiteral(".sha256")))
                RemoveLocal(aContext, dir.filePath(name + QStringLiteral(".sha256")), aKeep, aFailed);
        }
    }

    static bool RemoveLocal(TStepContext& aContext, const QString& aPath, int aKeep, QStringList& aFailed)
    {
        QFile file(aPath);
        if (!file.remove()) {
            aContext.Status(QStringLiteral("Could not remove \"%1\": %2").arg(aPath, file.errorString()));
            aFailed.append(aPath);
            return false;
        }
        aContext.Status(QStringLiteral("Removed \"%1\" (keeping the newest %2).").arg(aPath).arg(aKeep));
        return true;
    }
};

} // namespace

qint64 TransferLimitBytes(const QString& aText)
{
    if (aText.trimmed().isEmpty())
        return 0;
    const std::optional<qint64> kib = WholeNumber(aText);
    if (!kib || *kib > std::numeric_limits<qint64>::max() / 1024)
        throw EVandrel(QStringLiteral("The transfer limit \"%1\" is not a number of KiB/s: give a whole number such as "
                                      "512, or leave it empty for no limit.")
                           .arg(aText));
    return *kib * 1024;
}

int KeepCount(const QString& aText, const QString& aWhat)
{
    if (aText.trimmed().isEmpty())
        return 0;
    const std::optional<qint64> count = WholeNumber(aText);
    if (!count || *count > std::numeric_limits<int>::max())
        throw EVandrel(
            QStringLiteral("%1 is \"%2\": give a whole number of files, or 0 to keep them all.").arg(aWhat, aText));
    return static_cast<int>(*count);
}

QStringList ExpiredNames(const QStringList& aNames, const QString& aPattern, int aKeep, const QStringList& aSpare)
{
    if (aKeep <= 0 || aPattern.isEmpty())
        return {};
    struct TDated
    {
        UFileNaming::TNameStamp Stamp;
        QString Name;
    };
    QList<TDated> dated;
    int kept = 0;
    for (const QString& name : aNames) {
        const std::optional<UFileNaming::TNameStamp> stamp = UFileNaming::ReadDateName(aPattern, name);
        if (!stamp)
            continue;
        if (aSpare.contains(name))
            ++kept;
        else
            dated.append({*stamp, name});
    }
    // Newest first; names of the same date in a fixed order.
    std::sort(dated.begin(), dated.end(), [](const TDated& a, const TDated& b) {
        return a.Stamp != b.Stamp ? a.Stamp > b.Stamp : a.Name > b.Name;
    });
    QStringList expired;
    for (const TDated& file : dated) {
        if (kept < aKeep)
            ++kept;
        else
            expired.prepend(file.Name);
    }
    return expired;
}

bool RetentionDue(const TVandrelSettings& aSettings)
{
    const bool remote = aSettings.Upload && Limited(aSettings.KeepRemote);
    const bool local = Limited(aSettings.KeepLocal) &&
                       (aSettings.Backup || aSettings.Extract || aSettings.Compress || aSettings.Download);
    return remote || local;
}

std::shared_ptr<IVandrelStep> MakeRetentionStep()
{
    return std::make_shared<TRetentionStep>();
}

} // namespace VandrelHousekeeping
