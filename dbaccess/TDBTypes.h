// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <QtGlobal>

/// Object states of a connection, command or query, as bits (a command reports stExecuting while it runs).
enum TDBObjectState : int { stClosed = 0, stOpen = 1, stConnecting = 2, stExecuting = 4, stFetching = 8 };

/// Where result sets are kept; stored for the callers that set it, the layer reads forward-only in any case.
enum TDBCursorLocation : int { clUseServer = 2, clUseClient = 3 };

/// Cursor types of a query; only forward-only reading is offered.
enum TDBCursorType : int { ctForwardOnly = 0 };

/// Execute options of a command, as bits.
enum TDBExecuteOption : int { eoNone = 0, eoAsyncExecute = 0x10, eoAsyncFetch = 0x20 };

/// Schemas a query can open.
enum TDBSchema : int { siCatalogs = 1 };

/// One message of the server or the driver: a warning or information (SQLSTATE class "01") or an error.
struct TDBError
{
    /// The message text, without the driver's "[...]" prefixes.
    QString Description;
    /// The five-character SQLSTATE, e.g. "01000" for a server information message.
    QString SQLState;
    /// The server's message number (e.g. 3211 for backup progress), or the driver's native code.
    int NativeError = 0;

    /// True for informational messages and warnings, false for errors.
    bool IsInfo() const { return SQLState.startsWith(QLatin1String("01")); }
};

/// What an execution left behind, handed to the ExecuteComplete event.
struct TDBExecuteComplete
{
    /// The command text that ran.
    QString CommandText;
    /// Rows changed by the statements, summed; -1 when no statement reported a count.
    qint64 RecordsAffected = -1;
    /// True when the execution produced a result set.
    bool HasRecordset = false;
    /// State of that result set: stOpen while a query keeps it open for reading, else stClosed.
    int RecordsetState = stClosed;
    /// Columns of the (first) result set; -1 without one.
    int FieldCount = -1;
    /// Rows of the result set when they were all read, -1 when unknown (an open forward-only result set).
    qint64 RecordCount = -1;
    /// True when the statement ended with an error (timeout and lost connection included).
    bool Failed = false;
    /// True when the statement was cancelled on request.
    bool Cancelled = false;
    /// The failure's message (the server's error texts, one per line) when Failed is true.
    QString ErrorMessage;
};
