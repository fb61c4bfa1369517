// SPDX-License-Identifier: MIT
#include "UDatConModule.h"

#include "EVandrel.h"
#include "UDatCon.h"
#include "UFileUtils.h"

#include "TDBConnection.h"
#include "TDBQuery.h"
#include "UOleDbString.h"

namespace {
const QString cUdlExt = QStringLiteral(".udl");
const QString cIniExt = QStringLiteral(".ini");
const QString cFileNameKey = QStringLiteral("FILE NAME");

/// The extension of the final path component, dot included, exactly as written; empty when there is none.
QString FileExt(const QString& aFileName)
{
    const qsizetype dot = aFileName.lastIndexOf(QLatin1Char('.'));
    return dot > aFileName.lastIndexOf(QLatin1Char('/')) ? aFileName.mid(dot) : QString();
}

/// aText without the blanks and control characters at either end.
QString TrimControls(const QString& aText)
{
    qsizetype begin = 0;
    qsizetype end = aText.size();
    while (begin < end && aText.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && aText.at(end - 1).unicode() <= 0x20)
        --end;
    return aText.mid(begin, end - begin);
}

/// The string a data-link reference stands for ("FILE NAME=" replaced by the file's own pairs); other strings
/// come back unchanged. Raises EDatabaseError when the referenced file cannot be read.
QString ResolveFileName(const QString& aConnectionString)
{
    if (!UOleDbString::Contains(UOleDbString::Parse(aConnectionString), cFileNameKey))
        return aConnectionString;
    QStringList parts;
    for (const UOleDbString::TPair& pair : UOleDbString::Resolve(aConnectionString))
        if (pair.first.compare(cFileNameKey, Qt::CaseInsensitive) != 0)
            parts << pair.first + QLatin1Char('=') + UOleDbString::QuoteValue(pair.second);
    return parts.join(QLatin1Char(';'));
}

/// The data-link file a connection string refers to, or empty text.
QString ReferencedFile(const QString& aConnectionString)
{
    return UOleDbString::Value(UOleDbString::Parse(aConnectionString), cFileNameKey);
}
} // namespace

TADOConDataModule::TADOConDataModule()
{
    ReplaceConnection();
    AttachHandlers();
    DataModuleCreate();
}

TADOConDataModule::~TADOConDataModule()
{
    DataModuleDestroy();
    FADOConnection->Close();
    // A worker may still hold the connection that logs, even after a replacement; its handlers call this module,
    // so they go with it.
    if (const std::shared_ptr<TDBConnection> logged = FLoggedConnection.lock()) {
        logged->SetOnWillExecute({});
        logged->SetOnExecuteComplete({});
        logged->SetOnInfoMessage({});
    }
}

// --- Operations

