// SPDX-License-Identifier: MIT
#include "VandrelDatabase.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "TDBQuery.h"
#include "UDatConModule.h"
#include "UHandles.h"
#include "UOleDbString.h"
#include "USVSQLBackup.h"
#include "UWorker.h"
#include "VandrelRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

namespace VandrelDatabase {

namespace {
/// The server's progress message of BACKUP and RESTORE ("%d percent processed." in English).
constexpr int cProgressMessage = 3211;

std::timed_mutex gModuleLock;
std::mutex gLeaseLock;
std::vector<const TDBConnection*> gLeases;

/// A figure of sp_spaceused such as "20480 KB": the number before the three-character unit.
qint64 KiloBytes(const QString& aText)
{
    bool ok = false;
    const qint64 value = aText.left(std::max<qsizetype>(0, aText.size() - 3)).toLongLong(&ok);
    if (!ok)
        throw EVandrel(QStringLiteral("'%1' is not a valid size in KB.").arg(aText));
    return value;
}
} // namespace

TConnectionLease::TConnectionLease(std::shared_ptr<TDBConnection> aConnection)
    : FConnection(std::move(aConnection))
{
    std::lock_guard<std::mutex> guard(gLeaseLock);
    gLeases.push_back(FConnection.get());
}

TConnectionLease::~TConnectionLease()
{
    std::lock_guard<std::mutex> guard(gLeaseLock);
    gLeases.erase(std::find(gLeases.begin(), gLeases.end(), FConnection.get()));
}

bool Leased(const TDBConnection* aConnection)
{
    std::lock_guard<std::mutex> guard(gLeaseLock);
    return std::find(gLeases.begin(), gLeases.end(), aConnection) != gLeases.end();
}

void AvoidLeasedConnection(TADOConDataModule& aModule)
{
    if (Leased(&aModule.ADOConnection()))
        aModule.HandOverConnection();
}

TModuleLock::TModuleLock(const TStepContext& aContext)
{
    while (!gModuleLock.try_lock_for(std::chrono::milliseconds(100)))
        if (aContext.Cancelled())
            throw EVandrel(QStringLiteral("Cancelled while waiting for the database connection."));
    FOwns = true;
}

TModuleLock::TModuleLock()
    : FOwns(gModuleLock.try_lock())
{
}

TModuleLock::~TModuleLock()
{
    Unlock();
}

void TModuleLock::Unlock()
{
    if (FOwns)
        gModuleLock.unlock();
    FOwns = false;
}

bool ConnectDatabase(TADOConDataModule& aModule, TStepContext& aContext, bool aAskAgain)
{
    AvoidLeasedConnection(aModule);
    while (!aModule.Connected()) {
        if (aContext.Cancelled())
            return false;
        try {
            bool connected = false;
            {
                // A login cannot be interrupted: a Cancel meanwhile lets go of the step, which ends after it.
                const TAbandonable abandonable;
                aContext.SetAbandonable(true);
                TFinally interruptible([&aContext]() noexcept { aContext.SetAbandonable(false); });
                connected = aModule.Connect(QString(), lkAuto);
            }
            if (aContext.Cancelled())
                return false;
            if (!connected)
                throw EConnectionRequired(aModule.LastConnectError());
            if (aModule.Changed() && aContext.Interactive() &&
                aContext.Confirm(QStringLiteral("Save the connection?"))) {
                if (!aModule.Save(lkAuto) && !aModule.Save(lkINI))
                    aContext.ShowError(QStringLiteral("Failed to save the connection."));
                else if (!aModule.SaveNotice().isEmpty())
                    aContext.Status(aModule.SaveNotice());
            }
        } catch (const EDatabaseError& e) {
            // The next Connect asks the user instead of reading the store again.
            aModule.SetLocationKind(lkPrompt);
            if (!aAskAgain)
                throw EDatabaseError(QStringLiteral("Error Connecting to Database. ") + e.Message());
            aContext.ShowError(QStringLiteral("Error Connecting to Database: \r\n") + e.Message());
            // Nobody can answer the connection dialog: asking again would only fail the same way.
            if (!aContext.Interactive() || aContext.Cancelled())
                throw EConnectionRequired(e.Message());
        }
    }
    return !aContext.Cancelled();
}

TConnectionDisplay DescribeConnection(TADOConDataModule& aModule)
{
    const QString connectionString = aModule.ConnectionString();
    TConnectionDisplay display;
    bool found = false;
    const QStringList lines = connectionString.split(QLatin1Char(';'));
    for (const QString& line : lines) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0 && line.left(equals).compare(QLatin1String("Data Source"), Qt::CaseInsensitive) == 0) {
            display.Server = line.mid(equals + 1);
            found = true;
            break;
        }
    }
    // A string that refers to a data-link file names its server inside that file.
    if (!found && !UOleDbString::Value(UOleDbString::Parse(connectionString), QStringLiteral("FILE NAME")).isEmpty()) {
        try {
            display.Server = aModule.ADOConnection().Property(QStringLiteral("Data Source"));
        } catch (const EVandrel&) {
            display.Server.clear();
        }
    }
    display.Database = aModule.Database();
    return display;
}

void UseDatabase(TDBConnection& aConnection, const QString& aDatabase)
{
    aConnection.Execute(QStringLiteral("USE ") + USVSQLBackup::BracketedName(aDatabase));
}

qint64 ReportDatabaseSize(TDBConnection& aConnection, const QString& aDatabase)
{
    TDBQuery query;
    query.SetConnection(aConnection);
    // The query never stays open: a pending result would keep the connection busy for the next statement.
    TFinally closeQuery([&query]() noexcept { query.Close(); });

    query.SetCommandText(QStringLiteral("sp_spaceused"));
    query.Open();
    // The database totals are the procedure's second result set.
    if (!query.NextRecordset() || query.Eof())
        throw EVandrel(QStringLiteral("sp_spaceused returned no database totals."));
    const qint64 data = KiloBytes(query.FieldAsString(QStringLiteral("data")));
    const qint64 indexSize = KiloBytes(query.FieldAsString(QStringLiteral("index_size")));
    query.Close();

    query.SetCommandText(QStringLiteral("DBCC sqlperf(logspace)"));
    query.Open();
    while (!query.Eof() && query.FieldAsString(QStringLiteral("Database Name")) != aDatabase)
        query.Next();
    if (query.Eof())
        throw EVandrel(QStringLiteral("The log space of database '%1' is not reported by the server.").arg(aDatabase));
    const double logUsed = query.FieldAsFloat(QStringLiteral("Log Size (MB)")) *
                           (query.FieldAsFloat(QStringLiteral("Log Space Used (%)")) / 100.0) * 1024.0;
    return data + indexSize + static_cast<qint64>(std::trunc(logUsed));
}

int ProgressPercent(const TDBError& aMessage)
{
    if (aMessage.NativeError != cProgressMessage)
        return -1;
    // The text is in the server's language, and the number may stand anywhere in it ("yüzde 10 işlendi"), in any
    // script's digits; the message carries no other number.
    const QString& text = aMessage.Description;
    qsizetype i = 0;
    while (i < text.size() && !text.at(i).isDigit())
        ++i;
    if (i == text.size())
        return -1;
    int percent = 0;
    for (; i < text.size() && text.at(i).isDigit(); ++i)
        percent = std::min(percent * 10 + text.at(i).digitValue(), 1000);
    return std::min(percent, 100);
}

} // namespace VandrelDatabase
