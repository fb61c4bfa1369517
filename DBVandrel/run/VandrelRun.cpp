// SPDX-License-Identifier: MIT
// The run: the ticked steps in their fixed order, each on a worker of its own, the countdowns and the clean-up.
#include "VandrelRun.h"

#include "EVandrel.h"
#include "UVersionInfo.h"
#include "UWorker.h"
#include "VandrelHousekeeping.h"
#include "VandrelLock.h"

#include <QFileInfo>

#include <QFile>
#include <QMetaObject>

#include <chrono>
#include <condition_variable>
#include <mutex>

/// The one way from a step's worker to the run: calls queued to the run's thread while the run holds the step,
/// dropped once it let go of it.
class TRunChannel
{
public:
    TRunChannel(TVandrelRun* aRun, bool aInteractive)
        : FRun(aRun)
        , FInteractive(aInteractive)
    {
    }

    /// Queues aCall to run on the run's thread; dropped when the run let go of the step. Any thread.
    void Post(std::function<void(TVandrelRun&)> aCall)
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FRun)
            return;
        TVandrelRun* run = FRun;
        QMetaObject::invokeMethod(
            run, [run, call = std::move(aCall)] { call(*run); }, Qt::QueuedConnection);
    }

    /// Runs aQuestion with the run's prompts on the run's thread and waits for its answer; false when the run
    /// lets go of the step meanwhile (the question may then still be on screen; its answer is dropped).
    bool Ask(std::function<bool(IRunPrompts&)> aQuestion)
    {
        struct TAnswer
        {
            std::mutex Lock;
            std::condition_variable Given;
            bool Done = false;
            bool Yes = false;
        };
        auto answer = std::make_shared<TAnswer>();
        Post([answer, question = std::move(aQuestion)](TVandrelRun& aRun) {
            const bool yes = question(aRun.FPrompts);
            std::lock_guard<std::mutex> guard(answer->Lock);
            answer->Done = true;
            answer->Yes = yes;
            answer->Given.notify_all();
        });
        std::unique_lock<std::mutex> wait(answer->Lock);
        while (!answer->Done) {
            if (!Attached())
                return false;
            answer->Given.wait_for(wait, std::chrono::milliseconds(100));
        }
        return answer->Yes;
    }

    /// True when a person can answer questions (decided when the channel was made).
    bool Interactive() const { return FInteractive; }

    /// The run no longer holds the step: later calls are dropped. Run's thread.
    void Detach()
    {
        std::lock_guard<std::mutex> guard(FLock);
        FRun = nullptr;
    }

private:
    bool Attached()
    {
        std::lock_guard<std::mutex> guard(FLock);
        return FRun != nullptr;
    }

    std::mutex FLock;
    TVandrelRun* FRun;
    const bool FInteractive;
};

TExitStatus ExitStatusOf(TRunOutcome aOutcome)
{
    switch (aOutcome) {
    case roNone:
    case roSuccess:
    case roCancelled:
        return esSuccess;
    case roFailed:
        return esRunFailed;
    case roConnectionRequired:
        return esConnectionRequired;
    case roTerminated:
        return esTerminated;
    case roLocked:
        return esLocked;
    }
    return esRunFailed;
}

QString StepName(TStepIndex aStep)
{
    switch (aStep) {
    case siBackup:
        return QStringLiteral("Backup");
    case siZip:
        return QStringLiteral("Zip Archive");
    case siUpload:
        return QStringLiteral("Upload");
    case siDownload:
        return QStringLiteral("Download");
    case siExtract:
        return QStringLiteral("Extract");
    case siRestore:
        return QStringLiteral("Restore");
    case siStepCount:
        break;
    }
    return QString();
}

bool StepTicked(const TVandrelSettings& aSettings, TStepIndex aStep)
{
    switch (aStep) {
    case siBackup:
        return aSettings.Backup;
    case siZip:
        return aSettings.Compress;
    case siUpload:
        return aSettings.Upload;
    case siDownload:
        return aSettings.Download;
    case siExtract:
        return aSettings.Extract;
    case siRestore:
        return aSettings.Restore;
    case siStepCount:
        break;
    }
    return false;
}

