// SPDX-License-Identifier: MIT
#include "TDBConnection.h"
#include "EVandrel.h"
#include "TDBCommand.h"
#include "TDBQuery.h"
#include "TFakeSqlServer.h"
#include "UOleDbString.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

class TDBConnectionDbTest : public ::testing::Test
{
protected:
    void Open(TFakeSqlServer& aServer, const QString& aDatabase = QString())
    {
        FConnection.SetConnectionString(aServer.ConnectionString(aDatabase));
        FConnection.Open();
    }
    QString BackupSql(TFakeSqlServer& aServer, const QString& aFile)
    {
        return QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1/%2' WITH INIT, STATS = 10")
            .arg(aServer.Root(), aFile);
    }

    TDBConnection FConnection;
};

TEST_F(TDBConnectionDbTest, OpenReportsServerCatalogAndLoginFailures)
{
    TFakeSqlServer server;
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(8192, 'D'));

    FConnection.SetConnectionString(
        server.ConnectionString().replace(QStringLiteral("Secret1"), QStringLiteral("bad")));
    try {
        FConnection.Open();
        FAIL() << "a wrong password was accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("Login failed for user 'sa'."))) << e.what();
        EXPECT_FALSE(e.Message().contains(QLatin1Char('['))) << e.what();
    }
    EXPECT_FALSE(FConnection.Connected());

    Open(server, QStringLiteral("Sales"));
    EXPECT_EQ(FConnection.Property(QStringLiteral("Current Catalog")), QStringLiteral("Sales"));
    FConnection.Execute(QStringLiteral("USE master"));
    EXPECT_EQ(FConnection.Property(QStringLiteral("Current Catalog")), QStringLiteral("master"));
    EXPECT_EQ(FConnection.Property(QStringLiteral("Initial Catalog")), QStringLiteral("Sales"));
    EXPECT_THROW(FConnection.SetConnectionString(QString()), EDatabaseError);
    FConnection.Close();
    EXPECT_FALSE(FConnection.Connected());
}

struct TLoginCase
{
    const char* User;
    const char* Password;
    const char* Database;
    const char* Refusal; // empty: the login works
};

// clang-format off
const TLoginCase cLoginCases[] = {
    {"u}1",   "Pa}ss",  "Sa}les", ""},
    {"x;y",   "a;b}",   "D;b}",   ""},
    {"{b}",   "{x}}",   "{Db",    ""},
    {"sp",    " p w ",  "Sales",  ""},
    {"semi",  "a};b",   "Sales",  "password contains \"};\""},
    {"sa",    "Secret1", "x};y",  "database name contains \"};\""},
};
// clang-format on

TEST_F(TDBConnectionDbTest, LoginValuesWithBracesAndSemicolonsReachTheServer)
{
    QStringList users;
    for (const TLoginCase& row : cLoginCases)
        users << QStringLiteral("--user")
              << QString::fromUtf8(row.User) + QLatin1Char(':') + QString::fromUtf8(row.Password);
    TFakeSqlServer server(users);
    for (const TLoginCase& row : cLoginCases) {
        const QString database = QString::fromUtf8(row.Database);
        server.CreateDatabase(database, QByteArray(8192, 'D'));
        const QString connectionString =
            QStringLiteral("Provider=SQLOLEDB.1;User ID=%1;Password=%2;Initial Catalog=%3;Data Source=%4")
                .arg(
                    UOleDbString::QuoteValue(QString::fromUtf8(row.User)),
                    UOleDbString::QuoteValue(QString::fromUtf8(row.Password)),
                    UOleDbString::QuoteValue(database),
                    UOleDbString::Value(UOleDbString::Parse(server.ConnectionString()), QStringLiteral("Data Source")));
        TDBConnection connection;
        connection.SetConnectionString(connectionString);
        SCOPED_TRACE(connectionString.toStdString());
        if (*row.Refusal) {
            try {
                connection.Open();
                ADD_FAILURE() << "a value the driver cannot read was sent";
            } catch (const EDatabaseError& e) {
                EXPECT_TRUE(e.Message().contains(QString::fromUtf8(row.Refusal))) << e.what();
            }
            continue;
        }
        try {
            connection.Open();
        } catch (const EDatabaseError& e) {
            ADD_FAILURE() << e.what() << "\n" << server.Output().toStdString();
            continue;
        }
        EXPECT_EQ(connection.Property(QStringLiteral("Current Catalog")), database);
    }
}

