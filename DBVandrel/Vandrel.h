// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelCommandLine.h"
#include "VandrelForm.h"
#include "VandrelLog.h"
#include "VandrelRun.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class TCheckChannel;

/// The main window: shows a run and its settings. Its controls are bound to the settings value the run reads;
/// it shows what the run signals and answers the run's questions with dialogs.
class TfrmVandrel : public QWidget, private IRunPrompts
{
    Q_OBJECT
public:
    /// Creates the window (runs FormCreate); aArguments are the command-line arguments after the program name.
    explicit TfrmVandrel(const QStringList& aArguments = {}, QWidget* aParent = nullptr);
    ~TfrmVandrel() override;

    /// The controls.
    std::unique_ptr<TfrmVandrelForm> FUi;

    /// Switches the window to another settings file (its lock, history log and connection file follow) and shows
    /// its settings; a missing file is a new configuration. False when it was refused or could not be read in full.
    bool OpenSettingsFile(const QString& aFileName);
    /// Saves the settings under another name (the job's own connection file is copied beside it) and switches the
    /// window to it. False when it was refused or could not be saved.
    bool SaveSettingsAs(const QString& aFileName);
    /// The settings file in use: named at start, or opened or saved as since.
    const QString& SettingsFileName() const { return FSettingsFileName; }
    /// The default settings file: vandrel.cfg in the program's configuration folder.
    static QString DefaultSettingsFileName() { return ::DefaultSettingsFileName(); }
    /// The settings as the controls show them now; records without a control keep the values last applied.
    TVandrelSettings Settings() const;
    /// Shows aSettings in the controls (and keeps the records that have none).
    void ApplySettings(const TVandrelSettings& aSettings);
    /// The run this window shows.
    TVandrelRun& Run() { return *FRun; }

    // --- Status report and progress
    /// Appends one line to the status report, brings the "Archive" page forward and echoes it to standard output.
    void AddStatusLine(const QString& aText, bool aFailure = false);
    /// Appends a database server's message to the status report and the log; the page in front stays.
    void AddServerLine(const QString& aText);
    /// Shows a percentage (clamped to 0..100) on the bar and its label.
    void SetProgress(int aPercent);
    /// The percentage on display.
    int Progress() const { return FPercent; }
    /// Shows the arrow of a direction at a left offset on the illustration strip.
    void ShowArrow(bool aUp, int aLeft);
    /// Hides both arrows.
    void HideArrows();

    // --- Running
    /// True when a person can answer dialogs (a real display, not the offscreen or minimal platform).
    static bool Interactive();
    /// The exit status the program should end with.
    int ExitStatus() const { return FRun->ExitStatus(); }
    /// SIGTERM or SIGINT (aSignal names it): cancels the run, then closes with a non-zero exit status.
    void Terminate(const QString& aSignal = QString());
    /// Shows an error message: a message box on a desktop, standard error otherwise.
    void ShowError(const QString& aText) override;
    /// Sets the length of the Auto Start and Auto Exit countdowns (15 s; tests shorten it).
    void SetCountdownSeconds(int aSeconds) { FRun->SetCountdownSeconds(aSeconds); }
    /// Fixes the date that generated names use (tests); an invalid date means today.
    void SetToday(const QDate& aDate) { FRun->SetToday(aDate); }
    /// Replaces one step (embedding and tests); null restores the built-in step.
    void ReplaceStep(TStepIndex aIndex, std::shared_ptr<IVandrelStep> aStep)
    {
        FRun->SetStep(aIndex, std::move(aStep));
    }
    /// True when the command line named a folder instead of a settings file: the program ends at once.
    bool Refused() const { return FRefused; }
    /// True while Auto Start is armed (the settings loaded without error and it has not run yet).
    bool AutoStartHooked() const { return FAutoStartHooked; }

public Q_SLOTS:
    // Handlers, named after their controls.
    void btbnStartClick();
    void btbnCancelClick();
    void btbnSaveClick();
    void btbnOpenClick();
    void btbnSaveAsClick();
    /// Checks the job as the controls show it on a worker; its lines go to the status report as they come.
    void btbnCheckClick();
    void tbshtShow();
    void edtBackupFilenameChange();
    void edtArchiveFilenameChange();
    void edtFTPUrlChange();
    /// Shows the controls of the chosen protocol: the SSH key for SFTP, passive mode for FTP and FTPS.
    void FTPProtocolChange();
    void ckbxMoveClick();
    /// Says beside each generated name whether a start makes it anew.
    void ShowNameHints();
    void sdbtnGenerateNameClick();
    void spdbnGenerateArchiveNameClick();
    void spdbnGenerateFTPNameClick();
    void spdbtnBrowseBackupFileClick();
    void spdbtnBrowseArchiveFileClick();
    void spdbtnMSLinkClick();
    void spdbtnFillRestorePathsClick();

protected:
    void closeEvent(QCloseEvent* aEvent) override;
    bool eventFilter(QObject* aWatched, QEvent* aEvent) override;

private:
    // Answers to the run's questions.
    bool Confirm(const QString& aQuestion) override;
    bool CanAsk() const override { return Interactive(); }

    void FormCreate(const QStringList& aArguments);
    /// Makes aFileName the settings file in use: caption, lock, history log, connection file.
    void UseSettingsFile(const QString& aFileName);
    /// Restores the settings file into the controls (an empty name: the defaults); false when the file could not be
    /// read (it was moved aside).
    bool LoadSettings(const QString& aFileName);
    void ConnectHandlers();
    void ConnectRun();
    /// Shows the run's state: Start or Cancel, the wait cursor and the connection button.
    void ShowState(TRunState aState);
    void ShowStep(TStepIndex aIndex);
    /// Appends one line to the status report (a failure stands out) and the log.
    void AppendReportLine(const QString& aText, bool aFailure);
    /// The last line of a run in the status report: done, or failed with the reason.
    void ShowOutcome(TRunOutcome aOutcome);
    /// The countdown's seconds left in words.
    static QString CountdownText(bool aAutoExit, int aSecondsLeft);
    void SetBold(QCheckBox* aBox, bool aBold);
    /// Colours the status light by connection phase (a UFtpTransfer::TFtpStatus).
    void IdFTPStatus(int aStatus);
    /// Runs a handler body, turning any failure into an error message (nothing crosses the event loop).
    void Guarded(const std::function<void()>& aBody);
    void AssertWindowThread() const;

    // File naming helpers.
    /// Shows a save dialog (on a desktop only) starting from aLastName; the chosen name, or empty.
    QString BrowseForFile(QString& aLastName, const QString& aTitle, const QString& aFilter, const QString& aExtension);
    /// The database of the current connection (empty when there is none).
    QString CurrentDatabaseName() const;
    void ShowConnection();

    QString FSettingsFileName;
    /// The settings last applied: the source of the records that no control shows.
    TVandrelSettings FApplied;
    /// Every record that a control shows, with that control.
    QList<std::pair<const TSettingField*, QWidget*>> FBound;
    TVandrelRun* FRun = nullptr;
    /// Standard output and the job's history file.
    std::unique_ptr<TRunLog> FLog;
    bool FAutoStartHooked = false;
    /// The failure line of the run under way (empty while nothing failed).
    QString FLastFailure;
    bool FRefused = false;
    bool FWaitCursor = false;
    int FPercent = 0;
    /// The check under way, if any.
    std::shared_ptr<TCheckChannel> FCheck;
    QString FBackupDialogName;
    QString FArchiveDialogName;
};
