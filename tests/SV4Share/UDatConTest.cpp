// SPDX-License-Identifier: MIT
#include "UDatCon.h"
#include "TDBConnection.h"
#include "TestPaths.h"
#include "UOleDbString.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
const QString cPlainString = QStringLiteral("Provider=SQLOLEDB.1;Password=Secr3t!;Persist Security Info=True;User "
                                            "ID=sa;Initial Catalog=Sales;Data Source=127.0.0.1,14330");

QByteArray ReadAll(const QString& aFileName)
{
    QFile file(aFileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& aFileName, const QByteArray& aBytes)
{
    QFile file(aFileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(aBytes);
}

/// A temporary folder as TMPDIR, restored afterwards.
class TTempDirGuard
{
public:
    explicit TTempDirGuard(const QString& aPath)
        : FOld(qgetenv("TMPDIR"))
    {
        QDir().mkpath(aPath);
        qputenv("TMPDIR", QFile::encodeName(aPath));
    }
    ~TTempDirGuard() { qputenv("TMPDIR", FOld); }

private:
    QByteArray FOld;
};

struct TNameRow
{
    const char* Name;
    const char* ConnectionString;
    const char* Database;
};

class UDatConDatabaseNameTest : public ::testing::TestWithParam<TNameRow>
{
};
} // namespace

TEST_P(UDatConDatabaseNameTest, GetDatabaseName)
{
    EXPECT_EQ(UDatCon::GetDatabaseName(QString::fromUtf8(GetParam().ConnectionString)),
              QString::fromUtf8(GetParam().Database));
}

// clang-format off
const TNameRow cNameRows[] = {
    {"InitialCatalog",        "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=Sales;Data Source=SRV01", "Sales"},
    {"DatabaseBeforeCatalog", "Database=Alpha;Initial Catalog=Beta",                         "Alpha"},
    {"JetUsesDataSource",     "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\Data\\shop.mdb", "C:\\Data\\shop.mdb"},
    {"JetIgnoresCatalog",     "Provider=Microsoft.Jet.OLEDB.4.0;Initial Catalog=X",          ""},
    {"KeyInAnyCaseValueKept", "INITIAL CATALOG=MyDb",                                        "MyDb"},
    {"BlanksAroundEqual",     "Initial Catalog = Sales",                                     ""},
    {"EmptyDatabaseNoFallback", "Database=;Initial Catalog=Sales",                           ""},
    {"KeyInsideLongerKeyword", "OldDatabase=X;Initial Catalog=Y",                            "X"},
    {"LastPairRunsToEnd",     "Provider=SQLOLEDB;Initial Catalog=Tail Name",                 "Tail Name"},
    {"NoName",                "Provider=SQLOLEDB;Data Source=SRV01",                         ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(UDatCon,
                         UDatConDatabaseNameTest,
                         ::testing::ValuesIn(cNameRows),
                         [](const ::testing::TestParamInfo<TNameRow>& aInfo) { return aInfo.param.Name; });

TEST(UDatConTest, ReplaceFileExt_ChangesOnlyTheFinalExtension)
{
    // clang-format off
    const struct { const char* Name; const char* Ext; const char* Replaced; const char* Changed; } rows[] = {
        {"/etc/app/conn.ini",        ".udl", "/etc/app/conn.udl",        "/etc/app/conn.udl"},
        {"/etc/conn.ini.d/conn.ini", ".udl", "/etc/conn.ini.d/conn.udl", "/etc/conn.ini.d/conn.udl"},
        {"/etc/app/conn",            ".udl", "/etc/app/conn",            "/etc/app/conn.udl"},
        {"/etc/app.d/conn",          ".udl", "/etc/app.d/conn",          "/etc/app.d/conn.udl"},
        {"DBVandrel",                ".ini", "DBVandrel",                "DBVandrel.ini"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const QString name = QString::fromUtf8(row.Name);
        EXPECT_EQ(UDatCon::ReplaceFileExt(name, QString::fromUtf8(row.Ext)), QString::fromUtf8(row.Replaced))
            << row.Name;
        EXPECT_EQ(UDatCon::ChangeFileExt(name, QString::fromUtf8(row.Ext)), QString::fromUtf8(row.Changed)) << row.Name;
    }
}

TEST(UDatConTest, ConnectionDialog_WithoutHookIsCancelled_WithHookReturnsItsString)
{
    QString result = QStringLiteral("stale");
    EXPECT_FALSE(UDatCon::ADOConnectionString(QStringLiteral("Provider=SQLOLEDB"), result));
    EXPECT_TRUE(result.isEmpty());

    QString seen;
    UDatCon::SetConnectionDialogHook([&seen](const QString& aInitial, QString& aResult) {
        seen = aInitial;
        aResult = aInitial + QStringLiteral(";Data Source=SRV01");
        return true;
    });
    TDBConnection connection;
    connection.SetConnectionString(QStringLiteral("Provider=SQLOLEDB"));
    EXPECT_TRUE(UDatCon::PromptDataLink(connection));
    EXPECT_EQ(seen, QStringLiteral("Provider=SQLOLEDB"));
    EXPECT_EQ(connection.ConnectionString(), QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01"));
    UDatCon::SetConnectionDialogHook({});
    EXPECT_FALSE(UDatCon::PromptDataLink(connection));
    EXPECT_EQ(connection.ConnectionString(), QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01"));
}

TEST(UDatConTest, StoreDataLink_WritesStandardFileForItsOwnerThatTheAccessLayerReads)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("conn.udl"));
    ASSERT_TRUE(UDatCon::StoreDataLink(cPlainString, name));
    const QByteArray expected =
        QByteArray("\xFF\xFE", 2) +
        QStringEncoder(QStringConverter::Utf16LE)(
            QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n") + cPlainString +
            QStringLiteral("\r\n"));
    EXPECT_EQ(ReadAll(name), expected);
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_FALSE(QFileInfo(name).permissions() & others);

    // Ours and one written by Windows read back the same through "FILE NAME=".
    for (const QString& file : {name, TestPaths::DataFile(QStringLiteral("windows.udl"))}) {
        EXPECT_EQ(UOleDbString::ReadDataLinkFile(file), cPlainString) << file.toStdString();
        EXPECT_EQ(UOleDbString::Value(UOleDbString::Resolve(QStringLiteral("FILE NAME=") + file),
                                      QStringLiteral("Initial Catalog")),
                  QStringLiteral("Sales"));
    }
}

TEST(UDatConTest, StoreDataLink_ReplacesExistingFileAndLeavesNoCopy)
{
    QTemporaryDir dir;
    TTempDirGuard temp(dir.filePath(QStringLiteral("tmp")));
    const QString name = dir.filePath(QStringLiteral("conn.udl"));
    WriteAll(name, "old");
    ASSERT_TRUE(UDatCon::StoreDataLink(cPlainString, name));
    EXPECT_EQ(UOleDbString::ReadDataLinkFile(name), cPlainString);
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("tmp"))).isEmpty());
}

TEST(UDatConTest, StoreDataLink_ThroughALink_ReplacesTheFileItPointsToAndKeepsItsAccess)
{
    QTemporaryDir dir;
    TTempDirGuard temp(dir.filePath(QStringLiteral("tmp")));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("shared"))));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("job"))));
    const QString shared = dir.filePath(QStringLiteral("shared/conn.udl"));
    WriteAll(shared, "old");
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0640), 0);
    const QString link = dir.filePath(QStringLiteral("job/conn.udl"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../shared/conn.udl"), link));

    ASSERT_TRUE(UDatCon::StoreDataLink(cPlainString, link));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(UOleDbString::ReadDataLinkFile(shared), cPlainString);
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(shared).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // No copy is left anywhere: neither beside the file nor in the temporary folder.
    const QDir::Filters all = QDir::Files | QDir::Hidden | QDir::System;
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("shared"))).entryList(all), QStringList{QStringLiteral("conn.udl")});
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("job"))).entryList(all), QStringList{QStringLiteral("conn.udl")});
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("tmp"))).isEmpty());

    // A link to a file not there yet creates that file, for its owner only.
    const QString fresh = dir.filePath(QStringLiteral("job/fresh.udl"));
    ASSERT_TRUE(QFile::link(QStringLiteral("../shared/fresh.udl"), fresh));
    ASSERT_TRUE(UDatCon::StoreDataLink(cPlainString, fresh));
    EXPECT_TRUE(QFileInfo(fresh).isSymLink());
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath(QStringLiteral("shared/fresh.udl"))).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(UDatConTest, StoreDataLink_FailedWrite_KeepsThePreviousFile)
{
    QTemporaryDir dir;
    TTempDirGuard temp(dir.filePath(QStringLiteral("tmp")));
    const QString name = dir.filePath(QStringLiteral("conn.udl"));
    const QByteArray previous = QByteArray("\xFF\xFE[\0o\0", 6);
    WriteAll(name, previous);
    ASSERT_EQ(::chmod(QFile::encodeName(name).constData(), 0644), 0);

    // Files may grow to 16 bytes only: moving the old file aside works, writing the new one fails.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool stored = UDatCon::StoreDataLink(cPlainString, name);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(stored);
    EXPECT_EQ(ReadAll(name), previous);
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(name).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    // The copy moved aside beside it went back; nothing is left in the folder or the temporary folder.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{QStringLiteral("conn.udl")});
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("tmp"))).isEmpty());
    EXPECT_FALSE(UDatCon::StoreDataLink(cPlainString, dir.filePath(QStringLiteral("missing/conn.udl"))));
    EXPECT_FALSE(UDatCon::StoreDataLink(cPlainString, QString()));
}

