// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QThread>

#include <atomic>
#include <exception>
#include <functional>

/// A thread that runs one procedure and records how it ended; start() runs it. The owner reads Failure and
/// ErrMessage once the thread has finished, then deletes it; an owner that lets go of it calls Abandon() and the
/// thread deletes itself when the procedure ends. Nothing escapes the procedure.
class TProcThread : public QThread
{
    Q_OBJECT
public:
    /// Stores the procedure; the thread starts with start().
    explicit TProcThread(std::function<void()> aProc, QObject* aParent = nullptr);
    ~TProcThread() override;

    /// The work to run.
    std::function<void()> Proc;
    /// -2 after construction, -1 while the procedure runs, 0 once it returned normally; -1 after a failure.
    std::atomic<int> ThreadResult{-2};
    /// The failure that ended the procedure; null when it succeeded. Read it only after Terminated() is true.
    std::exception_ptr Failure;
    /// The failure's message; empty when it succeeded. Read it only after Terminated() is true.
    QString ErrMessage;

    /// True once the procedure has ended, whichever way (release/acquire with the fields above).
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    /// The owner no longer waits: the thread deletes itself when the procedure has ended.
    void Abandon();
    /// Waits up to aMs milliseconds for every worker still running (at program exit), except those waiting in a call
    /// that may be abandoned (see TAbandonable). True when none is left.
    static bool WaitForAll(int aMs);
    /// The number of workers still running, abandonable ones included.
    static int Running();

protected:
    void run() override;

private:
    std::atomic<bool> FTerminated{false};
};

/// Marks the calling worker, while it lives, as waiting in a call that may be abandoned without harm (a database
/// login): the program does not wait for it at its end.
class TAbandonable
{
public:
    TAbandonable();
    TAbandonable(const TAbandonable&) = delete;
    TAbandonable& operator=(const TAbandonable&) = delete;
    ~TAbandonable();
};
