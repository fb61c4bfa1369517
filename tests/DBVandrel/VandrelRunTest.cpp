// SPDX-License-Identifier: MIT
// The run without any widget: steps replaced by doubles through the step interface. Order and gating, failures,
// Cancel at each step, a step that will not stop, the countdowns, the clean-up and the exit statuses.
#include "VandrelRun.h"
#include "EVandrel.h"
#include "UWorker.h"
#include "VandrelStepDouble.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

/// Answers of a person, recorded, with the thread they were asked on.
class TFakePrompts : public IRunPrompts
{
public:
    bool CanAsk() const override { return true; }
    bool Confirm(const QString& aQuestion) override
    {
        Questions.append(aQuestion);
        OnRunThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        return Answer;
    }
    void ShowError(const QString& aText) override { Errors.append(aText); }

    bool Answer = true;
    bool OnRunThread = false;
    QStringList Questions;
    QStringList Errors;
};

/// Waits until a run cancelled the step (never longer than the test's time-out).
void WaitForCancel(const TStepContext& aContext)
{
    for (int i = 0; i < 500 && !aContext.Cancelled(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class VandrelRunTest : public ::testing::Test
{
protected:
    TVandrelSettings FSettings;
    TFakePrompts FPrompts;
    std::mutex FLock;
    QList<int> FCalls;
    std::unique_ptr<TVandrelRun> FRun;
    QStringList FLines;
    QList<bool> FFailures;

    void SetUp() override
    {
        FSettings = TVandrelSettings();
        FRun = std::make_unique<TVandrelRun>([this] { return FSettings; }, FPrompts);
        FRun->SetCountdownSeconds(1);
        QObject::connect(FRun.get(), &TVandrelRun::StatusLine, [this](const QString& aLine, bool aFailure) {
            FLines.append(aLine);
            FFailures.append(aFailure);
        });
    }

    void TearDown() override
    {
        FRun.reset();
        EXPECT_TRUE(TProcThread::WaitForAll(5000));
        QCoreApplication::processEvents();
    }

    /// Replaces every step with one that records its index, then runs aBody(index).
    void FakeSteps(std::function<void(int, TStepContext&)> aBody = {})
    {
        for (int i = 0; i < siStepCount; ++i)
            FRun->SetStep(static_cast<TStepIndex>(i), std::make_shared<TFakeStep>([this, i, aBody](TStepContext& c) {
                              {
                                  std::lock_guard<std::mutex> guard(FLock);
                                  FCalls.append(i);
                              }
                              if (aBody)
                                  aBody(i, c);
                          }));
    }

    void TickAll()
    {
        FSettings.Backup = FSettings.Compress = FSettings.Upload = true;
        FSettings.Download = FSettings.Extract = FSettings.Restore = true;
    }

    /// Starts a run and waits for its end.
    void RunToEnd()
    {
        QSignalSpy finished(FRun.get(), &TVandrelRun::Finished);
        FRun->Start();
        ASSERT_TRUE(finished.count() > 0 || finished.wait(10000));
    }

    QList<int> Calls()
    {
        std::lock_guard<std::mutex> guard(FLock);
        return FCalls;
    }
};

TEST_F(VandrelRunTest, StepsRunInFixedOrderAndOnlyWhenTicked)
{
    FakeSteps();
    FSettings.Restore = FSettings.Compress = FSettings.Download = true;
    RunToEnd();
    EXPECT_EQ(Calls(), (QList<int>{siZip, siDownload, siRestore}));
    EXPECT_EQ(FRun->Outcome(), roSuccess);
    EXPECT_EQ(FRun->State(), rsFinished);
}

TEST_F(VandrelRunTest, EachStepReadsTheSettingsAsTheyStandWhenItStarts)
{
    // The first step unticks the last one and changes the archive name: the later steps see both.
    QStringList seenNames;
    FakeSteps([&](int aIndex, TStepContext& c) {
        seenNames.append(c.Settings().ArchiveFilename);
        if (aIndex == siBackup)
            QMetaObject::invokeMethod(
                FRun.get(),
                [this] {
                    FSettings.Restore = false;
                    FSettings.ArchiveFilename = QStringLiteral("changed.zip");
                },
                Qt::BlockingQueuedConnection);
    });
    TickAll();
    FSettings.ArchiveFilename = QStringLiteral("first.zip");
    RunToEnd();
    EXPECT_EQ(Calls(), (QList<int>{siBackup, siZip, siUpload, siDownload, siExtract}));
    ASSERT_EQ(seenNames.size(), 5);
    EXPECT_EQ(seenNames.first(), QStringLiteral("first.zip"));
    EXPECT_EQ(seenNames.last(), QStringLiteral("changed.zip"));
}

struct TFailureRow
{
    const char* Name;
    std::function<void()> Throw;
    QString Line;
};

class VandrelRunFailureTest : public VandrelRunTest, public ::testing::WithParamInterface<TFailureRow>
{
};

TEST_P(VandrelRunFailureTest, FailureIsTheLastLineAndEndsTheRun)
{
    FakeSteps([](int aIndex, TStepContext& c) {
        c.Status(QStringLiteral("working"));
        if (aIndex == siUpload)
            GetParam().Throw();
    });
    TickAll();
    FRun->SetUnattended(true);
    QSignalSpy exit(FRun.get(), &TVandrelRun::ExitRequested);
    RunToEnd();
    EXPECT_EQ(Calls(), (QList<int>{siBackup, siZip, siUpload}));
    ASSERT_FALSE(FLines.isEmpty());
    EXPECT_EQ(FLines.last(), GetParam().Line);
    EXPECT_TRUE(FFailures.last());
    EXPECT_EQ(FFailures.count(true), 1);
    EXPECT_EQ(FRun->Outcome(), roFailed);
    ASSERT_EQ(exit.count(), 1);
    EXPECT_EQ(exit.first().first().toInt(), esRunFailed);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Failures, VandrelRunFailureTest, ::testing::Values(
    TFailureRow{"ProgramFailure", [] { throw EVandrel(QStringLiteral("Backup Error:disk full\r\nUnable to backup database.")); },
                QStringLiteral("Backup Error:disk full\r\nUnable to backup database.")},
    TFailureRow{"LibraryFailure", [] { throw std::runtime_error("bad_alloc somewhere"); },
                QStringLiteral("bad_alloc somewhere")},
    TFailureRow{"FailureWithoutText", [] { throw 42; },
                QStringLiteral("The operation failed for an unknown reason.")}),
    [](const ::testing::TestParamInfo<TFailureRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

TEST_F(VandrelRunTest, ConnectionRequiredShowsItsMessageAndEndsTheProgramKeepingTheFiles)
{
    QTemporaryDir dir;
    FSettings.KeepArchive = false;
    FSettings.ArchiveFilename = dir.filePath(QStringLiteral("a.zip"));
    QFile archive(FSettings.ArchiveFilename);
    ASSERT_TRUE(archive.open(QIODevice::WriteOnly));
    archive.close();
    FakeSteps([](int, TStepContext&) { throw EConnectionRequired(); });
    FSettings.Restore = FSettings.Extract = true;
    QSignalSpy exit(FRun.get(), &TVandrelRun::ExitRequested);
    RunToEnd();
    EXPECT_EQ(Calls(), (QList<int>{siExtract}));
    EXPECT_EQ(FPrompts.Errors, QStringList{QStringLiteral("Connection Required: Application must exit.")});
    ASSERT_EQ(exit.count(), 1);
    EXPECT_EQ(exit.first().first().toInt(), esConnectionRequired);
    EXPECT_EQ(FRun->ExitStatus(), esConnectionRequired);
    // A later run with a connection still needs the archive this one brought.
    EXPECT_TRUE(QFile::exists(FSettings.ArchiveFilename));
}

class VandrelRunCancelTest : public VandrelRunTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(VandrelRunCancelTest, CancelStopsTheStepAndTheLaterOnes)
{
    const int cancelAt = GetParam();
    std::atomic<bool> reached{false};
    FakeSteps([&](int aIndex, TStepContext& c) {
        if (aIndex != cancelAt)
            return;
        reached = true;
        WaitForCancel(c);
        // What a cancelled step still says is shown; its failure is not.
        c.Status(QStringLiteral("stopped"));
        throw EVandrel(QStringLiteral("Operation cancelled"));
    });
    TickAll();
    QSignalSpy finished(FRun.get(), &TVandrelRun::Finished);
    FRun->Start();
    for (int i = 0; i < 500 && !reached; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(reached);
    EXPECT_EQ(FRun->State(), rsRunning);
    FRun->Cancel();
    EXPECT_EQ(FRun->State(), rsCancelling);
    FRun->Start(); // ignored while the cancelled step ends
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(Calls().size(), cancelAt + 1);
    EXPECT_EQ(FLines, QStringList{QStringLiteral("stopped")});
    EXPECT_EQ(FRun->Outcome(), roCancelled);
    EXPECT_EQ(ExitStatusOf(FRun->Outcome()), esSuccess);
}

INSTANTIATE_TEST_SUITE_P(EachStep, VandrelRunCancelTest, ::testing::Range(0, static_cast<int>(siStepCount)));

TEST_F(VandrelRunTest, StepThatWillNotStopIsLetGoAndCannotReachTheRunAfter)
{
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    FakeSteps([&](int, TStepContext& c) {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c.Status(QStringLiteral("too late"));
        c.Progress(77);
        ended = true;
    });
    FSettings.Backup = FSettings.Compress = true;
    FRun->SetCancelGraceMs(200);
    QSignalSpy progress(FRun.get(), &TVandrelRun::ProgressChanged);
    QSignalSpy finished(FRun.get(), &TVandrelRun::Finished);
    FRun->Start();
    FRun->Cancel();
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(FRun->Outcome(), roCancelled);
    EXPECT_EQ(Calls(), QList<int>{siBackup});
    release = true;
    ASSERT_TRUE(TProcThread::WaitForAll(5000));
    EXPECT_TRUE(ended);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(FLines.isEmpty());
    for (const QList<QVariant>& shown : progress)
        EXPECT_EQ(shown.first().toInt(), 0);
}

TEST_F(VandrelRunTest, RunDestroyedWhileAStepRunsLeavesTheWorkerToFinishAlone)
{
    std::atomic<bool> release{false};
    FakeSteps([&](int, TStepContext& c) {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c.Status(QStringLiteral("after the run"));
    });
    FSettings.Backup = true;
    FRun->Start();
    FRun.reset();
    release = true;
    ASSERT_TRUE(TProcThread::WaitForAll(5000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(FLines.isEmpty());
}

TEST_F(VandrelRunTest, QuestionsOfAWorkerAreAnsweredOnTheRunsThread)
{
    bool answer = false;
    FakeSteps([&](int, TStepContext& c) { answer = c.Confirm(QStringLiteral("Save the connection?")); });
    FSettings.Backup = true;
    RunToEnd();
    EXPECT_TRUE(answer);
    EXPECT_TRUE(FPrompts.OnRunThread);
    EXPECT_EQ(FPrompts.Questions, QStringList{QStringLiteral("Save the connection?")});
}

// clang-format off
struct TExitRow { TRunOutcome Outcome; TExitStatus Status; };
const TExitRow cExitRows[] = {
    {roSuccess, esSuccess}, {roCancelled, esSuccess}, {roFailed, esRunFailed},
    {roConnectionRequired, esConnectionRequired}, {roTerminated, esTerminated}, {roLocked, esLocked},
};
// clang-format on

TEST(VandrelRunExitStatus, OneStatusPerOutcome)
{
    for (const TExitRow& row : cExitRows)
        EXPECT_EQ(ExitStatusOf(row.Outcome), row.Status) << row.Outcome;
}

TEST_F(VandrelRunTest, StartDuringTheAutoStartCountdownGivesOneRun)
{
    FakeSteps();
    FSettings.Automated = true;
    FSettings.Backup = true;
    QSignalSpy finished(FRun.get(), &TVandrelRun::Finished);
    FRun->AutoStart();
    EXPECT_EQ(FRun->State(), rsCountingDown);
    FRun->Start();
    ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
    // Well past the countdown's end: it never presses Start again.
    QSignalSpy started(FRun.get(), &TVandrelRun::StepStarted);
    EXPECT_FALSE(started.wait(2500));
    EXPECT_EQ(Calls(), QList<int>{siBackup});
}

TEST_F(VandrelRunTest, CountdownStopsWhenUntickedAndWaitsWhileTheGateIsClosed)
{
    FakeSteps();
    FSettings.Automated = true;
    FSettings.Backup = true;
    QSignalSpy started(FRun.get(), &TVandrelRun::StepStarted);
    QSignalSpy ended(FRun.get(), &TVandrelRun::CountdownEnded);
    FRun->AutoStart();
    FSettings.Automated = false;
    ASSERT_TRUE(ended.wait(2000));
    EXPECT_EQ(FRun->State(), rsIdle);

    // A dialog is open when the countdown ends: the run starts once it is closed, not before.
    FSettings.Automated = true;
    bool dialogOpen = true;
    FRun->SetCountdownGate([&] { return !dialogOpen; });
    FRun->AutoStart();
    EXPECT_FALSE(started.wait(2500));
    EXPECT_EQ(FRun->State(), rsCountingDown);
    dialogOpen = false;
    ASSERT_TRUE(started.wait(2000));
    QSignalSpy finished(FRun.get(), &TVandrelRun::Finished);
    ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
    EXPECT_EQ(Calls(), QList<int>{siBackup});
}

TEST_F(VandrelRunTest, AutoExitAsksToEndWithTheRunsStatusUnlessUnticked)
{
    FakeSteps([](int, TStepContext&) { throw EVandrel(QStringLiteral("failed")); });
    FSettings.Backup = true;
    FSettings.AutoExit = true;
    QSignalSpy exit(FRun.get(), &TVandrelRun::ExitRequested);
    RunToEnd();
    ASSERT_TRUE(exit.wait(4000));
    EXPECT_EQ(exit.first().first().toInt(), esRunFailed);

    FSettings.AutoExit = true;
    exit.clear();
    RunToEnd();
    FSettings.AutoExit = false;
    EXPECT_FALSE(exit.wait(2500));
}

TEST_F(VandrelRunTest, TerminateCancelsTheStepThenEndsWithStatusFour)
{
    FakeSteps([](int, TStepContext& c) { WaitForCancel(c); });
    FSettings.Backup = FSettings.Restore = true;
    QSignalSpy exit(FRun.get(), &TVandrelRun::ExitRequested);
    FRun->Start();
    FRun->Terminate();
    ASSERT_TRUE(exit.wait(5000));
    EXPECT_EQ(exit.first().first().toInt(), esTerminated);
    EXPECT_EQ(Calls(), QList<int>{siBackup});
}

struct TKeepRow
{
    const char* Name;
    bool KeepBackup;
    bool KeepArchive;
};

class VandrelRunCleanUpTest : public VandrelRunTest, public ::testing::WithParamInterface<TKeepRow>
{
};

TEST_P(VandrelRunCleanUpTest, UnkeptFilesAreDeletedAfterTheRun)
{
    QTemporaryDir dir;
    FSettings.BackupFilename = dir.filePath(QStringLiteral("db.bak"));
    FSettings.ArchiveFilename = dir.filePath(QStringLiteral("db.zip"));
    for (const QString& name : {FSettings.BackupFilename, FSettings.ArchiveFilename}) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    FSettings.KeepBackup = GetParam().KeepBackup;
    FSettings.KeepArchive = GetParam().KeepArchive;
    RunToEnd();
    EXPECT_EQ(QFile::exists(FSettings.BackupFilename), GetParam().KeepBackup);
    EXPECT_EQ(QFile::exists(FSettings.ArchiveFilename), GetParam().KeepArchive);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Keep, VandrelRunCleanUpTest, ::testing::Values(
    TKeepRow{"KeepBoth", true, true}, TKeepRow{"KeepNone", false, false},
    TKeepRow{"KeepBackupOnly", true, false}, TKeepRow{"KeepArchiveOnly", false, true}),
    [](const ::testing::TestParamInfo<TKeepRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

} // namespace