bool TADOConDataModule::Connect(const QString& aFileName, TLocationKind aLocationKind)
{
    if (FADOConnection->Connected() && aFileName.isEmpty() && aLocationKind != lkPrompt)
        return true;

    // The new place is checked before anything changes, so a refused call leaves the module as it was.
    QString fileName = FFileName;
    TLocationKind kind = FLocationKind;
    QString ext;
    if (!aFileName.isEmpty()) {
        fileName = aFileName;
        ext = FileExt(aFileName);
        if (ext == cUdlExt)
            kind = lkUDL;
        else if (ext == cIniExt)
            kind = lkINI;
    }
    if (aLocationKind != lkAuto)
        kind = aLocationKind;
    if (ext == cUdlExt && kind != lkUDL)
        throw EVandrel(QStringLiteral("File with UDL extension must use Location Kind UDL."));
    if (ext == cIniExt && kind != lkINI)
        throw EVandrel(QStringLiteral("File with INI extension must use Location Kind INI."));
    FFileName = fileName;
    FLocationKind = kind;

    TDBConnection& connection = *FADOConnection;
    connection.Close();
    connection.SetConnectionString(QString());
    FLastConnectError.clear();
    if (FLocationKind != lkPrompt)
        ReadConnectionString();

    if (connection.ConnectionString().isEmpty()) {
        // Nothing stored: the dialog is always shown.
        if (aLocationKind == lkAuto)
            FLocationKind = lkPrompt;
        if (DoConnectionStringPrompt()) {
            UDatCon::DecideLoginPrompt(connection);
            UDatCon::TryOpenTwice(connection);
            FChanged = connection.Connected();
        }
    } else if (FLocationKind == lkUDL) {
        try {
            UDatCon::TryOpenTwice(connection);
        } catch (const std::exception&) {
            // A data-link file that does not open is repaired below, when allowed.
            FLastConnectError = CurrentFailureText();
        }
        if (!connection.Connected() && FAllowUserPrompt) {
            if (UFileUtils::FileExists(FFileName))
                connection.PropertyCount();
            // The dialog starts from what the file holds, not from the bare reference to it.
            QString edited;
            if (UDatCon::ADOConnectionString(ResolveFileName(connection.ConnectionString()), edited)) {
                connection.SetConnectionString(edited);
                UDatCon::DecideLoginPrompt(connection);
                connection.Open();
                // The repaired string is only kept when it is saved.
                FChanged = connection.Connected();
            }
        }
    } else {
        if (connection.PropertyCount() < 1) {
            if (UDatCon::PromptDataLink(connection))
                UDatCon::TryOpenTwice(connection);
        } else {
            try {
                UDatCon::TryOpenTwice(connection);
            } catch (const EDatabaseError& e) {
                FLastConnectError = e.Message();
                DoConnectionStringPrompt();
            }
            // Only a connection had through the prompt or the retry counts as changed: one that opened as stored
            // has nothing to save.
            if (!connection.Connected()) {
                UDatCon::DecideLoginPrompt(connection);
                try {
                    connection.Open();
                } catch (const EDatabaseError& e) {
                    // Reported through the result; the reason stays for the caller.
                    FLastConnectError = e.Message();
                }
                FChanged = connection.Connected();
            }
        }
    }
    if (connection.Connected())
        FLastConnectError.clear();
    return connection.Connected();
}

bool TADOConDataModule::Save(TLocationKind aLocationKind)
{
    FLocationKind = aLocationKind;
    FSaveNotice.clear();
    try {
        WriteConnectionString();
        return true;
    } catch (const std::exception&) {
        UDatCon::Log(QStringLiteral("UDatCon: saving the connection failed: ") + CurrentFailureText());
        return false;
    }
}

void TADOConDataModule::Close()
{
    FADOConnection->Close();
    FADOConnection->SetConnectionString(QString());
}

bool TADOConDataModule::PromptChangeConnection()
{
    const bool wasOpen = FADOConnection->Connected();
    FADOConnection->Close();
    RecreateConnection();
    TDBConnection& connection = *FADOConnection;
    bool result = false;
    if (FLocationKind == lkUDL) {
        // The data-link file is edited in the connection dialog and written back; the connection keeps its
        // reference to the file, so the next opening reads the edited file.
        QString file = FFileName.isEmpty() ? ReferencedFile(connection.ConnectionString()) : FFileName;
        QString edited;
        if (!file.isEmpty() && UDatCon::ADOConnectionString(ResolveFileName(connection.ConnectionString()), edited))
            result = UDatCon::StoreDataLink(edited, file);
    } else if (UDatCon::PromptDataLink(connection)) {
        UDatCon::DecideLoginPrompt(connection);
        result = true;
    }
    if (result && wasOpen)
        connection.Open();
    return result;
}

void TADOConDataModule::EnumDatabaseList(QStringList& aList, TDBConnection* aADOConnection)
{
    TDBQuery query(aADOConnection ? *aADOConnection : *FADOConnection);
    query.OpenSchema(siCatalogs);
    for (; !query.Eof(); query.Next()) {
        const QString name = query.FieldAsString(QStringLiteral("CATALOG_NAME"));
        if (name != QLatin1String("master") && name != QLatin1String("msdb") && name != QLatin1String("tempdb"))
            aList.append(name);
    }
}

