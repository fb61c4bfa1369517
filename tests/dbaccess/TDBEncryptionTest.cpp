// SPDX-License-Identifier: MIT
// Encrypted connections through the FreeTDS driver against the fake SQL Server with a certificate of the test's own:
// what each combination of keywords and server gives on the wire, and why a refused connection was refused.
#include "EVandrel.h"
#include "TDBConnection.h"
#include "TFakeSqlServer.h"
#include "UFreeTds.h"
#include "UOleDbString.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

enum TServerTls {
    stNone,  // no certificate: encryption not supported
    stOffer, // a certificate: encrypts the login, or the whole link when asked
    stForce, // a certificate and Force Encryption
};

struct TEncryptionRow
{
    const char* Name;
    TServerTls Server;
    const char* Keywords; // added to the connection string
    bool Trusted;         // the server's certificate is in trusted-certs.pem
    const char* Link;     // the server's log of the login; empty: refused
    const char* Why;      // part of the refusal
};

// clang-format off
const TEncryptionRow cEncryption[] = {
    {"NoKeywordsClearServer",        stNone,  "",                                                     false, "link clear",           ""},
    {"NoKeywordsEncryptsLogin",      stOffer, "",                                                     false, "link login encrypted", ""},
    {"NoKeywordsForcedWholeLink",    stForce, "",                                                     false, "link encrypted",       ""},
    {"RequiredAndTrusted",           stOffer, ";Use Encryption for Data=True",                        true,  "link encrypted",       ""},
    {"OdbcStyleMandatory",           stOffer, ";Encrypt=mandatory",                                   true,  "link encrypted",       ""},
    {"TrustServerCertificate",       stOffer, ";Use Encryption for Data=True;Trust Server Certificate=True", false, "link encrypted", ""},
    {"OdbcStyleTrust",               stForce, ";Encrypt=yes;TrustServerCertificate=yes",              false, "link encrypted",       ""},
    {"RequiredButUntrusted",         stOffer, ";Use Encryption for Data=True",                        false, "",
     "The server's certificate is not trusted (self-signed certificate): CN=localhost, SHA-256 fingerprint "},
    {"RequiredButNotOffered",        stNone,  ";Encrypt=yes",                                         false, "",
     "The server does not offer encryption, but the connection string requires it"},
    {"NotOfferedEvenWhenTrusting",   stNone,  ";Use Encryption for Data=True;Trust Server Certificate=True", false, "",
     "The server does not offer encryption, but the connection string requires it"},
    {"StrictRefused",                stOffer, ";Encrypt=strict",                                      true,  "",
     "Encrypt=strict (TDS 8.0) is not supported by the FreeTDS ODBC driver"},
    {"UnknownValueRefused",          stOffer, ";Use Encryption for Data=maybe",                       true,  "",
     "The connection string's Use Encryption for Data=maybe is not understood"},
};
// clang-format on

class TDBEncryption : public ::testing::TestWithParam<TEncryptionRow>
{
protected:
    void SetUp() override
    {
        // The trust file lives in the configuration folder.
        qputenv("XDG_CONFIG_HOME", FConfig.path().toUtf8());
        FCertificate = MakeCertificate(FKeys.path(), QStringLiteral("server"));
        ASSERT_FALSE(FCertificate.isEmpty()) << "openssl could not make a certificate";
    }
    void Trust(const QString& aCertificate)
    {
        QDir().mkpath(QFileInfo(UFreeTds::TrustedCertificatesFile()).absolutePath());
        QFile::remove(UFreeTds::TrustedCertificatesFile());
        ASSERT_TRUE(QFile::copy(aCertificate, UFreeTds::TrustedCertificatesFile()));
    }

    QTemporaryDir FConfig;
    QTemporaryDir FKeys;
    QString FCertificate;
};

TEST_P(TDBEncryption, LinkOrReasonOfTheRefusal)
{
    const TEncryptionRow& row = GetParam();
    QStringList options;
    if (row.Server != stNone)
        options << QStringLiteral("--tls-cert") << FCertificate << QStringLiteral("--tls-key")
                << FKeys.path() + QStringLiteral("/server.key");
    if (row.Server == stForce)
        options << QStringLiteral("--force-encryption");
    TFakeSqlServer server(options);
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(8192, 'D'));
    if (row.Trusted)
        Trust(FCertificate);

    TDBConnection connection;
    connection.SetConnectionString(server.ConnectionString(QStringLiteral("Sales")) + QString::fromUtf8(row.Keywords));
    if (*row.Link) {
        try {
            connection.Open();
        } catch (const EDatabaseError& e) {
            FAIL() << e.what() << "\n" << server.Output().toStdString();
        }
        EXPECT_EQ(connection.Property(QStringLiteral("Current Catalog")), QStringLiteral("Sales"));
        connection.Close();
        server.Stop();
        EXPECT_TRUE(server.Output().contains(QStringLiteral("database Sales, packet size 4096, ") +
                                             QString::fromUtf8(row.Link) + QLatin1Char('\n')))
            << server.Output().toStdString();
        return;
    }
    try {
        connection.Open();
        FAIL() << "connected";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().startsWith(QString::fromUtf8(row.Why))) << e.what();
    }
    EXPECT_FALSE(connection.Connected());
    server.Stop();
    // No login reached the server: the password never crossed an unchecked link.
    EXPECT_FALSE(server.Output().contains(QStringLiteral("login sa"))) << server.Output().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Encryption, TDBEncryption, ::testing::ValuesIn(cEncryption), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

// A trusted certificate that names another host is refused as well: the name is checked, not only the chain.
TEST_F(TDBEncryption, TrustedCertificateOfAnotherHostIsRefused)
{
    const QString other = MakeCertificate(FKeys.path(), QStringLiteral("other"), QStringLiteral("db.example.org"));
    ASSERT_FALSE(other.isEmpty());
    TFakeSqlServer server({QStringLiteral("--tls-cert"),
                           other,
                           QStringLiteral("--tls-key"),
                           FKeys.path() + QStringLiteral("/other.key")});
    Trust(other);
    TDBConnection connection;
    connection.SetConnectionString(server.ConnectionString() + QStringLiteral(";Use Encryption for Data=True"));
    try {
        connection.Open();
        FAIL() << "connected";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().startsWith(
            QStringLiteral("The server's certificate is not trusted (IP address mismatch): CN=db.example.org")))
            << e.what();
    }
    server.Stop();
    EXPECT_FALSE(server.Output().contains(QStringLiteral("login sa"))) << server.Output().toStdString();
}

} // namespace
