// SPDX-License-Identifier: MIT
// The main window: creation, the binding of the controls to the settings, and the display of the run.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TIllustration.h"
#include "TShape.h"
#include "UConnectionStringManager.h"
#include "UDatConModule.h"
#include "UDataLinkDialog.h"
#include "UFtpTransfer.h"
#include "UPersistRecords.h"
#include "UWorker.h"
#include "VandrelCheck.h"
#include "VandrelDatabase.h"
#include "VandrelHeadless.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <mutex>

/// The way from a check's worker to the window: calls queued to the window while it waits for the check, dropped
/// once it let go of it (closing); Running tells the check to stop.
class TCheckChannel
{
public:
    explicit TCheckChannel(TfrmVandrel* aWindow)
        : FWindow(aWindow)
    {
    }
    /// Queues aCall to the window's thread; dropped once the window let go of the check. Any thread.
    void Post(std::function<void(TfrmVandrel&)> aCall)
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FWindow)
            return;
        TfrmVandrel* window = FWindow;
        QMetaObject::invokeMethod(
            window, [window, call = std::move(aCall)] { call(*window); }, Qt::QueuedConnection);
    }
    /// The window no longer waits: later calls are dropped and the check stops.
    void Detach()
    {
        std::lock_guard<std::mutex> guard(FLock);
        FWindow = nullptr;
        Running = false;
    }
    /// True until the window let go of the check.
    std::atomic<bool> Running{true};

private:
    std::mutex FLock;
    TfrmVandrel* FWindow;
};

namespace {
/// Every record with the control of aForm that shows it (a record without a control is left out).
QList<std::pair<const TSettingField*, QWidget*>> BoundFields(const QWidget& aForm)
{
    QList<std::pair<const TSettingField*, QWidget*>> bound;
    const auto add = [&](const TSettingField& aField) {
        if (auto* control = aForm.findChild<QWidget*>(QLatin1String(aField.Name)))
            bound.append({&aField, control});
    };
    for (const TSettingField& field : SettingFields())
        add(field);
    for (const TSettingField& field : AddedSettingFields())
        add(field);
    return bound;
}
} // namespace

