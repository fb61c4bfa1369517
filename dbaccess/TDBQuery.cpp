// SPDX-License-Identifier: MIT
#include "TDBQuery.h"

#include "EVandrel.h"
#include "TDBStatementRun.h"

#include <QStringList>

#include <cmath>
#include <limits>
#include <vector>

struct TDBQueryPrivate
{
    TDBConnection* Connection = nullptr;
    QString CommandText;
    TOdbc<SQL_HANDLE_STMT> Statement;
    bool Active = false;
    bool Eof = true;
    QStringList Names;
    std::vector<QString> Values;
    std::vector<bool> Nulls;

    void Check(SQLRETURN aResult);
    bool EnterResult(SQLRETURN aResult);
    void Fetch();
    int Column(const QString& aName) const;
};

namespace {

const QString cNoRow = QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. "
                                      "Requested operation requires a current record.");

EDatabaseError Mismatch(const QString& aName, const QString& aText, const char* aWhat)
{
    return EDatabaseError(
        QStringLiteral("The value \"%1\" of column \"%2\" is not %3.").arg(aText, aName, QLatin1String(aWhat)));
}

} // namespace

// Passes the statement's messages on and raises the server's errors.
void TDBQueryPrivate::Check(SQLRETURN aResult)
{
    if (aResult == SQL_SUCCESS || aResult == SQL_NO_DATA)
        return;
    const std::vector<TDBError> records = TDBStatementRun::Dispatch(*Connection, Statement.Get());
    if (SQL_SUCCEEDED(aResult))
        return;
    const QString text = UOdbc::ErrorText(records);
    throw EDatabaseError(text.isEmpty() ? QStringLiteral("The query failed without a message from the server.") : text);
}

// Moves from aResult on to the next result set with columns and stands on its first row; false at the end.
bool TDBQueryPrivate::EnterResult(SQLRETURN aResult)
{
    const SQLHSTMT statement = Statement.Get();
    for (;;) {
        Check(aResult);
        if (aResult == SQL_NO_DATA) {
            Names.clear();
            Eof = true;
            return false;
        }
        SQLSMALLINT columns = 0;
        Check(SQLNumResultCols(statement, &columns));
        if (columns > 0) {
            Names.clear();
            for (SQLSMALLINT i = 1; i <= columns; ++i) {
                SQLWCHAR name[256] = {};
                SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
                SQLULEN size = 0;
                Check(SQLDescribeColW(
                    statement, static_cast<SQLUSMALLINT>(i), name, 256, &length, &type, &size, &digits, &nullable));
                Names << QString::fromUtf16(reinterpret_cast<const char16_t*>(name), qMin<SQLSMALLINT>(length, 255));
            }
            Fetch();
            return true;
        }
        aResult = SQLMoreResults(statement);
    }
}

void TDBQueryPrivate::Fetch()
{
    const SQLHSTMT statement = Statement.Get();
    const SQLRETURN rc = SQLFetch(statement);
    Check(rc);
    Eof = rc == SQL_NO_DATA;
    Values.assign(static_cast<size_t>(Names.size()), QString());
    Nulls.assign(static_cast<size_t>(Names.size()), true);
    if (Eof)
        return;
    for (int i = 0; i < Names.size(); ++i) {
        QString value;
        bool isNull = false;
        for (;;) {
            SQLWCHAR buffer[1024];
            SQLLEN indicator = 0;
            const SQLRETURN part =
                SQLGetData(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
            if (part == SQL_NO_DATA)
                break;
            Check(part);
            if (indicator == SQL_NULL_DATA) {
                isNull = true;
                break;
            }
            const qsizetype capacity = static_cast<qsizetype>(sizeof buffer / sizeof buffer[0]) - 1;
            const qsizetype chars = (indicator == SQL_NO_TOTAL || indicator / 2 > capacity) ? capacity : indicator / 2;
            value += QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer), chars);
            if (part == SQL_SUCCESS)
                break;
        }
        Values[static_cast<size_t>(i)] = value;
        Nulls[static_cast<size_t>(i)] = isNull;
    }
}

int TDBQueryPrivate::Column(const QString& aName) const
{
    qsizetype index = -1;
    for (qsizetype i = 0; i < Names.size() && index < 0; ++i)
        if (Names.at(i).compare(aName, Qt::CaseInsensitive) == 0)
            index = i;
    if (index < 0)
        throw EDatabaseError(QStringLiteral("Column \"%1\" is not in the result set.").arg(aName));
    if (!Active || Eof)
        throw EDatabaseError(cNoRow);
    return static_cast<int>(index);
}

TDBQuery::TDBQuery()
    : FData(std::make_unique<TDBQueryPrivate>())
{
}

TDBQuery::TDBQuery(TDBConnection& aConnection)
    : TDBQuery()
{
    FData->Connection = &aConnection;
}

TDBQuery::~TDBQuery()
{
    Close();
}

void TDBQuery::SetConnection(TDBConnection& aConnection)
{
    Close();
    FData->Connection = &aConnection;
}

