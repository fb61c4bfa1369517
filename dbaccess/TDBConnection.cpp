// SPDX-License-Identifier: MIT
#include "TDBConnection.h"

#include "EVandrel.h"
#include "TDBCommand.h"
#include "TOdbc.h"
#include "UFreeTds.h"
#include "UOleDbString.h"

#include <algorithm>
#include <utility>

using UOleDbString::TPair;

// One subscriber. Its call lock is held while the handler runs, so that ending the subscription waits for a call
// in progress on another thread; it is recursive so that a handler may end its own subscription.
struct TDBListener
{
    explicit TDBListener(TDBConnection::TInfoMessageEvent aHandler)
        : Handler(std::move(aHandler))
    {
    }
    std::recursive_mutex CallLock;
    bool Active = true;
    const TDBConnection::TInfoMessageEvent Handler;
};

// The subscribers of a connection, in subscription order. Owned by the connection alone; the subscriptions refer
// to it weakly, so one that outlives its connection finds the list gone.
struct TDBListenerList
{
    std::mutex Lock;
    std::vector<std::shared_ptr<TDBListener>> Listeners;
};

struct TDBConnectionPrivate
{
    QString ConnectionString;
    QString Provider;
    int ConnectionTimeout = 15;
    int CommandTimeout = 0;
    bool LoginPrompt = false;
    TDBConnection::TLoginPromptHook LoginHook;
    TDBCursorLocation CursorLocation = clUseClient;
    TOdbc<SQL_HANDLE_DBC> Dbc;
    bool Open = false;
};

namespace {

const QString cNotFound = QStringLiteral("Item cannot be found in the collection corresponding to the requested "
                                         "name or ordinal.");

QString InfoText(SQLHDBC aDbc, SQLUSMALLINT aInfo)
{
    SQLWCHAR buffer[256] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(aDbc, aInfo, buffer, sizeof buffer, &length)))
        throw EDatabaseError(UOdbc::ErrorText(UOdbc::Diagnostics(SQL_HANDLE_DBC, aDbc)));
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer), length / 2);
}

} // namespace

TDBSubscription::TDBSubscription() noexcept = default;

TDBSubscription::TDBSubscription(std::weak_ptr<TDBListenerList> aList, std::shared_ptr<TDBListener> aListener) noexcept
    : FList(std::move(aList))
    , FListener(std::move(aListener))
{
}

TDBSubscription::TDBSubscription(TDBSubscription&& aOther) noexcept
    : FList(std::move(aOther.FList))
    , FListener(std::move(aOther.FListener))
{
}

TDBSubscription& TDBSubscription::operator=(TDBSubscription&& aOther) noexcept
{
    if (this != &aOther) {
        Release();
        FList = std::move(aOther.FList);
        FListener = std::move(aOther.FListener);
    }
    return *this;
}

TDBSubscription::~TDBSubscription()
{
    Release();
}

void TDBSubscription::Release() noexcept
{
    if (!FListener)
        return;
    {
        std::lock_guard call(FListener->CallLock);
        FListener->Active = false;
    }
    if (const std::shared_ptr<TDBListenerList> list = FList.lock()) {
        std::lock_guard lock(list->Lock);
        std::erase(list->Listeners, FListener);
    }
    FListener.reset();
    FList.reset();
}

TDBConnection::TDBConnection()
    : FData(std::make_unique<TDBConnectionPrivate>())
    , FInfoListeners(std::make_shared<TDBListenerList>())
{
}

TDBConnection::~TDBConnection()
{
    Close();
}

QString TDBConnection::ConnectionString() const
{
    return FData->ConnectionString;
}

void TDBConnection::SetConnectionString(const QString& aValue)
{
    if (FData->Open)
        throw EDatabaseError(QStringLiteral("Operation is not allowed when the object is open."));
    FData->ConnectionString = aValue;
}

QString TDBConnection::Provider() const
{
    QList<TPair> pairs;
    try {
        pairs = UOleDbString::Resolve(FData->ConnectionString);
    } catch (const EDatabaseError&) {
        // An unreadable data-link file names no provider; opening reports the file's problem.
        pairs = UOleDbString::Parse(FData->ConnectionString);
    }
    if (UOleDbString::Contains(pairs, QStringLiteral("Provider")))
        return UOleDbString::Value(pairs, QStringLiteral("Provider"));
    return FData->Provider;
}