bool TADOConDataModule::DoConnectionStringPrompt()
{
    if (FBeforePrompt)
        FBeforePrompt(*this);
    if (ConnectionString().isEmpty() && FADOConnection->Provider().isEmpty())
        SetConnectionString(QStringLiteral("Provider=SQLOLEDB"));
    QString edited;
    const bool confirmed = UDatCon::ADOConnectionString(ConnectionString(), edited);
    if (confirmed)
        SetConnectionString(edited);
    if (FAfterPrompt)
        FAfterPrompt(*this);
    return confirmed;
}

QString TADOConDataModule::FindDataLinkFile(const QString& aDSN)
{
    const QString udl = UDatCon::ReplaceFileExt(aDSN, cUdlExt);
    if (UFileUtils::FileExists(udl))
        return udl;
    const QString ini = UDatCon::ReplaceFileExt(aDSN, cIniExt);
    if (UFileUtils::FileExists(ini))
        return ini;
    return QString();
}

void TADOConDataModule::ResetConnection()
{
    const QString connectionString = FADOConnection->ConnectionString();
    const bool wasOpen = Connected();
    FADOConnection->Close();
    FADOConnection->SetConnectionString(QString());
    TDBConnection& fresh = ReplaceConnection();
    fresh.SetConnectionString(connectionString);
    fresh.SetLoginPrompt(false);
    SetConnected(wasOpen);
}

// --- Properties

QString TADOConDataModule::ConnectionString() const
{
    return FADOConnection->ConnectionString();
}

void TADOConDataModule::SetConnectionString(const QString& aValue)
{
    FADOConnection->SetConnectionString(aValue);
}

QString TADOConDataModule::Database() const
{
    QString database;
    if (FADOConnection->Connected())
        database = FADOConnection->Property(QStringLiteral("Current Catalog"));
    else if (!ConnectionString().isEmpty())
        database = FADOConnection->Property(QStringLiteral("Initial Catalog"));
    if (database.isEmpty())
        database = UDatCon::GetDatabaseName(ConnectionString());
    return database;
}

bool TADOConDataModule::Connected() const
{
    static const QString prefix = QStringLiteral("UDatCon attempt to get connection failed.");
    try {
        return FADOConnection->Connected();
    } catch (const EDatabaseError& e) {
        throw EDatabaseError(prefix + e.Message());
    } catch (const EVandrel& e) {
        throw EVandrel(prefix + e.Message());
    }
}

void TADOConDataModule::SetConnected(bool aValue)
{
    FADOConnection->SetConnected(aValue);
}

// --- Handlers

void TADOConDataModule::DataModuleCreate()
{
    FChanged = false;
}

void TADOConDataModule::DataModuleDestroy() {}

void TADOConDataModule::FADOConnectionWillExecute(const QString& aCommandText, TDBConnection& /*aConnection*/)
{
    UDatCon::Log(QStringLiteral("UDatCon-Execute: ") + TrimControls(aCommandText));
}

void TADOConDataModule::FADOConnectionExecuteComplete(const TDBExecuteComplete& aInfo, TDBConnection& /*aConnection*/)
{
    qint64 columns = -1;
    qint64 rows = -1;
    if (aInfo.HasRecordset && aInfo.RecordsAffected < 0 && aInfo.RecordsetState == stOpen) {
        rows = aInfo.RecordCount;
        columns = aInfo.FieldCount;
    }
    UDatCon::Log(QStringLiteral("RecordsAffected:%1; ResultSize: [C:%2 x R:%3]")
                     .arg(aInfo.RecordsAffected)
                     .arg(columns)
                     .arg(rows));
}

void TADOConDataModule::FADOConnectionInfoMessage(const TDBError& aError, TDBConnection& /*aConnection*/)
{
    UDatCon::Log(QStringLiteral("UDatCon ADOConnection Info: ") + aError.Description);
}

// --- Private