TEST_F(TDBConnectionDbTest, LoginPromptHookSuppliesLoginOrDeclines)
{
    TFakeSqlServer server;
    FConnection.SetConnectionString(server.ConnectionString().replace(QStringLiteral("Password=Secret1;"), QString()));
    FConnection.SetLoginPrompt(true);
    QString offeredUser;
    FConnection.SetLoginPromptHook([&](QString& aUser, QString&) {
        offeredUser = aUser;
        return false;
    });
    EXPECT_THROW(FConnection.Open(), EDatabaseError);
    EXPECT_EQ(offeredUser, QStringLiteral("sa"));

    FConnection.SetLoginPromptHook([](QString&, QString& aPassword) {
        aPassword = QStringLiteral("Secret1");
        return true;
    });
    FConnection.Open();
    EXPECT_TRUE(FConnection.Connected());
}

TEST_F(TDBConnectionDbTest, DataLinkFileOpensConnection)
{
    TFakeSqlServer server;
    QTemporaryDir dir;
    const QString udl = dir.filePath(QStringLiteral("conn.udl"));
    const QString text = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n") +
                         server.ConnectionString() + QStringLiteral("\r\n");
    QFile file(udl);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\xFF\xFE");
    file.write(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    file.close();

    FConnection.SetConnectionString(QStringLiteral("FILE NAME=") + udl);
    FConnection.Open();
    EXPECT_EQ(FConnection.Property(QStringLiteral("Current Catalog")), QStringLiteral("master"));
}

TEST_F(TDBConnectionDbTest, ExecuteDrainsEveryMessageAndRaisesServerErrors)
{
    TFakeSqlServer server;
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 'D'));
    Open(server);
    std::vector<TDBError> infos;
    QString willExecute;
    TDBExecuteComplete complete;
    FConnection.SetOnInfoMessage([&](const TDBError& aError, TDBConnection& aConnection) {
        infos.push_back(aError);
        EXPECT_EQ(aConnection.Error(aConnection.ErrorCount() - 1).Description, aError.Description);
    });
    FConnection.SetOnWillExecute([&](const QString& aText, TDBConnection&) { willExecute = aText; });
    FConnection.SetOnExecuteComplete([&](const TDBExecuteComplete& aInfo, TDBConnection&) { complete = aInfo; });

    const QString sql = BackupSql(server, QStringLiteral("sync.bak"));
    FConnection.Execute(sql);
    EXPECT_EQ(willExecute, sql);
    EXPECT_FALSE(complete.Failed);
    ASSERT_GE(infos.size(), 3u);
    EXPECT_EQ(infos.front().NativeError, 3211);
    EXPECT_TRUE(infos.back().Description.startsWith(QStringLiteral("BACKUP DATABASE successfully processed")))
        << infos.back().Description.toStdString();
    EXPECT_TRUE(QFile::exists(server.Root() + QStringLiteral("/sync.bak")));

    try {
        FConnection.Execute(
            QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1/no/such/dir/x.bak' WITH INIT").arg(server.Root()));
        FAIL() << "a backup to a missing folder succeeded";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot open backup device"))) << e.what();
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("\r\nBACKUP DATABASE is terminating abnormally."))) << e.what();
    }
    EXPECT_TRUE(complete.Failed);
    EXPECT_THROW(FConnection.Execute(QStringLiteral("SELEKT 1")), EDatabaseError);
    FConnection.Execute(QStringLiteral("SELECT 1"));
    EXPECT_EQ(complete.FieldCount, 1);
    EXPECT_EQ(complete.RecordCount, 1);
}

