// SPDX-License-Identifier: MIT
// The window as the face of a run: the progress bar, the status report, Start and Cancel, the countdowns on the bar
// and behind dialogs, Auto Exit, the settings file named on the command line and the FTP status light. The run's
// own logic is tested without a window (VandrelRunTest); the steps here are doubles.
#include "EVandrel.h"
#include "TShape.h"
#include "TestLibraries.h"
#include "UFtpTransfer.h"
#include "Vandrel.h"
#include "VandrelStepDouble.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

using namespace VandrelTest;

namespace {

std::shared_ptr<IVandrelStep> FakeStep(std::function<void(TStepContext&)> aBody)
{
    return std::make_shared<TFakeStep>(std::move(aBody));
}

/// A step that counts its runs.
std::shared_ptr<IVandrelStep> CountingStep(std::atomic<int>& aRuns)
{
    return FakeStep([&aRuns](TStepContext&) { ++aRuns; });
}

/// Waits until the run cancelled the step (never longer than the test's time-out).
void WaitForCancel(const TStepContext& aContext)
{
    for (int i = 0; i < 1000 && !aContext.Cancelled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

/// Clicks Start and waits until the run has ended; false when it did not end in time.
bool RunToEnd(TfrmVandrel& aWindow)
{
    QSignalSpy finished(&aWindow.Run(), &TVandrelRun::Finished);
    aWindow.FUi->btbnStart->click();
    return finished.count() > 0 || finished.wait(10000);
}

} // namespace

class VandrelRunnerTest : public QObject
{
    Q_OBJECT

private:
    TConfigFolder FConfig;

private Q_SLOTS:
    void initTestCase() { QVERIFY(FConfig.isValid()); }

    void SetProgressClampsAndLabels_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("barVisible");
        QTest::newRow("SetProgress(150) shows 100%") << 150 << QStringLiteral("100%") << true;
        QTest::newRow("SetProgress(37) shows 37%") << 37 << QStringLiteral("37%") << true;
        QTest::newRow("SetProgress(0) hides the bar") << 0 << QStringLiteral("0%") << false;
        QTest::newRow("SetProgress(-5) shows 0%") << -5 << QStringLiteral("0%") << false;
    }

    void SetProgressClampsAndLabels()
    {
        QFETCH(int, percent);
        QFETCH(QString, label);
        QFETCH(bool, barVisible);
        TfrmVandrel window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.SetProgress(percent);
        QCOMPARE(window.FUi->lblProgress->text(), label);
        QCOMPARE(!window.FUi->shpProgress->isHidden(), barVisible);
        const int track = window.FUi->shpProgressArea->width();
        QVERIFY(track > 0);
        QCOMPARE(window.FUi->shpProgress->width(), static_cast<int>(qBound(0, percent, 100) / 100.0 * track));
    }

    void StatusLineShowsInTheReportAndBringsTheArchivePage_data()
    {
        QTest::addColumn<bool>("failure");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("failures");
        // The run's last line says how it ended; a failure stands out, its reason repeated at the end.
        QTest::newRow("a step's status line")
            << false << QStringLiteral("Uploading Sales.zip")
            << QStringList{QStringLiteral("Uploading Sales.zip"), QStringLiteral("Done: every ticked step succeeded.")}
            << QStringList{};
        QTest::newRow("a failure with its context, one line each")
            << true << QStringLiteral("Upload Error:Login incorrect.\r\nUnable to upload the archive.")
            << QStringList{QStringLiteral("Upload Error:Login incorrect."),
                           QStringLiteral("Unable to upload the archive."),
                           QStringLiteral("Failed: Upload Error:Login incorrect.")}
            << QStringList{QStringLiteral("Upload Error:Login incorrect."),
                           QStringLiteral("Failed: Upload Error:Login incorrect.")};
    }

    void StatusLineShowsInTheReportAndBringsTheArchivePage()
    {
        QFETCH(bool, failure);
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, failures);
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        QWidget* pageWhileRunning = nullptr;
        // The upload step brings the FTP page forward when it starts; the line must bring the Archive page back.
        window.ReplaceStep(
            siUpload, FakeStep([&, failure, text](TStepContext& c) {
                QMetaObject::invokeMethod(
                    &window, [&] { pageWhileRunning = ui.PageControl->currentWidget(); }, Qt::BlockingQueuedConnection);
                if (failure)
                    throw EVandrel(text);
                c.Status(text);
            }));
        ui.ckbxUpload->setChecked(true);
        ui.PageControl->setCurrentWidget(ui.tbshtDatabase);
        QVERIFY(RunToEnd(window));
        QCOMPARE(pageWhileRunning, ui.tbshtFTP);
        QCOMPARE(ShellLines(window), lines);
        QCOMPARE(FailureLines(window), failures);
        QCOMPARE(ui.PageControl->currentWidget(), ui.tbshtArchive);
        QCOMPARE(window.Run().Outcome(), failure ? roFailed : roSuccess);
    }

