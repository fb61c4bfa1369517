// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

/// What the FreeTDS ODBC driver needs beyond the connection string: its configuration file (the only place where it
/// takes a CA file, so the only way to have it check a server's certificate) and the reason of a refused
/// encrypted connection (the driver itself only says that the connection failed).
namespace UFreeTds {

/// Points FREETDSCONF at this process's own FreeTDS configuration file, in a private temporary folder. Idempotent;
/// call it at program start, before other threads run (setting the environment is not thread-safe). The driver
/// reads that file only for "SERVERNAME=" connections, so connections made with "SERVER=" keep their behaviour.
void Install();

/// The trust file shared with the file transfers: PEM certificates (or CAs) accepted besides the system's store,
/// "trusted-certs.pem" in the program's configuration folder.
QString TrustedCertificatesFile();

/// A section of the configuration file for a connection to aServer ("host" or "host\instance") and aPort (may be
/// empty) that requires encryption and checks the server's certificate (its chain against the system's CA bundle
/// plus TrustedCertificatesFile(), and its host name). Writes the combined CA file (owner only) and the section
/// the first time; later calls with the same target and the same trusted certificates reuse them.
struct TCheckingSection
{
    QString Name;   ///< for "SERVERNAME="
    QString CaFile; ///< the combined CA file that the section names
};
TCheckingSection CheckingSection(const QString& aServer, const QString& aPort);

/// Why an encrypted connection to aServer/aPort failed, found by asking the server itself (a PRELOGIN and, when
/// aCaFile is not empty, a TLS handshake checked against aCaFile and the host name; no login is ever sent):
/// "encryption required but not offered", "certificate not trusted" (with its subject and SHA-256 fingerprint),
/// or a failed handshake. Empty when nothing is found (the driver's own message then stands).
QString DiagnoseEncryption(const QString& aServer, const QString& aPort, const QString& aCaFile, int aTimeoutSeconds);

} // namespace UFreeTds