QString TDBQuery::CommandText() const
{
    return FData->CommandText;
}

void TDBQuery::SetCommandText(const QString& aValue)
{
    FData->CommandText = aValue;
}

void TDBQuery::Open()
{
    Close();
    if (!FData->Connection)
        throw EDatabaseError(QStringLiteral("The query has no connection."));
    TDBConnection& connection = *FData->Connection;
    const SQLHDBC dbc = TDBStatementRun::Handle(connection);
    TDBStatementRun::Clear(connection);
    TDBStatementRun::WillExecute(connection, FData->CommandText);
    FData->Statement = TOdbc<SQL_HANDLE_STMT>(dbc);
    TDBExecuteComplete outcome;
    outcome.CommandText = FData->CommandText;
    try {
        FData->Active = true;
        outcome.HasRecordset =
            FData->EnterResult(SQLExecDirectW(FData->Statement.Get(), UOdbc::Wide(FData->CommandText), SQL_NTS));
    } catch (const EDatabaseError& e) {
        outcome.Failed = true;
        outcome.ErrorMessage = e.Message();
        Close();
        TDBStatementRun::ExecuteComplete(connection, outcome);
        throw;
    }
    outcome.RecordsetState = stOpen;
    outcome.FieldCount = static_cast<int>(FData->Names.size());
    TDBStatementRun::ExecuteComplete(connection, outcome);
}

void TDBQuery::OpenSchema(TDBSchema aSchema)
{
    if (aSchema != siCatalogs)
        throw EDatabaseError(QStringLiteral("The schema is not supported."));
    SetCommandText(QStringLiteral("SELECT name AS CATALOG_NAME FROM master.sys.databases ORDER BY name"));
    Open();
}

void TDBQuery::Close() noexcept
{
    if (FData->Statement.Get() != SQL_NULL_HANDLE) {
        // Read what is left of the batch so that its messages still arrive and the connection is free.
        const SQLHSTMT statement = FData->Statement.Get();
        if (FData->Active && FData->Connection)
            for (int guard = 0; guard < 10000; ++guard) {
                const SQLRETURN rc = SQLMoreResults(statement);
                if (rc == SQL_NO_DATA || rc == SQL_INVALID_HANDLE)
                    break;
                if (rc != SQL_SUCCESS) {
                    const std::vector<TDBError> records = TDBStatementRun::Dispatch(*FData->Connection, statement);
                    if (rc == SQL_ERROR && (records.empty() || TDBStatementRun::HasState(records, "08") ||
                                            TDBStatementRun::HasState(records, "HY")))
                        break;
                }
            }
        SQLFreeStmt(statement, SQL_CLOSE);
        FData->Statement.Reset();
    }
    FData->Active = false;
    FData->Eof = true;
    FData->Names.clear();
    FData->Values.clear();
    FData->Nulls.clear();
}

bool TDBQuery::Active() const
{
    return FData->Active;
}

bool TDBQuery::Eof() const
{
    return !FData->Active || FData->Eof;
}

void TDBQuery::Next()
{
    if (Eof())
        throw EDatabaseError(cNoRow);
    FData->Fetch();
}

bool TDBQuery::NextRecordset()
{
    if (!FData->Active)
        throw EDatabaseError(QStringLiteral("Operation is not allowed when the object is closed."));
    if (FData->Names.isEmpty() && FData->Eof && FData->Values.empty())
        return false;
    return FData->EnterResult(SQLMoreResults(FData->Statement.Get()));
}

int TDBQuery::FieldCount() const
{
    return static_cast<int>(FData->Names.size());
}

QString TDBQuery::FieldName(int aIndex) const
{
    if (aIndex < 0 || aIndex >= FData->Names.size())
        throw EDatabaseError(QStringLiteral("Column %1 is not in the result set.").arg(aIndex));
    return FData->Names.at(aIndex);
}

bool TDBQuery::FieldIsNull(const QString& aName) const
{
    return FData->Nulls[static_cast<size_t>(FData->Column(aName))];
}

QString TDBQuery::FieldAsString(const QString& aName) const
{
    return FData->Values[static_cast<size_t>(FData->Column(aName))];
}

qint64 TDBQuery::FieldAsInt64(const QString& aName) const
{
    const QString text = FieldAsString(aName).trimmed();
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (ok)
        return value;
    // Decimal and float columns arrive as text such as "12.0"; a whole value still converts.
    const double number = text.toDouble(&ok);
    if (ok && std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18)
        return static_cast<qint64>(number);
    throw Mismatch(aName, text, "a whole number");
}

int TDBQuery::FieldAsInteger(const QString& aName) const
{
    const qint64 value = FieldAsInt64(aName);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        throw Mismatch(aName, QString::number(value), "within the range of a 32-bit integer");
    return static_cast<int>(value);
}

double TDBQuery::FieldAsFloat(const QString& aName) const
{
    const QString text = FieldAsString(aName).trimmed();
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok)
        throw Mismatch(aName, text, "a number");
    return value;
}