    void ServerLinesLeaveThePageAndTheBar_data()
    {
        QTest::addColumn<int>("step");
        QTest::newRow("backup: its progress lines leave the Database page in front") << int(siBackup);
        QTest::newRow("restore: its first line does not reset the bar the data file drives") << int(siRestore);
    }

    void ServerLinesLeaveThePageAndTheBar()
    {
        QFETCH(int, step);
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        QString pageAfterLines;
        QString labelAfterLines;
        window.ReplaceStep(static_cast<TStepIndex>(step), FakeStep([&](TStepContext& c) {
                               c.Progress(40);
                               c.ServerMessage(QStringLiteral("10 percent processed."));
                               c.ServerMessage(QStringLiteral("20 percent processed."));
                               // Runs after the lines above: the step's reports arrive in order.
                               QMetaObject::invokeMethod(
                                   &window,
                                   [&] {
                                       pageAfterLines = ui.PageControl->currentWidget()->objectName();
                                       labelAfterLines = ui.lblProgress->text();
                                   },
                                   Qt::BlockingQueuedConnection);
                           }));
        (step == siBackup ? ui.ckbxBackup : ui.ckbxRestore)->setChecked(true);
        QVERIFY(RunToEnd(window));
        QCOMPARE(pageAfterLines, QStringLiteral("tbshtDatabase"));
        QCOMPARE(labelAfterLines, QStringLiteral("40%"));
        QCOMPARE(ShellLines(window),
                 (QStringList{QStringLiteral("10 percent processed."),
                              QStringLiteral("20 percent processed."),
                              QStringLiteral("Done: every ticked step succeeded.")}));
    }

    void WindowOpensCentredOnTheScreen()
    {
        TfrmVandrel window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect screen = window.screen()->availableGeometry();
        QVERIFY2((window.frameGeometry().center() - screen.center()).manhattanLength() <= 40,
                 qPrintable(QStringLiteral("window at %1,%2 %3x%4 on a screen of %5x%6")
                                .arg(window.x())
                                .arg(window.y())
                                .arg(window.width())
                                .arg(window.height())
                                .arg(screen.width())
                                .arg(screen.height())));
    }

    void StartAndCancelFollowTheRunsState()
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        std::atomic<bool> stopped{false};
        window.ReplaceStep(siBackup, FakeStep([&stopped](TStepContext& c) {
                               WaitForCancel(c);
                               stopped = c.Cancelled();
                           }));
        std::atomic<int> laterRuns{0};
        window.ReplaceStep(siZip, CountingStep(laterRuns));
        ui.ckbxBackup->setChecked(true);
        ui.ckbxCompress->setChecked(true);
        QVERIFY(!ui.btbnStart->isHidden());
        QVERIFY(ui.btbnCancel->isHidden());

