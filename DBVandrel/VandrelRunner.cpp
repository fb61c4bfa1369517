// SPDX-License-Identifier: MIT
// The step runner: Start and Cancel, the steps in their fixed order, and the worker wait.
#include "Vandrel.h"

#include "EVandrel.h"
#include "UHandles.h"

#include <QApplication>
#include <QDeadlineTimer>

void TfrmVandrel::SetRunning(bool aRunning)
{
    FUi->btbnCancel->setVisible(aRunning);
    FUi->btbnStart->setVisible(!aRunning);
}

void TfrmVandrel::btbnStartClick()
{
    if (FRunning)
        return;
    FRunning = true;
    FRunFailed = false;
    SetRunning(true);
    try {
        RunSteps();
    } catch (const EVandrel& e) {
        AddErrorLine(e.Message());
    } catch (const std::exception& e) {
        const QString what = QString::fromLocal8Bit(e.what());
        AddErrorLine(what.isEmpty() ? GenericWorkerFailure() : what);
    } catch (...) {
        AddErrorLine(GenericWorkerFailure());
    }
    SetRunning(false);
    FRunning = false;
    Guarded([this] { FinishRun(); });
}

void TfrmVandrel::RunSteps()
{
    struct TStep
    {
        QCheckBox* Gate;
        QWidget* Page;
        std::function<void()> Call;
    };
    TfrmVandrelForm& ui = *FUi;
    const TStep steps[] = {
        // Order matters: each step consumes what the one before it produced.
        {ui.ckbxBackup, ui.tbshtDatabase, [this] { BackupStep(); }},
        {ui.ckbxCompress, ui.tbshtArchive, [this] { ArchiveStep(false); }},
        {ui.ckbxUpload, ui.tbshtFTP, [this] { FtpStep(false); }},
        {ui.ckbxDownload, ui.tbshtFTP, [this] { FtpStep(true); }},
        {ui.ckbxExtract, ui.tbshtArchive, [this] { ArchiveStep(true); }},
        {ui.ckbxRestore, ui.tbshtDatabase, [this] { RestoreStep(); }},
    };
    for (int index = 0; index < siStepCount; ++index) {
        const TStep& step = steps[index];
        if (!step.Gate->isChecked())
            continue;
        // Cancel hides the Cancel button; a failed step leaves nothing sound for the steps after it.
        if (ui.btbnCancel->isHidden() || Closing() || FRunFailed)
            return;
        ui.PageControl->setCurrentWidget(step.Page);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        TFinally restoreCursor([] { QApplication::restoreOverrideCursor(); });
        if (FStepOverrides[index])
            FStepOverrides[index]();
        else
            step.Call();
    }
}

void TfrmVandrel::btbnCancelClick()
{
    FDBTasking = false;
    FFTPing = false;
    if (FCurrentWorker)
        FCurrentWorker->Running = false;
    SetRunning(false);
}

std::shared_ptr<TWorkerContext> TfrmVandrel::NewWorkerContext()
{
    auto context = std::make_shared<TWorkerContext>();
    context->Link = FLink;
    return context;
}

bool TfrmVandrel::WorkerWait(const std::shared_ptr<TWorkerContext>& aContext,
                             std::function<void()> aProc,
                             std::function<void()> aPoll,
                             const QString& aFailurePrefix)
{
    AssertWindowThread();
    SetProgress(0);
    FDBTasking = true;
    FCurrentWorker = aContext;
    TFinally clearWorker([this] { FCurrentWorker.reset(); });
    auto* worker = new TProcThread(std::move(aProc));
    while (!worker->Terminated() && FDBTasking) {
        worker->wait(QDeadlineTimer(80));
        if (Closing()) {
            aContext->Running = false;
            worker->Abandon();
            return false;
        }
        if (aPoll)
            aPoll();
        ProcessMessages();
    }
    bool succeeded = false;
    QString message;
    if (worker->Terminated()) {
        succeeded = worker->ThreadResult.load() == 0;
        message = worker->ErrMessage;
        delete worker;
    } else {
        // Cancelled: the worker is told to stop and cleans up after itself; its outcome is not reported.
        aContext->Running = false;
        worker->Abandon();
    }
    if (succeeded) {
        SetProgress(100);
    } else {
        SetProgress(0);
        if (!message.isEmpty())
            AddErrorLine(aFailurePrefix + message);
    }
    FDBTasking = false;
    return succeeded;
}
