// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QPair>
#include <QString>

/// OLE DB connection strings (keyword=value;...) and their translation to ODBC connection strings.
namespace UOleDbString {

/// One keyword and its value, as written (keyword trimmed, quotes around the value removed).
using TPair = QPair<QString, QString>;

/// Splits an OLE DB string into its pairs, in order; values may be quoted with "..." or '...' (doubled quote
/// inside) so that they can hold ";".
QList<TPair> Parse(const QString& aConnectionString);
/// aValue as written after "keyword=" so that Parse reads it back unchanged: in double quotes (inner ones doubled)
/// when it holds ";", starts with a quote or has blanks at either end; otherwise as it is.
QString QuoteValue(const QString& aValue);
/// The value of aKey (compared without case; the last occurrence wins), or empty text.
QString Value(const QList<TPair>& aPairs, const QString& aKey);
/// True when aKey is present (compared without case).
bool Contains(const QList<TPair>& aPairs, const QString& aKey);

/// Reads the connection string of a data-link file: UTF-16LE text with a BOM, an "[oledb]" line, comment lines
/// starting with ";", then the string. Raises EDatabaseError when the file cannot be read or holds no string.
QString ReadDataLinkFile(const QString& aFileName);
/// The pairs a connection string stands for: with "FILE NAME=" the data-link file's pairs, overridden by the
/// other pairs written beside it; otherwise the string's own pairs.
QList<TPair> Resolve(const QString& aConnectionString);

/// True for the OLE DB providers of SQL Server (SQLOLEDB, SQLNCLI*, MSOLEDBSQL*) and for an empty provider.
bool IsSqlServerProvider(const QString& aProvider);
/// True when an OLE DB truth value ("True", "Yes", "SSPI", "1", any case) is set.
bool IsTrue(const QString& aValue);

/// Server and port of an OLE DB "Data Source": "host", "host\instance", "host,port", "tcp:host[,port]";
/// "(local)" and "." mean localhost. aPort is empty when none is given.
void SplitDataSource(const QString& aDataSource, QString& aServer, QString& aPort);

/// The server an OLE DB string names: "Data Source" or one of its synonyms (Server, Address, ...).
QString DataSource(const QList<TPair>& aPairs);

/// What a connection string asks of the link's encryption.
struct TEncryption
{
    /// "Use Encryption for Data=True" or "Encrypt=yes|true|mandatory": the whole link must be encrypted.
    bool Required = false;
    /// "Trust Server Certificate=True" or "TrustServerCertificate=yes": the server's certificate is not checked.
    bool TrustServerCertificate = false;
    /// The server's certificate is checked: encryption is required and the certificate is not trusted blindly.
    bool CheckCertificate() const { return Required && !TrustServerCertificate; }
};

/// The encryption keywords of aPairs (absent: neither, the driver's default applies). Raises EDatabaseError for
/// Encrypt=strict, which the FreeTDS driver cannot do, and for a value that is not understood.
TEncryption EncryptionOf(const QList<TPair>& aPairs);

/// The ODBC connection string for aPairs with the driver aDriver: DRIVER, SERVER[, PORT], DATABASE, UID/PWD or
/// Trusted_Connection, APP, WSID, plus TDS_Version and ClientCharset for FreeTDS. aUser/aPassword, when not
/// null, replace the string's login (a login prompt's answer). Required encryption becomes FreeTDS's
/// "Encryption=require" (other drivers: Encrypt/TrustServerCertificate). aServerSection, when not empty, names the
/// section of FreeTDS's configuration file that stands for the server ("SERVERNAME=" in place of SERVER and PORT).
/// Values are quoted the way aDriver reads them; raises EDatabaseError for a value that aDriver cannot read from a
/// connection string and for the encryption keywords EncryptionOf refuses.
QString ToOdbc(const QList<TPair>& aPairs,
               const QString& aDriver,
               const QString* aUser = nullptr,
               const QString* aPassword = nullptr,
               const QString& aServerSection = QString());

} // namespace UOleDbString
