// SPDX-License-Identifier: MIT
// The backup step over an encrypted link to the fake SQL Server, and the runs that end because the link the
// connection string asks for cannot be had: no encryption offered, or a certificate nobody trusts.
#include "TFakeSqlServer.h"
#include "UDatCon.h"
#include "UDatConModule.h"
#include "UFileUtils.h"
#include "UFreeTds.h"
#include "VandrelSalesData.h"
#include "VandrelStepTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace VandrelStepTest;

namespace {

bool StoreConnection(const QString& aConnectionString)
{
    DatConModule().Close();
    DatConModule().SetLocationKind(lkAuto);
    DatConModule().SetFileName(QString());
    return UDatCon::StoreDataLink(aConnectionString, UFileUtils::ConfigDir() + QStringLiteral("DefaultDataLink.udl"));
}

class VandrelEncryptedSqlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FCertificate = MakeCertificate(FKeys.path(), QStringLiteral("server"));
        ASSERT_FALSE(FCertificate.isEmpty()) << "openssl could not make a certificate";
    }
    void TearDown() override { DatConModule().Close(); }

    QStringList Tls() const
    {
        return {QStringLiteral("--tls-cert"),
                FCertificate,
                QStringLiteral("--tls-key"),
                FKeys.path() + QStringLiteral("/server.key"),
                QStringLiteral("--progress-delay"),
                QStringLiteral("0.01")};
    }
    void Trust()
    {
        QDir().mkpath(QFileInfo(UFreeTds::TrustedCertificatesFile()).absolutePath());
        ASSERT_TRUE(QFile::copy(FCertificate, UFreeTds::TrustedCertificatesFile()));
    }

    TConfigFolder FConfig; // before anything reads the configuration folder
    QTemporaryDir FKeys;
    QString FCertificate;
    TStepRun FRun;
};

TEST_F(VandrelEncryptedSqlTest, Backup_RunsOverTheEncryptedLink)
{
    TFakeSqlServer server(Tls());
    server.CreateDatabase(QStringLiteral("Sales"), VandrelSalesData::SalesData());
    Trust();
    ASSERT_TRUE(StoreConnection(server.ConnectionString(QStringLiteral("Sales")) +
                                QStringLiteral(";Use Encryption for Data=True")));
    const QString backup = server.Root() + QStringLiteral("/Sales.bak");
    FRun.Settings.Backup = true;
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.Append = false;
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roSuccess) << FRun.ReportText();
    EXPECT_TRUE(FRun.Report().contains(QStringLiteral("50 percent processed."))) << FRun.ReportText();
    EXPECT_GT(QFileInfo(backup).size(), 0);
    DatConModule().Close();
    server.Stop();
    EXPECT_TRUE(server.Output().contains(QStringLiteral("database Sales, packet size 4096, link encrypted\n")))
        << server.Output().toStdString();
    EXPECT_FALSE(server.Output().contains(QStringLiteral("link clear"))) << server.Output().toStdString();
}

struct TRefusalRow
{
    const char* Name;
    bool ServerOffersTls;
    const char* Keywords;
    const char* Why;
};

// clang-format off
const TRefusalRow cRefusals[] = {
    {"EncryptionNotOffered",     false, ";Encrypt=yes",
     "The server does not offer encryption, but the connection string requires it"},
    {"CertificateNotTrusted",    true,  ";Use Encryption for Data=True",
     "The server's certificate is not trusted (self-signed certificate): CN=localhost, SHA-256 fingerprint "},
};
// clang-format on

class VandrelEncryptedSqlRefusal : public VandrelEncryptedSqlTest, public ::testing::WithParamInterface<TRefusalRow>
{
};

TEST_P(VandrelEncryptedSqlRefusal, EndsTheRunSayingWhy)
{
    const TRefusalRow& row = GetParam();
    TFakeSqlServer server(row.ServerOffersTls ? Tls() : QStringList());
    server.CreateDatabase(QStringLiteral("Sales"), VandrelSalesData::SalesData());
    ASSERT_TRUE(StoreConnection(server.ConnectionString(QStringLiteral("Sales")) + QString::fromUtf8(row.Keywords)));
    const QString backup = server.Root() + QStringLiteral("/Sales.bak");
    FRun.Settings.Backup = true;
    FRun.Settings.BackupFilename = backup;
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Run.Outcome(), roConnectionRequired) << FRun.ReportText();
    const QString errors = FRun.Prompts.Errors.join(QLatin1Char('|'));
    EXPECT_TRUE(errors.contains(QString::fromUtf8(row.Why))) << errors.toStdString() << "\n" << FRun.ReportText();
    EXPECT_FALSE(QFile::exists(backup));
    server.Stop();
    EXPECT_FALSE(server.Output().contains(QStringLiteral("login sa"))) << server.Output().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Refusal, VandrelEncryptedSqlRefusal, ::testing::ValuesIn(cRefusals), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

} // namespace