TEST_F(TDBConnectionDbTest, InfoMessageSubscribersHearEveryMessageUntilTheirSubscriptionEnds)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("0.1")});
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 'D'));
    Open(server);
    std::mutex lock;
    QStringList heard;
    const auto listener = [&](const QString& aName) {
        return [&, aName](const TDBError& aError, TDBConnection&) {
            std::lock_guard guard(lock);
            heard << aName + QLatin1Char(':') + aError.Description;
        };
    };
    const auto take = [&] {
        std::lock_guard guard(lock);
        return std::exchange(heard, {});
    };
    // Each message in arrival order, first to the handler, then to the subscribers in subscription order.
    const auto expected = [&](const QStringList& aNames) {
        QStringList lines;
        int progress = 0;
        for (const TDBError& message : FConnection.Errors()) {
            progress += message.NativeError == 3211 ? 1 : 0;
            for (const QString& name : aNames)
                lines << name + QLatin1Char(':') + message.Description;
        }
        EXPECT_EQ(progress, 10);
        return lines;
    };
    FConnection.SetOnInfoMessage(listener(QStringLiteral("log")));
    TDBSubscription first = FConnection.SubscribeInfoMessage(listener(QStringLiteral("first")));
    auto second = std::make_optional(FConnection.SubscribeInfoMessage(listener(QStringLiteral("second"))));
    FConnection.Execute(BackupSql(server, QStringLiteral("both.bak")));
    EXPECT_EQ(take(), expected({QStringLiteral("log"), QStringLiteral("first"), QStringLiteral("second")}));

    // A moved subscription goes on listening; an ended one hears nothing more.
    TDBSubscription moved = std::move(first);
    second.reset();
    FConnection.Execute(BackupSql(server, QStringLiteral("one.bak")));
    EXPECT_EQ(take(), expected({QStringLiteral("log"), QStringLiteral("first")}));

    // Ended on this thread while the command's own thread delivers the messages.
    std::atomic<int> progress{0};
    auto counting = std::make_optional(FConnection.SubscribeInfoMessage([&](const TDBError& aError, TDBConnection&) {
        if (aError.NativeError == 3211)
            ++progress;
    }));
    TDBCommand command(FConnection);
    command.SetCommandText(BackupSql(server, QStringLiteral("async.bak")));
    command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
    command.Execute();
    QElapsedTimer timer;
    timer.start();
    while (progress.load() < 2 && timer.elapsed() < 20000)
        command.WaitFor(10);
    counting.reset();
    const int heardBeforeEnd = progress.load();
    ASSERT_TRUE(command.WaitFor(20000));
    EXPECT_EQ(progress.load(), heardBeforeEnd);
    EXPECT_LT(heardBeforeEnd, 10);
    EXPECT_EQ(take(), expected({QStringLiteral("log"), QStringLiteral("first")}));

    // A subscription may outlive its connection.
    auto connection = std::make_unique<TDBConnection>();
    TDBSubscription orphan = connection->SubscribeInfoMessage(listener(QStringLiteral("orphan")));
    connection.reset();
}

TEST_F(TDBConnectionDbTest, QueryReadsTwoResultSetsCatalogsAndTypedFields)
{
    TFakeSqlServer server;
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(256 * 1024, 'D'));
    Open(server, QStringLiteral("Sales"));

    TDBQuery query(FConnection);
    query.SetCommandText(QStringLiteral("sp_spaceused"));
    query.Open();
    ASSERT_FALSE(query.Eof());
    EXPECT_EQ(query.FieldAsString(QStringLiteral("database_name")), QStringLiteral("Sales"));
    ASSERT_TRUE(query.NextRecordset());
    ASSERT_FALSE(query.Eof());
    const QString data = query.FieldAsString(QStringLiteral("data"));
    EXPECT_TRUE(data.endsWith(QStringLiteral(" KB"))) << data.toStdString();
    EXPECT_THROW(query.FieldAsString(QStringLiteral("no_such_column")), EDatabaseError);
    EXPECT_THROW(query.FieldAsInteger(QStringLiteral("data")), EDatabaseError);
    EXPECT_FALSE(query.NextRecordset());
    EXPECT_TRUE(query.Eof());
    query.Close();
    query.Close();

    query.SetCommandText(QStringLiteral("DBCC sqlperf(logspace)"));
    query.Open();
    bool found = false;
    for (; !query.Eof(); query.Next())
        if (query.FieldAsString(QStringLiteral("Database Name")) == QLatin1String("Sales")) {
            found = true;
            EXPECT_GT(query.FieldAsFloat(QStringLiteral("Log Size (MB)")), 0.0);
            EXPECT_EQ(query.FieldAsInteger(QStringLiteral("Status")), 0);
        }
    EXPECT_TRUE(found);
    query.Close();

    QStringList catalogs;
    query.OpenSchema(siCatalogs);
    for (; !query.Eof(); query.Next())
        catalogs << query.FieldAsString(QStringLiteral("CATALOG_NAME"));
    EXPECT_TRUE(catalogs.contains(QStringLiteral("Sales"))) << catalogs.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(catalogs.contains(QStringLiteral("master")));
}

