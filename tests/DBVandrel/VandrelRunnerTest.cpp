// SPDX-License-Identifier: MIT
// The window's runner: step order and gating, Cancel, failures on the window thread and in a worker,
// the clean-up after a run, the progress display, the countdowns and the settings-file choice.
#include "EVandrel.h"
#include "TShape.h"
#include "TestLibraries.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace VandrelTest;

class VandrelRunnerTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;

    static void CheckAll(TfrmVandrel& aWindow, bool aChecked)
    {
        for (QCheckBox* box : {aWindow.FUi->ckbxBackup,
                               aWindow.FUi->ckbxCompress,
                               aWindow.FUi->ckbxUpload,
                               aWindow.FUi->ckbxDownload,
                               aWindow.FUi->ckbxExtract,
                               aWindow.FUi->ckbxRestore})
            box->setChecked(aChecked);
    }

    /// Replaces every step with one that records its index.
    static void RecordSteps(TfrmVandrel& aWindow, QList<int>& aCalls)
    {
        for (int i = 0; i < TfrmVandrel::siStepCount; ++i)
            aWindow.ReplaceStep(static_cast<TfrmVandrel::TStepIndex>(i), [&aCalls, i] { aCalls.append(i); });
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(FConfig.isValid()); }

    void StepsRunInFixedOrderAndOnlyWhenTicked()
    {
        TfrmVandrel window;
        QList<int> calls;
        RecordSteps(window, calls);
        window.FUi->ckbxRestore->setChecked(true);
        window.FUi->ckbxCompress->setChecked(true);
        window.FUi->ckbxDownload->setChecked(true);
        window.btbnStartClick();
        QCOMPARE(calls, (QList<int>{TfrmVandrel::siZip, TfrmVandrel::siDownload, TfrmVandrel::siRestore}));
        QVERIFY(!window.FUi->btbnStart->isHidden());
        QVERIFY(window.FUi->btbnCancel->isHidden());
        QVERIFY(!window.RunFailed());
    }

    void WindowThreadFailureEndsTheRunWithItsMessage()
    {
        TfrmVandrel window;
        QList<int> calls;
        RecordSteps(window, calls);
        window.ReplaceStep(TfrmVandrel::siUpload, [] { throw EVandrel(QStringLiteral("Login incorrect.")); });
        CheckAll(window, true);
        window.btbnStartClick();
        QCOMPARE(calls, (QList<int>{TfrmVandrel::siBackup, TfrmVandrel::siZip}));
        QCOMPARE(ShellLines(window).last(), QStringLiteral("Login incorrect."));
        QVERIFY(window.RunFailed());
    }

    void WorkerFailureIsPrefixedAndEndsTheRun_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("line");
        QTest::newRow("program failure") << 0 << QStringLiteral("Backup Error:Cannot open backup device.");
        QTest::newRow("foreign failure") << 1 << QStringLiteral("Backup Error:bad things");
        QTest::newRow("failure without a message") << 2 << QStringLiteral("Backup Error:") + GenericWorkerFailure();
    }

    void WorkerFailureIsPrefixedAndEndsTheRun()
    {
        QFETCH(int, kind);
        QFETCH(QString, line);
        TfrmVandrel window;
        QList<int> calls;
        RecordSteps(window, calls);
        window.ReplaceStep(TfrmVandrel::siBackup, [&window, kind] {
            window.WorkerWait(
                window.NewWorkerContext(),
                [kind] {
                    if (kind == 0)
                        throw EVandrel(QStringLiteral("Cannot open backup device."));
                    if (kind == 1)
                        throw std::runtime_error("bad things");
                    throw EVandrel(QString());
                },
                nullptr,
                QStringLiteral("Backup Error:"));
        });
        CheckAll(window, true);
        window.btbnStartClick();
        QCOMPARE(ShellLines(window), QStringList{line});
        QVERIFY(calls.isEmpty());
        QCOMPARE(window.Progress(), 0);
    }

    void WorkerSuccessShowsFullBar()
    {
        TfrmVandrel window;
        std::atomic<bool> ran{false};
        bool succeeded = window.WorkerWait(
            window.NewWorkerContext(), [&ran] { ran = true; }, nullptr, QStringLiteral("Backup Error:"));
        QVERIFY(succeeded);
        QVERIFY(ran);
        QCOMPARE(window.Progress(), 100);
        QVERIFY(!window.FDBTasking);
    }

    void CancelStopsTheWorkerAndTheLaterSteps()
    {
        TfrmVandrel window;
        QList<int> calls;
        RecordSteps(window, calls);
        auto workerStopped = std::make_shared<std::atomic<bool>>(false);
        window.ReplaceStep(TfrmVandrel::siBackup, [&window, workerStopped] {
            auto context = window.NewWorkerContext();
            window.WorkerWait(
                context,
                [context, workerStopped] {
                    while (context->Running)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    *workerStopped = true;
                },
                nullptr,
                QStringLiteral("Backup Error:"));
        });
        CheckAll(window, true);
        QTimer::singleShot(300, &window, [&window] { window.FUi->btbnCancel->click(); });
        window.btbnStartClick();
        QVERIFY(calls.isEmpty());
        QVERIFY(ShellLines(window).isEmpty());
        QCOMPARE(window.Progress(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(*workerStopped, 5000);
    }

    void AbandonedWorkerOutlivesTheWindow()
    {
        auto release = std::make_shared<std::atomic<bool>>(false);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        bool posted = false;
        {
            auto* window = new TfrmVandrel;
            auto context = window->NewWorkerContext();
            QTimer::singleShot(200, window, [window] { window->btbnCancelClick(); });
            window->WorkerWait(
                context,
                [context, release, finished, &posted] {
                    while (!*release)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    context->Post([&posted] { posted = true; });
                    *finished = true;
                },
                nullptr,
                QStringLiteral("Backup Error:"));
            QVERIFY(!context->Running);
            delete window;
        }
        *release = true;
        QTRY_VERIFY_WITH_TIMEOUT(*finished, 5000);
        QVERIFY(TProcThread::WaitForAll(5000));
        QCoreApplication::processEvents();
        QVERIFY(!posted);
    }

    void FinishRunDeletesUnkeptFiles_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::newRow("after success") << 0;
        QTest::newRow("after failure") << 1;
        QTest::newRow("after cancel") << 2;
    }

    void FinishRunDeletesUnkeptFiles()
    {
        QFETCH(int, outcome);
        QTemporaryDir dir;
        const QString backup = dir.filePath(QStringLiteral("db.bak"));
        const QString archive = dir.filePath(QStringLiteral("db.zip"));
        const QString kept = dir.filePath(QStringLiteral("kept.zip"));
        for (const QString& name : {backup, archive, kept}) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        TfrmVandrel window;
        window.FUi->edtBackupFilename->setText(backup);
        window.FUi->edtArchiveFilename->setText(archive);
        window.FUi->ckbxKeepBackup->setChecked(false);
        window.FUi->ckbxKeepArchive->setChecked(false);
        window.FUi->ckbxBackup->setChecked(true);
        window.ReplaceStep(TfrmVandrel::siBackup, [&window, outcome] {
            if (outcome == 1)
                throw EVandrel(QStringLiteral("failed"));
            if (outcome == 2)
                window.btbnCancelClick();
        });
        window.btbnStartClick();
        QVERIFY(!QFile::exists(backup));
        QVERIFY(!QFile::exists(archive));
        QVERIFY(QFile::exists(kept));
    }

    void SetProgressClampsAndLabels_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("barVisible");
        QTest::newRow("150 shows 100%") << 150 << QStringLiteral("100%") << true;
        QTest::newRow("37 shows 37%") << 37 << QStringLiteral("37%") << true;
        QTest::newRow("0 hides the bar") << 0 << QStringLiteral("0%") << false;
        QTest::newRow("-5 shows 0%") << -5 << QStringLiteral("0%") << false;
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
        QCOMPARE(window.FUi->shpProgress->width(), static_cast<int>(qBound(0, percent, 100) / 100.0 * track));
    }

    void StatusLineBringsArchivePageAndResetsBar()
    {
        TfrmVandrel window;
        window.FUi->PageControl->setCurrentWidget(window.FUi->tbshtFTP);
        window.SetProgress(40);
        window.AddStatusLine(QStringLiteral("hello"));
        QCOMPARE(window.FUi->PageControl->currentWidget(), window.FUi->tbshtArchive);
        QCOMPARE(window.Progress(), 0);
    }

    void AutoStartCountdownStartsTheRun()
    {
        TfrmVandrel window;
        window.SetCountdownSeconds(1);
        QList<int> calls;
        RecordSteps(window, calls);
        window.FUi->ckbxBackup->setChecked(true);
        window.FUi->ckbxAutomated->setChecked(true);
        QTRY_COMPARE_WITH_TIMEOUT(calls, QList<int>{TfrmVandrel::siBackup}, 10000);
        QVERIFY(window.FUi->ckbxAutomated->font().bold());
    }

    void UntickingEndsTheAutoStartCountdown()
    {
        TfrmVandrel window;
        window.SetCountdownSeconds(30);
        QList<int> calls;
        RecordSteps(window, calls);
        window.FUi->ckbxBackup->setChecked(true);
        window.FUi->ckbxAutomated->setChecked(true);
        bool unticked = false;
        QTimer::singleShot(400, &window, [&] {
            window.FUi->ckbxAutomated->setChecked(false);
            unticked = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(unticked, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(window.FUi->lblProgress->text(), QStringLiteral("0%"), 5000);
        QVERIFY(!window.AutoStartHooked());
        QVERIFY(calls.isEmpty());
        QVERIFY(window.FUi->ckbxAutomated->font().bold());
    }

    void AutoExitClosesAfterTheRunUnlessUnticked_data()
    {
        QTest::addColumn<bool>("untick");
        QTest::newRow("ticked: closes") << false;
        QTest::newRow("unticked in time: stays open") << true;
    }

    void AutoExitClosesAfterTheRunUnlessUnticked()
    {
        QFETCH(bool, untick);
        TfrmVandrel window;
        window.SetCountdownSeconds(1);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.FUi->ckbxAutoExit->setChecked(true);
        if (untick)
            QTimer::singleShot(300, &window, [&window] { window.FUi->ckbxAutoExit->setChecked(false); });
        window.btbnStartClick();
        QCOMPARE(window.isVisible(), untick);
        QCOMPARE(window.ExitStatus(), int(esSuccess));
    }

    void SettingsFileFromTheCommandLine()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("nowhere.cfg"));
        TfrmVandrel fallback(QStringList{missing});
        QCOMPARE(fallback.SettingsFileName(), TfrmVandrel::DefaultSettingsFileName());
        QCOMPARE(fallback.windowTitle(), QStringLiteral("Database Vandrel -- vandrel.cfg"));
        QVERIFY(TfrmVandrel::DefaultSettingsFileName().startsWith(FConfig.path() + QStringLiteral("/dbvandrel/")));

        const QString existing = dir.filePath(QStringLiteral("nightly.settings"));
        {
            QFile file(existing);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        TfrmVandrel given(QStringList{existing});
        QCOMPARE(given.SettingsFileName(), existing);
        QCOMPARE(given.windowTitle(), QStringLiteral("Database Vandrel -- nightly.settings"));
    }

    void ProgramWithoutDisplayAndNothingToDoExits()
    {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), FConfig.path());
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VANDREL_BINARY), {});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), int(esNothingToDo));
        QVERIFY(QString::fromLocal8Bit(program.readAllStandardError()).contains(QStringLiteral("Auto Start")));
    }
};

VANDREL_QTEST_MAIN(VandrelRunnerTest)
#include "VandrelRunnerTest.moc"
