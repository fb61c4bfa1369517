// SPDX-License-Identifier: MIT
// The connection utilities against the fake SQL Server on loopback.
#include "EVandrel.h"
#include "TDBConnection.h"
#include "TServerProcess.h"
#include "TestPaths.h"
#include "UDatCon.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {
class UDatConDbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FRoot.isValid());
        FServer.StartPython(
            QStringLiteral("tests/fakesql/fakesql.py"),
            {QStringLiteral("--root"), FRoot.path(), QStringLiteral("--user"), QStringLiteral("sa:Secr3t!")});
    }
    void TearDown() override { UDatCon::SetLoginDialogHook({}); }

    QString DataSource() const { return QStringLiteral("127.0.0.1,%1").arg(FServer.Port()); }

    QTemporaryDir FRoot;
    QTemporaryDir FWork;
    TServerProcess FServer;
};
} // namespace

TEST_F(UDatConDbTest, DataLinkFiles_OursAndWindowsOpenThroughFileName)
{
    const QString ours = FWork.filePath(QStringLiteral("ours.udl"));
    ASSERT_TRUE(UDatCon::StoreDataLink(QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=True;User ID=sa;"
                                                      "Password=Secr3t!;Data Source=") +
                                           DataSource(),
                                       ours));

    // The Windows-written file, pointed at this server's port, encoding and layout untouched.
    QFile fixture(TestPaths::DataFile(QStringLiteral("windows.udl")));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    QString text = QStringDecoder(QStringConverter::Utf16LE)(fixture.readAll().mid(2));
    text.replace(QStringLiteral("127.0.0.1,14330"), DataSource())
        .replace(QStringLiteral("Sales"), QStringLiteral("master"));
    const QString windows = FWork.filePath(QStringLiteral("windows.udl"));
    QFile out(windows);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QByteArray("\xFF\xFE", 2) + QStringEncoder(QStringConverter::Utf16LE)(text));
    out.close();

    for (const QString& file : {ours, windows}) {
        TDBConnection connection;
        connection.SetConnectionString(QStringLiteral("FILE NAME=") + file);
        ASSERT_NO_THROW(connection.Open()) << file.toStdString();
        EXPECT_EQ(connection.Property(QStringLiteral("Current Catalog")), QStringLiteral("master"));
    }
}

TEST_F(UDatConDbTest, DecideLoginPrompt_AsksThroughTheLoginDialog)
{
    TDBConnection connection;
    connection.SetConnectionString(QStringLiteral("Provider=SQLOLEDB;User ID=sa;Data Source=") + DataSource());
    UDatCon::DecideLoginPrompt(connection);
    ASSERT_TRUE(connection.LoginPrompt());

    EXPECT_THROW(connection.Open(), EDatabaseError); // no dialog installed: declined
    QString askedUser;
    UDatCon::SetLoginDialogHook([&askedUser](QString& aUser, QString& aPassword) {
        askedUser = aUser;
        aPassword = QStringLiteral("Secr3t!");
        return true;
    });
    ASSERT_NO_THROW(connection.Open());
    EXPECT_EQ(askedUser, QStringLiteral("sa"));
}

TEST_F(UDatConDbTest, TryOpenTwice_KeepsShortTimeoutOnSuccess_RaisesSecondFailure)
{
    TDBConnection connection;
    connection.SetConnectionTimeout(20);
    connection.SetConnectionString(QStringLiteral("Provider=SQLOLEDB;User ID=sa;Password=Secr3t!;Data Source=") +
                                   DataSource());
    UDatCon::TryOpenTwice(connection);
    EXPECT_TRUE(connection.Connected());
    EXPECT_EQ(connection.ConnectionTimeout(), 3);

    TDBConnection rejected;
    rejected.SetConnectionTimeout(20);
    rejected.SetConnectionString(QStringLiteral("Provider=SQLOLEDB;User ID=sa;Password=wrong;Data Source=") +
                                 DataSource());
    EXPECT_THROW(UDatCon::TryOpenTwice(rejected), EDatabaseError);
    EXPECT_EQ(rejected.ConnectionTimeout(), 20);
}

TEST(UDatConDbSlowTest, TryOpenTwice_SlowServer_OpensOnSecondAttemptWithConfiguredTimeout)
{
    QTemporaryDir root;
    TServerProcess server;
    server.StartPython(QStringLiteral("tests/fakesql/fakesql.py"),
                       {QStringLiteral("--root"),
                        root.path(),
                        QStringLiteral("--user"),
                        QStringLiteral("sa:Secret1"),
                        QStringLiteral("--login-delay"),
                        QStringLiteral("4")});
    TDBConnection connection;
    connection.SetConnectionString(
        QStringLiteral("Provider=SQLOLEDB;User ID=sa;Password=Secret1;Data Source=127.0.0.1,%1").arg(server.Port()));
    connection.SetConnectionTimeout(15);
    ASSERT_NO_THROW(UDatCon::TryOpenTwice(connection));
    EXPECT_TRUE(connection.Connected());
    EXPECT_EQ(connection.ConnectionTimeout(), 15);
}