        QSignalSpy finished(&window.Run(), &TVandrelRun::Finished);
        ui.btbnStart->click();
        QCOMPARE(window.Run().State(), rsRunning);
        QVERIFY(ui.btbnStart->isHidden());
        QVERIFY(!ui.btbnCancel->isHidden());
        QVERIFY(!ui.spdbtnMSLink->isEnabled());
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);

        ui.btbnCancel->click();
        QVERIFY(finished.count() > 0 || finished.wait(10000));
        QVERIFY(stopped);
        QCOMPARE(laterRuns.load(), 0);
        QCOMPARE(window.Run().Outcome(), roCancelled);
        QVERIFY(!ui.btbnStart->isHidden());
        QVERIFY(ui.btbnCancel->isHidden());
        QVERIFY(ui.spdbtnMSLink->isEnabled());
        QVERIFY(!QApplication::overrideCursor());
    }

    void CountdownShowsOnTheBarAndStartDuringItGivesOneRun()
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        window.SetCountdownSeconds(2);
        std::atomic<int> runs{0};
        window.ReplaceStep(siBackup, CountingStep(runs));
        ui.ckbxBackup->setChecked(true);
        // Auto Start reads the box on the window's first pass of the event loop.
        ui.ckbxAutomated->setChecked(true);
        QVERIFY(window.AutoStartHooked());
        // The bar counts down from full while the box blinks: plain in even seconds, bold in odd ones.
        QString firstLabel;
        QString firstWords;
        bool firstBold = true;
        bool ticked = false;
        connect(&window.Run(), &TVandrelRun::CountdownTick, &window, [&] {
            if (ticked)
                return;
            ticked = true;
            firstLabel = ui.lblProgress->text();
            firstWords = ui.lblCountdown->isHidden() ? QString() : ui.lblCountdown->text();
            firstBold = ui.ckbxAutomated->font().bold();
        });
        QTRY_VERIFY_WITH_TIMEOUT(ticked, 5000);
        QCOMPARE(window.Run().State(), rsCountingDown);
        QCOMPARE(firstLabel, QStringLiteral("100%"));
        // The seconds left, in words beside the bar.
        QCOMPARE(firstWords, QStringLiteral("The run starts in 2 seconds. Untick \"Auto Start\" to stop it."));
        QVERIFY(!firstBold);
        QTRY_COMPARE_WITH_TIMEOUT(ui.lblProgress->text(), QStringLiteral("50%"), 5000);
        QVERIFY(ui.ckbxAutomated->font().bold());

        QSignalSpy started(&window.Run(), &TVandrelRun::StepStarted);
        QVERIFY(RunToEnd(window));
        QVERIFY(ui.ckbxAutomated->font().bold());
        QCOMPARE(runs.load(), 1);
        // Well past the countdown's own end: it never presses Start a second time.
        QVERIFY(!started.wait(3000));
        QCOMPARE(runs.load(), 1);
    }

    void NoCountdownFiresWhileAModalDialogIsOpen_data()
    {
        QTest::addColumn<bool>("exec");
        QTest::newRow("message box opened with open()") << false;
        QTest::newRow("dialog shown with exec()") << true;
    }

    void NoCountdownFiresWhileAModalDialogIsOpen()
    {
        QFETCH(bool, exec);
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        window.SetCountdownSeconds(1);
        std::atomic<int> runs{0};
        window.ReplaceStep(siBackup, CountingStep(runs));
        ui.ckbxBackup->setChecked(true);
        ui.ckbxAutomated->setChecked(true);

        // The dialog stays open well past the countdown's end (after 2 s), then is closed.
        bool closed = false;
        int runsAtClose = -1;
        TRunState stateAtClose = rsIdle;
        const auto closeLater = [&](QDialog* aDialog) {
            QTimer::singleShot(3000, aDialog, [&, aDialog] {
                runsAtClose = runs;
                stateAtClose = window.Run().State();
                closed = true;
                aDialog->done(QDialog::Accepted);
            });
        };
        QTimer::singleShot(100, &window, [&] {
            if (exec) {
                QDialog dialog(&window);
                closeLater(&dialog);
                dialog.exec();
            } else {
                auto* box = new QMessageBox(
                    QMessageBox::Information, QStringLiteral("Vandrel"), QStringLiteral("Saved."), {}, &window);
                closeLater(box);
                box->open();
            }
        });
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(closed, 15000);
        QCOMPARE(runsAtClose, 0);
        QCOMPARE(stateAtClose, rsCountingDown);
        QTRY_COMPARE_WITH_TIMEOUT(runs.load(), 1, 5000);
    }

    void UntickingAutoStartEndsTheCountdown()
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        window.SetCountdownSeconds(30);
        std::atomic<int> runs{0};
        window.ReplaceStep(siBackup, CountingStep(runs));
        ui.ckbxBackup->setChecked(true);
        ui.ckbxAutomated->setChecked(true);
        QTRY_COMPARE_WITH_TIMEOUT(window.Run().State(), rsCountingDown, 5000);
        QVERIFY(window.Progress() > 0);

        QSignalSpy ended(&window.Run(), &TVandrelRun::CountdownEnded);
        ui.ckbxAutomated->setChecked(false);
        QVERIFY(ended.wait(5000));
        QCOMPARE(window.Run().State(), rsIdle);
        QCOMPARE(ui.lblProgress->text(), QStringLiteral("0%"));
        QVERIFY(ui.lblCountdown->isHidden());
        QVERIFY(ui.ckbxAutomated->font().bold());
        QVERIFY(!ui.btbnStart->isHidden());
        QVERIFY(!window.AutoStartHooked());
        QCOMPARE(runs.load(), 0);
    }

    void AutoExitClosesTheWindowAfterTheRun()
    {
        TfrmVandrel window;
        window.SetCountdownSeconds(1);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.FUi->ckbxAutoExit->setChecked(true);
        QVERIFY(RunToEnd(window));
        // The window ends the application's event loop with the run's exit status, as the program runs it.
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        QCOMPARE(QCoreApplication::exec(), int(esSuccess));
        QVERIFY(!window.isVisible());
        QCOMPARE(window.ExitStatus(), int(esSuccess));
    }

    void UntickingAutoExitKeepsTheWindowOpen()
    {
        TfrmVandrel window;
        window.SetCountdownSeconds(1);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.FUi->ckbxAutoExit->setChecked(true);
        QSignalSpy ended(&window.Run(), &TVandrelRun::CountdownEnded);
        QSignalSpy exit(&window.Run(), &TVandrelRun::ExitRequested);
        QVERIFY(RunToEnd(window));
        window.FUi->ckbxAutoExit->setChecked(false);
        QVERIFY(ended.count() > 0 || ended.wait(5000));
        QVERIFY(window.FUi->ckbxAutoExit->font().bold());
        // Past the countdown's end: the window stays.
        QVERIFY(!exit.wait(2500));
        QVERIFY(window.isVisible());
    }

    void SettingsFileFromTheCommandLine()
    {
        QTemporaryDir dir;
        TfrmVandrel byDefault;
        QCOMPARE(byDefault.SettingsFileName(), TfrmVandrel::DefaultSettingsFileName());
        QCOMPARE(byDefault.windowTitle(), QStringLiteral("Database Vandrel -- vandrel.cfg"));
        QVERIFY(TfrmVandrel::DefaultSettingsFileName().startsWith(FConfig.path() + QStringLiteral("/dbvandrel/")));

        const QString existing = dir.filePath(QStringLiteral("nightly.settings"));
        WriteFile(existing, QByteArray());
        TfrmVandrel given(QStringList{existing});
        QCOMPARE(given.SettingsFileName(), existing);
        QCOMPARE(given.windowTitle(), QStringLiteral("Database Vandrel -- nightly.settings"));

        // A named file that does not exist yet is a new job of that name, never the default one.
        const QString missing = dir.filePath(QStringLiteral("weekly.cfg"));
        TfrmVandrel fresh(QStringList{missing});
        QCOMPARE(fresh.SettingsFileName(), missing);
        QCOMPARE(fresh.windowTitle(), QStringLiteral("Database Vandrel -- weekly.cfg"));
        QVERIFY(!fresh.Refused());
        fresh.btbnSaveClick();
        QVERIFY(QFileInfo::exists(missing));
        QVERIFY(!QFileInfo::exists(TfrmVandrel::DefaultSettingsFileName()));

        TfrmVandrel folder(QStringList{dir.path()});
        QVERIFY(folder.Refused());
        QCOMPARE(folder.ExitStatus(), int(esNothingToDo));
    }

    void FtpStatusLightFollowsTheRun_data()
    {
        using namespace UFtpTransfer;
        QTest::addColumn<int>("status");
        QTest::addColumn<QColor>("colour");
        const QColor connected(0xC0, 0xDC, 0xC0);
        QTest::newRow("resolving: silver") << int(fsResolving) << QColor(0xC0, 0xC0, 0xC0);
        QTest::newRow("connecting: sky blue") << int(fsConnecting) << QColor(0xA6, 0xCA, 0xF0);
        QTest::newRow("connected: money green") << int(fsConnected) << connected;
        QTest::newRow("status text: yellow") << int(fsStatusText) << QColor(0xFF, 0xFF, 0x00);
        QTest::newRow("transfer: green") << int(fsTransfer) << QColor(0x00, 0x80, 0x00);
        QTest::newRow("disconnecting: grey") << int(fsDisconnecting) << QColor(0x80, 0x80, 0x80);
        QTest::newRow("disconnected: white") << int(fsDisconnected) << QColor(0xFF, 0xFF, 0xFF);
        QTest::newRow("transfer ready keeps the colour") << int(fsTransferReady) << connected;
        QTest::newRow("transfer aborted keeps the colour") << int(fsTransferAborted) << connected;
    }

    void FtpStatusLightFollowsTheRun()
    {
        QFETCH(int, status);
        QFETCH(QColor, colour);
        TfrmVandrel window;
        window.ReplaceStep(siUpload, FakeStep([status](TStepContext& c) {
                               c.FtpStatus(UFtpTransfer::fsConnected);
                               c.FtpStatus(status);
                           }));
        window.FUi->ckbxUpload->setChecked(true);
        QVERIFY(RunToEnd(window));
        QCOMPARE(window.FUi->shpStatus->BrushColor(), colour);
    }
};

VANDREL_QTEST_MAIN(VandrelRunnerTest)
#include "VandrelRunnerTest.moc"
