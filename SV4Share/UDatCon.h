// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class TDBConnection;

/// Connection-string utilities shared by the connection store and the connection module. None keeps state
/// between calls except the dialog hook, which the program installs once at start-up.
namespace UDatCon {

/// Shows the connection dialog starting from aInitial; true and the edited string in aResult when confirmed,
/// false when cancelled. Installed by the widget code; without one every prompt answers "cancelled".
using TConnectionDialogHook = std::function<bool(const QString& aInitial, QString& aResult)>;

/// Asks for a user name and password, both prefilled; false when the user declined.
using TLoginDialogHook = std::function<bool(QString& aUser, QString& aPassword)>;

/// Installs (or, with an empty hook, removes) the connection dialog used by ADOConnectionString and PromptDataLink.
void SetConnectionDialogHook(TConnectionDialogHook aHook);
/// Installs (or removes) the login dialog that LoginPrompt shows.
void SetLoginDialogHook(TLoginDialogHook aHook);
/// Asks for a login through the installed login dialog; false (declined) when none is installed. Suits
/// TDBConnection::SetLoginPromptHook; DecideLoginPrompt attaches it to the connection it decides for.
bool LoginPrompt(QString& aUser, QString& aPassword);

/// Writes one diagnostic line, unchanged, to the debugger output.
void Log(const QString& aText);

/// The database named in an OLE DB connection string: "Data Source" for a Jet provider, else "Database", else
/// "Initial Catalog" (keywords in any case, "=" right after them); empty when there is none.
QString GetDatabaseName(const QString& aConnectionString);

/// Lets the user build or edit a connection string in the connection dialog, starting from aInitial. True and
/// the new string in aConnectionString when confirmed; false with aConnectionString empty when cancelled.
bool ADOConnectionString(const QString& aInitial, QString& aConnectionString);

/// Edits the connection's string in the connection dialog; true when the user confirmed (the connection, which
/// must be closed, then holds the edited string).
bool PromptDataLink(TDBConnection& aConnection);

/// Writes aConnectionString into the data-link file aFileName (UTF-16LE with byte-order mark, "[oledb]", the
/// comment line, the string), readable and writable by its owner only. An existing file is moved aside into the
/// temporary folder first and deleted after a successful write, or moved back when the write fails.
/// True when the file was written; never throws.
bool StoreDataLink(const QString& aConnectionString, const QString& aFileName);

/// Sets "name=value" entries of aList for every property of the connection: an existing entry of the same name
/// (any case) is replaced, an empty value removes it; a value that cannot be read gives "<error> " + message.
void EnumerateDCProperties(TDBConnection& aConnection, QStringList& aList);

/// Sets the connection's LoginPrompt: true exactly when it neither uses integrated security nor has
/// "Persist Security Info" set; the connection asks through LoginPrompt.
void DecideLoginPrompt(TDBConnection& aConnection);

/// Opens the connection with a 3-second time-out first; when that fails, once more with the configured
/// time-out, whose failure reaches the caller.
void TryOpenTwice(TDBConnection& aConnection);

/// Replaces the extension of aFileName's final component (from its last ".") by aNewExt (with its dot); a name
/// without an extension comes back unchanged.
QString ReplaceFileExt(const QString& aFileName, const QString& aNewExt);

/// aFileName with the extension of its final component changed to aNewExt, or aNewExt appended when it has none.
QString ChangeFileExt(const QString& aFileName, const QString& aNewExt);

} // namespace UDatCon
