// SPDX-License-Identifier: MIT
// The backup step: connect, show the connection, report the size, then BACKUP DATABASE on a worker while the
// server's progress messages fill the status report. Also the connection loop both database steps share.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "UDatConModule.h"
#include "UHandles.h"
#include "USVSQLBackup.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>

#include <chrono>
#include <thread>

namespace {
constexpr int cArrowLeft = 24;
const QString cConnectionRequired = QStringLiteral("Connection Required: Application must exit.");

/// The worker's side of the backup: inputs taken on the window thread, nothing of the window.
void DoBackup(TDBConnection& aConnection,
              const QString& aDatabase,
              const QString& aBackupFileName,
              bool aAppend,
              bool aCompress,
              const std::atomic<bool>& aRunning)
{
    USVSQLBackup::BackupDatabase(aConnection, aDatabase, aBackupFileName, aAppend, aCompress, aRunning);
}
} // namespace

bool TfrmVandrel::ConnectDatabase(bool aAskAgain)
{
    TADOConDataModule& module = DatConModule();
    while (!module.Connected()) {
        try {
            if (!module.Connect(QString(), lkAuto)) {
                // Without a desktop the message goes to standard error.
                ShowError(cConnectionRequired);
                ExitProgram(esConnectionRequired);
                return false;
            }
            if (module.Changed() && Interactive()) {
                const auto answer = QMessageBox::question(
                    this, windowTitle(), QStringLiteral("Save the connection?"), QMessageBox::Yes | QMessageBox::No);
                if (answer == QMessageBox::Yes && !module.Save(lkAuto) && !module.Save(lkINI))
                    ShowError(QStringLiteral("Failed to save the connection."));
            }
        } catch (const EDatabaseError& e) {
            // The next Connect asks the user instead of reading the store again.
            module.SetLocationKind(lkPrompt);
            if (!aAskAgain)
                throw EDatabaseError(QStringLiteral("Error Connecting to Database. ") + e.Message());
            ShowError(QStringLiteral("Error Connecting to Database: \r\n") + e.Message());
            if (!Interactive()) {
                // Nobody can answer the connection dialog: asking again would only fail the same way.
                ShowError(cConnectionRequired);
                ExitProgram(esConnectionRequired);
                return false;
            }
        }
    }
    return true;
}

void TfrmVandrel::InstallConnectionInfoMessage(TDBConnection& aConnection)
{
    // The handler may outlive this window (the connection lives for the whole program): it reaches the window
    // only through the link, which drops the call once the window is gone.
    aConnection.SetOnInfoMessage([link = FLink, window = this](const TDBError& aError, TDBConnection&) {
        link->Post([window, text = aError.Description] { window->ConnectionInfoMessage(text); });
    });
}

void TfrmVandrel::ConnectionInfoMessage(const QString& aDescription)
{
    AddStatusLine(aDescription);
}

void TfrmVandrel::WaitForDatabaseWorker(const std::shared_ptr<std::atomic<bool>>& aDone)
{
    // The worker cancels its statement within one poll; until then the connection is still its own.
    while (!aDone->load(std::memory_order_acquire) && !Closing()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ProcessMessages();
    }
}

void TfrmVandrel::BackupStep()
{
    ShowArrow(true, cArrowLeft);
    TFinally hideArrow([this]() noexcept { HideArrows(); });
    if (!ConnectDatabase(false))
        return;
    ShowConnection();
    ReportDatabaseSize();
    SetProgress(0);

    TADOConDataModule& module = DatConModule();
    TDBConnection& connection = module.ADOConnection();
    connection.SetCursorLocation(clUseServer);
    InstallConnectionInfoMessage(connection);

    const QString database = module.Database();
    const QString backupName = FUi->edtBackupFilename->text();
    const bool append = FUi->ckbxAppend->isChecked();
    const bool compress = FUi->ckbxCompressBackup->isChecked();
    std::shared_ptr<TWorkerContext> context = NewWorkerContext();
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto statement = std::make_shared<QString>();
    TDBConnection* target = &connection;
    // The worker owns the connection until it is done: no reconnecting meanwhile.
    FUi->spdbtnMSLink->setEnabled(false);
    TFinally enableConnectionButton([this]() noexcept { FUi->spdbtnMSLink->setEnabled(true); });
    WorkerWait(
        context,
        [target, database, backupName, append, compress, context, done, statement] {
            TFinally finished([&]() noexcept {
                *statement = USVSQLBackup::LastBackupSQL;
                done->store(true, std::memory_order_release);
            });
            DoBackup(*target, database, backupName, append, compress, context->Running);
        },
        {},
        QStringLiteral("Backup Error:"));
    if (Closing())
        return;
    WaitForDatabaseWorker(done);
    if (Closing())
        return;
    // The server's messages are queued for this window: they come before the statement line.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    AddStatusLine(*statement);
}
