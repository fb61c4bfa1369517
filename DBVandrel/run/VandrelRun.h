// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelSettings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

class TProcThread;
class TSettingsLock;
class TRunChannel;

/// Exit statuses of the program.
enum TExitStatus : int {
    esSuccess = 0,
    esRunFailed = 1,          ///< a step reported an error, the run stopped on one, or the settings could not be read
    esNothingToDo = 2,        ///< nothing to do, a usage error, or a named settings file that is missing or a folder
    esConnectionRequired = 3, ///< a database step could not obtain a connection
    esTerminated = 4,         ///< stopped by SIGTERM or SIGINT
    esLocked = 5              ///< another run of the same settings file holds it
};

/// Where a run stands.
enum TRunState : int {
    rsIdle,         ///< no run yet, or the Auto Start countdown was called off
    rsCountingDown, ///< the Auto Start countdown is under way
    rsRunning,      ///< a step is under way
    rsCancelling,   ///< Cancel was pressed: the current step is told to stop and its end is awaited
    rsFinished      ///< the run ended and its unkept files are gone
};

/// How a run ended.
enum TRunOutcome : int {
    roNone,               ///< no run has ended yet
    roSuccess,            ///< every ticked step ran
    roCancelled,          ///< Cancel stopped the run
    roFailed,             ///< a step failed; the later steps did not run
    roConnectionRequired, ///< a database step could not obtain a connection: the program ends at once
    roTerminated,         ///< stopped by SIGTERM or SIGINT
    roLocked              ///< another run of the same settings file holds it: nothing ran
};

/// The exit status of the program after a run that ended with aOutcome.
TExitStatus ExitStatusOf(TRunOutcome aOutcome);

/// The six steps, in the order a run calls them.
enum TStepIndex : int { siBackup, siZip, siUpload, siDownload, siExtract, siRestore, siStepCount };

/// The step's name in the log ("Zip Archive").
QString StepName(TStepIndex aStep);
/// True when aSettings tick the step aStep.
bool StepTicked(const TVandrelSettings& aSettings, TStepIndex aStep);

/// The direction of the arrow on the illustration strip.
enum TArrowDirection : int { adNone, adUp, adDown };

/// The questions a run may have to ask a person. The window answers with dialogs; a run without a display answers
/// "no" and writes errors on standard error. Called on the thread that owns the run.
class IRunPrompts
{
public:
    virtual ~IRunPrompts() = default;
    /// True when a person can answer.
    virtual bool CanAsk() const = 0;
    /// Asks a yes/no question; true for yes.
    virtual bool Confirm(const QString& aQuestion) = 0;
    /// Shows an error that a person must see (a message box, or standard error).
    virtual void ShowError(const QString& aText) = 0;
};

/// The failure that ends the program: a database step could not obtain a connection.
class EConnectionRequired : public std::exception
{
public:
    /// aReason: why the connection could not be had (the driver's or server's message), when known.
    explicit EConnectionRequired(QString aReason = QString())
        : FReason(std::move(aReason))
    {
    }
    /// The message the user is shown.
    static QString Text() { return QStringLiteral("Connection Required: Application must exit."); }
    /// Why the connection could not be had; empty when unknown (the user cancelled the dialog).
    const QString& Reason() const { return FReason; }
    /// Its text as UTF-8.
    const char* what() const noexcept override { return "Connection Required: Application must exit."; }

private:
    QString FReason;
};

/// What a step sees while it works on its worker thread: the settings as they stood when it started, the cancel
/// flag, and the way to report to whoever shows the run. Reports are queued to the run's thread; once the run has
/// let go of the step (closing, or a step that would not stop), they are dropped.
class TStepContext
{
public:
    /// Made by the run for one step.
    TStepContext(TVandrelSettings aSettings, QDateTime aToday, std::shared_ptr<TRunChannel> aChannel);

    /// The settings as they stood when the step started.
    const TVandrelSettings& Settings() const { return FSettings; }
    /// Today at 00:00, the date generated names use.
    const QDateTime& Today() const { return FToday; }
    /// True until the run is cancelled or closed; long work polls it and stops when it turns false.
    const std::atomic<bool>& Running() const { return FRunning; }
    /// True once the run told the step to stop.
    bool Cancelled() const { return !FRunning.load(); }
    /// Tells the step to stop (the run's Cancel).
    void Cancel() { FRunning = false; }
    /// Marks whether the step waits in a call that cannot be interrupted but may be abandoned without harm (a
    /// database login): Cancel then lets go of the step at once instead of waiting for it.
    void SetAbandonable(bool aValue) { FAbandonable = aValue; }
    /// True while the step may be abandoned at once.
    bool Abandonable() const { return FAbandonable.load(); }