void TADOConDataModule::ReadConnectionString()
{
    TConnectionStringManager store;
    store.FileName = FFileName;
    store.LocationKind = FLocationKind;
    FADOConnection->SetConnectionString(store.ConnectionString());
    FFileName = store.FileName;
    FLocationKind = store.LocationKind;
}

void TADOConDataModule::WriteConnectionString()
{
    QString connectionString = ConnectionString();
    // Storing an empty string would wipe the stored connection.
    if (connectionString.isEmpty())
        throw EVandrel(QStringLiteral("There is no connection string to store."));
    // An INI entry written into a data-link file would destroy it.
    if (FLocationKind == lkINI && FileExt(FFileName) == cUdlExt)
        throw EVandrel(QStringLiteral("File with UDL extension must use Location Kind UDL."));

    TConnectionStringManager store;
    store.FileName = FFileName;
    store.LocationKind = FLocationKind;
    if (!ReferencedFile(connectionString).isEmpty()) {
        // A data-link file receives what a reference stands for, never the reference itself: written into the
        // very file it names, "FILE NAME=" would replace the stored connection by a loop.
        TLocationKind target = FLocationKind;
        if (target == lkAuto || target == lkPrompt) {
            TConnectionStringManager probe;
            probe.FileName = FFileName;
            probe.LocationKind = lkAuto;
            probe.ConnectionString();
            target = probe.LocationKind;
        }
        if (target == lkUDL)
            connectionString = ResolveFileName(connectionString);
    }
    if (store.SetConnectionString(connectionString) == UPersistRecords::skRewrittenInPlace)
        FSaveNotice = UPersistRecords::RewrittenInPlaceLine(store.FileName);
    FChanged = false;
}

void TADOConDataModule::RecreateConnection()
{
    FADOConnection->Close();
    const QString connectionString = FADOConnection->ConnectionString();
    const QString provider = FADOConnection->Provider();
    const bool loginPrompt = FADOConnection->LoginPrompt();
    TDBConnection& fresh = ReplaceConnection();
    fresh.SetLoginPrompt(loginPrompt);
    fresh.SetConnectionString(connectionString);
    fresh.SetProvider(provider);
}

void TADOConDataModule::HandOverConnection()
{
    const QString connectionString = FADOConnection->ConnectionString();
    const QString provider = FADOConnection->Provider();
    const bool loginPrompt = FADOConnection->LoginPrompt();
    // The old object may be in the middle of a statement on another thread: it is neither closed nor changed here.
    TDBConnection& fresh = ReplaceConnection(false);
    fresh.SetLoginPrompt(loginPrompt);
    fresh.SetConnectionString(connectionString);
    fresh.SetProvider(provider);
}

TDBConnection& TADOConDataModule::ReplaceConnection(bool aCloseOld)
{
    // A worker that still holds the old object through SharedConnection keeps it alive until it lets go.
    if (FADOConnection && aCloseOld)
        FADOConnection->Close();
    FADOConnection = std::make_shared<TDBConnection>();
    FADOConnection->SetLoginPrompt(false);
    FADOConnection->SetLoginPromptHook(&UDatCon::LoginPrompt);
    return *FADOConnection;
}

void TADOConDataModule::AttachHandlers()
{
    // The module lives for the whole program (DatConModule), so the handlers may call it through this.
    TDBConnection& connection = *FADOConnection;
    FLoggedConnection = FADOConnection;
    connection.SetOnWillExecute([this](const QString& aCommandText, TDBConnection& aSender) {
        FADOConnectionWillExecute(aCommandText, aSender);
    });
    connection.SetOnExecuteComplete([this](const TDBExecuteComplete& aInfo, TDBConnection& aSender) {
        FADOConnectionExecuteComplete(aInfo, aSender);
    });
    connection.SetOnInfoMessage(
        [this](const TDBError& aError, TDBConnection& aSender) { FADOConnectionInfoMessage(aError, aSender); });
}

TADOConDataModule& DatConModule()
{
    // Lives for the whole program and is never freed, so nothing depends on the order of static destruction.
    static TADOConDataModule* const module = new TADOConDataModule();
    return *module;
}
