// SPDX-License-Identifier: MIT
#include "UOleDbString.h"
#include "EVandrel.h"
#include "TDBConnection.h"
#include "TestPaths.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

struct TTranslationRow
{
    const char* Name;
    const char* OleDb;
    const char* Odbc;
};

// clang-format off
const TTranslationRow cTranslations[] = {
    {"SqlLoginWithCatalog",
     "Provider=SQLOLEDB.1;Password=Secr3t!;Persist Security Info=True;User ID=sa;Initial Catalog=Sales;Data Source=SRV01",
     "DRIVER={FreeTDS};SERVER=SRV01;DATABASE=Sales;UID=sa;PWD=Secr3t!;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"NamedInstanceKeepsBackslash",
     "Provider=SQLOLEDB;Data Source=SRV01\\SQLEXPRESS;Database=Beta;User ID=u;Password=p",
     "DRIVER={FreeTDS};SERVER=SRV01\\SQLEXPRESS;DATABASE=Beta;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"CommaPortBecomesPort",
     "Provider=SQLOLEDB;Data Source=10.0.0.5,14330;User ID=u;Password=p",
     "DRIVER={FreeTDS};SERVER=10.0.0.5;PORT=14330;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"TcpPrefixDropped",
     "Provider=SQLNCLI11;Data Source=tcp:db.example.com, 1500;User ID=u;Password=p",
     "DRIVER={FreeTDS};SERVER=db.example.com;PORT=1500;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"LocalMeansLocalhost",
     "Provider=SQLOLEDB;Data Source=(local);User ID=u;Password=p",
     "DRIVER={FreeTDS};SERVER=localhost;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"IntegratedSecurityDropsLogin",
     "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;User ID=x;Initial Catalog=Sales;Data Source=SRV01",
     "DRIVER={FreeTDS};SERVER=SRV01;DATABASE=Sales;Trusted_Connection=Yes;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"QuotedPasswordWithSemicolonIsBraced",
     "Provider=SQLOLEDB;Data Source=S;User ID=sa;Password=\"a;b}c\"\"d\"",
     "DRIVER={FreeTDS};SERVER=S;UID=sa;PWD={a;b}c\"d};TDS_Version=7.4;ClientCharset=UTF-8"},
    {"ClosingBraceStaysAsItIsForFreeTds",
     "Data Source=S;User ID=u}1;Password=\"{Pa}}ss\";Initial Catalog=\" Sa}les\"",
     "DRIVER={FreeTDS};SERVER=S;DATABASE={ Sa}les};UID=u}1;PWD={{Pa}}ss};TDS_Version=7.4;ClientCharset=UTF-8"},
    {"RequiredEncryptionBecomesRequire",
     "Data Source=S,1500;User ID=u;Password=p;Use Encryption for Data=True;Trust Server Certificate=True",
     "DRIVER={FreeTDS};SERVER=S;PORT=1500;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"EncryptNoKeepsTheDriversDefault",
     "Data Source=S;User ID=u;Password=p;Encrypt=no;TrustServerCertificate=yes",
     "DRIVER={FreeTDS};SERVER=S;UID=u;PWD=p;TDS_Version=7.4;ClientCharset=UTF-8"},
    {"AppAndWorkstationCarried",
     "Data Source=S;User ID=sa;Password=;Application Name=Vandrel;Workstation ID=PC1",
     "DRIVER={FreeTDS};SERVER=S;UID=sa;PWD=;APP=Vandrel;WSID=PC1;TDS_Version=7.4;ClientCharset=UTF-8"},
};
// clang-format on

class UOleDbStringTranslation : public ::testing::TestWithParam<TTranslationRow>
{
};

TEST_P(UOleDbStringTranslation, GivesOdbcString)
{
    const TTranslationRow& row = GetParam();
    EXPECT_EQ(UOleDbString::ToOdbc(UOleDbString::Parse(QString::fromUtf8(row.OleDb)), QStringLiteral("FreeTDS")),
              QString::fromUtf8(row.Odbc));
}