TfrmVandrel::TfrmVandrel(const QStringList& aArguments, QWidget* aParent)
    : QWidget(aParent)
    , FUi(std::make_unique<TfrmVandrelForm>())
{
    FUi->setupUi(this);
    // The run reads the settings at every countdown tick and step: the controls are looked up once.
    FBound = BoundFields(*this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    // The window opens in the middle of the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QRect(QPoint(), size().expandedTo(minimumSizeHint())).center());
    FUi->shpProgressArea->installEventFilter(this);
    FLog = std::make_unique<TRunLog>();
    FRun = new TVandrelRun([this] { return Settings(); }, *this, this);
    // A countdown never acts behind a dialog: it waits until the dialog is closed.
    FRun->SetCountdownGate([] { return QApplication::activeModalWidget() == nullptr; });
    ConnectHandlers();
    FTPProtocolChange();
    ConnectRun();
    FormCreate(aArguments);
}

TfrmVandrel::~TfrmVandrel()
{
    // The run lets go of a step still under way; nothing the worker does later reaches this window.
    FRun->Close();
    if (FCheck)
        FCheck->Detach();
    if (FWaitCursor)
        QApplication::restoreOverrideCursor();
}

void TfrmVandrel::ConnectHandlers()
{
    TfrmVandrelForm& ui = *FUi;
    connect(ui.btbnStart, &QPushButton::clicked, this, &TfrmVandrel::btbnStartClick);
    connect(ui.btbnCancel, &QPushButton::clicked, this, &TfrmVandrel::btbnCancelClick);
    connect(ui.btbnSave, &QPushButton::clicked, this, &TfrmVandrel::btbnSaveClick);
    connect(ui.btbnOpen, &QPushButton::clicked, this, &TfrmVandrel::btbnOpenClick);
    connect(ui.btbnSaveAs, &QPushButton::clicked, this, &TfrmVandrel::btbnSaveAsClick);
    connect(ui.btbnCheck, &QPushButton::clicked, this, &TfrmVandrel::btbnCheckClick);
    connect(ui.btbnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(ui.PageControl, &QTabWidget::currentChanged, this, &TfrmVandrel::tbshtShow);
    for (QLineEdit* edit : {ui.edtBackupFilename, ui.edtRestorePhysicalData, ui.edtRestorePhysicalLog})
        connect(edit, &QLineEdit::textChanged, this, &TfrmVandrel::edtBackupFilenameChange);
    connect(ui.edtArchiveFilename, &QLineEdit::textChanged, this, &TfrmVandrel::edtArchiveFilenameChange);
    connect(ui.edtFTPUrl, &QLineEdit::textChanged, this, &TfrmVandrel::edtFTPUrlChange);
    connect(ui.FTPProtocol, &QComboBox::currentTextChanged, this, &TfrmVandrel::FTPProtocolChange);
    for (QCheckBox* box : {ui.ckbxMove, ui.ckbxCompressBackup, ui.ckbxAppend})
        connect(box, &QCheckBox::toggled, this, &TfrmVandrel::ckbxMoveClick);
    for (QLineEdit* format : {ui.edtBackupNameFormat, ui.edtArchiveDateBasedName, ui.edtFTPNameFormat})
        connect(format, &QLineEdit::textChanged, this, &TfrmVandrel::ShowNameHints);
    ShowNameHints();
    connect(ui.sdbtnGenerateName, &QToolButton::clicked, this, &TfrmVandrel::sdbtnGenerateNameClick);
    connect(ui.spdbnGenerateArchiveName, &QToolButton::clicked, this, &TfrmVandrel::spdbnGenerateArchiveNameClick);
    connect(ui.spdbnGenerateFTPName, &QToolButton::clicked, this, &TfrmVandrel::spdbnGenerateFTPNameClick);
    connect(ui.spdbtnBrowseBackupFile, &QToolButton::clicked, this, &TfrmVandrel::spdbtnBrowseBackupFileClick);
    connect(ui.spdbtnBrowseArchiveFile, &QToolButton::clicked, this, &TfrmVandrel::spdbtnBrowseArchiveFileClick);
    connect(ui.spdbtnMSLink, &QToolButton::clicked, this, &TfrmVandrel::spdbtnMSLinkClick);
    connect(ui.spdbtnFillRestorePaths, &QToolButton::clicked, this, &TfrmVandrel::spdbtnFillRestorePathsClick);
}

void TfrmVandrel::ConnectRun()
{
    TVandrelRun* run = FRun;
    connect(run, &TVandrelRun::StateChanged, this, &TfrmVandrel::ShowState);
    connect(run, &TVandrelRun::StepStarted, this, &TfrmVandrel::ShowStep);
    connect(run, &TVandrelRun::StatusLine, this, [this](const QString& aLine, bool aFailure) {
        AddStatusLine(aLine, aFailure);
        if (aFailure)
            FLastFailure = aLine;
    });
    connect(run, &TVandrelRun::ServerLine, this, &TfrmVandrel::AddServerLine);
    connect(run, &TVandrelRun::StateChanged, this, [this](TRunState aState) {
        if (aState == rsRunning)
            FLastFailure.clear();
    });
    connect(run, &TVandrelRun::Finished, this, &TfrmVandrel::ShowOutcome);
    connect(run, &TVandrelRun::LogLine, this, [this](const QString& aLine) { FLog->Line(aLine); });
    connect(run, &TVandrelRun::ProgressChanged, this, &TfrmVandrel::SetProgress);
    connect(run, &TVandrelRun::ArrowChanged, this, [this](TArrowDirection aDirection, int aLeft) {
        if (aDirection == adNone)
            HideArrows();
        else
            ShowArrow(aDirection == adUp, aLeft);
    });
    connect(run, &TVandrelRun::FtpStatusChanged, this, &TfrmVandrel::IdFTPStatus);
    connect(run, &TVandrelRun::ConnectionChanged, this, [this](const QString& aServer, const QString& aDatabase) {
        FUi->edtDBServer->setText(aServer);
        FUi->edtDatabases->setText(aDatabase);
    });
    connect(run, &TVandrelRun::CountdownTick, this, [this](bool aAutoExit, int aPercent, bool aBold) {
        SetProgress(aPercent);
        SetBold(aAutoExit ? FUi->ckbxAutoExit : FUi->ckbxAutomated, aBold);
        FUi->lblCountdown->setText(CountdownText(aAutoExit, FRun->CountdownSecondsLeft()));
        FUi->lblCountdown->setVisible(true);
    });
    connect(run, &TVandrelRun::CountdownEnded, this, [this](bool aAutoExit) {
        SetBold(aAutoExit ? FUi->ckbxAutoExit : FUi->ckbxAutomated, true);
        SetProgress(0);
        FUi->lblCountdown->setVisible(false);
    });
    connect(run, &TVandrelRun::ExitRequested, this, [this](int aStatus) {
        close();
        QCoreApplication::exit(aStatus);
    });
}

void TfrmVandrel::FormCreate(const QStringList& aArguments)
{
    const TCommandLine commandLine = ParseCommandLine(aArguments);
    FRun->SetStallTimeout(commandLine.StallTimeoutSeconds);
    UseSettingsFile(commandLine.SettingsFile.isEmpty() ? DefaultSettingsFileName() : commandLine.SettingsFile);
    // A line for the person at the window, before anything the run reports (the demo says what to do with it).
    if (const QString hint = qEnvironmentVariable("DBVANDREL_HINT"); !hint.isEmpty()) {
        FUi->mmoShell->setPlainText(hint);
        FUi->PageControl->setCurrentWidget(FUi->tbshtArchive);
    }
    const TSettingsFileState state = SettingsFileState(FSettingsFileName);
    if (state == sfFolder) {
        FRefused = true;
        FRun->SetExitStatus(esNothingToDo);
        ShowError(QStringLiteral("%1 is a folder, not a settings file.").arg(FSettingsFileName));
        return;
    }
    try {
        // A named file that does not exist yet is a new configuration: defaults, and Save creates it.
        // Settings that could not be read in full must not start a run: half the fields may be defaults.
        if (!LoadSettings(state == sfExisting ? FSettingsFileName : QString()))
            return;
        FAutoStartHooked = true;
        QTimer::singleShot(0, this, [this] {
            FAutoStartHooked = false;
            FRun->AutoStart();
        });
    } catch (...) {
        // The window opens all the same; names are not regenerated and Auto Start is not armed.
        ShowError(CurrentFailureText());
    }
}

void TfrmVandrel::UseSettingsFile(const QString& aFileName)
{
    FSettingsFileName = QFileInfo(aFileName).absoluteFilePath();
    // The job's own connection file beside its settings file comes before the shared ones; the lock and the
    // history log are the file's too.
    TConnectionStringManager::SetConfigurationFile(FSettingsFileName);
    // A connection read for another settings file is let go of: the next database step or the connection button
    // reads this file's.
    TADOConDataModule& module = DatConModule();
    module.Close();
    module.SetFileName(QString());
    module.SetLocationKind(lkAuto);
    FUi->edtDBServer->clear();
    FUi->edtDatabases->clear();
    FRun->SetSettingsFile(FSettingsFileName);
    if (SettingsFileState(FSettingsFileName) != sfFolder)
        FLog = std::make_unique<TRunLog>(FSettingsFileName);
    setWindowTitle(QStringLiteral("Database Vandrel -- ") + QFileInfo(FSettingsFileName).fileName());
    setWindowFilePath(FSettingsFileName);
    const QString shown = QStringLiteral("Settings: ") + QFileInfo(FSettingsFileName).fileName();
    FUi->lblSettingsFile->setText(
        FUi->lblSettingsFile->fontMetrics().elidedText(shown, Qt::ElideMiddle, FUi->pnlCtrl->width() - 24));
    FUi->lblSettingsFile->setToolTip(FSettingsFileName);
    setToolTip(FSettingsFileName);
}

bool TfrmVandrel::OpenSettingsFile(const QString& aFileName)
{
    if (FRun->Active()) {
        ShowError(QStringLiteral("A run is under way: open another settings file when it has ended."));
        return false;
    }
    const TSettingsFileState state = SettingsFileState(aFileName);
    if (state == sfFolder) {
        ShowError(QStringLiteral("%1 is a folder, not a settings file.").arg(aFileName));
        return false;
    }
    UseSettingsFile(aFileName);
    FUi->mmoShell->clear();
    bool loaded = false;
    Guarded([&] { loaded = LoadSettings(state == sfExisting ? FSettingsFileName : QString()); });
    return loaded;
}

bool TfrmVandrel::SaveSettingsAs(const QString& aFileName)
{
    if (FRun->Active()) {
        ShowError(QStringLiteral("A run is under way: save the settings under another name when it has ended."));
        return false;
    }
    const QString target = QFileInfo(aFileName).absoluteFilePath();
    if (SettingsFileState(target) == sfFolder) {
        ShowError(QStringLiteral("%1 is a folder, not a settings file.").arg(target));
        return false;
    }
    const QString previous = FSettingsFileName;
    bool saved = false;
    bool inPlace = false;
    Guarded([&] {
        const QString folder = QFileInfo(target).absolutePath();
        if (!QDir().mkpath(folder))
            throw EVandrel(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
        inPlace = SaveSettingsFile(target, cSettingsKey, Settings()) == UPersistRecords::skRewrittenInPlace;
        // A job's own connection goes with it, unless the new name has one already.
        for (const char* extension : {".udl", ".ini"}) {
            const QString from = QFileInfo(previous).path() + QLatin1Char('/') +
                                 QFileInfo(previous).completeBaseName() + QLatin1String(extension);
            const QString to = QFileInfo(target).path() + QLatin1Char('/') + QFileInfo(target).completeBaseName() +
                               QLatin1String(extension);
            if (from != to && QFileInfo(from).isFile() && !QFileInfo::exists(to)) {
                if (!QFile::copy(from, to))
                    throw EVandrel(QStringLiteral("The settings were saved, but the connection file could not be "
                                                  "copied to \"%1\".")
                                       .arg(to));
                QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            }
        }
        saved = true;
    });
    if (saved) {
        UseSettingsFile(target);
        AddStatusLine(QStringLiteral("Settings saved as %1.").arg(target));
        if (inPlace)
            AddStatusLine(UPersistRecords::RewrittenInPlaceLine(target));
    }
    return saved;
}

void TfrmVandrel::btbnOpenClick()
{
    const QString name = QFileDialog::getOpenFileName(this,
                                                      QStringLiteral("Open Settings"),
                                                      QFileInfo(FSettingsFileName).absolutePath(),
                                                      QStringLiteral("Settings (*.cfg);;All Files (*)"));
    if (!name.isEmpty())
        OpenSettingsFile(name);
}

void TfrmVandrel::btbnSaveAsClick()
{
    QFileDialog dialog(this,
                       QStringLiteral("Save Settings As"),
                       QFileInfo(FSettingsFileName).absolutePath(),
                       QStringLiteral("Settings (*.cfg);;All Files (*)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("cfg"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SaveSettingsAs(dialog.selectedFiles().constFirst());
}

bool TfrmVandrel::LoadSettings(const QString& aFileName)
{
    TVandrelSettings settings = Settings();
    bool loaded = true;
    if (!aFileName.isEmpty()) {
        // An unreadable file is moved aside; the window says so and keeps what was restored.
        const TSettingsLoad load = LoadSettingsFile(aFileName, cSettingsKey, settings);
        if (!load.Ok) {
            AddStatusLine(load.StatusLine);
            loaded = false;
        }
    }
    for (const QString& message : PrepareLoadedSettings(settings, FRun->Today())) {
        if (Interactive())
            QMessageBox::information(this, windowTitle(), VandrelConsole::ForDisplay(message));
        else
            VandrelConsole::WriteLine(stderr, message);
    }
    ApplySettings(settings);
    edtArchiveFilenameChange();
    edtBackupFilenameChange();
    return loaded;
}

void TfrmVandrel::btbnSaveClick()
{
    Guarded([this] {
        FUi->mmoShell->clear();
        // The default settings folder is created when the settings are first saved.
        const QString folder = QFileInfo(FSettingsFileName).absolutePath();
        if (!QDir().mkpath(folder))
            throw EVandrel(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
        if (SaveSettingsFile(FSettingsFileName, cSettingsKey, Settings()) == UPersistRecords::skRewrittenInPlace)
            AddStatusLine(UPersistRecords::RewrittenInPlaceLine(FSettingsFileName));
    });
}

void TfrmVandrel::btbnCheckClick()
{
    AssertWindowThread();
    if (FCheck)
        return;
    const TVandrelSettings settings = Settings();
    // The connection the window has (chosen in the dialog, perhaps not stored) is the one to check.
    QString connectionString;
    if (const VandrelDatabase::TModuleLock lock; lock.Owns())
        connectionString = DatConModule().ConnectionString();
    auto channel = std::make_shared<TCheckChannel>(this);
    FCheck = channel;
    FUi->btbnCheck->setEnabled(false);
    AddStatusLine(QStringLiteral("Checking the ticked steps..."));
    auto* worker = new TProcThread([channel, settings, connectionString] {
        bool passed = false;
        try {
            passed = VandrelCheck::CheckJob(
                settings,
                connectionString,
                [&channel](const VandrelCheck::TCheckLine& aLine) {
                    channel->Post([text = aLine.Text()](TfrmVandrel& aWindow) { aWindow.AddStatusLine(text); });
                },
                channel->Running);
        } catch (...) {
            const QString text = CurrentFailureText();
            channel->Post([text](TfrmVandrel& aWindow) { aWindow.AddStatusLine(text); });
        }
        channel->Post([passed](TfrmVandrel& aWindow) {
            aWindow.AddStatusLine(passed ? QStringLiteral("Check: every check passed.")
                                         : QStringLiteral("Check: not every check passed."));
            aWindow.FCheck.reset();
            aWindow.FUi->btbnCheck->setEnabled(true);
        });
    });
    worker->start();
    worker->Abandon(); // it frees itself when the check has ended
}

TVandrelSettings TfrmVandrel::Settings() const
{
    TVandrelSettings settings = FApplied;
    for (const auto& [field, control] : FBound) {
        if (const auto* box = qobject_cast<const QCheckBox*>(control); box && field->Checked)
            settings.*field->Checked = box->isChecked();
        else if (const auto* edit = qobject_cast<const QLineEdit*>(control); edit && field->Text)
            settings.*field->Text = edit->text();
        else if (const auto* combo = qobject_cast<const QComboBox*>(control); combo && field->Text)
            settings.*field->Text = combo->currentText(); // the text, never the index
    }
    return settings;
}

void TfrmVandrel::ApplySettings(const TVandrelSettings& aSettings)
{
    FApplied = aSettings;
    for (const auto& [field, control] : FBound) {
        if (auto* box = qobject_cast<QCheckBox*>(control); box && field->Checked)
            box->setChecked(aSettings.*field->Checked);
        else if (auto* edit = qobject_cast<QLineEdit*>(control); edit && field->Text)
            edit->setText(aSettings.*field->Text);
        else if (auto* combo = qobject_cast<QComboBox*>(control); combo && field->Text) {
            // Any case in the file; a value this version does not know stays as it is (the step then says so).
            const QString value = aSettings.*field->Text;
            int index = combo->findText(value, Qt::MatchFixedString);
            if (index < 0) {
                combo->addItem(value);
                index = combo->count() - 1;
            }
            combo->setCurrentIndex(index);
        }
    }
}

void TfrmVandrel::AssertWindowThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

void TfrmVandrel::Guarded(const std::function<void()>& aBody)
{
    try {
        aBody();
    } catch (...) {
        ShowError(CurrentFailureText());
    }
}

bool TfrmVandrel::Interactive()
{
    return UDataLinkDialog::HasDesktop();
}

void TfrmVandrel::ShowError(const QString& aText)
{
    if (Interactive())
        QMessageBox::critical(this, windowTitle(), VandrelConsole::ForDisplay(aText));
    else
        VandrelConsole::WriteLine(stderr, aText);
}

bool TfrmVandrel::Confirm(const QString& aQuestion)
{
    return Interactive() && QMessageBox::question(this, windowTitle(), aQuestion, QMessageBox::Yes | QMessageBox::No) ==
                                QMessageBox::Yes;
}

void TfrmVandrel::AddStatusLine(const QString& aText, bool aFailure)
{
    AppendReportLine(aText, aFailure);
    FUi->PageControl->setCurrentWidget(FUi->tbshtArchive);
}

void TfrmVandrel::AddServerLine(const QString& aText)
{
    AppendReportLine(aText, false);
}

void TfrmVandrel::AppendReportLine(const QString& aText, bool aFailure)
{
    AssertWindowThread();
    QTextEdit* report = FUi->mmoShell;
    QTextCursor cursor(report->document());
    cursor.movePosition(QTextCursor::End);
    if (!report->document()->isEmpty())
        cursor.insertBlock();
    // A failure stands out: a red line behind the error icon. Every other line keeps the report's own look.
    QTextCharFormat format;
    if (aFailure) {
        static const QString cIcon = QStringLiteral("vandrel-failure");
        if (report->document()->resource(QTextDocument::ImageResource, QUrl(cIcon)).isNull()) {
            const int size = report->fontMetrics().height();
            report->document()->addResource(
                QTextDocument::ImageResource,
                QUrl(cIcon),
                style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(size, size).toImage());
        }
        QTextImageFormat icon;
        icon.setName(cIcon);
        icon.setVerticalAlignment(QTextCharFormat::AlignMiddle);
        cursor.insertImage(icon);
        cursor.insertText(QStringLiteral(" "));
        format.setForeground(QColor(0xB0, 0x00, 0x20));
        format.setFontWeight(QFont::Bold);
    }
    cursor.insertText(VandrelConsole::ForDisplay(aText), format);
    report->ensureCursorVisible();
    report->verticalScrollBar()->setValue(report->verticalScrollBar()->maximum());
    FLog->Line(aText);
}

QString TfrmVandrel::CountdownText(bool aAutoExit, int aSecondsLeft)
{
    const QString when = aSecondsLeft <= 0   ? QStringLiteral("now")
                         : aSecondsLeft == 1 ? QStringLiteral("in 1 second")
                                             : QStringLiteral("in %1 seconds").arg(aSecondsLeft);
    return aAutoExit ? QStringLiteral("The program closes %1. Untick \"Auto Exit\" to keep it open.").arg(when)
                     : QStringLiteral("The run starts %1. Untick \"Auto Start\" to stop it.").arg(when);
}

void TfrmVandrel::ShowOutcome(TRunOutcome aOutcome)
{
    QString line;
    bool failure = false;
    switch (aOutcome) {
    case roNone:
    case roLocked:
        return;
    case roSuccess:
        line = QStringLiteral("Done: every ticked step succeeded.");
        break;
    case roCancelled:
        line = QStringLiteral("Cancelled: the run was stopped before its end.");
        break;
    case roTerminated:
        line = QStringLiteral("Stopped: the program was told to end.");
        failure = true;
        break;
    case roFailed:
    case roConnectionRequired: {
        // The reason is the failure's first line; its context lines stay in the report above.
        const QString reason = FLastFailure.section(QStringLiteral("\r\n"), 0, 0).trimmed();
        line = reason.isEmpty() ? QStringLiteral("Failed.") : QStringLiteral("Failed: ") + reason;
        failure = true;
        break;
    }
    }
    // The report comes forward with the outcome, but the bar keeps what the run ended with (100% after a restore,
    // whose page stayed in front).
    const int percent = FPercent;
    AddStatusLine(line, failure);
    SetProgress(percent);
}

void TfrmVandrel::SetProgress(int aPercent)
{
    AssertWindowThread();
    FPercent = qBound(0, aPercent, 100);
    const int trackWidth = FUi->shpProgressArea->width();
    const int barWidth = trackWidth != 0 ? static_cast<int>(FPercent / 100.0 * trackWidth) : 0;
    FUi->shpProgress->setGeometry(0, 0, barWidth, FUi->shpProgressArea->height());
    FUi->shpProgress->setVisible(FPercent > 0);
    FUi->lblProgress->setText(QString::number(FPercent) + QLatin1Char('%'));
}

bool TfrmVandrel::eventFilter(QObject* aWatched, QEvent* aEvent)
{
    if (aWatched == FUi->shpProgressArea && aEvent->type() == QEvent::Resize)
        SetProgress(FPercent);
    return QWidget::eventFilter(aWatched, aEvent);
}

void TfrmVandrel::tbshtShow()
{
    SetProgress(0);
}

void TfrmVandrel::ShowArrow(bool aUp, int aLeft)
{
    // The arrow stands over the station the step works on, a little to the right of its picture.
    QLabel* arrow = aUp ? FUi->imgArrowUp : FUi->imgArrowDown;
    const int centre = FUi->pnlIllustration->StationCentre(TIllustration::StationOf(aUp, aLeft));
    arrow->move(centre + 16, arrow->y());
    arrow->setVisible(true);
}

void TfrmVandrel::HideArrows()
{
    FUi->imgArrowUp->setVisible(false);
    FUi->imgArrowDown->setVisible(false);
}

void TfrmVandrel::SetBold(QCheckBox* aBox, bool aBold)
{
    QFont font = aBox->font();
    font.setBold(aBold);
    aBox->setFont(font);
}

void TfrmVandrel::btbnStartClick()
{
    FRun->Start();
}

void TfrmVandrel::btbnCancelClick()
{
    FRun->Cancel();
}

void TfrmVandrel::ShowState(TRunState aState)
{
    const bool running = aState == rsRunning;
    FUi->btbnCancel->setVisible(running);
    FUi->btbnStart->setVisible(!running);
    // A run owns the connection: the button waits until it has ended.
    FUi->spdbtnMSLink->setEnabled(!FRun->Active());
    const bool busy = FRun->Active();
    if (busy != FWaitCursor) {
        FWaitCursor = busy;
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
}

void TfrmVandrel::ShowStep(TStepIndex aIndex)
{
    static constexpr int cPages[siStepCount] = {0, 1, 2, 2, 1, 0};
    QWidget* const pages[] = {FUi->tbshtDatabase, FUi->tbshtArchive, FUi->tbshtFTP};
    FUi->PageControl->setCurrentWidget(pages[cPages[aIndex]]);
}

void TfrmVandrel::IdFTPStatus(int aStatus)
{
    using namespace UFtpTransfer;
    QColor colour;
    switch (static_cast<TFtpStatus>(aStatus)) {
    case fsResolving:
        colour = QColor(0xC0, 0xC0, 0xC0);
        break;
    case fsConnecting:
        colour = QColor(0xA6, 0xCA, 0xF0);
        break;
    case fsConnected:
        colour = QColor(0xC0, 0xDC, 0xC0);
        break;
    case fsStatusText:
        colour = QColor(0xFF, 0xFF, 0x00);
        break;
    case fsTransfer:
        colour = QColor(0x00, 0x80, 0x00);
        break;
    case fsDisconnecting:
        colour = QColor(0x80, 0x80, 0x80);
        break;
    case fsDisconnected:
        colour = QColor(0xFF, 0xFF, 0xFF);
        break;
    case fsTransferReady:
    case fsTransferAborted:
        return;
    }
    FUi->shpStatus->SetBrushColor(colour);
}

void TfrmVandrel::Terminate(const QString& aSignal)
{
    FRun->Terminate(aSignal);
}

void TfrmVandrel::closeEvent(QCloseEvent* aEvent)
{
    // A run in progress is told to stop and let go of; its unkept files are removed.
    FRun->Close();
    aEvent->accept();
}
