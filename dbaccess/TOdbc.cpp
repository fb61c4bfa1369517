// SPDX-License-Identifier: MIT
#include "TOdbc.h"

#include "EVandrel.h"

#include <QStringList>

#include <mutex>

namespace UOdbc {

QString StripPrefixes(const QString& aText)
{
    qsizetype pos = 0;
    while (pos < aText.size() && aText.at(pos) == QLatin1Char('[')) {
        const qsizetype close = aText.indexOf(QLatin1Char(']'), pos);
        if (close < 0)
            break;
        pos = close + 1;
    }
    return aText.mid(pos).trimmed();
}

std::vector<TDBError> Diagnostics(SQLSMALLINT aHandleType, SQLHANDLE aHandle)
{
    std::vector<TDBError> records;
    if (aHandle == SQL_NULL_HANDLE)
        return records;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        std::vector<SQLWCHAR> text(1024);
        SQLRETURN rc = SQLGetDiagRecW(
            aHandleType, aHandle, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
            text.resize(static_cast<size_t>(length) + 1);
            rc = SQLGetDiagRecW(
                aHandleType, aHandle, i, state, &native, text.data(), static_cast<SQLSMALLINT>(text.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc))
            break;
        TDBError record;
        record.SQLState = QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5);
        record.NativeError = static_cast<int>(native);
        const qsizetype count = qMin<qsizetype>(length, static_cast<qsizetype>(text.size()) - 1);
        record.Description = StripPrefixes(QString::fromUtf16(reinterpret_cast<const char16_t*>(text.data()), count));
        records.push_back(record);
    }
    return records;
}

QString ErrorText(const std::vector<TDBError>& aRecords)
{
    QStringList lines;
    for (const TDBError& record : aRecords)
        if (!record.IsInfo())
            lines << record.Description;
    if (lines.isEmpty())
        for (const TDBError& record : aRecords)
            lines << record.Description;
    return lines.join(QStringLiteral("\r\n"));
}

void Check(SQLRETURN aResult, SQLSMALLINT aHandleType, SQLHANDLE aHandle, const QString& aWhat)
{
    if (SQL_SUCCEEDED(aResult))
        return;
    const QString text = ErrorText(Diagnostics(aHandleType, aHandle));
    throw EDatabaseError(text.isEmpty() ? aWhat : text);
}

SQLHENV Environment()
{
    static std::once_flag once;
    static TOdbc<SQL_HANDLE_ENV> environment;
    std::call_once(once, [] {
        TOdbc<SQL_HANDLE_ENV> env(SQL_NULL_HANDLE);
        Check(SQLSetEnvAttr(env.Get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              SQL_HANDLE_ENV,
              env.Get(),
              QStringLiteral("ODBC 3 is not available."));
        environment = std::move(env);
    });
    if (environment.Get() == SQL_NULL_HANDLE)
        throw EDatabaseError(QStringLiteral("The ODBC environment could not be created."));
    return environment.Get();
}

} // namespace UOdbc