    /// Adds a line to the status report.
    void Status(const QString& aLine) const;
    /// Adds a message of the database server to the status report; unlike Status it leaves the page in front.
    void ServerMessage(const QString& aLine) const;
    /// Shows a percentage on the progress bar.
    void Progress(int aPercent) const;
    /// Shows the arrow of a direction at a left offset on the illustration strip.
    void Arrow(TArrowDirection aDirection, int aLeft) const;
    /// Colours the FTP status light (a UFtpTransfer::TFtpStatus).
    void FtpStatus(int aStatus) const;
    /// Shows the connection's server and database.
    void Connection(const QString& aServer, const QString& aDatabase) const;
    /// Says what the step did, for the line that ends it in the log (files, bytes, speed, server).
    void Summary(const QString& aText);
    /// What the step said it did.
    QString SummaryText() const;
    /// True when a person can answer questions.
    bool Interactive() const;
    /// Seconds without a message from the server after which a running backup is given up (0: never).
    int StallTimeout() const { return FStallTimeout; }
    /// Sets the stall time-out (the run does, from its command line).
    void SetStallTimeout(int aSeconds) { FStallTimeout = aSeconds; }
    /// The settings file the run is of; empty when it has none (the job keeps its restore record beside it).
    const QString& SettingsFile() const { return FSettingsFile; }
    /// Sets the settings file (the run does).
    void SetSettingsFile(const QString& aFileName) { FSettingsFile = aFileName; }
    /// Asks a yes/no question on the run's thread and waits for the answer; "no" once the run let go of the step.
    bool Confirm(const QString& aQuestion) const;
    /// Shows an error a person must see, on the run's thread, and waits until it was seen.
    void ShowError(const QString& aText) const;

private:
    TVandrelSettings FSettings;
    QDateTime FToday;
    std::shared_ptr<TRunChannel> FChannel;
    std::atomic<bool> FRunning{true};
    std::atomic<bool> FAbandonable{false};
    int FStallTimeout = 1800;
    QString FSettingsFile;
    mutable std::mutex FSummaryLock;
    QString FSummary;
};

/// One step of a run. Run is called on a worker thread; it reports through the context and fails by throwing
/// (EVandrel with the status line that reports the failure, or EConnectionRequired).
class IVandrelStep
{
public:
    virtual ~IVandrelStep() = default;
    /// Does the step's work; returns when done, or early when the context is cancelled.
    virtual void Run(TStepContext& aContext) = 0;
};

/// The built-in step of aIndex.
std::shared_ptr<IVandrelStep> MakeStep(TStepIndex aIndex);

/// A run of the ticked steps, with the Auto Start and Auto Exit countdowns and the clean-up after it. Lives on the
/// thread that shows it (the window's, or the main thread without a display); each step runs on a worker of its own.
/// Nothing here waits: the run moves on when a worker reports its end.
class TVandrelRun : public QObject
{
    Q_OBJECT
public:
    /// Reads the settings as they stand now (the window's controls, or the loaded file).
    using TSettingsSource = std::function<TVandrelSettings()>;
    /// True when a countdown may act now (the window: no modal dialog is open).
    using TGate = std::function<bool()>;

    /// A run over the built-in steps; aPrompts must outlive the run.
    TVandrelRun(TSettingsSource aSettings, IRunPrompts& aPrompts, QObject* aParent = nullptr);
    ~TVandrelRun() override;

    /// The state of the run.
    TRunState State() const { return FState; }
    /// True while a step runs or a cancelled one is awaited.
    bool Active() const { return FState == rsRunning || FState == rsCancelling; }
    /// How the last run ended.
    TRunOutcome Outcome() const { return FOutcome; }
    /// The exit status the program should end with.
    int ExitStatus() const { return FExitStatus; }
    /// Sets the exit status without a run (settings that could not be read, nothing to do).
    void SetExitStatus(int aStatus) { FExitStatus = aStatus; }

    /// Replaces one step (tests, embedding); null restores the built-in one.
    void SetStep(TStepIndex aIndex, std::shared_ptr<IVandrelStep> aStep);
    /// Unattended: no countdowns, and the program is asked to exit after the run as Auto Exit would.
    void SetUnattended(bool aUnattended) { FUnattended = aUnattended; }
    /// Sets the length of the Auto Start and Auto Exit countdowns (15 s; tests shorten it).
    void SetCountdownSeconds(int aSeconds) { FCountdownSeconds = aSeconds; }
    /// Sets what a countdown asks before it acts; it waits while the gate says no.
    void SetCountdownGate(TGate aGate) { FGate = std::move(aGate); }
    /// Fixes the date that generated names use (tests); an invalid date means today.
    void SetToday(const QDate& aDate) { FToday = aDate; }
    /// Today at 00:00, the date generated names use.
    QDateTime Today() const;
    /// The settings file the run is of: a run holds its lock while it lasts (none when the file does not exist).
    void SetSettingsFile(const QString& aFileName) { FSettingsFile = aFileName; }
    /// Seconds without a message from the server after which a running backup is given up (0: never).
    void SetStallTimeout(int aSeconds) { FStallTimeout = aSeconds; }
    /// How long a cancelled step may take to stop before the run lets go of it (10 s; tests shorten it).
    void SetCancelGraceMs(int aMs) { FCancelGraceMs = aMs; }

