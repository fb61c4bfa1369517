// SPDX-License-Identifier: MIT
#pragma once

#include "TDBTypes.h"

#include <QString>

#include <memory>

class TDBConnection;
struct TDBQueryPrivate;

/// A forward-only query on a connection: the rows of the current result set, read one at a time.
/// Close (or the destructor) reads the rest of the batch so the connection is free again.
class TDBQuery
{
public:
    /// Creates a closed query; set the connection before opening.
    TDBQuery();
    /// Creates a closed query on aConnection, which must outlive it.
    explicit TDBQuery(TDBConnection& aConnection);
    TDBQuery(const TDBQuery&) = delete;
    TDBQuery& operator=(const TDBQuery&) = delete;
    /// Closes the query; never fails.
    ~TDBQuery();

    /// Points the query at another connection (closes it first).
    void SetConnection(TDBConnection& aConnection);
    /// The statement text.
    QString CommandText() const;
    /// Sets the statement text (takes effect at the next Open).
    void SetCommandText(const QString& aValue);
    /// Always ctForwardOnly.
    TDBCursorType CursorType() const { return ctForwardOnly; }
    /// Accepts ctForwardOnly (the only type offered).
    void SetCursorType(TDBCursorType) {}

    /// Runs the statement and stands on the first row of its first result set; raises EDatabaseError when the
    /// server reports an error or the connection is closed.
    void Open();
    /// Opens a schema: siCatalogs gives one row per database of the server, column "CATALOG_NAME".
    void OpenSchema(TDBSchema aSchema);
    /// Closes the query, reading what the server still sends; closing a closed query does nothing.
    void Close() noexcept;
    /// True while open.
    bool Active() const;

    /// True when there is no current row (after the last row, or with an empty result set).
    bool Eof() const;
    /// Moves to the next row.
    void Next();
    /// Makes the next result set that has columns current (skipping message-only results); returns false and
    /// leaves Eof() true when there is none.
    bool NextRecordset();

    /// Number of columns of the current result set.
    int FieldCount() const;
    /// Name of the column at aIndex.
    QString FieldName(int aIndex) const;
    /// True when the named column of the current row is NULL; raises for a missing column or at Eof.
    bool FieldIsNull(const QString& aName) const;
    /// The named column of the current row as text (NULL gives empty text); raises for a missing column.
    QString FieldAsString(const QString& aName) const;
    /// The named column as a 32-bit integer; raises when missing, not a whole number or out of range.
    int FieldAsInteger(const QString& aName) const;
    /// The named column as a 64-bit integer; raises when missing or not a whole number.
    qint64 FieldAsInt64(const QString& aName) const;
    /// The named column as a double; raises when missing or not a number.
    double FieldAsFloat(const QString& aName) const;

private:
    std::unique_ptr<TDBQueryPrivate> FData;
};
