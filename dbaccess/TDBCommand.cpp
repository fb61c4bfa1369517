// SPDX-License-Identifier: MIT
#include "TDBCommand.h"

#include "EVandrel.h"
#include "TDBStatementRun.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

SQLHDBC TDBStatementRun::Handle(const TDBConnection& aConnection)
{
    aConnection.RequireOpen();
    return static_cast<SQLHDBC>(aConnection.OdbcHandle());
}

std::vector<TDBError> TDBStatementRun::Dispatch(TDBConnection& aConnection, SQLHSTMT aStatement)
{
    std::vector<TDBError> records = UOdbc::Diagnostics(SQL_HANDLE_STMT, aStatement);
    for (const TDBError& record : records)
        aConnection.AddMessage(record);
    return records;
}

bool TDBStatementRun::HasState(const std::vector<TDBError>& aRecords, const char* aPrefix)
{
    for (const TDBError& record : aRecords)
        if (record.SQLState.startsWith(QLatin1String(aPrefix)))
            return true;
    return false;
}

struct TDBCommandPrivate
{
    explicit TDBCommandPrivate(TDBConnection& aConnection)
        : Connection(aConnection)
    {
    }

    TDBConnection& Connection;
    QString CommandText;
    int CommandTimeout = 0;
    int Options = eoNone;
    TOdbc<SQL_HANDLE_STMT> Statement;
    std::atomic<int> State{stClosed};
    std::atomic<bool> CancelRequested{false};
    std::atomic<bool> TimedOut{false};
    std::thread Worker;
    std::thread Watchdog;
    mutable std::mutex Lock;
    mutable std::condition_variable Ended;
    bool Running = false;
    TDBExecuteComplete Outcome;

    void Run() noexcept;
    void Finish(const TDBExecuteComplete& aOutcome) noexcept;
    void WatchDeadline() noexcept;
    void Join() noexcept;
};

namespace {

// Reads the rows of the current result set to its end (the server's stream must be read through, never
// dropped, or a running BACKUP would be aborted), counting them.
qint64 SkipRows(SQLHSTMT aStatement, TDBConnection& aConnection, std::vector<TDBError>& aErrors, bool& aFailed)
{
    qint64 rows = 0;
    for (;;) {
        const SQLRETURN rc = SQLFetch(aStatement);
        if (rc == SQL_NO_DATA)
            break;
        if (rc != SQL_SUCCESS) {
            const std::vector<TDBError> records = TDBStatementRun::Dispatch(aConnection, aStatement);
            for (const TDBError& record : records)
                if (!record.IsInfo())
                    aErrors.push_back(record);
            if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE) {
                aFailed = true;
                break;
            }
        }
        ++rows;
    }
    return rows;
}

} // namespace

// Runs the statement and reads every result and message to the end, on whichever thread calls it.
void TDBCommandPrivate::Run() noexcept
{
    TDBExecuteComplete outcome;
    outcome.CommandText = CommandText;
    std::vector<TDBError> errors;
    const SQLHSTMT statement = Statement.Get();
    bool failed = false;
    bool cancelled = CancelRequested.load();
    if (!cancelled) {
        SQLRETURN rc = SQLExecDirectW(statement, UOdbc::Wide(CommandText), SQL_NTS);
        bool fromMoreResults = false;
        for (;;) {
            if (rc == SQL_INVALID_HANDLE) {
                failed = true;
                break;
            }
            std::vector<TDBError> records;
            if (rc != SQL_SUCCESS)
                records = TDBStatementRun::Dispatch(Connection, statement);
            if (TDBStatementRun::HasState(records, "HY008") || CancelRequested.load()) {
                cancelled = true;
                break;
            }
            for (const TDBError& record : records)
                if (!record.IsInfo())
                    errors.push_back(record);
            if (rc == SQL_ERROR) {
                failed = true;
                // A broken link, a driver state error or an error without a record leaves nothing more to read.
                if (records.empty() || TDBStatementRun::HasState(records, "08") ||
                    TDBStatementRun::HasState(records, "HY"))
                    break;
            } else if (rc == SQL_NO_DATA && fromMoreResults)
                break;
            else if (SQL_SUCCEEDED(rc)) {
                SQLSMALLINT columns = 0;
                SQLNumResultCols(statement, &columns);
                if (columns > 0) {
                    const qint64 rows = SkipRows(statement, Connection, errors, failed);
                    if (!outcome.HasRecordset) {
                        outcome.HasRecordset = true;
                        outcome.FieldCount = columns;
                        outcome.RecordCount = rows;
                    }
                } else {
                    SQLLEN count = -1;
                    if (SQL_SUCCEEDED(SQLRowCount(statement, &count)) && count >= 0)
                        outcome.RecordsAffected = qMax<qint64>(outcome.RecordsAffected, 0) + count;
                }
            }
            rc = SQLMoreResults(statement);
            fromMoreResults = true;
        }
    }
    if (cancelled)
        SQLCancel(statement);
    SQLFreeStmt(statement, SQL_CLOSE);
    // The deadline ends the statement through the watchdog's cancel or through the driver's own time-out (HYT00, or
    // a cancel that nobody asked for: the driver cancels by itself when its time-out comes first), whichever comes
    // first; all read the same.
    const bool driverCancelled = cancelled && !CancelRequested.load() && CommandTimeout > 0;
    if ((cancelled && TimedOut.load()) || driverCancelled || (failed && TDBStatementRun::HasState(errors, "HYT00"))) {
        failed = true;
        cancelled = false;
        errors.clear();
        errors.push_back(TDBError{
            QStringLiteral("Query timeout expired (%1 seconds).").arg(CommandTimeout), QStringLiteral("HYT00"), 0});
    }
    if (failed && TDBStatementRun::LinkLost(Connection)) {
        // The driver words a lost link as "Unknown error"; say what happened instead.
        std::erase_if(errors, [](const TDBError& aError) { return aError.SQLState == QLatin1String("HY000"); });
        errors.push_back(
            TDBError{QStringLiteral("The connection to the server was lost."), QStringLiteral("08S01"), 0});
    }
    outcome.Cancelled = cancelled;
    outcome.Failed = failed;
    if (failed) {
        outcome.ErrorMessage = UOdbc::ErrorText(errors);
        if (outcome.ErrorMessage.isEmpty())
            outcome.ErrorMessage = QStringLiteral("The statement failed without a message from the server.");
    }
    Finish(outcome);
}

