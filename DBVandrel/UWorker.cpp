// SPDX-License-Identifier: MIT
#include "UWorker.h"

#include "EVandrel.h"

#include <QDeadlineTimer>
#include <QMetaObject>

#include <condition_variable>

namespace {
std::mutex gLiveLock;
std::condition_variable gLiveChanged;
int gLiveWorkers = 0;
} // namespace

TWindowLink::TWindowLink(QObject* aTarget)
    : FTarget(aTarget)
{
}

void TWindowLink::Post(std::function<void()> aCall)
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FTarget)
        QMetaObject::invokeMethod(FTarget, std::move(aCall), Qt::QueuedConnection);
}

void TWindowLink::Detach()
{
    std::lock_guard<std::mutex> guard(FLock);
    FTarget = nullptr;
}

QString GenericWorkerFailure()
{
    return QStringLiteral("The operation failed for an unknown reason.");
}

TProcThread::TProcThread(std::function<void()> aProc, QObject* aParent)
    : QThread(aParent)
    , Proc(std::move(aProc))
{
    {
        std::lock_guard<std::mutex> guard(gLiveLock);
        ++gLiveWorkers;
    }
    start();
}

TProcThread::~TProcThread()
{
    // Only a finished thread is ever deleted; wait() returns at once then.
    wait();
}

void TProcThread::run()
{
    ThreadResult.store(-1);
    try {
        if (Proc)
            Proc();
        ThreadResult.store(0);
    } catch (const EVandrel& e) {
        ErrMessage = e.Message().isEmpty() ? GenericWorkerFailure() : e.Message();
    } catch (const std::exception& e) {
        const QString what = QString::fromLocal8Bit(e.what());
        ErrMessage = what.isEmpty() ? GenericWorkerFailure() : what;
    } catch (...) {
        ErrMessage = GenericWorkerFailure();
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
    return gLiveChanged.wait_for(guard, std::chrono::milliseconds(aMs), [] { return gLiveWorkers == 0; });
}
