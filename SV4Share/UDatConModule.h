// SPDX-License-Identifier: MIT
#pragma once

#include "UConnectionStringManager.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class TDBConnection;
struct TDBError;
struct TDBExecuteComplete;

/// The connection module: owns the program's one database connection, loads the stored connection string and
/// opens it (a short first attempt, then the connection dialog when allowed), stores a changed string back, reports
/// the current database, lists the server's databases and writes every command and server message of the
/// connection to the diagnostic log. Used from the window thread; the connection's events may fire on a worker.
/// Widget-free: the dialogs are reached through the connection unit's hooks (UDatCon), which answer "cancelled"
/// when no desktop is present.
class TADOConDataModule
{
public:
    /// A notify event: called with the module as sender.
    using TNotifyEvent = std::function<void(TADOConDataModule& aSender)>;

    /// Creates the module with a closed connection and an empty connection string (runs DataModuleCreate).
    TADOConDataModule();
    TADOConDataModule(const TADOConDataModule&) = delete;
    TADOConDataModule& operator=(const TADOConDataModule&) = delete;
    /// Closes the connection and lets go of it, taking the logging handlers off it (runs DataModuleDestroy).
    virtual ~TADOConDataModule();

    /// The module's component name, "ADOConDataModule".
    QString Name() const { return QStringLiteral("ADOConDataModule"); }

    // --- Operations
    /// Loads the stored connection (aFileName: a ".udl" or ".ini" file, or empty for the one found before) and
    /// opens it, asking the user where the rules allow. On an open connection with an empty aFileName and a kind
    /// other than lkPrompt nothing is reloaded. Raises EVandrel for a ".udl"/".ini" name with another kind, for
    /// store failures, and when a connection the user confirmed still fails to open. True when open at the end.
    bool Connect(const QString& aFileName = QString(), TLocationKind aLocationKind = lkAuto);
    /// Stores the connection string (aLocationKind: lkAuto = the file found by the search, or, with nothing stored,
    /// the INI file beside a non-default settings file (TConnectionStringManager::SetConfigurationFile) or the
    /// shared one; lkINI = the INI file FileName()). Clears Changed. False, without a message, on any failure.
    bool Save(TLocationKind aLocationKind);
    /// Closes the connection and empties its connection string; FileName and LocationKind stay.
    void Close();
    /// Lets the user change the connection (a data-link location: its file in the desktop's editor; otherwise the
    /// connection dialog); reopens it when it was open. True when the user confirmed a change.
    bool PromptChangeConnection();
    /// Appends the names of the server's databases, except "master", "msdb" and "tempdb", to aList (not cleared
    /// first), using aADOConnection or, when null, the module's connection, which must be open.
    void EnumDatabaseList(QStringList& aList, TDBConnection* aADOConnection = nullptr);
    /// Shows the connection dialog on the connection string (BeforePrompt, AfterPrompt around it). True when the
    /// user confirmed; the connection string is then the edited one.
    virtual bool DoConnectionStringPrompt();
    /// aDSN with ".udl" when that file exists, else with ".ini" when that exists, else empty text.
    static QString FindDataLinkFile(const QString& aDSN);
    /// Replaces the connection object by a fresh one with the same string (without the logging handlers) and
    /// reopens it when it was open. The old one is closed and released (see SharedConnection). Read
    /// ADOConnection() again afterwards.
    void ResetConnection();

    /// Leaves the current connection object, as it is, to whoever still holds it through SharedConnection (a worker
    /// that was let go of while it ran a statement) and takes a fresh, closed one with the same connection string,
    /// provider and login prompt.
    void HandOverConnection();