// --- TStepContext

TStepContext::TStepContext(TVandrelSettings aSettings, QDateTime aToday, std::shared_ptr<TRunChannel> aChannel)
    : FSettings(std::move(aSettings))
    , FToday(std::move(aToday))
    , FChannel(std::move(aChannel))
{
}

void TStepContext::Status(const QString& aLine) const
{
    FChannel->Post([aLine](TVandrelRun& aRun) { Q_EMIT aRun.StatusLine(aLine, false); });
}

void TStepContext::ServerMessage(const QString& aLine) const
{
    FChannel->Post([aLine](TVandrelRun& aRun) { Q_EMIT aRun.ServerLine(aLine); });
}

void TStepContext::Progress(int aPercent) const
{
    FChannel->Post([aPercent](TVandrelRun& aRun) { Q_EMIT aRun.ProgressChanged(aPercent); });
}

void TStepContext::Arrow(TArrowDirection aDirection, int aLeft) const
{
    FChannel->Post([aDirection, aLeft](TVandrelRun& aRun) { Q_EMIT aRun.ArrowChanged(aDirection, aLeft); });
}

void TStepContext::FtpStatus(int aStatus) const
{
    FChannel->Post([aStatus](TVandrelRun& aRun) { Q_EMIT aRun.FtpStatusChanged(aStatus); });
}

void TStepContext::Connection(const QString& aServer, const QString& aDatabase) const
{
    FChannel->Post([aServer, aDatabase](TVandrelRun& aRun) { Q_EMIT aRun.ConnectionChanged(aServer, aDatabase); });
}

void TStepContext::Summary(const QString& aText)
{
    std::lock_guard<std::mutex> guard(FSummaryLock);
    FSummary = aText;
}

QString TStepContext::SummaryText() const
{
    std::lock_guard<std::mutex> guard(FSummaryLock);
    return FSummary;
}

bool TStepContext::Interactive() const
{
    return FChannel->Interactive();
}

bool TStepContext::Confirm(const QString& aQuestion) const
{
    if (Cancelled())
        return false;
    return FChannel->Ask([aQuestion](IRunPrompts& aPrompts) { return aPrompts.Confirm(aQuestion); });
}

void TStepContext::ShowError(const QString& aText) const
{
    FChannel->Ask([aText](IRunPrompts& aPrompts) {
        aPrompts.ShowError(aText);
        return true;
    });
}

// --- TVandrelRun

TVandrelRun::TVandrelRun(TSettingsSource aSettings, IRunPrompts& aPrompts, QObject* aParent)
    : QObject(aParent)
    , FSettings(std::move(aSettings))
    , FPrompts(aPrompts)
{
    for (int i = 0; i < siStepCount; ++i)
        FSteps[i] = MakeStep(static_cast<TStepIndex>(i));
    FGraceTimer.setSingleShot(true);
    connect(&FGraceTimer, &QTimer::timeout, this, [this] {
        // The step did not stop in time (a server that no longer answers): the run goes on without it.
        LetGoOfStep();
        Finish();
    });
    FCountdownTimer.setInterval(80);
    connect(&FCountdownTimer, &QTimer::timeout, this, &TVandrelRun::CountdownTimeout);
}

TVandrelRun::~TVandrelRun()
{
    if (FWorker) {
        FContext->Cancel();
        LetGoOfStep();
    }
    if (FChannel)
        FChannel->Detach();
}

void TVandrelRun::SetStep(TStepIndex aIndex, std::shared_ptr<IVandrelStep> aStep)
{
    FSteps[aIndex] = aStep ? std::move(aStep) : MakeStep(aIndex);
}

