// SPDX-License-Identifier: MIT
#pragma once

#include "TDBConnection.h"
#include "TOdbc.h"

#include <vector>

/// What the layer's statements share: the connection's handle, events and message list (internal).
struct TDBStatementRun
{
    /// The connection's ODBC handle; raises EDatabaseError when the connection is closed.
    static SQLHDBC Handle(const TDBConnection& aConnection);
    /// Reads the statement's diagnostic records, adds each to the connection's messages (firing InfoMessage for
    /// the informational ones, as they arrive) and returns them.
    static std::vector<TDBError> Dispatch(TDBConnection& aConnection, SQLHSTMT aStatement);
    /// Clears the connection's messages before a new operation.
    static void Clear(TDBConnection& aConnection) { aConnection.ClearErrors(); }
    /// Fires WillExecute.
    static void WillExecute(TDBConnection& aConnection, const QString& aText) { aConnection.FireWillExecute(aText); }
    /// Fires ExecuteComplete.
    static void ExecuteComplete(TDBConnection& aConnection, const TDBExecuteComplete& aInfo)
    {
        aConnection.FireExecuteComplete(aInfo);
    }
    /// True when the connection's link to the server is gone.
    static bool LinkLost(const TDBConnection& aConnection) { return aConnection.LinkLost(); }
    /// True when a record reports a cancelled operation (SQLSTATE HY008).
    static bool HasState(const std::vector<TDBError>& aRecords, const char* aPrefix);
};
