// SPDX-License-Identifier: MIT
// The restore step: read the backup's file list, then RESTORE DATABASE on a worker (moving the files to the typed
// paths when asked) while the growing data file drives the progress bar.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "UDatConModule.h"
#include "UHandles.h"
#include "USVSQLBackup.h"

#include <QFileInfo>

#include <algorithm>

#include <cmath>

namespace {
constexpr int cArrowLeft = 24;

/// The worker's side of the restore: inputs taken on the window thread, nothing of the window.
void DoRestore(TDBConnection& aConnection,
               const QString& aDatabase,
               const QString& aBackupFileName,
               bool aMove,
               const QString& aPhysicalData,
               const QString& aPhysicalLog,
               const std::atomic<bool>& aRunning)
{
    if (!aMove) {
        USVSQLBackup::RestoreDatabase(aConnection, aDatabase, aBackupFileName, aRunning);
        return;
    }
    TDBFileList files = USVSQLBackup::GetBackupFileList(aConnection, aBackupFileName);
    files.PhysicalDat = aPhysicalData;
    files.PhysicalLog = aPhysicalLog;
    USVSQLBackup::RestoreDatabase(aConnection, aDatabase, aBackupFileName, aRunning, files);
}
} // namespace

void TfrmVandrel::ShowRestoreProgress(qint64 aExpectedSize, const QString& aFileName)
{
    if (aExpectedSize <= 0) {
        SetProgress(0);
        return;
    }
    // A fresh QFileInfo: the size is read from the file system each time, without opening the file.
    const QFileInfo file(aFileName);
    if (aFileName.isEmpty() || !file.exists()) {
        SetProgress(0);
        return;
    }
    const double percent = static_cast<double>(file.size()) / static_cast<double>(aExpectedSize) * 100.0;
    SetProgress(static_cast<int>(std::trunc(std::min(percent, 100.0))));
}

void TfrmVandrel::RestoreStep()
{
    ShowArrow(false, cArrowLeft);
    TFinally hideArrow([this]() noexcept { HideArrows(); });
    if (!ConnectDatabase(true))
        return;

    TADOConDataModule& module = DatConModule();
    TDBConnection& connection = module.ADOConnection();
    const QString backupName = FUi->edtBackupFilename->text();
    const bool move = FUi->ckbxMove->isChecked();
    const QString physicalData = FUi->edtRestorePhysicalData->text();
    const QString physicalLog = FUi->edtRestorePhysicalLog->text();
    // The watch list: a failure to read it ends the run with its own message.
    TDBFileList watch = USVSQLBackup::GetBackupFileList(connection, backupName);
    if (move)
        watch.PhysicalDat = physicalData;

    const QString database = module.Database();
    std::shared_ptr<TWorkerContext> context = NewWorkerContext();
    auto done = std::make_shared<std::atomic<bool>>(false);
    TDBConnection* target = &connection;
    // The worker owns the connection until it is done: no reconnecting meanwhile.
    FUi->spdbtnMSLink->setEnabled(false);
    TFinally enableConnectionButton([this]() noexcept { FUi->spdbtnMSLink->setEnabled(true); });
    WorkerWait(
        context,
        [target, database, backupName, move, physicalData, physicalLog, context, done] {
            TFinally finished([&done]() noexcept { done->store(true, std::memory_order_release); });
            DoRestore(*target, database, backupName, move, physicalData, physicalLog, context->Running);
        },
        [this, watch] { ShowRestoreProgress(watch.DBSize, watch.PhysicalDat); },
        QStringLiteral("Restore Error:"));
    if (Closing())
        return;
    WaitForDatabaseWorker(done);
    if (Closing())
        return;
    // The restore ran from master and left the connection there. Back in the restored database, the connection
    // again reports the database this window works on, so a later backup or restore does not pick master.
    try {
        connection.Execute(QStringLiteral("USE ") + USVSQLBackup::BracketedName(database));
    } catch (const EDatabaseError&) {
        // The database is not there (the restore failed or was cancelled): the connection stays in master.
    }
}