void TDBCommandPrivate::Finish(const TDBExecuteComplete& aOutcome) noexcept
{
    TDBStatementRun::ExecuteComplete(Connection, aOutcome);
    {
        std::lock_guard lock(Lock);
        Outcome = aOutcome;
        Running = false;
        State.store(stClosed);
    }
    Ended.notify_all();
}

void TDBCommandPrivate::WatchDeadline() noexcept
{
    std::unique_lock lock(Lock);
    if (Ended.wait_for(lock, std::chrono::seconds(CommandTimeout), [this] { return !Running; }))
        return;
    TimedOut.store(true);
    CancelRequested.store(true);
    lock.unlock();
    SQLCancel(Statement.Get());
}

void TDBCommandPrivate::Join() noexcept
{
    if (Worker.joinable())
        Worker.join();
    if (Watchdog.joinable())
        Watchdog.join();
}

TDBCommand::TDBCommand(TDBConnection& aConnection)
    : FData(std::make_unique<TDBCommandPrivate>(aConnection))
{
}

TDBCommand::~TDBCommand()
{
    if (States() != stClosed)
        Cancel();
    FData->Join();
}

QString TDBCommand::CommandText() const
{
    return FData->CommandText;
}

void TDBCommand::SetCommandText(const QString& aValue)
{
    FData->CommandText = aValue;
}

int TDBCommand::CommandTimeout() const
{
    return FData->CommandTimeout;
}

void TDBCommand::SetCommandTimeout(int aSeconds)
{
    FData->CommandTimeout = qMax(0, aSeconds);
}

int TDBCommand::ExecuteOptions() const
{
    return FData->Options;
}

void TDBCommand::SetExecuteOptions(int aOptions)
{
    FData->Options = aOptions;
}

void TDBCommand::Execute()
{
    if (States() != stClosed)
        throw EDatabaseError(QStringLiteral("Operation is not allowed while the command is executing."));
    FData->Join();
    const SQLHDBC dbc = TDBStatementRun::Handle(FData->Connection);
    FData->Statement = TOdbc<SQL_HANDLE_STMT>(dbc);
    // The driver waits for the server's answer to a cancel without limit; with a deadline it waits no longer
    // than that for any one reply, so a server that hangs cannot hold the statement past the deadline for long
    // (the driver then drops the link). A reply that takes this long means the deadline has passed anyway.
    if (FData->CommandTimeout > 0)
        SQLSetStmtAttrW(FData->Statement.Get(),
                        SQL_ATTR_QUERY_TIMEOUT,
                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(FData->CommandTimeout)),
                        0);
    FData->CancelRequested.store(false);
    FData->TimedOut.store(false);
    TDBStatementRun::Clear(FData->Connection);
    TDBStatementRun::WillExecute(FData->Connection, FData->CommandText);
    {
        std::lock_guard lock(FData->Lock);
        FData->Running = true;
        FData->Outcome = TDBExecuteComplete();
        FData->State.store(stExecuting);
    }
    if (FData->CommandTimeout > 0)
        FData->Watchdog = std::thread([data = FData.get()] { data->WatchDeadline(); });
    if (FData->Options & eoAsyncExecute) {
        FData->Worker = std::thread([data = FData.get()] { data->Run(); });
        return;
    }
    FData->Run();
    FData->Join();
    RaiseOnFailure();
}

int TDBCommand::States() const
{
    return FData->State.load();
}

void TDBCommand::Cancel()
{
    FData->CancelRequested.store(true);
    if (States() != stClosed)
        SQLCancel(FData->Statement.Get());
}

bool TDBCommand::WaitFor(int aMilliseconds) const
{
    std::unique_lock lock(FData->Lock);
    return FData->Ended.wait_for(
        lock, std::chrono::milliseconds(qMax(0, aMilliseconds)), [this] { return !FData->Running; });
}

TDBExecuteComplete TDBCommand::Outcome() const
{
    std::lock_guard lock(FData->Lock);
    return FData->Outcome;
}

void TDBCommand::RaiseOnFailure() const
{
    const TDBExecuteComplete outcome = Outcome();
    if (outcome.Failed)
        throw EDatabaseError(outcome.ErrorMessage);
}