QDateTime TVandrelRun::Today() const
{
    return QDateTime(FToday.isValid() ? FToday : QDate::currentDate(), QTime(0, 0));
}

void TVandrelRun::SetState(TRunState aState)
{
    if (FState == aState)
        return;
    FState = aState;
    Q_EMIT StateChanged(aState);
}

void TVandrelRun::AutoStart()
{
    if (FState != rsIdle || FClosing || !FSettings().Automated)
        return;
    // Unattended, nobody can untick the box: no countdown.
    if (FUnattended)
        Start();
    else
        BeginCountdown(false);
}

void TVandrelRun::Start()
{
    if (Active() || FClosing)
        return;
    if (FState == rsCountingDown) {
        FCountdownTimer.stop();
        Q_EMIT CountdownEnded(false);
    }
    if (FCountdownTimer.isActive()) {
        // Started again while the Auto Exit countdown ran: the program stays.
        FCountdownTimer.stop();
        Q_EMIT CountdownEnded(true);
    }
    FOutcome = roNone;
    FNextStep = 0;
    FChannel = std::make_shared<TRunChannel>(this, FPrompts.CanAsk());
    SetState(rsRunning);
    const TVandrelSettings settings = FSettings();
    QStringList ticked;
    for (int i = 0; i < siStepCount; ++i)
        if (StepTicked(settings, static_cast<TStepIndex>(i)))
            ticked.append(StepName(static_cast<TStepIndex>(i)));
    Q_EMIT LogLine(QStringLiteral("Database Vandrel %1: settings %2; steps: %3")
                       .arg(TVersionInfo::ProgramVersion(),
                            FSettingsFile.isEmpty() ? QStringLiteral("(none)") : FSettingsFile,
                            ticked.isEmpty() ? QStringLiteral("none") : ticked.join(QStringLiteral(", "))));
    if (!TakeLock()) {
        FOutcome = roLocked;
        Finish();
        return;
    }
    NextStep();
}

bool TVandrelRun::TakeLock()
{
    if (FSettingsFile.isEmpty() || !QFileInfo(FSettingsFile).isFile())
        return true;
    if (!FLock)
        FLock = std::make_unique<TSettingsLock>();
    QString holder;
    try {
        if (FLock->TryLock(FSettingsFile, &holder))
            return true;
        Q_EMIT StatusLine(LockedLine(FSettingsFile, holder), true);
    } catch (...) {
        Q_EMIT StatusLine(CurrentFailureText(), true);
    }
    return false;
}

void TVandrelRun::NextStep()
{
    if (FState != rsRunning)
        return;
    // The boxes are read as each step comes up: unticking a later step during the run still counts.
    const TVandrelSettings settings = FSettings();
    while (FNextStep < siStepCount && !StepTicked(settings, static_cast<TStepIndex>(FNextStep)))
        ++FNextStep;
    std::shared_ptr<IVandrelStep> step;
    if (FNextStep < siStepCount)
        step = FSteps[FNextStep];
    else if (FNextStep == siStepCount && VandrelHousekeeping::RetentionDue(settings))
        step = VandrelHousekeeping::MakeRetentionStep(); // old files go only once every ticked step succeeded
    if (!step) {
        Finish();
        return;
    }
    FCurrentStep = FNextStep++;
    FStepClock.start();
    Q_EMIT LogLine(CurrentStepName() + QStringLiteral(": started"));
    if (FCurrentStep < siStepCount)
        Q_EMIT StepStarted(static_cast<TStepIndex>(FCurrentStep));
    FContext = std::make_shared<TStepContext>(settings, Today(), FChannel);
    FContext->SetStallTimeout(FStallTimeout);
    FContext->SetSettingsFile(FSettingsFile);
    const quint64 serial = ++FStepSerial;
    FWorker = new TProcThread([step, context = FContext] { step->Run(*context); });
    connect(
        FWorker,
        &QThread::finished,
        this,
        [this, serial] {
            if (serial == FStepSerial && FWorker)
                StepEnded();
        },
        Qt::QueuedConnection);
    FWorker->start();
}

