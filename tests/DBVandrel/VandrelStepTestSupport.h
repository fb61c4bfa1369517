// SPDX-License-Identifier: MIT
// Shared set-up of the step tests: a run of the real steps over settings the test holds, without any widget, with
// everything the run reports recorded on the run's thread.
#pragma once

#include "TestFiles.h"
#include "UWorker.h"
#include "VandrelRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace VandrelStepTest {

/// A private configuration folder for the test program: settings and connection files go there, never to the
/// user's. Made before anything reads the configuration folder.
class TConfigFolder : public QTemporaryDir
{
public:
    TConfigFolder() { qputenv("XDG_CONFIG_HOME", path().toUtf8()); }
};

/// The answers of a person, recorded; by default nobody is there to answer.
class TFakePrompts : public IRunPrompts
{
public:
    bool CanAsk() const override { return Interactive; }
    bool Confirm(const QString& aQuestion) override
    {
        Questions.append(aQuestion);
        return Answer;
    }
    void ShowError(const QString& aText) override { Errors.append(aText); }

    /// Whether a person can answer.
    bool Interactive = false;
    /// The answer to every question.
    bool Answer = false;
    /// The questions asked, in order.
    QStringList Questions;
    /// The errors shown, in order.
    QStringList Errors;
};

/// Stands in for a step after the one under test and records whether the run called it.
class TRecordingStep : public IVandrelStep
{
public:
    void Run(TStepContext&) override { Ran = true; }
    /// True once the run called the step.
    std::atomic<bool> Ran{false};
};

/// Runs a built-in step and tells whether its Run is still under way (a run that let go of a step would not wait
/// for it).
class TWatchedStep : public IVandrelStep
{
public:
    explicit TWatchedStep(TStepIndex aIndex)
        : FStep(MakeStep(aIndex))
    {
    }
    void Run(TStepContext& aContext) override
    {
        Busy = true;
        try {
            FStep->Run(aContext);
        } catch (...) {
            Busy = false;
            throw;
        }
        Busy = false;
    }
    /// True while the step's Run is under way.
    std::atomic<bool> Busy{false};

private:
    std::shared_ptr<IVandrelStep> FStep;
};

/// One line of the status report and whether it reports the failure that ended the run.
struct TStatusLine
{
    QString Text;
    bool Failure = false;
};

/// A run of the real steps on the test's thread: the settings are the test's, every step is unticked and every
/// file kept unless the test says otherwise, and the signals are recorded as they arrive.
class TStepRun
{
public:
    TStepRun()
    {
        QObject::connect(&Run, &TVandrelRun::StatusLine, [this](const QString& aLine, bool aFailure) {
            Lines.append({aLine, aFailure});
        });
        QObject::connect(&Run, &TVandrelRun::ServerLine, [this](const QString& aLine) {
            Lines.append({aLine, false});
            ServerLines.append(aLine);
        });
        QObject::connect(&Run, &TVandrelRun::ProgressChanged, [this](int aPercent) { Progress.append(aPercent); });
        QObject::connect(&Run, &TVandrelRun::ArrowChanged, [this](TArrowDirection aDirection, int aLeft) {
            Arrows.append({aDirection, aLeft});
        });
        QObject::connect(&Run, &TVandrelRun::FtpStatusChanged, [this](int aStatus) { FtpStatuses.append(aStatus); });
    }

    ~TStepRun()
    {
        Run.Close();
        // A step the run let go of must not outlive the test that started it.
        EXPECT_TRUE(TProcThread::WaitForAll(20000));
    }

    /// Replaces step aIndex by one that only records that it ran.
    std::shared_ptr<TRecordingStep> Record(TStepIndex aIndex)
    {
        auto step = std::make_shared<TRecordingStep>();
        Run.SetStep(aIndex, step);
        return step;
    }

    /// Runs step aIndex as built in, watched.
    std::shared_ptr<TWatchedStep> Watch(TStepIndex aIndex)
    {
        auto step = std::make_shared<TWatchedStep>(aIndex);
        Run.SetStep(aIndex, step);
        return step;
    }

    /// Starts a run and waits until it has ended; false when it did not end within aTimeoutMs.
    [[nodiscard]] bool RunToEnd(int aTimeoutMs = 60000)
    {
        QSignalSpy finished(&Run, &TVandrelRun::Finished);
        Run.Start();
        return finished.count() > 0 || finished.wait(aTimeoutMs);
    }

    /// The report as a person reads it: each status line broken at its line ends.
    QStringList Report() const
    {
        QStringList report;
        for (const TStatusLine& line : Lines)
            report += line.Text.split(QStringLiteral("\r\n"));
        return report;
    }

    /// The report in one text, for failure messages.
    std::string ReportText() const { return Report().join(QLatin1Char('\n')).toStdString(); }

    /// The number of lines that reported a failure.
    qsizetype FailureLines() const
    {
        qsizetype count = 0;
        for (const TStatusLine& line : Lines)
            count += line.Failure ? 1 : 0;
        return count;
    }

    /// The percentage the bar shows now (0 before any was reported).
    int LastProgress() const { return Progress.isEmpty() ? 0 : Progress.last(); }

    /// True when the bar showed a value strictly between its ends.
    bool ProgressMoved() const
    {
        for (const int percent : Progress)
            if (percent > 0 && percent < 100)
                return true;
        return false;
    }

    /// The settings each step reads as it starts.
    TVandrelSettings Settings;
    /// The person the run asks; nobody by default.
    TFakePrompts Prompts;
    /// The status lines, in order, the server's messages among them.
    QList<TStatusLine> Lines;
    /// The server's messages alone, in order.
    QStringList ServerLines;
    /// The percentages the bar was given, in order.
    QList<int> Progress;
    /// The arrows the strip was given, in order.
    QList<std::pair<TArrowDirection, int>> Arrows;
    /// The FTP status light's states, in order.
    QList<int> FtpStatuses;
    /// The run; declared last, so it goes first and nothing it still says reaches a list that is gone.
    TVandrelRun Run{[this] { return Settings; }, Prompts};
};

using TestFiles::ReadFile;
using TestFiles::WriteFile;

} // namespace VandrelStepTest
