// SPDX-License-Identifier: MIT
// The main window: creation, settings file choice, status report, progress display, countdowns and clean-up.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TShape.h"
#include "UFileUtils.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
/// Status lines may carry CR LF between a message and its context lines; widgets and terminals want LF.
QString ForDisplay(QString aText)
{
    aText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return aText;
}

void WriteLine(FILE* aStream, const QString& aText)
{
    const QByteArray bytes = ForDisplay(aText).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), aStream);
    std::fputc('\n', aStream);
    std::fflush(aStream);
}
} // namespace

TfrmVandrel::TfrmVandrel(const QStringList& aArguments, QWidget* aParent)
    : QWidget(aParent)
    , FUi(std::make_unique<TfrmVandrelForm>())
    , FLink(std::make_shared<TWindowLink>(this))
{
    FUi->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    FUi->shpProgressArea->installEventFilter(this);
    ConnectHandlers();
    FormCreate(aArguments);
}

TfrmVandrel::~TfrmVandrel()
{
    // Workers that outlive the window must find the link cut and their flag cleared.
    FLink->Detach();
    if (FCurrentWorker)
        FCurrentWorker->Running = false;
}

QString TfrmVandrel::DefaultSettingsFileName()
{
    return UFileUtils::ConfigDir() + QStringLiteral("vandrel.cfg");
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

void TfrmVandrel::FormCreate(const QStringList& aArguments)
{
    if (!aArguments.isEmpty() && QFileInfo(aArguments.first()).isFile())
        FSettingsFileName = aArguments.first();
    else
        FSettingsFileName = DefaultSettingsFileName();
    setWindowTitle(QStringLiteral("Database Vandrel -- ") + QFileInfo(FSettingsFileName).fileName());
    try {
        // Settings that could not be read in full must not start a run: half the fields may be defaults.
        if (!LoadSettings(FSettingsFileName))
            return;
        FAutoStartHooked = true;
        QTimer::singleShot(0, this, [this] { Guarded([this] { AutoStartCountdown(); }); });
    } catch (const std::exception& e) {
        // The window opens all the same; names are not regenerated and Auto Start is not armed.
        const auto* failure = dynamic_cast<const EVandrel*>(&e);
        ShowError(failure ? failure->Message() : QString::fromLocal8Bit(e.what()));
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
    } catch (const EVandrel& e) {
        ShowError(e.Message());
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowError(GenericWorkerFailure());
    }
}

bool TfrmVandrel::Interactive()
{
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void TfrmVandrel::ShowError(const QString& aText)
{
    if (Interactive())
        QMessageBox::critical(this, windowTitle(), ForDisplay(aText));
    else
        WriteLine(stderr, aText);
}

void TfrmVandrel::AddStatusLine(const QString& aText)
{
    AssertWindowThread();
    FUi->mmoShell->appendPlainText(ForDisplay(aText));
    FUi->PageControl->setCurrentWidget(FUi->tbshtArchive);
    WriteLine(stdout, aText);
}

void TfrmVandrel::AddErrorLine(const QString& aText)
{
    AddStatusLine(aText);
    MarkRunFailed();
}

void TfrmVandrel::MarkRunFailed()
{
    FRunFailed = true;
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

void TfrmVandrel::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool TfrmVandrel::Closing() const
{
    return FClosing || QCoreApplication::closingDown();
}

void TfrmVandrel::SetBold(QCheckBox* aBox, bool aBold)
{
    QFont font = aBox->font();
    font.setBold(aBold);
    aBox->setFont(font);
}

bool TfrmVandrel::Countdown(QCheckBox* aBox)
{
    QElapsedTimer started;
    started.start();
    do {
        const qint64 seconds = started.elapsed() / 1000;
        SetProgress(static_cast<int>((FCountdownSeconds - seconds) * 100.0 / FCountdownSeconds));
        SetBold(aBox, seconds % 2 == 1);
        QThread::msleep(80);
        ProcessMessages();
        if (Closing() || seconds > FCountdownSeconds)
            break;
    } while (aBox->isChecked());
    return aBox->isChecked() && !Closing();
}

void TfrmVandrel::AutoStartCountdown()
{
    if (!FAutoStartHooked)
        return;
    FAutoStartHooked = false;
    if (!FUi->ckbxAutomated->isChecked())
        return;
    // Unattended, nobody can untick the box: no countdown.
    const bool start = FUnattended ? !Closing() : Countdown(FUi->ckbxAutomated);
    SetBold(FUi->ckbxAutomated, true);
    SetProgress(0);
    if (start && FUi->ckbxAutomated->isChecked())
        btbnStartClick();
}

void TfrmVandrel::AutoExitCountdown()
{
    const bool exit = FUnattended ? true : Countdown(FUi->ckbxAutoExit);
    if (exit && !Closing()) {
        if (FRunFailed && FExitStatus == esSuccess)
            FExitStatus = esRunFailed;
        close();
    }
    SetProgress(0);
    SetBold(FUi->ckbxAutoExit, true);
}

void TfrmVandrel::FinishRun()
{
    // Deletion failures (no such file, file in use) are of no interest here.
    if (!FUi->ckbxKeepBackup->isChecked() && !FUi->edtBackupFilename->text().isEmpty())
        QFile::remove(FUi->edtBackupFilename->text());
    if (!FUi->ckbxKeepArchive->isChecked() && !FUi->edtArchiveFilename->text().isEmpty())
        QFile::remove(FUi->edtArchiveFilename->text());
    if (FUi->ckbxAutoExit->isChecked() || FUnattended)
        AutoExitCountdown();
}

void TfrmVandrel::ExitProgram(int aStatus)
{
    FExitStatus = aStatus;
    FClosing = true;
    FDBTasking = false;
    FFTPing = false;
    if (FCurrentWorker)
        FCurrentWorker->Running = false;
    close();
    QCoreApplication::exit(aStatus);
}

void TfrmVandrel::Terminate()
{
    if (FExitStatus == esSuccess)
        FExitStatus = esTerminated;
    if (FRunning)
        btbnCancelClick();
    FClosing = true;
    close();
}

void TfrmVandrel::closeEvent(QCloseEvent* aEvent)
{
    // A run in progress stops at its next wait pass; the worker is told to stop too.
    FClosing = true;
    FDBTasking = false;
    FFTPing = false;
    if (FCurrentWorker)
        FCurrentWorker->Running = false;
    aEvent->accept();
}