QString TVandrelRun::CurrentStepName() const
{
    return FCurrentStep == siStepCount ? QStringLiteral("Retention") : StepName(static_cast<TStepIndex>(FCurrentStep));
}

void TVandrelRun::StepEnded()
{
    TProcThread* worker = FWorker;
    FWorker = nullptr;
    const std::exception_ptr failure = worker->Failure;
    delete worker;
    const QString summary = FContext->SummaryText();
    FContext.reset();
    Q_EMIT ArrowChanged(adNone, 0);
    const QString seconds = QString::number(static_cast<double>(FStepClock.elapsed()) / 1000.0, 'f', 1);
    const QString step = CurrentStepName();
    if (FState == rsCancelling)
        Q_EMIT LogLine(step + QStringLiteral(": stopped after %1 s").arg(seconds));
    else if (failure)
        Q_EMIT LogLine(step + QStringLiteral(": failed after %1 s").arg(seconds));
    else
        Q_EMIT LogLine(step + QStringLiteral(": done in %1 s").arg(seconds) +
                       (summary.isEmpty() ? QString() : QStringLiteral(": ") + summary));
    if (FState == rsCancelling) {
        // A cancelled step's own end (its cancel error) is not reported; its share of the bar goes.
        Q_EMIT ProgressChanged(0);
        Finish();
        return;
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const EConnectionRequired& e) {
            FOutcome = roConnectionRequired;
            // The reason first: "Login failed for user 'sa'." tells the administrator what to mend.
            if (!e.Reason().isEmpty())
                Q_EMIT StatusLine(QStringLiteral("Cannot connect to the database: ") + e.Reason(), true);
            FPrompts.ShowError(e.Reason().isEmpty()
                                   ? EConnectionRequired::Text()
                                   : e.Reason() + QStringLiteral("\r\n") + EConnectionRequired::Text());
        } catch (...) {
            FOutcome = roFailed;
            Q_EMIT ProgressChanged(0);
            Q_EMIT StatusLine(CurrentFailureText(), true);
        }
        // A failed step leaves nothing sound for the steps after it.
        Finish();
        return;
    }
    NextStep();
}

void TVandrelRun::Cancel()
{
    if (FState == rsCountingDown) {
        FCountdownTimer.stop();
        Q_EMIT CountdownEnded(false);
        SetState(rsIdle);
        return;
    }
    if (FState != rsRunning)
        return;
    if (FOutcome == roNone)
        FOutcome = roCancelled;
    SetState(rsCancelling);
    if (!FWorker) {
        Finish();
        return;
    }
    FContext->Cancel();
    if (FContext->Abandonable()) {
        // A login cannot be interrupted; nothing is lost by not waiting for it.
        LetGoOfStep();
        Finish();
        return;
    }
    FGraceTimer.start(FCancelGraceMs);
}

void TVandrelRun::LetGoOfStep()
{
    if (!FWorker)
        return;
    FContext->Cancel();
    FChannel->Detach();
    FChannel = std::make_shared<TRunChannel>(this, FPrompts.CanAsk());
    ++FStepSerial;
    // The worker frees itself when its step has stopped; nothing it reports after this reaches anyone.
    FWorker->Abandon();
    FWorker = nullptr;
    FContext.reset();
    Q_EMIT ArrowChanged(adNone, 0);
    Q_EMIT ProgressChanged(0);
}

void TVandrelRun::Close()
{
    FClosing = true;
    FCountdownTimer.stop();
    if (!Active())
        return;
    if (FOutcome == roNone)
        FOutcome = roCancelled;
    LetGoOfStep();
    Finish();
}

void TVandrelRun::Terminate(const QString& aSignal)
{
    FTerminating = true;
    FSignal = aSignal.isEmpty() ? QStringLiteral("a signal") : aSignal;
    FOutcome = roTerminated;
    if (Active()) {
        Cancel();
        return;
    }
    FCountdownTimer.stop();
    Q_EMIT LogLine(EndLine());
    RequestExit(esTerminated);
}