    /// Whole seconds left before the countdown under way acts.
    int CountdownSecondsLeft() const
    {
        return FCountdownClock.isValid() ? qMax(0, FCountdownSeconds - int(FCountdownClock.elapsed() / 1000)) : 0;
    }
    /// Starts the Auto Start countdown when "Auto Start" is ticked (at once when unattended).
    void AutoStart();
    /// Starts a run of the ticked steps; ends a countdown; does nothing while a run is active.
    void Start();
    /// Cancels the countdown, or tells the current step to stop; the run ends when it has stopped.
    void Cancel();
    /// Ends at once for the program's end: the current step is told to stop and let go of, the unkept files are
    /// removed, and no countdown follows.
    void Close();
    /// SIGTERM or SIGINT (aSignal names it): cancels the run, and asks the program to exit with esTerminated once it
    /// has ended.
    void Terminate(const QString& aSignal = QString());

Q_SIGNALS:
    /// The state changed.
    void StateChanged(TRunState aState);
    /// A step is about to start (the window brings its page forward).
    void StepStarted(TStepIndex aIndex);
    /// A line for the status report; aFailure marks the line that reports a failure.
    void StatusLine(const QString& aLine, bool aFailure);
    /// A message of the database server for the status report (its progress, its completion): shown like a status
    /// line, but it does not bring the report's page forward.
    void ServerLine(const QString& aLine);
    /// The progress bar's percentage.
    void ProgressChanged(int aPercent);
    /// The arrow on the illustration strip (adNone hides both).
    void ArrowChanged(TArrowDirection aDirection, int aLeft);
    /// The FTP status light (a UFtpTransfer::TFtpStatus).
    void FtpStatusChanged(int aStatus);
    /// The connection a database step uses.
    void ConnectionChanged(const QString& aServer, const QString& aDatabase);
    /// A countdown ticks: aAutoExit tells which one; aBold blinks its box.
    void CountdownTick(bool aAutoExit, int aPercent, bool aBold);
    /// A countdown ended (its box turns bold again).
    void CountdownEnded(bool aAutoExit);
    /// A line for the log only (standard output and the history file): what the run does, step by step.
    void LogLine(const QString& aLine);
    /// The run ended with aOutcome; the unkept files are gone.
    void Finished(TRunOutcome aOutcome);
    /// The program should end with aStatus (Auto Exit, no connection, a signal).
    void ExitRequested(int aStatus);

private:
    friend class TRunChannel;

    void SetState(TRunState aState);
    /// Takes the settings file's lock; false (with a failure line) when another run holds it.
    bool TakeLock();
    void NextStep();
    void StepEnded();
    void LetGoOfStep();
    void Finish();
    void FinishRun();
    void BeginCountdown(bool aAutoExit);
    void CountdownTimeout();
    void EndCountdown(bool aAct);
    void RequestExit(int aStatus);
    /// The last line of the log: how the run ended and with which exit status.
    QString EndLine() const;
    /// The name of the step under way in the log (the retention after the last step is "Retention").
    QString CurrentStepName() const;

    TSettingsSource FSettings;
    IRunPrompts& FPrompts;
    std::array<std::shared_ptr<IVandrelStep>, siStepCount> FSteps;
    quint64 FStepSerial = 0;
    std::shared_ptr<TRunChannel> FChannel;
    std::shared_ptr<TStepContext> FContext;
    TProcThread* FWorker = nullptr;
    QTimer FGraceTimer;
    QTimer FCountdownTimer;
    TGate FGate;
    TRunState FState = rsIdle;
    TRunOutcome FOutcome = roNone;
    int FExitStatus = esSuccess;
    int FNextStep = 0;
    int FCountdownSeconds = 15;
    int FCancelGraceMs = 10000;
    QElapsedTimer FCountdownClock;
    bool FCountingExit = false;
    bool FUnattended = false;
    bool FClosing = false;
    bool FTerminating = false;
    QDate FToday;
    QString FSettingsFile;
    int FStallTimeout = 1800;
    std::unique_ptr<TSettingsLock> FLock;
    QElapsedTimer FStepClock;
    int FCurrentStep = -1;
    QString FSignal;
};
