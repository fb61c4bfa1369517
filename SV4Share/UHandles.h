// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <memory>
#include <type_traits>
#include <utility>

/// Deleter that releases a C handle with the library's own free function; null is ignored.
template <auto FreeFn> struct TFreeWith
{
    template <typename P> void operator()(P* aPtr) const noexcept
    {
        if (aPtr)
            FreeFn(aPtr);
    }
};

/// Owning pointer for a C handle released by FreeFn.
template <typename T, auto FreeFn> using THandle = std::unique_ptr<T, TFreeWith<FreeFn>>;

/// Runs an action when the scope ends, whichever way it ends; the action must not throw.
template <typename F> class TFinally
{
public:
    /// Takes the action to run at the end of the scope.
    explicit TFinally(F aAction) noexcept(std::is_nothrow_move_constructible_v<F>)
        : FAction(std::move(aAction))
    {
    }
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;
    ~TFinally() noexcept
    {
        if (FArmed)
            FAction();
    }
    /// Cancels the action.
    void Dismiss() noexcept { FArmed = false; }

private:
    F FAction;
    bool FArmed = true;
};

/// A file descriptor, closed when it goes out of scope.
class TFd
{
public:
    TFd() = default;
    /// Takes aFd (-1: none).
    explicit TFd(int aFd) noexcept
        : FFd(aFd)
    {
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    int Get() const noexcept { return FFd; }
    /// Takes aFd in place of the one held, which is closed.
    void Reset(int aFd = -1) noexcept
    {
        Close();
        FFd = aFd;
    }
    /// Closes the descriptor now; false (errno set) when the close reports an error.
    bool Close() noexcept { return FFd < 0 || ::close(std::exchange(FFd, -1)) == 0; }

private:
    int FFd = -1;
};