void TVandrelRun::Finish()
{
    FGraceTimer.stop();
    if (FOutcome == roNone)
        FOutcome = roSuccess;
    SetState(rsFinished);
    // Another run's files, or files a run without its connection still needs, are not this run's to delete.
    if (FOutcome != roLocked && FOutcome != roConnectionRequired)
        FinishRun();
    if (FLock)
        FLock->Unlock();
    Q_EMIT LogLine(EndLine());
    FCurrentStep = -1;
    Q_EMIT Finished(FOutcome);
    if (FClosing)
        return;
    if (FTerminating || FOutcome == roConnectionRequired) {
        RequestExit(ExitStatusOf(FOutcome));
        return;
    }
    if (FSettings().AutoExit || FUnattended)
        BeginCountdown(true);
}

void TVandrelRun::FinishRun()
{
    // Deletion failures (no such file, file in use) are of no interest here.
    const TVandrelSettings settings = FSettings();
    if (!settings.KeepBackup && !settings.BackupFilename.isEmpty())
        QFile::remove(settings.BackupFilename);
    if (!settings.KeepArchive && !settings.ArchiveFilename.isEmpty())
        QFile::remove(settings.ArchiveFilename);
}

void TVandrelRun::BeginCountdown(bool aAutoExit)
{
    FCountingExit = aAutoExit;
    if (FUnattended) {
        EndCountdown(true);
        return;
    }
    if (!aAutoExit)
        SetState(rsCountingDown);
    FCountdownClock.start();
    FCountdownTimer.start();
    CountdownTimeout();
}

void TVandrelRun::CountdownTimeout()
{
    const TVandrelSettings settings = FSettings();
    if (!(FCountingExit ? settings.AutoExit : settings.Automated)) {
        EndCountdown(false);
        return;
    }
    const qint64 seconds = FCountdownClock.elapsed() / 1000;
    if (seconds > FCountdownSeconds) {
        // Never behind a dialog: the countdown acts once the dialog is closed.
        if (FGate && !FGate())
            return;
        EndCountdown(true);
        return;
    }
    const int percent =
        FCountdownSeconds > 0 ? static_cast<int>((FCountdownSeconds - seconds) * 100 / FCountdownSeconds) : 0;
    Q_EMIT CountdownTick(FCountingExit, percent, seconds % 2 == 1);
}

void TVandrelRun::EndCountdown(bool aAct)
{
    FCountdownTimer.stop();
    Q_EMIT CountdownEnded(FCountingExit);
    if (!FCountingExit) {
        SetState(rsIdle);
        if (aAct)
            Start();
        return;
    }
    if (aAct)
        RequestExit(ExitStatusOf(FOutcome));
}

QString TVandrelRun::EndLine() const
{
    QString how;
    switch (FOutcome) {
    case roNone:
    case roSuccess:
        how = QStringLiteral("the run succeeded");
        break;
    case roCancelled:
        how = QStringLiteral("the run was cancelled");
        break;
    case roFailed:
        how = QStringLiteral("the run failed");
        break;
    case roConnectionRequired:
        how = QStringLiteral("the run stopped: no database connection");
        break;
    case roTerminated:
        how = FCurrentStep >= 0
                  ? QStringLiteral("the run was stopped by %1 during the %2 step").arg(FSignal, CurrentStepName())
                  : QStringLiteral("the run was stopped by %1").arg(FSignal);
        break;
    case roLocked:
        how = QStringLiteral("the run did not start: another run holds its settings file");
        break;
    }
    return QStringLiteral("End: %1; exit status %2.").arg(how).arg(ExitStatusOf(FOutcome));
}

void TVandrelRun::RequestExit(int aStatus)
{
    FExitStatus = aStatus;
    Q_EMIT ExitRequested(aStatus);
}
