// SPDX-License-Identifier: MIT
#include "UWorker.h"

#include "EVandrel.h"

#include <QCoreApplication>

#include <condition_variable>
#include <mutex>

namespace {
std::mutex gLiveLock;
std::condition_variable gLiveChanged;
int gLiveWorkers = 0;
int gAbandonable = 0;
} // namespace

TAbandonable::TAbandonable()
{
    std::lock_guard<std::mutex> guard(gLiveLock);
    ++gAbandonable;
}

TAbandonable::~TAbandonable()
{
    {
        std::lock_guard<std::mutex> guard(gLiveLock);
        --gAbandonable;
    }
    gLiveChanged.notify_all();
}

TProcThread::TProcThread(std::function<void()> aProc, QObject* aParent)
    : QThread(aParent)
    , Proc(std::move(aProc))
{
    // A thread made on another worker (a step's own statement thread) belongs to the application's thread, whose
    // event loop frees it once it was abandoned; the worker that made it has no event loop.
    if (QCoreApplication* app = QCoreApplication::instance(); app && !aParent && thread() != app->thread())
        moveToThread(app->thread());
    std::lock_guard<std::mutex> guard(gLiveLock);
    ++gLiveWorkers;
}

TProcThread::~TProcThread()
{
    // Only a finished (or never started) thread is ever deleted; wait() returns at once then.
    wait();
    if (!FTerminated.load()) {
        std::lock_guard<std::mutex> guard(gLiveLock);
        --gLiveWorkers;
        gLiveChanged.notify_all();
    }
}

void TProcThread::run()
{
    ThreadResult.store(-1);
    try {
        if (Proc)
            Proc();
        ThreadResult.store(0);
    } catch (...) {
        Failure = std::current_exception();
        ErrMessage = CurrentFailureText();
    }
    // Drop the procedure (and what it captured) on this thread, before anyone is told it ended.
    Proc = nullptr;
    FTerminated.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> guard(gLiveLock);
        --gLiveWorkers;
    }
    gLiveChanged.notify_all();
}

void TProcThread::Abandon()
{
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    if (isFinished())
        deleteLater();
}

bool TProcThread::WaitForAll(int aMs)
{
    std::unique_lock<std::mutex> guard(gLiveLock);
    return gLiveChanged.wait_for(
        guard, std::chrono::milliseconds(aMs), [] { return gLiveWorkers - gAbandonable <= 0; });
}

int TProcThread::Running()
{
    std::lock_guard<std::mutex> guard(gLiveLock);
    return gLiveWorkers;
}
