// SPDX-License-Identifier: MIT
#pragma once

#include "TDBTypes.h"

#include <QString>

#include <sql.h>
#include <sqlext.h>

#include <utility>
#include <vector>

/// An owned ODBC handle of type HandleType, freed with SQLFreeHandle. A connection handle must be disconnected
/// by its owner before it is freed.
template <SQLSMALLINT HandleType> class TOdbc
{
public:
    /// An empty holder.
    TOdbc() = default;
    /// Allocates a handle under aParent (SQL_NULL_HANDLE for an environment); raises EDatabaseError on failure.
    explicit TOdbc(SQLHANDLE aParent);
    TOdbc(const TOdbc&) = delete;
    TOdbc& operator=(const TOdbc&) = delete;
    /// Takes over aOther's handle.
    TOdbc(TOdbc&& aOther) noexcept
        : FHandle(std::exchange(aOther.FHandle, nullptr))
    {
    }
    /// Frees the current handle and takes over aOther's.
    TOdbc& operator=(TOdbc&& aOther) noexcept
    {
        if (this != &aOther) {
            Reset();
            FHandle = std::exchange(aOther.FHandle, nullptr);
        }
        return *this;
    }
    /// Frees the handle.
    ~TOdbc() { Reset(); }

    /// The raw handle (SQL_NULL_HANDLE when empty).
    SQLHANDLE Get() const noexcept { return FHandle; }
    /// Frees the handle now.
    void Reset() noexcept
    {
        if (FHandle != SQL_NULL_HANDLE)
            SQLFreeHandle(HandleType, FHandle);
        FHandle = SQL_NULL_HANDLE;
    }

private:
    SQLHANDLE FHandle = SQL_NULL_HANDLE;
};

namespace UOdbc {

/// The diagnostic records of a handle, in the driver's order, with the "[vendor][component]" prefixes removed.
std::vector<TDBError> Diagnostics(SQLSMALLINT aHandleType, SQLHANDLE aHandle);
/// A message text without its leading "[...]" groups.
QString StripPrefixes(const QString& aText);
/// The error texts of aRecords (errors only; all records when none is an error), one per line, latest last.
QString ErrorText(const std::vector<TDBError>& aRecords);
/// Raises EDatabaseError built from the handle's records when aResult is not a success; aWhat is the message
/// used when the driver left no record.
void Check(SQLRETURN aResult, SQLSMALLINT aHandleType, SQLHANDLE aHandle, const QString& aWhat);
/// A QString as the ODBC wide-character buffer (UTF-16 on unixODBC).
inline SQLWCHAR* Wide(const QString& aText)
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<QChar*>(aText.constData()));
}
/// The shared ODBC 3 environment of the process.
SQLHENV Environment();

} // namespace UOdbc

template <SQLSMALLINT HandleType> TOdbc<HandleType>::TOdbc(SQLHANDLE aParent)
{
    const SQLRETURN rc = SQLAllocHandle(HandleType, aParent, &FHandle);
    if (!SQL_SUCCEEDED(rc)) {
        FHandle = SQL_NULL_HANDLE;
        constexpr SQLSMALLINT parentType = HandleType == SQL_HANDLE_STMT  ? SQL_HANDLE_DBC
                                           : HandleType == SQL_HANDLE_DBC ? SQL_HANDLE_ENV
                                                                          : SQL_HANDLE_ENV;
        UOdbc::Check(rc, parentType, aParent, QStringLiteral("Unable to allocate an ODBC handle."));
    }
}