TEST(UDatConTest, EnumerateDCProperties_SetsNameValueEntries)
{
    TDBConnection connection;
    connection.SetConnectionString(
        QStringLiteral("Provider=SQLOLEDB;Data Source=SRV01;User ID=sa;Initial Catalog=Sales"));
    QStringList list{
        QStringLiteral("data source=stale"), QStringLiteral("Integrated Security=stale"), QStringLiteral("Other=kept")};
    UDatCon::EnumerateDCProperties(connection, list);
    EXPECT_TRUE(list.contains(QStringLiteral("Data Source=SRV01")));
    EXPECT_FALSE(list.contains(QStringLiteral("data source=stale")));
    EXPECT_TRUE(list.filter(QStringLiteral("Integrated Security"), Qt::CaseInsensitive).isEmpty());
    EXPECT_TRUE(list.contains(QStringLiteral("Other=kept")));
    EXPECT_TRUE(list.contains(QStringLiteral("Initial Catalog=Sales")));
    EXPECT_TRUE(list.contains(QStringLiteral("Persist Security Info=False")));
}

TEST(UDatConTest, DecideLoginPrompt_AsksOnlyWithoutIntegratedSecurityOrPersistedLogin)
{
    // clang-format off
    const struct { const char* ConnectionString; bool Prompt; } rows[] = {
        {"Provider=SQLOLEDB;Integrated Security=SSPI;Data Source=SRV01",                         false},
        {"Provider=SQLOLEDB;User ID=sa;Data Source=SRV01",                                       true},
        {"Provider=SQLOLEDB;User ID=sa;Password=x;Persist Security Info=False;Data Source=SRV01", true},
        {"Provider=SQLOLEDB;User ID=sa;Password=x;Persist Security Info=True;Data Source=SRV01",  false},
    };
    // clang-format on
    for (const auto& row : rows) {
        TDBConnection connection;
        connection.SetLoginPrompt(!row.Prompt);
        connection.SetConnectionString(QString::fromUtf8(row.ConnectionString));
        UDatCon::DecideLoginPrompt(connection);
        EXPECT_EQ(connection.LoginPrompt(), row.Prompt) << row.ConnectionString;
    }
}
