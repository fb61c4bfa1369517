// SPDX-License-Identifier: MIT
#pragma once

#include "TDBTypes.h"

#include <QString>

#include <memory>

class TDBConnection;
struct TDBCommandPrivate;

/// One statement on a connection. With eoAsyncExecute, Execute returns at once and the statement runs on the
/// command's own thread until every result and message is read; States() tells when it has ended.
class TDBCommand
{
public:
    /// Creates a command on aConnection, which must outlive it.
    explicit TDBCommand(TDBConnection& aConnection);
    TDBCommand(const TDBCommand&) = delete;
    TDBCommand& operator=(const TDBCommand&) = delete;
    /// Cancels a statement that still runs and waits for its thread; never fails.
    ~TDBCommand();

    /// The statement text.
    QString CommandText() const;
    /// Sets the statement text.
    void SetCommandText(const QString& aValue);
    /// The deadline in seconds from Execute to the end of the statement; 0 (default) means none.
    int CommandTimeout() const;
    /// Sets the deadline; when it passes the statement is cancelled and fails with "Query timeout expired".
    void SetCommandTimeout(int aSeconds);
    /// The execute options (TDBExecuteOption bits).
    int ExecuteOptions() const;
    /// Sets the execute options; eoAsyncExecute makes Execute return at once.
    void SetExecuteOptions(int aOptions);

    /// Starts the statement. Asynchronous: returns at once (a failure shows in Outcome()). Synchronous: returns
    /// when it ended and raises EDatabaseError when it failed. Raises when the connection is closed or a
    /// statement of this command still runs.
    void Execute();
    /// stExecuting while the statement runs, stClosed before Execute and once it ended or was cancelled.
    int States() const;
    /// Stops the running statement (SQLCancel); the statement then ends as cancelled, not failed.
    void Cancel();
    /// Waits up to aMilliseconds for the statement to end; true when it is not running.
    bool WaitFor(int aMilliseconds) const;

    /// How the last execution ended; valid once States() is stClosed.
    TDBExecuteComplete Outcome() const;
    /// Raises the last execution's failure as EDatabaseError (not for a cancel); does nothing otherwise.
    void RaiseOnFailure() const;

private:
    std::unique_ptr<TDBCommandPrivate> FData;
};