TEST_F(TDBConnectionDbTest, AsyncCommandStreamsMessagesAndCancels)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("0.5")});
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 'D'));
    Open(server);
    std::atomic<int> progress{0};
    FConnection.SetOnInfoMessage([&](const TDBError& aError, TDBConnection&) {
        if (aError.NativeError == 3211)
            ++progress;
    });

    TDBCommand command(FConnection);
    command.SetCommandText(BackupSql(server, QStringLiteral("cancelled.bak")));
    command.SetExecuteOptions(eoAsyncExecute | eoAsyncFetch);
    QElapsedTimer timer;
    timer.start();
    command.Execute();
    EXPECT_EQ(command.States(), stExecuting);
    // Two progress messages while the statement still runs show they arrive one by one.
    while (progress.load() < 2 && timer.elapsed() < 20000)
        command.WaitFor(20);
    EXPECT_EQ(command.States(), stExecuting);
    command.Cancel();
    EXPECT_TRUE(command.WaitFor(10000));
    EXPECT_LT(timer.elapsed(), 8000); // the whole backup takes ten progress steps of half a second
    EXPECT_EQ(command.States(), stClosed);
    EXPECT_TRUE(command.Outcome().Cancelled);
    EXPECT_FALSE(command.Outcome().Failed);
    EXPECT_NO_THROW(command.RaiseOnFailure());
    FConnection.Execute(QStringLiteral("SELECT 1"));
}

TEST_F(TDBConnectionDbTest, CommandTimeoutEndsAsFailure)
{
    TFakeSqlServer server({QStringLiteral("--progress-delay"), QStringLiteral("1")});
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 'D'));
    Open(server);
    TDBCommand command(FConnection);
    command.SetCommandText(BackupSql(server, QStringLiteral("slow.bak")));
    command.SetCommandTimeout(1);
    try {
        command.Execute();
        FAIL() << "the deadline did not end the statement";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("timeout expired"))) << e.what();
    }
    EXPECT_FALSE(command.Outcome().Cancelled);
    FConnection.Execute(QStringLiteral("SELECT 1"));
}

TEST_F(TDBConnectionDbTest, ConnectionTimeoutLimitsLogin)
{
    TFakeSqlServer server({QStringLiteral("--login-delay"), QStringLiteral("4")});
    FConnection.SetConnectionString(server.ConnectionString());
    FConnection.SetConnectionTimeout(1);
    EXPECT_THROW(FConnection.Open(), EDatabaseError);
    EXPECT_FALSE(FConnection.Connected());
    FConnection.SetConnectionTimeout(20);
    FConnection.Open();
    EXPECT_TRUE(FConnection.Connected());
}

TEST_F(TDBConnectionDbTest, DroppedConnectionFailsRunningStatement)
{
    TFakeSqlServer server({QStringLiteral("--drop-after-progress"), QStringLiteral("2")});
    server.CreateDatabase(QStringLiteral("Sales"), QByteArray(64 * 1024, 'D'));
    Open(server);
    TDBCommand command(FConnection);
    command.SetCommandText(BackupSql(server, QStringLiteral("dropped.bak")));
    command.SetExecuteOptions(eoAsyncExecute);
    command.Execute();
    ASSERT_TRUE(command.WaitFor(20000));
    EXPECT_TRUE(command.Outcome().Failed);
    EXPECT_EQ(command.Outcome().ErrorMessage, QStringLiteral("The connection to the server was lost."));
    EXPECT_THROW(command.RaiseOnFailure(), EDatabaseError);
    EXPECT_FALSE(FConnection.Connected());
    FConnection.Open();
    FConnection.Execute(QStringLiteral("SELECT 1"));
}

} // namespace