void TDBConnection::SetProvider(const QString& aValue)
{
    if (FData->Open)
        throw EDatabaseError(QStringLiteral("Operation is not allowed when the object is open."));
    FData->Provider = aValue;
}

int TDBConnection::ConnectionTimeout() const
{
    return FData->ConnectionTimeout;
}

void TDBConnection::SetConnectionTimeout(int aSeconds)
{
    FData->ConnectionTimeout = qMax(0, aSeconds);
}

int TDBConnection::CommandTimeout() const
{
    return FData->CommandTimeout;
}

void TDBConnection::SetCommandTimeout(int aSeconds)
{
    FData->CommandTimeout = qMax(0, aSeconds);
}

bool TDBConnection::LoginPrompt() const
{
    return FData->LoginPrompt;
}

void TDBConnection::SetLoginPrompt(bool aValue)
{
    FData->LoginPrompt = aValue;
}

void TDBConnection::SetLoginPromptHook(TLoginPromptHook aHook)
{
    FData->LoginHook = std::move(aHook);
}

TDBCursorLocation TDBConnection::CursorLocation() const
{
    return FData->CursorLocation;
}

void TDBConnection::SetCursorLocation(TDBCursorLocation aValue)
{
    FData->CursorLocation = aValue;
}

QString TDBConnection::OdbcConnectionString() const
{
    return UOleDbString::ToOdbc(UOleDbString::Resolve(FData->ConnectionString), QStringLiteral(VANDREL_ODBC_DRIVER));
}

