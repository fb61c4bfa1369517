// SPDX-License-Identifier: MIT
// The zip and extract step: packs the backup file into the archive, or unpacks
// the archive next to the backup file name. Both run on a worker with the
// worker wait, so the window stays responsive and Cancel stops them.
#include "UHandles.h"
#include "UZipArchive.h"
#include "Vandrel.h"

#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace {

constexpr int cArrowLeft = 48;

/// Everything up to and including the last "/" of a path; empty when it has
/// none.
QString DirectoryPart(const QString& aPath)
{
    const qsizetype slash = aPath.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : aPath.left(slash + 1);
}

/// The extension of the file-name part, from its last dot, dot included; empty
/// when it has none.
QString ExtensionPart(const QString& aPath)
{
    const QString name = aPath.mid(DirectoryPart(aPath).size());
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

QString Quoted(QString aText)
{
    return QLatin1Char('\'') + aText.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

/// Shows the zip engine's percentage (window thread).
void ZipSaveProgress(TfrmVandrel& aWindow, int aPercent)
{
    aWindow.SetProgress(aPercent);
}

/// The poll of the zip wait: the size of the archive being written against the
/// expected size. libzip writes into
/// "<archive>.XXXXXX" and renames it at the end, so that file is the one that
/// grows; while it does not exist the bar is left to the engine's own feed (the
/// archive under its final name is still the previous one, if any).
void ShowZipProgress(TfrmVandrel& aWindow, const QString& aArchiveName, qint32 aEstimateKiB)
{
    if (aEstimateKiB == 0) {
        aWindow.SetProgress(0);
        return;
    }
    const qint64 size = UZipArchive::PendingArchiveSize(aArchiveName);
    if (size <= 0)
        return;
    aWindow.SetProgress(static_cast<int>(static_cast<double>(size) / (aEstimateKiB * 1024.0) * 100.0));
}

/// The worker procedure of the zip step: adds the backup file to the archive;
/// raises on failure.
void DoZip(const QString& aArchiveName,
           const QString& aBackupFileName,
           const std::atomic<bool>& aRunning,
           const UZipArchive::TProgress& aProgress)
{
    UZipArchive::AddFile(aArchiveName, aBackupFileName, aRunning, aProgress);
}

/// Feeds a worker's percentages to the window while its wait lasts; later ones
/// (an abandoned worker) are dropped.
UZipArchive::TProgress PostProgress(TfrmVandrel& aWindow,
                                    const std::shared_ptr<TWorkerContext>& aContext,
                                    const std::shared_ptr<bool>& aWaiting)
{
    TfrmVandrel* window = &aWindow;
    return [window, aContext, aWaiting](int aPercent) {
        // Post drops the call once the window is gone, so the window pointer is
        // valid when it runs.
        aContext->Post([window, aWaiting, aPercent] {
            if (*aWaiting)
                ZipSaveProgress(*window, aPercent);
        });
    };
}

} // namespace

void TfrmVandrel::ArchiveStep(bool aExtract)
{
    AssertWindowThread();
    const QString archiveName = FUi->edtArchiveFilename->text();
    const QString archiveDir = DirectoryPart(archiveName);
    if (!QFileInfo(archiveDir).isDir())
        AddStatusLine(QStringLiteral("Warning: File path for archive does not exists. - ") + Quoted(archiveDir));
    // Going on would upload or extract a stale archive of an earlier run as if it
    // were this run's: the run ends.
    if (ExtensionPart(archiveName) != QLatin1String(".zip")) {
        AddErrorLine(QStringLiteral("Warning: File for archive is not a zip. - ") + Quoted(archiveDir));
        return;
    }
    const QString backupName = FUi->edtBackupFilename->text();
    std::shared_ptr<TWorkerContext> context = NewWorkerContext();
    auto waiting = std::make_shared<bool>(true);
    const UZipArchive::TProgress progress = PostProgress(*this, context, waiting);
    TFinally endStep([this, waiting]() noexcept {
        *waiting = false;
        HideArrows();
    });

    if (aExtract) {
        ShowArrow(false, cArrowLeft);
        const QString targetDir = DirectoryPart(backupName).isEmpty() ? QStringLiteral(".") : DirectoryPart(backupName);
        auto written = std::make_shared<QStringList>();
        // A failure ends the run with its own message as the last status line.
        const bool extracted = WorkerWait(
            context,
            [archiveName, targetDir, context, progress, written] {
                *written = UZipArchive::ExtractAll(archiveName, targetDir, context->Running, progress);
            },
            {},
            QString());
        // The restore reads the file the backup field names; when the archive did not bring that file, it would
        // restore whatever older file of that name lies there.
        const QString backupFile = QFileInfo(backupName).fileName();
        if (extracted && FUi->ckbxRestore->isChecked() && !written->contains(backupFile))
            AddErrorLine(QStringLiteral("The archive holds no file named '%1': the restore would read an older file.")
                             .arg(backupFile));
        return;
    }

    ShowArrow(true, cArrowLeft);
    qint32 estimateKiB = 0;
    if (UZipArchive::FileSize(backupName) >= 0)
        estimateKiB = UZipArchive::EstimateArchiveKiB(backupName);
    else
        // Without a backup file the archive is taken to be a fifth of the database's size.
        estimateKiB = static_cast<qint32>(std::trunc(static_cast<double>(ReportDatabaseSize()) / 5.0));
    WorkerWait(
        context,
        [archiveName, backupName, context, progress] { DoZip(archiveName, backupName, context->Running, progress); },
        [this, archiveName, estimateKiB] { ShowZipProgress(*this, archiveName, estimateKiB); },
        QStringLiteral("Backup Error:"));
}
