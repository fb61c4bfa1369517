// SPDX-License-Identifier: MIT
#pragma once

#include "UWorker.h"
#include "VandrelForm.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class QCheckBox;
class TDBConnection;
class TDBQuery;

namespace UFtpTransfer {
enum TFtpStatus : int;
}

/// Exit statuses of the program.
enum TExitStatus : int {
    esSuccess = 0,
    esRunFailed = 1,          ///< a step reported an error, the run stopped on one, or the settings could not be read
    esNothingToDo = 2,        ///< started without a desktop and "Auto Start" is not ticked
    esConnectionRequired = 3, ///< a database step could not obtain a connection
    esTerminated = 4          ///< stopped by SIGTERM or SIGINT
};

/// The main window: the settings, the step check boxes, the run with its worker wait, progress and status report.
class TfrmVandrel : public QWidget
{
    Q_OBJECT
public:
    /// Creates the window (runs FormCreate); aArguments are the command-line arguments after the program name.
    explicit TfrmVandrel(const QStringList& aArguments = {}, QWidget* aParent = nullptr);
    ~TfrmVandrel() override;

    /// The controls.
    std::unique_ptr<TfrmVandrelForm> FUi;

    /// The settings file in use, fixed when the window was created.
    const QString& SettingsFileName() const { return FSettingsFileName; }
    /// The default settings file: vandrel.cfg in the program's configuration folder.
    static QString DefaultSettingsFileName();
    /// The persistent controls, in reverse creation order (the store visits them from last to first).
    const QList<QObject*>& PersistentComponents() const { return FPersistentComponents; }

    // --- Status report and progress
    /// Appends one line to the status report, brings the "Archive" page forward and echoes it to standard output.
    void AddStatusLine(const QString& aText);
    /// Adds a line that reports a failure: the run ends after the current step and the run counts as failed.
    void AddErrorLine(const QString& aText);
    /// Marks the current run as failed.
    void MarkRunFailed();
    /// True when the current (or last) run has failed.
    bool RunFailed() const { return FRunFailed; }
    /// Shows a percentage (clamped to 0..100) on the bar and its label.
    void SetProgress(int aPercent);
    /// The percentage on display.
    int Progress() const { return FPercent; }
    /// Shows the arrow of a direction at a left offset on the illustration strip.
    void ShowArrow(bool aUp, int aLeft);
    /// Hides both arrows.
    void HideArrows();

    // --- Running
    /// Processes pending window events (the worker wait, the FTP progress handler and the countdowns call it).
    void ProcessMessages();
    /// True when the window is closing or the application is quitting: a step ends at once.
    bool Closing() const;
    /// True when a person can answer dialogs (a real display, not the offscreen or minimal platform).
    static bool Interactive();
    /// A worker context linked to this window, for WorkerWait.
    std::shared_ptr<TWorkerContext> NewWorkerContext();
    /// Runs aProc on a TProcThread and waits for it, calling aPoll and processing events every 80 ms, until it ends
    /// or FDBTasking turns false (Cancel). A failure adds aFailurePrefix + its message as an error line.
    /// True when the worker finished successfully.
    bool WorkerWait(const std::shared_ptr<TWorkerContext>& aContext,
                    std::function<void()> aProc,
                    std::function<void()> aPoll,
                    const QString& aFailurePrefix);
    /// Ends the program at once with aStatus (after a fatal message such as a missing connection).
    void ExitProgram(int aStatus);
    /// The exit status the program should end with.
    int ExitStatus() const { return FExitStatus; }
    /// Cancel followed by closing, with a non-zero exit status (SIGTERM, SIGINT).
    void Terminate();
    /// Shows an error message: a message box on a desktop, standard error otherwise.
    void ShowError(const QString& aText);
    /// Sets the length of the Auto Start and Auto Exit countdowns (15 s; tests shorten it).
    void SetCountdownSeconds(int aSeconds) { FCountdownSeconds = aSeconds; }
    /// Fixes the date that generated names use (tests); an invalid date means today.
    void SetToday(const QDate& aDate) { FToday = aDate; }
    /// The six steps, in the order a run calls them.
    enum TStepIndex : int { siBackup, siZip, siUpload, siDownload, siExtract, siRestore, siStepCount };
    /// Replaces the body of one step (embedding and tests); an empty function restores the built-in step.
    void ReplaceStep(TStepIndex aStep, std::function<void()> aCall) { FStepOverrides[aStep] = std::move(aCall); }
    /// Starts the Auto Start handling (runs once, on the first idle moment after creation).
    void AutoStartCountdown();
    /// True while Auto Start is armed (the settings loaded without error and it has not run yet).
    bool AutoStartHooked() const { return FAutoStartHooked; }
    /// Unattended mode (no desktop): no countdowns, and the window closes after the run as Auto Exit would.
    void SetUnattended(bool aUnattended) { FUnattended = aUnattended; }