namespace {

// True when the driver noticed that the server's link is gone (the server closed it or the network failed).
bool LinkDead(const TDBConnectionPrivate& aData)
{
    if (!aData.Open || aData.Dbc.Get() == SQL_NULL_HANDLE)
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttrW(aData.Dbc.Get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

} // namespace

void TDBConnection::Open()
{
    if (FData->Open && !LinkDead(*FData))
        return;
    Close();
    if (FData->ConnectionString.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("The connection string is empty."));
    const QList<TPair> pairs = UOleDbString::Resolve(FData->ConnectionString);
    const QString provider = UOleDbString::Contains(pairs, QStringLiteral("Provider"))
                                 ? UOleDbString::Value(pairs, QStringLiteral("Provider"))
                                 : FData->Provider;
    if (!UOleDbString::IsSqlServerProvider(provider))
        throw EDatabaseError(
            QStringLiteral("Provider cannot be found. It may not be properly installed. (%1)").arg(provider));
    QString user = UOleDbString::Value(pairs, QStringLiteral("User ID"));
    QString password = UOleDbString::Value(pairs, QStringLiteral("Password"));
    const bool prompted = FData->LoginPrompt;
    if (prompted) {
        if (!FData->LoginHook)
            throw EDatabaseError(QStringLiteral("A login is required, but no login prompt is available to ask for "
                                                "the user name and password."));
        if (!FData->LoginHook(user, password))
            throw EDatabaseError(QStringLiteral("Login cancelled by the user."));
    }
    // FreeTDS checks a certificate only through a section of its configuration file that names a CA file.
    const QString driver = QStringLiteral(VANDREL_ODBC_DRIVER);
    const bool freeTds = driver.contains(QLatin1String("FreeTDS"), Qt::CaseInsensitive);
    const UOleDbString::TEncryption encryption = UOleDbString::EncryptionOf(pairs);
    QString server, port;
    UOleDbString::SplitDataSource(UOleDbString::DataSource(pairs), server, port);
    UFreeTds::TCheckingSection checking;
    if (freeTds && encryption.CheckCertificate())
        checking = UFreeTds::CheckingSection(server, port);
    const QString odbc =
        UOleDbString::ToOdbc(pairs, driver, prompted ? &user : nullptr, prompted ? &password : nullptr, checking.Name);

    ClearErrors();
    TOdbc<SQL_HANDLE_DBC> dbc(UOdbc::Environment());
    if (FData->ConnectionTimeout > 0)
        SQLSetConnectAttrW(dbc.Get(),
                           SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(FData->ConnectionTimeout)),
                           0);
    SQLWCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc =
        SQLDriverConnectW(dbc.Get(), nullptr, UOdbc::Wide(odbc), SQL_NTS, out, 1024, &outLength, SQL_DRIVER_NOPROMPT);
    const std::vector<TDBError> records = UOdbc::Diagnostics(SQL_HANDLE_DBC, dbc.Get());
    if (!SQL_SUCCEEDED(rc)) {
        for (const TDBError& record : records)
            if (!record.IsInfo())
                AddMessage(record);
        QString text = UOdbc::ErrorText(records);
        if (text.isEmpty())
            text = QStringLiteral("Unable to connect to the server.");
        // The driver says only that the connection failed; the server itself tells why an encrypted one did.
        if (freeTds && encryption.Required) {
            const QString why = UFreeTds::DiagnoseEncryption(server, port, checking.CaFile, FData->ConnectionTimeout);
            if (!why.isEmpty())
                text = why + QStringLiteral("\r\n") + text;
        }
        throw EDatabaseError(text);
    }
    FData->Dbc = std::move(dbc);
    FData->Open = true;
    for (const TDBError& record : records)
        AddMessage(record);
}

void TDBConnection::Close() noexcept
{
    if (FData->Dbc.Get() != SQL_NULL_HANDLE) {
        if (FData->Open)
            SQLDisconnect(FData->Dbc.Get());
        FData->Dbc.Reset();
    }
    FData->Open = false;
}

bool TDBConnection::Connected() const
{
    return FData->Open && !LinkDead(*FData);
}

void TDBConnection::SetConnected(bool aValue)
{
    if (aValue)
        Open();
    else
        Close();
}

namespace {

// The properties a connection answers, in index order: the login settings from the connection string, and
// the server's state while open.
QList<TPair> CollectProperties(const TDBConnectionPrivate& aData)
{
    QList<TPair> properties;
    if (aData.ConnectionString.trimmed().isEmpty() && !aData.Open)
        return properties;
    const QList<TPair> pairs = UOleDbString::Resolve(aData.ConnectionString);
    const auto value = [&](const char* aKey) { return UOleDbString::Value(pairs, QLatin1String(aKey)); };
    const bool persist = UOleDbString::IsTrue(value("Persist Security Info"));
    const QString database =
        UOleDbString::Contains(pairs, QStringLiteral("Initial Catalog")) ? value("Initial Catalog") : value("Database");
    // An open connection no longer shows a password that was not meant to persist.
    properties << TPair(QStringLiteral("Password"), aData.Open && !persist ? QString() : value("Password"))
               << TPair(QStringLiteral("Persist Security Info"),
                        persist ? QStringLiteral("True") : QStringLiteral("False"))
               << TPair(QStringLiteral("User ID"), value("User ID"))
               << TPair(QStringLiteral("Data Source"), value("Data Source"))
               << TPair(QStringLiteral("Initial Catalog"), database)
               << TPair(QStringLiteral("Integrated Security"), value("Integrated Security"))
               << TPair(QStringLiteral("Connect Timeout"), QString::number(aData.ConnectionTimeout))
               << TPair(QStringLiteral("Application Name"), value("Application Name"))
               << TPair(QStringLiteral("Workstation ID"), value("Workstation ID"));
    if (aData.Open) {
        const SQLHDBC dbc = aData.Dbc.Get();
        SQLWCHAR catalog[260] = {};
        SQLINTEGER length = 0;
        if (!SQL_SUCCEEDED(SQLGetConnectAttrW(dbc, SQL_ATTR_CURRENT_CATALOG, catalog, sizeof catalog, &length)))
            throw EDatabaseError(UOdbc::ErrorText(UOdbc::Diagnostics(SQL_HANDLE_DBC, dbc)));
        properties << TPair(QStringLiteral("Current Catalog"),
                            QString::fromUtf16(reinterpret_cast<const char16_t*>(catalog), length / 2))
                   << TPair(QStringLiteral("DBMS Name"), InfoText(dbc, SQL_DBMS_NAME))
                   << TPair(QStringLiteral("DBMS Version"), InfoText(dbc, SQL_DBMS_VER))
                   << TPair(QStringLiteral("Server Name"), InfoText(dbc, SQL_SERVER_NAME));
    }
    return properties;
}

} // namespace

int TDBConnection::PropertyCount() const
{
    return static_cast<int>(CollectProperties(*FData).size());
}

QString TDBConnection::PropertyName(int aIndex) const
{
    const QList<TPair> properties = CollectProperties(*FData);
    if (aIndex < 0 || aIndex >= properties.size())
        throw EDatabaseError(cNotFound);
    return properties.at(aIndex).first;
}

QString TDBConnection::PropertyValue(int aIndex) const
{
    const QList<TPair> properties = CollectProperties(*FData);
    if (aIndex < 0 || aIndex >= properties.size())
        throw EDatabaseError(cNotFound);
    return properties.at(aIndex).second;
}

QString TDBConnection::Property(const QString& aName) const
{
    const QList<TPair> properties = CollectProperties(*FData);
    for (const TPair& property : properties)
        if (property.first.compare(aName, Qt::CaseInsensitive) == 0)
            return property.second;
    throw EDatabaseError(cNotFound + QStringLiteral(" (") + aName + QLatin1Char(')'));
}

QStringList TDBConnection::PropertyNames() const
{
    QStringList names;
    for (const TPair& property : CollectProperties(*FData))
        names << property.first;
    return names;
}

void TDBConnection::Execute(const QString& aCommandText)
{
    TDBCommand command(*this);
    command.SetCommandText(aCommandText);
    command.SetCommandTimeout(FData->CommandTimeout);
    command.Execute();
}

int TDBConnection::ErrorCount() const
{
    std::lock_guard lock(FEventLock);
    return static_cast<int>(FErrors.size());
}

TDBError TDBConnection::Error(int aIndex) const
{
    std::lock_guard lock(FEventLock);
    if (aIndex < 0 || aIndex >= static_cast<int>(FErrors.size()))
        throw EDatabaseError(cNotFound);
    return FErrors[static_cast<size_t>(aIndex)];
}

std::vector<TDBError> TDBConnection::Errors() const
{
    std::lock_guard lock(FEventLock);
    return FErrors;
}

void TDBConnection::SetOnWillExecute(TWillExecuteEvent aHandler)
{
    std::lock_guard lock(FEventLock);
    FOnWillExecute = std::move(aHandler);
}

void TDBConnection::SetOnExecuteComplete(TExecuteCompleteEvent aHandler)
{
    std::lock_guard lock(FEventLock);
    FOnExecuteComplete = std::move(aHandler);
}

void TDBConnection::SetOnInfoMessage(TInfoMessageEvent aHandler)
{
    std::lock_guard lock(FEventLock);
    FOnInfoMessage = std::move(aHandler);
}

TDBSubscription TDBConnection::SubscribeInfoMessage(TInfoMessageEvent aHandler)
{
    auto listener = std::make_shared<TDBListener>(std::move(aHandler));
    {
        std::lock_guard lock(FInfoListeners->Lock);
        FInfoListeners->Listeners.push_back(listener);
    }
    return TDBSubscription(FInfoListeners, std::move(listener));
}

// Handlers run outside the lock (they may read Errors()); a handler's exception must not reach the driver's
// thread, so it is dropped here.
void TDBConnection::FireWillExecute(const QString& aCommandText)
{
    TWillExecuteEvent handler;
    {
        std::lock_guard lock(FEventLock);
        handler = FOnWillExecute;
    }
    if (handler)
        try {
            handler(aCommandText, *this);
        } catch (...) {
        }
}

void TDBConnection::FireExecuteComplete(const TDBExecuteComplete& aInfo)
{
    TExecuteCompleteEvent handler;
    {
        std::lock_guard lock(FEventLock);
        handler = FOnExecuteComplete;
    }
    if (handler)
        try {
            handler(aInfo, *this);
        } catch (...) {
        }
}

void TDBConnection::AddMessage(const TDBError& aError)
{
    TInfoMessageEvent handler;
    {
        std::lock_guard lock(FEventLock);
        FErrors.push_back(aError);
        if (!aError.IsInfo())
            return;
        handler = FOnInfoMessage;
    }
    if (handler)
        try {
            handler(aError, *this);
        } catch (...) {
        }
    // A copy of the list, so that handlers may subscribe and unsubscribe while it is walked.
    std::vector<std::shared_ptr<TDBListener>> listeners;
    {
        std::lock_guard lock(FInfoListeners->Lock);
        listeners = FInfoListeners->Listeners;
    }
    for (const std::shared_ptr<TDBListener>& listener : listeners) {
        std::lock_guard call(listener->CallLock);
        if (listener->Active && listener->Handler)
            try {
                listener->Handler(aError, *this);
            } catch (...) {
            }
    }
}

void TDBConnection::ClearErrors()
{
    std::lock_guard lock(FEventLock);
    FErrors.clear();
}

bool TDBConnection::LinkLost() const
{
    return LinkDead(*FData);
}

void* TDBConnection::OdbcHandle() const
{
    return FData->Dbc.Get();
}

void TDBConnection::RequireOpen() const
{
    if (!FData->Open)
        throw EDatabaseError(QStringLiteral("Operation is not allowed when the object is closed."));
}
