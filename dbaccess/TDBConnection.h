// SPDX-License-Identifier: MIT
#pragma once

#include "TDBTypes.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TDBCommand;
class TDBQuery;
struct TDBConnectionPrivate;
struct TDBListener;
struct TDBListenerList;

/// A listener's hold on a connection's event: destroying it ends the listening, also when the connection is
/// already gone. Move-only; a default or moved-from subscription follows nothing.
class TDBSubscription
{
public:
    /// Creates a subscription that follows nothing.
    TDBSubscription() noexcept;
    TDBSubscription(const TDBSubscription&) = delete;
    TDBSubscription& operator=(const TDBSubscription&) = delete;
    /// Takes over aOther's listening; aOther then follows nothing.
    TDBSubscription(TDBSubscription&& aOther) noexcept;
    /// Ends the current listening, then takes over aOther's.
    TDBSubscription& operator=(TDBSubscription&& aOther) noexcept;
    /// Ends the listening; when the handler is running on another thread, waits until that call returned.
    ~TDBSubscription();

private:
    friend class TDBConnection;
    /// Holds aListener, which aList (the connection's) calls.
    TDBSubscription(std::weak_ptr<TDBListenerList> aList, std::shared_ptr<TDBListener> aListener) noexcept;
    /// Stops the listener and takes it off the list, if the list still exists.
    void Release() noexcept;

    std::weak_ptr<TDBListenerList> FList;
    std::shared_ptr<TDBListener> FListener;
};

/// The one connection to a SQL Server, configured with an OLE DB connection string and opened through ODBC.
/// Used by one thread at a time; the events may fire on a command's own thread.
class TDBConnection
{
public:
    /// Called before a statement runs, with its text.
    using TWillExecuteEvent = std::function<void(const QString& aCommandText, TDBConnection& aConnection)>;
    /// Called after a statement ended (also after a failure or a cancel).
    using TExecuteCompleteEvent = std::function<void(const TDBExecuteComplete& aInfo, TDBConnection& aConnection)>;
    /// Called once per informational message of the server, in arrival order, as it arrives; Errors() then ends
    /// with the same message.
    using TInfoMessageEvent = std::function<void(const TDBError& aError, TDBConnection& aConnection)>;
    /// Asks the user for a login; answers false when the user declined. aUser and aPassword come prefilled.
    using TLoginPromptHook = std::function<bool(QString& aUser, QString& aPassword)>;

    /// Creates a closed connection with an empty connection string.
    TDBConnection();
    TDBConnection(const TDBConnection&) = delete;
    TDBConnection& operator=(const TDBConnection&) = delete;
    /// Closes the connection.
    ~TDBConnection();

    /// The OLE DB connection string, exactly as set.
    QString ConnectionString() const;
    /// Sets the OLE DB connection string; raises EDatabaseError while the connection is open.
    void SetConnectionString(const QString& aValue);
    /// The provider: set explicitly, else the "Provider" of the connection string, else empty.
    QString Provider() const;
    /// Sets the provider used when the connection string names none; raises while open.
    void SetProvider(const QString& aValue);
    /// Login time-out in seconds (default 15; 0 waits as long as the system does).
    int ConnectionTimeout() const;
    /// Sets the login time-out in seconds.
    void SetConnectionTimeout(int aSeconds);
    /// Deadline in seconds of the statements run by Execute (default 0: none).
    int CommandTimeout() const;
    /// Sets the deadline of Execute.
    void SetCommandTimeout(int aSeconds);
    /// True when Open first asks for user name and password through the login prompt hook.
    bool LoginPrompt() const;
    /// Sets whether Open asks for a login.
    void SetLoginPrompt(bool aValue);
    /// Installs the hook that asks for a login (the window's dialog). Without one, Open with LoginPrompt fails.
    void SetLoginPromptHook(TLoginPromptHook aHook);
    /// The cursor location the caller chose (default clUseClient).
    TDBCursorLocation CursorLocation() const;
    /// Stores the cursor location.
    void SetCursorLocation(TDBCursorLocation aValue);

    /// Opens the connection; raises EDatabaseError with the server's or driver's message on failure.
    void Open();
    /// Closes the connection; never fails. Closing a closed connection does nothing.
    void Close() noexcept;
    /// True while the connection is open (false once the server's link was lost; Open then connects anew).
    bool Connected() const;
    /// Opens (true) or closes (false) the connection.
    void SetConnected(bool aValue);

    /// Number of connection properties: 0 with an empty connection string, more once open.
    int PropertyCount() const;
    /// Name of the property at aIndex; raises EDatabaseError outside 0..PropertyCount()-1.
    QString PropertyName(int aIndex) const;
    /// Value of the property at aIndex, as text (Booleans as "True"/"False"); raises when unreadable.
    QString PropertyValue(int aIndex) const;
    /// Value of the named property (name compared without case), e.g. "Current Catalog" (the server's current
    /// database, while open), "Initial Catalog", "Data Source", "User ID", "Persist Security Info",
    /// "Integrated Security"; raises EDatabaseError for a name the connection does not have.
    QString Property(const QString& aName) const;
    /// All property names, in index order.
    QStringList PropertyNames() const;

    /// Runs one batch synchronously and reads every result and message to the end; raises EDatabaseError when
    /// the server reports an error (class 11 and up), the connection fails, or CommandTimeout expires.
    void Execute(const QString& aCommandText);

    /// Number of messages of the latest operation (the last one is the latest).
    int ErrorCount() const;
    /// The message at aIndex (0 = oldest); raises EDatabaseError outside the range.
    TDBError Error(int aIndex) const;
    /// A copy of all messages of the latest operation, oldest first.
    std::vector<TDBError> Errors() const;

    /// Replaces the WillExecute handler (an empty function removes it).
    void SetOnWillExecute(TWillExecuteEvent aHandler);
    /// Replaces the ExecuteComplete handler.
    void SetOnExecuteComplete(TExecuteCompleteEvent aHandler);
    /// Replaces the InfoMessage handler.
    void SetOnInfoMessage(TInfoMessageEvent aHandler);
    /// Adds aHandler as one more listener of the informational messages, called after the InfoMessage handler
    /// and the listeners subscribed before it, on the thread that received the message, until the subscription
    /// is destroyed. A handler must not wait for a thread that is destroying the handler's own subscription.
    [[nodiscard]] TDBSubscription SubscribeInfoMessage(TInfoMessageEvent aHandler);

    /// The ODBC connection string that Open would use (password included), for diagnostics and tests.
    QString OdbcConnectionString() const;

private:
    friend class TDBCommand;
    friend class TDBQuery;
    friend struct TDBStatementRun;

    void FireWillExecute(const QString& aCommandText);
    void FireExecuteComplete(const TDBExecuteComplete& aInfo);
    void AddMessage(const TDBError& aError);
    void ClearErrors();
    void* OdbcHandle() const;
    bool LinkLost() const;
    void RequireOpen() const;

    std::unique_ptr<TDBConnectionPrivate> FData;
    mutable std::mutex FEventLock;
    TWillExecuteEvent FOnWillExecute;
    TExecuteCompleteEvent FOnExecuteComplete;
    TInfoMessageEvent FOnInfoMessage;
    std::shared_ptr<TDBListenerList> FInfoListeners;
    std::vector<TDBError> FErrors;
};