    // --- Properties
    /// Called before the connection dialog.
    const TNotifyEvent& BeforePrompt() const { return FBeforePrompt; }
    void SetBeforePrompt(TNotifyEvent aValue) { FBeforePrompt = std::move(aValue); }
    /// Called after the connection dialog, confirmed or cancelled.
    const TNotifyEvent& AfterPrompt() const { return FAfterPrompt; }
    void SetAfterPrompt(TNotifyEvent aValue) { FAfterPrompt = std::move(aValue); }
    /// Why the last Connect could not open the connection (the driver's or server's message); empty after success.
    const QString& LastConnectError() const { return FLastConnectError; }
    /// After a Save that had to rewrite its file in place (its folder refuses new files), the status line that says so
    /// (UPersistRecords::RewrittenInPlaceLine); empty otherwise.
    const QString& SaveNotice() const { return FSaveNotice; }
    /// True when the connection was entered or repaired by a prompt or a retry and has not been saved since.
    bool Changed() const { return FChanged; }
    /// File of the stored connection; empty when not determined.
    const QString& FileName() const { return FFileName; }
    void SetFileName(const QString& aValue) { FFileName = aValue; }
    /// Kind of place of the stored connection; lkPrompt makes the next Connect skip the store and ask.
    TLocationKind LocationKind() const { return FLocationKind; }
    void SetLocationKind(TLocationKind aValue) { FLocationKind = aValue; }
    /// The connection's connection string.
    QString ConnectionString() const;
    /// Sets the connection's connection string (the connection must be closed).
    void SetConnectionString(const QString& aValue);
    /// The current database: "Current Catalog" while open, else "Initial Catalog" of the string, else the name
    /// written in the string. Raises EDatabaseError when the connection cannot report it.
    QString Database() const;
    /// The one connection. ResetConnection and PromptChangeConnection replace it and release the old one: read it
    /// again after them, and hold it through SharedConnection where it must outlive a replacement.
    TDBConnection& ADOConnection() const { return *FADOConnection; }
    /// The current connection, kept alive by the holder (a worker) after the module replaced it; a replaced
    /// connection is closed. Read it on the window thread and hand it to the worker.
    std::shared_ptr<TDBConnection> SharedConnection() const { return FADOConnection; }
    /// True while the connection is open. A failure is raised with "UDatCon attempt to get connection failed."
    /// in front of its message.
    bool Connected() const;
    /// Opens (errors reach the caller) or closes the connection.
    void SetConnected(bool aValue);
    /// True when a data-link file that fails to open may be repaired with the connection dialog (default false).
    bool AllowUserPrompt() const { return FAllowUserPrompt; }
    void SetAllowUserPrompt(bool aValue) { FAllowUserPrompt = aValue; }

    // --- Handlers
    void DataModuleCreate();
    void DataModuleDestroy();
    /// Logs "UDatCon-Execute: " + the command text, trimmed of blanks and control characters.
    void FADOConnectionWillExecute(const QString& aCommandText, TDBConnection& aConnection);
    /// Logs "RecordsAffected:%d; ResultSize: [C:%d x R:%d]" (counts -1 unless an open result set came back).
    void FADOConnectionExecuteComplete(const TDBExecuteComplete& aInfo, TDBConnection& aConnection);
    /// Logs "UDatCon ADOConnection Info: " + the message's description.
    void FADOConnectionInfoMessage(const TDBError& aError, TDBConnection& aConnection);

private:
    void ReadConnectionString();
    void WriteConnectionString();
    void RecreateConnection();
    /// Makes a fresh connection the module's one; the old one is closed and released.
    TDBConnection& ReplaceConnection(bool aCloseOld = true);
    /// Attaches the logging handlers (FADOConnection...) to the current connection.
    void AttachHandlers();

    QString FFileName;
    TLocationKind FLocationKind = lkAuto;
    TNotifyEvent FBeforePrompt;
    TNotifyEvent FAfterPrompt;
    bool FChanged = false;
    QString FLastConnectError;
    QString FSaveNotice;
    bool FAllowUserPrompt = false;
    std::shared_ptr<TDBConnection> FADOConnection;
    /// The connection that carries the logging handlers, while someone holds it.
    std::weak_ptr<TDBConnection> FLoggedConnection;
};

/// The program's one connection module, created (unconnected) on first use and kept for the whole program.
TADOConDataModule& DatConModule();
