// SPDX-License-Identifier: MIT
// The main window: creation, the binding of the controls to the settings, and the display of the run.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TShape.h"
#include "UConnectionStringManager.h"
#include "UDataLinkDialog.h"
#include "UFtpTransfer.h"
#include "VandrelHeadless.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

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
    FUi->shpProgressArea->installEventFilter(this);
    FLog = std::make_unique<TRunLog>();
    FRun = new TVandrelRun([this] { return Settings(); }, *this, this);
    // A countdown never acts behind a dialog: it waits until the dialog is closed.
    FRun->SetCountdownGate([] { return QApplication::activeModalWidget() == nullptr; });
    ConnectHandlers();
    ConnectRun();
    FormCreate(aArguments);
}

TfrmVandrel::~TfrmVandrel()
{
    // The run lets go of a step still under way; nothing the worker does later reaches this window.
    FRun->Close();
    if (FWaitCursor)
        QApplication::restoreOverrideCursor();
}

void TfrmVandrel::ConnectHandlers()
{
    TfrmVandrelForm& ui = *FUi;
    connect(ui.btbnStart, &QPushButton::clicked, this, &TfrmVandrel::btbnStartClick);
    connect(ui.btbnCancel, &QPushButton::clicked, this, &TfrmVandrel::btbnCancelClick);
    connect(ui.btbnSave, &QPushButton::clicked, this, &TfrmVandrel::btbnSaveClick);
    connect(ui.btbnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(ui.PageControl, &QTabWidget::currentChanged, this, &TfrmVandrel::tbshtShow);
    for (QLineEdit* edit : {ui.edtBackupFilename, ui.edtRestorePhysicalData, ui.edtRestorePhysicalLog})
        connect(edit, &QLineEdit::textChanged, this, &TfrmVandrel::edtBackupFilenameChange);
    connect(ui.edtArchiveFilename, &QLineEdit::textChanged, this, &TfrmVandrel::edtArchiveFilenameChange);
    connect(ui.edtFTPUrl, &QLineEdit::textChanged, this, &TfrmVandrel::edtFTPUrlChange);
    for (QCheckBox* box : {ui.ckbxMove, ui.ckbxCompressBackup, ui.ckbxAppend})
        connect(box, &QCheckBox::toggled, this, &TfrmVandrel::ckbxMoveClick);
    connect(ui.sdbtnGenerateName, &QToolButton::clicked, this, &TfrmVandrel::sdbtnGenerateNameClick);
    connect(ui.spdbnGenerateArchiveName, &QToolButton::clicked, this, &TfrmVandrel::spdbnGenerateArchiveNameClick);
    connect(ui.spdbnGenerateFTPName, &QToolButton::clicked, this, &TfrmVandrel::spdbnGenerateFTPNameClick);
    connect(ui.spdbtnBrowseBackupFile, &QToolButton::clicked, this, &TfrmVandrel::spdbtnBrowseBackupFileClick);
    connect(ui.spdbtnBrowseArchiveFile, &QToolButton::clicked, this, &TfrmVandrel::spdbtnBrowseArchiveFileClick);
    connect(ui.spdbtnMSLink, &QToolButton::clicked, this, &TfrmVandrel::spdbtnMSLinkClick);
}

void TfrmVandrel::ConnectRun()
{
    TVandrelRun* run = FRun;
    connect(run, &TVandrelRun::StateChanged, this, &TfrmVandrel::ShowState);
    connect(run, &TVandrelRun::StepStarted, this, &TfrmVandrel::ShowStep);
    connect(run, &TVandrelRun::StatusLine, this, [this](const QString& aLine, bool) { AddStatusLine(aLine); });
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
    });
    connect(run, &TVandrelRun::CountdownEnded, this, [this](bool aAutoExit) {
        SetBold(aAutoExit ? FUi->ckbxAutoExit : FUi->ckbxAutomated, true);
        SetProgress(0);
    });
    connect(run, &TVandrelRun::ExitRequested, this, [this](int aStatus) {
        close();
        QCoreApplication::exit(aStatus);
    });
}

void TfrmVandrel::FormCreate(const QStringList& aArguments)
{
    const TCommandLine commandLine = ParseCommandLine(aArguments);
    FSettingsFileName = commandLine.SettingsFile.isEmpty() ? DefaultSettingsFileName()
                                                           : QFileInfo(commandLine.SettingsFile).absoluteFilePath();
    // The job's own connection file beside its settings file comes before the shared ones.
    TConnectionStringManager::SetConfigurationFile(FSettingsFileName);
    FRun->SetSettingsFile(FSettingsFileName);
    FRun->SetStallTimeout(commandLine.StallTimeoutSeconds);
    setWindowTitle(QStringLiteral("Database Vandrel -- ") + QFileInfo(FSettingsFileName).fileName());
    // A line for the person at the window, before anything the run reports (the demo says what to do with it).
    if (const QString hint = qEnvironmentVariable("DBVANDREL_HINT"); !hint.isEmpty()) {
        FUi->mmoShell->appendPlainText(hint);
        FUi->PageControl->setCurrentWidget(FUi->tbshtArchive);
    }
    const TSettingsFileState state = SettingsFileState(FSettingsFileName);
    if (state == sfFolder) {
        FRefused = true;
        FRun->SetExitStatus(esNothingToDo);
        ShowError(QStringLiteral("%1 is a folder, not a settings file.").arg(FSettingsFileName));
        return;
    }
    FLog = std::make_unique<TRunLog>(FSettingsFileName);
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
        SaveSettingsFile(FSettingsFileName, cSettingsKey, Settings());
    });
}

TVandrelSettings TfrmVandrel::Settings() const
{
    TVandrelSettings settings = FApplied;
    for (const auto& [field, control] : FBound) {
        if (const auto* box = qobject_cast<const QCheckBox*>(control); box && field->Checked)
            settings.*field->Checked = box->isChecked();
        else if (const auto* edit = qobject_cast<const QLineEdit*>(control); edit && field->Text)
            settings.*field->Text = edit->text();
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

void TfrmVandrel::AddStatusLine(const QString& aText)
{
    AssertWindowThread();
    FUi->mmoShell->appendPlainText(VandrelConsole::ForDisplay(aText));
    FUi->PageControl->setCurrentWidget(FUi->tbshtArchive);
    FLog->Line(aText);
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
    QLabel* arrow = aUp ? FUi->imgArrowUp : FUi->imgArrowDown;
    arrow->move(aLeft, arrow->y());
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
