// SPDX-License-Identifier: MIT
// The database size report: data, indexes and the used part of the log, in KiB.
#include "Vandrel.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "TDBQuery.h"
#include "UDatConModule.h"
#include "UHandles.h"
#include "USVSQLBackup.h"

#include <cmath>

namespace {
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

qint64 TfrmVandrel::ReportDatabaseSize()
{
    TADOConDataModule& module = DatConModule();
    TDBConnection& connection = module.ADOConnection();
    const QString database = module.Database();
    connection.Execute(QStringLiteral("USE ") + USVSQLBackup::BracketedName(database));

    if (!ADODataSet)
        ADODataSet = std::make_shared<TDBQuery>();
    TDBQuery& query = *ADODataSet;
    query.SetConnection(connection);
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
    while (!query.Eof() && query.FieldAsString(QStringLiteral("Database Name")) != database)
        query.Next();
    if (query.Eof())
        throw EVandrel(QStringLiteral("The log space of database '%1' is not reported by the server.").arg(database));
    const double logUsed = query.FieldAsFloat(QStringLiteral("Log Size (MB)")) *
                           (query.FieldAsFloat(QStringLiteral("Log Space Used (%)")) / 100.0) * 1024.0;
    return data + indexSize + static_cast<qint64>(std::trunc(logUsed));
}
