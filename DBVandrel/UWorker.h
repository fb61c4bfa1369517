// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

/// A link from worker threads to the window: posts calls to the window thread while the window exists,
/// and drops them once the window has detached itself (closed or destroyed).
class TWindowLink
{
public:
    /// Links to aTarget, whose thread runs the posted calls.
    explicit TWindowLink(QObject* aTarget);
    /// Queues aCall to run on the target's thread; does nothing when the target is gone. Any thread.
    void Post(std::function<void()> aCall);
    /// Cuts the link; later posts are dropped. Called by the target before it is destroyed.
    void Detach();

private:
    std::mutex FLock;
    QObject* FTarget;
};

/// What one worker procedure shares with the window: its cancel flag and the way back to the window.
struct TWorkerContext
{
    /// True until the run is cancelled or the window closes; long work polls it and stops when it turns false.
    std::atomic<bool> Running{true};
    /// The window link (set by the window).
    std::shared_ptr<TWindowLink> Link;

    /// Runs aCall later on the window thread, or drops it when the window is gone. Any thread.
    void Post(std::function<void()> aCall) const
    {
        if (Link)
            Link->Post(std::move(aCall));
    }
};

/// A thread that runs one procedure and records how it ended. It starts at once when created.
/// The waiter reads ThreadResult and ErrMessage once Terminated() is true, then deletes it; a waiter that gives up
/// calls Abandon() and the thread deletes itself when the procedure ends.
class TProcThread : public QThread
{
    Q_OBJECT
public:
    /// Stores the procedure and starts the thread.
    explicit TProcThread(std::function<void()> aProc, QObject* aParent = nullptr);
    ~TProcThread() override;

    /// The work to run.
    std::function<void()> Proc;
    /// -2 after construction, -1 while the procedure runs, 0 once it returned normally; -1 after a failure.
    std::atomic<int> ThreadResult{-2};
    /// The failure's message; empty when it succeeded. Read it only after Terminated() is true.
    QString ErrMessage;

    /// True once the procedure has ended, whichever way (release/acquire with the fields above).
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    /// The waiter no longer waits: the thread deletes itself when the procedure has ended.
    void Abandon();
    /// Waits up to aMs milliseconds for every worker still running (at program exit). True when none is left.
    static bool WaitForAll(int aMs);

protected:
    void run() override;

private:
    std::atomic<bool> FTerminated{false};
};

/// Text used when a worker failed without a message of its own.
QString GenericWorkerFailure();