INSTANTIATE_TEST_SUITE_P(Translation,
                         UOleDbStringTranslation,
                         ::testing::ValuesIn(cTranslations),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

struct TQuoteRow
{
    const char* Name;
    const char* Value;
    const char* Written;
};

// clang-format off
const TQuoteRow cQuotes[] = {
    {"PlainValueStaysAsItIs",        "Sales 2024",  "Sales 2024"},
    {"InnerQuoteStaysAsItIs",        "O\"Hara",     "O\"Hara"},
    {"EmptyValueStaysEmpty",         "",            ""},
    {"SemicolonIsQuoted",            "a;b",         "\"a;b\""},
    {"LeadingDoubleQuoteIsDoubled",  "\"x\";y",     "\"\"\"x\"\";y\""},
    {"LeadingSingleQuoteIsQuoted",   "'x'",         "\"'x'\""},
    {"OuterBlanksAreKept",           " pw ",        "\" pw \""},
};
// clang-format on

class UOleDbStringQuoting : public ::testing::TestWithParam<TQuoteRow>
{
};

TEST_P(UOleDbStringQuoting, WritesValueThatParsesBack)
{
    const TQuoteRow& row = GetParam();
    const QString value = QString::fromUtf8(row.Value);
    const QString written = UOleDbString::QuoteValue(value);
    EXPECT_EQ(written, QString::fromUtf8(row.Written));
    const QList<UOleDbString::TPair> pairs =
        UOleDbString::Parse(QStringLiteral("Password=") + written + QStringLiteral(";User ID=sa"));
    ASSERT_EQ(pairs.size(), 2);
    EXPECT_EQ(pairs.at(0), UOleDbString::TPair(QStringLiteral("Password"), value));
    EXPECT_EQ(pairs.at(1), UOleDbString::TPair(QStringLiteral("User ID"), QStringLiteral("sa")));
}

INSTANTIATE_TEST_SUITE_P(Quoting, UOleDbStringQuoting, ::testing::ValuesIn(cQuotes), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST(UOleDbStringTest, CheckedServerIsNamedByItsConfigurationSection)
{
    EXPECT_EQ(
        UOleDbString::ToOdbc(UOleDbString::Parse(QStringLiteral("Data Source=S,1500;User ID=u;Password=p;Encrypt=yes")),
                             QStringLiteral("FreeTDS"),
                             nullptr,
                             nullptr,
                             QStringLiteral("vandrel-0123")),
        QStringLiteral("DRIVER={FreeTDS};SERVERNAME=vandrel-0123;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;"
                       "ClientCharset=UTF-8"));
}

TEST(UOleDbStringTest, OtherDriversDoubleClosingBraces)
{
    EXPECT_EQ(UOleDbString::ToOdbc(UOleDbString::Parse(QStringLiteral("Data Source=S;User ID=u}1;Password=\"a;b}c\"")),
                                   QStringLiteral("ODBC Driver 18 for SQL Server")),
              QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};SERVER=S;UID={u}}1};PWD={a;b}}c}"));
}

TEST(UOleDbStringTest, FileNameReadsWindowsDataLinkFile)
{
    const QString udl = TestPaths::SourceDir() + QStringLiteral("/tests/dbaccess/data/windows.udl");
    EXPECT_EQ(UOleDbString::ReadDataLinkFile(udl),
              QStringLiteral("Provider=SQLOLEDB.1;Password=Secr3t!;Persist Security Info=True;User ID=sa;"
                             "Initial Catalog=Sales;Data Source=127.0.0.1,14330"));

    TDBConnection connection;
    connection.SetConnectionString(QStringLiteral("FILE NAME=") + udl);
    EXPECT_EQ(connection.ConnectionString(), QStringLiteral("FILE NAME=") + udl);
    EXPECT_EQ(connection.Provider(), QStringLiteral("SQLOLEDB.1"));
    EXPECT_EQ(connection.OdbcConnectionString(),
              QStringLiteral("DRIVER={" VANDREL_ODBC_DRIVER "};SERVER=127.0.0.1;PORT=14330;DATABASE=Sales;UID=sa;"
                             "PWD=Secr3t!;TDS_Version=7.4;ClientCharset=UTF-8"));
    EXPECT_EQ(connection.Property(QStringLiteral("Initial Catalog")), QStringLiteral("Sales"));
    EXPECT_EQ(connection.Property(QStringLiteral("persist security info")), QStringLiteral("True"));
    EXPECT_EQ(connection.Property(QStringLiteral("Integrated Security")), QString());
    EXPECT_THROW(connection.Property(QStringLiteral("Current Catalog")), EDatabaseError);
}

TEST(UOleDbStringTest, MissingOrMalformedDataLinkFileRaises)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("none.udl"));
    TDBConnection connection;
    connection.SetConnectionString(QStringLiteral("FILE NAME=") + missing);
    EXPECT_THROW(connection.Open(), EDatabaseError);
    EXPECT_THROW(UOleDbString::ReadDataLinkFile(missing), EDatabaseError);
}

TEST(TDBConnectionTest, ClosedConnectionPropertiesAndRefusedOpens)
{
    TDBConnection connection;
    EXPECT_EQ(connection.PropertyCount(), 0);
    EXPECT_EQ(connection.Provider(), QString());

    connection.SetConnectionString(QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\shop.mdb"));
    EXPECT_EQ(connection.Provider(), QStringLiteral("Microsoft.Jet.OLEDB.4.0"));
    EXPECT_THROW(connection.Open(), EDatabaseError);

    // A login prompt without a hook fails at once instead of waiting for a user.
    connection.SetConnectionString(QStringLiteral("Provider=SQLOLEDB;Data Source=127.0.0.1,1;User ID=sa"));
    connection.SetLoginPrompt(true);
    try {
        connection.Open();
        FAIL() << "Open without a login prompt hook succeeded";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("login prompt"))) << e.what();
    }
    EXPECT_FALSE(connection.Connected());
}

} // namespace