    /// Set while a worker step is waited for; Cancel clears it.
    std::atomic<bool> FDBTasking{false};
    /// Set while an FTP transfer is under way; Cancel clears it.
    std::atomic<bool> FFTPing{false};

public Q_SLOTS:
    // Handlers, named after their controls.
    void btbnStartClick();
    void btbnCancelClick();
    void btbnSaveClick();
    void tbshtShow();
    void edtBackupFilenameChange();
    void edtArchiveFilenameChange();
    void edtFTPUrlChange();
    void ckbxMoveClick();
    void sdbtnGenerateNameClick();
    void spdbnGenerateArchiveNameClick();
    void spdbnGenerateFTPNameClick();
    void spdbtnBrowseBackupFileClick();
    void spdbtnBrowseArchiveFileClick();
    void spdbtnMSLinkClick();

protected:
    void closeEvent(QCloseEvent* aEvent) override;
    bool eventFilter(QObject* aWatched, QEvent* aEvent) override;

private:
    void FormCreate(const QStringList& aArguments);
    /// Restores the persistent controls; false when the file could not be read (it was moved aside).
    bool LoadSettings(const QString& aFileName);
    void ConnectHandlers();
    void RunSteps();
    void SetRunning(bool aRunning);
    void FinishRun();
    void AutoExitCountdown();
    /// The countdown loop shared by Auto Start and Auto Exit; true when the box is still ticked at its end.
    bool Countdown(QCheckBox* aBox);
    void SetBold(QCheckBox* aBox, bool aBold);
    /// Runs a handler body, turning any failure into an error message (nothing crosses the event loop).
    void Guarded(const std::function<void()>& aBody);
    void AssertWindowThread() const;

    // Steps (each in its own unit).
    void BackupStep();
    void ArchiveStep(bool aExtract);
    void FtpStep(bool aDownload);
    /// Colours the status light by connection phase.
    void IdFTPStatus(UFtpTransfer::TFtpStatus aStatus, const QString& aStatusText);
    /// Shows transfer progress, reports Cancel once and processes events; false abandons the transfer.
    bool IdFTPWork(qint64 aWorkCount, qint64 aWorkTotal);
    void RestoreStep();
    /// The connected database's data, index and used log space in KiB; leaves the connection in that database.
    qint64 ReportDatabaseSize();
    /// Opens the module's connection for a database step. aAskAgain: a failed connection asks the user again
    /// (restore) instead of ending the step (backup). False when the program is ending for want of a connection.
    bool ConnectDatabase(bool aAskAgain);
    /// Makes the connection's information messages (the server's progress) status lines of this window: the
    /// handler, which may run on any thread, posts each message's text to ConnectionInfoMessage.
    void InstallConnectionInfoMessage(TDBConnection& aConnection);
    /// One information message of the connection, on the window thread.
    void ConnectionInfoMessage(const QString& aDescription);
    /// The restore's progress: the size of aFileName against aExpectedSize bytes.
    void ShowRestoreProgress(qint64 aExpectedSize, const QString& aFileName);
    /// After a cancelled database worker: waits (processing events) until it released the connection.
    void WaitForDatabaseWorker(const std::shared_ptr<std::atomic<bool>>& aDone);

    // File naming helpers.
    /// Today at 00:00, the date the generated names use.
    QDateTime Today() const;
    /// Shows a save dialog (on a desktop only) starting from aLastName; the chosen name, or empty.
    QString BrowseForFile(QString& aLastName, const QString& aTitle, const QString& aFilter, const QString& aExtension);
    /// The database of the current connection (empty when there is none).
    QString CurrentDatabaseName() const;
    void ShowConnection();

    QString FSettingsFileName;
    QList<QObject*> FPersistentComponents;
    std::shared_ptr<TWindowLink> FLink;
    std::shared_ptr<TWorkerContext> FCurrentWorker;
    bool FCancelOnce = false;
    qint64 ArchiveSize = 0;
    bool FRunFailed = false;
    bool FClosing = false;
    bool FRunning = false;
    bool FAutoStartHooked = false;
    bool FUnattended = false;
    int FPercent = 0;
    int FExitStatus = esSuccess;
    int FCountdownSeconds = 15;
    std::function<void()> FStepOverrides[siStepCount];
    QDate FToday;
    QString FBackupDialogName;
    QString FArchiveDialogName;
    /// The query object of the size report (created on first use, on the module's connection).
    std::shared_ptr<TDBQuery> ADODataSet;
};
