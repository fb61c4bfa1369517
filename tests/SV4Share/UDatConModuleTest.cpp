// SPDX-License-Identifier: MIT
// The connection module against the fake SQL Server: stored connections, prompts, saving, the command log.
#include "UDatConModule.h"
#include "EVandrel.h"
#include "TDBConnection.h"
#include "TLockedFolder.h"
#include "TServerProcess.h"
#include "UConnectionStringManager.h"
#include "UDatCon.h"
#include "UPersistRecords.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {
std::mutex gLogLock;
QStringList gLogLines;
QtMessageHandler gPreviousHandler = nullptr;

void CaptureLog(QtMsgType aType, const QMessageLogContext& aContext, const QString& aText)
{
    if (aContext.category && qstrcmp(aContext.category, "dbvandrel") == 0) {
        std::lock_guard<std::mutex> lock(gLogLock);
        gLogLines << aText;
        return;
    }
    if (gPreviousHandler)
        gPreviousHandler(aType, aContext, aText);
}

QStringList TakeLog()
{
    std::lock_guard<std::mutex> lock(gLogLock);
    return std::exchange(gLogLines, {});
}

/// A fake server with the database Sales, a fresh configuration folder and current directory, no dialogs.
class UDatConModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FRoot.isValid() && FHome.isValid() && FWork.isValid());
        ASSERT_TRUE(QDir(FRoot.path()).mkpath(QStringLiteral("Sales")));
        for (const char* name : {"Sales/Sales.mdf", "Sales/Sales_log.ldf"}) {
            QFile file(FRoot.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        }
        FServer.StartPython(
            QStringLiteral("tests/fakesql/fakesql.py"),
            {QStringLiteral("--root"), FRoot.path(), QStringLiteral("--user"), QStringLiteral("sa:Secret1")});
        FOldXdg = qgetenv("XDG_CONFIG_HOME");
        FOldCurrent = QDir::currentPath();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FHome.path()));
        ASSERT_TRUE(QDir::setCurrent(FWork.path()));
        UDatCon::SetConnectionDialogHook({});
        UDatCon::SetLoginDialogHook({});
        TConnectionStringManager::SetConfigurationFile(QString());
        QLoggingCategory::setFilterRules(QStringLiteral("dbvandrel.debug=true"));
        gPreviousHandler = qInstallMessageHandler(CaptureLog);
        TakeLog();
    }
    void TearDown() override
    {
        qInstallMessageHandler(gPreviousHandler);
        QLoggingCategory::setFilterRules(QString());
        UDatCon::SetConnectionDialogHook({});
        TConnectionStringManager::SetConfigurationFile(QString());
        QDir::setCurrent(FOldCurrent);
        qputenv("XDG_CONFIG_HOME", FOldXdg);
    }

    QString Good() const
    {
        return QStringLiteral("Provider=SQLOLEDB.1;Data Source=127.0.0.1,%1;User ID=sa;Password=Secret1;"
                              "Initial Catalog=Sales")
            .arg(FServer.Port());
    }
    QString WrongPassword() const
    {
        return QStringLiteral("Provider=SQLOLEDB.1;Data Source=127.0.0.1,%1;User ID=sa;Password=nope;"
                              "Initial Catalog=Sales")
            .arg(FServer.Port());
    }
    QString SharedIni() const { return FHome.path() + QStringLiteral("/dbvandrel/DefaultDataLink.ini"); }
    /// Stores aConnectionString where a first save would: the shared INI file of the configuration folder.
    static void StoreIni(const QString& aConnectionString)
    {
        TConnectionStringManager store;
        store.SetConnectionString(aConnectionString);
    }
    static QString Stored()
    {
        TConnectionStringManager store;
        return store.ConnectionString();
    }
    /// A dialog hook that records the string it started from and answers aAnswer (empty: cancelled).
    void AnswerDialog(const QString& aAnswer)
    {
        UDatCon::SetConnectionDialogHook([this, aAnswer](const QString& aInitial, QString& aResult) {
            FDialogInitial << aInitial;
            aResult = aAnswer;
            return !aAnswer.isEmpty();
        });
    }

    QTemporaryDir FRoot;
    QTemporaryDir FHome;
    QTemporaryDir FWork;
    /// Holds the settings files of named configurations.
    QTemporaryDir FJobs;
    TServerProcess FServer;
    QByteArray FOldXdg;
    QString FOldCurrent;
    QStringList FDialogInitial;
};
} // namespace

TEST_F(UDatConModuleTest, Connect_FromTheStoredIniAndDataLinkFile)
{
    {
        StoreIni(Good());
        TADOConDataModule module;
        ASSERT_TRUE(module.Connect());
        EXPECT_EQ(module.LocationKind(), lkINI);
        EXPECT_EQ(module.FileName(), SharedIni());
        EXPECT_FALSE(module.Changed());
        EXPECT_EQ(module.Database(), QStringLiteral("Sales"));
        EXPECT_EQ(module.ConnectionString(), Good());

        // An open connection is not reloaded, even when the stored string changed.
        StoreIni(WrongPassword());
        EXPECT_TRUE(module.Connect(QString(), lkAuto));
        EXPECT_EQ(module.ConnectionString(), Good());
        EXPECT_TRUE(FDialogInitial.isEmpty());
        QFile::remove(SharedIni());
    }
    {
        // A data-link file in the current directory, read by the access layer through "FILE NAME=".
        const QString udl = QDir::currentPath() + QStringLiteral("/DefaultDataLink.udl");
        ASSERT_TRUE(UDatCon::StoreDataLink(Good(), udl));
        TADOConDataModule module;
        ASSERT_TRUE(module.Connect());
        EXPECT_EQ(module.LocationKind(), lkUDL);
        EXPECT_EQ(module.ConnectionString(), QStringLiteral("FILE NAME=") + udl);
        EXPECT_EQ(module.Database(), QStringLiteral("Sales"));

        // Saving it back writes the connection itself into the file, not a reference to the file.
        module.SetConnected(false);
        EXPECT_TRUE(module.Save(lkAuto));
        TADOConDataModule again;
        ASSERT_TRUE(again.Connect(udl, lkAuto));
        EXPECT_EQ(again.Database(), QStringLiteral("Sales"));
    }
}

TEST_F(UDatConModuleTest, Connect_RejectedStoredLogin_PromptCancelledOrRepaired)
{
    StoreIni(WrongPassword());
    {
        // No dialog (no desktop): the prompt answers "cancelled" and Connect reports failure.
        TADOConDataModule module;
        int before = 0;
        int after = 0;
        module.SetBeforePrompt([&before](TADOConDataModule&) { ++before; });
        module.SetAfterPrompt([&after](TADOConDataModule&) { ++after; });
        EXPECT_FALSE(module.Connect());
        EXPECT_FALSE(module.Connected());
        EXPECT_FALSE(module.Changed());
        EXPECT_EQ(before, 1);
        EXPECT_EQ(after, 1);
        EXPECT_EQ(module.ConnectionString(), WrongPassword());
    }
    {
        // The dialog repairs the login: the connection opens, is marked changed, and Save writes it back.
        const QString repaired = Good() + QStringLiteral(";Persist Security Info=True");
        AnswerDialog(repaired);
        TADOConDataModule module;
        ASSERT_TRUE(module.Connect());
        EXPECT_EQ(FDialogInitial, QStringList{WrongPassword()});
        EXPECT_TRUE(module.Changed());
        EXPECT_TRUE(module.Save(lkAuto));
        EXPECT_FALSE(module.Changed());
        EXPECT_EQ(Stored(), repaired);
    }
}

TEST_F(UDatConModuleTest, Connect_FirstRunPromptsFromScratch_SaveCreatesTheSharedIni)
{
    {
        TADOConDataModule module;
        EXPECT_FALSE(module.Connect());
        EXPECT_EQ(module.LocationKind(), lkPrompt);
        EXPECT_FALSE(QFile::exists(SharedIni()));
    }
    // A confirmed string without a kept password asks for the login, and a declined login is raised.
    AnswerDialog(Good());
    EXPECT_THROW(TADOConDataModule().Connect(), EDatabaseError);
    FDialogInitial.clear();
    const QString entered = Good() + QStringLiteral(";Persist Security Info=True");
    AnswerDialog(entered);
    TADOConDataModule module;
    ASSERT_TRUE(module.Connect(QString(), lkAuto));
    EXPECT_EQ(FDialogInitial, QStringList{QStringLiteral("Provider=SQLOLEDB")});
    EXPECT_TRUE(module.Changed());
    EXPECT_EQ(module.LocationKind(), lkPrompt);
    ASSERT_TRUE(module.Save(lkAuto));
    EXPECT_FALSE(module.Changed());
    EXPECT_TRUE(QFile::exists(SharedIni()));
    EXPECT_EQ(Stored(), entered);

    // lkPrompt on an open connection asks again even though a connection is stored now.
    FDialogInitial.clear();
    AnswerDialog(QString());
    EXPECT_FALSE(module.Connect(QString(), lkPrompt));
    EXPECT_EQ(FDialogInitial.size(), 1);
}

TEST_F(UDatConModuleTest, ConnectAndSave_RefuseWhatWouldDamageTheStoredConnection)
{
    StoreIni(Good());
    TADOConDataModule module;
    ASSERT_TRUE(module.Connect());
    const QString file = module.FileName();

    // A file name whose extension disagrees with the kind is refused before anything changes.
    struct TCase
    {
        const char* Name;
        TLocationKind Kind;
        const char* Message;
    };
    for (const TCase& c : {TCase{"conn.udl", lkINI, "File with UDL extension must use Location Kind UDL."},
                           TCase{"conn.ini", lkUDL, "File with INI extension must use Location Kind INI."}}) {
        try {
            module.Connect(QString::fromLatin1(c.Name), c.Kind);
            ADD_FAILURE() << c.Name;
        } catch (const EVandrel& e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.Message));
        }
        EXPECT_TRUE(module.Connected()) << c.Name;
        EXPECT_EQ(module.FileName(), file) << c.Name;
        EXPECT_EQ(module.LocationKind(), lkINI) << c.Name;
    }

    const QByteArray before = [&] {
        QFile ini(SharedIni());
        return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    }();
    // No file name for an INI save; an INI entry into a data-link file; nothing to store.
    TADOConDataModule empty;
    EXPECT_FALSE(empty.Save(lkINI));
    module.SetFileName(QDir::currentPath() + QStringLiteral("/conn.udl"));
    EXPECT_FALSE(module.Save(lkINI));
    EXPECT_FALSE(QFile::exists(module.FileName()));
    module.Close();
    module.SetFileName(file);
    EXPECT_FALSE(module.Save(lkAuto));
    QFile ini(SharedIni());
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_EQ(ini.readAll(), before);
}

TEST_F(UDatConModuleTest, DatabaseCatalogAndCommandLog)
{
    StoreIni(Good());
    TADOConDataModule module;
    ASSERT_TRUE(module.Connect());
    TakeLog();

    module.ADOConnection().Execute(QStringLiteral("\r\n  USE model \t"));
    EXPECT_EQ(module.Database(), QStringLiteral("model")); // the server's, not the string's
    EXPECT_EQ(TakeLog(),
              (QStringList{QStringLiteral("UDatCon-Execute: USE model"),
                           QStringLiteral("UDatCon ADOConnection Info: Changed database context to 'model'."),
                           QStringLiteral("RecordsAffected:-1; ResultSize: [C:-1 x R:-1]")}));

    QStringList list{QStringLiteral("kept")};
    module.EnumDatabaseList(list);
    EXPECT_EQ(list, (QStringList{QStringLiteral("kept"), QStringLiteral("model"), QStringLiteral("Sales")}));
    EXPECT_TRUE(TakeLog().contains(QStringLiteral("UDatCon-Execute: SELECT name AS CATALOG_NAME FROM "
                                                  "master.sys.databases ORDER BY name")));

    // A fresh connection object carries no logging handlers; it reopens as the old one was.
    const std::shared_ptr<TDBConnection> old = module.SharedConnection();
    module.ResetConnection();
    EXPECT_NE(&module.ADOConnection(), old.get());
    EXPECT_TRUE(module.Connected());
    EXPECT_FALSE(old->Connected());
    module.ADOConnection().Execute(QStringLiteral("USE Sales"));
    EXPECT_EQ(module.Database(), QStringLiteral("Sales"));
    EXPECT_TRUE(TakeLog().isEmpty());

    // Closed: the database written in the string.
    module.SetConnected(false);
    EXPECT_EQ(module.Database(), QStringLiteral("Sales"));
    module.Close();
    EXPECT_EQ(module.Database(), QString());
}

TEST_F(UDatConModuleTest, SharedConnection_LivesAsLongAsItsHolders)
{
    StoreIni(Good());
    auto module = std::make_unique<TADOConDataModule>();
    ASSERT_TRUE(module->Connect());
    const std::shared_ptr<TDBConnection> held = module->SharedConnection();
    EXPECT_EQ(held.get(), &module->ADOConnection());

    // Replaced while a worker holds it: closed, yet alive for that worker.
    module->ResetConnection();
    EXPECT_NE(&module->ADOConnection(), held.get());
    EXPECT_TRUE(module->Connected());
    EXPECT_FALSE(held->Connected());
    // Replaced while nobody holds it: released at once.
    const std::weak_ptr<TDBConnection> unheld = module->SharedConnection();
    module->ResetConnection();
    EXPECT_TRUE(unheld.expired());
    EXPECT_EQ(module->SharedConnection().get(), &module->ADOConnection());

    // The held connection keeps the module's log while the module lives, and drops it with the module.
    held->SetConnectionString(Good());
    held->Open();
    TakeLog();
    held->Execute(QStringLiteral("USE model"));
    EXPECT_TRUE(TakeLog().contains(QStringLiteral("UDatCon-Execute: USE model")));
    module.reset();
    held->Execute(QStringLiteral("USE Sales"));
    EXPECT_EQ(held->Property(QStringLiteral("Current Catalog")), QStringLiteral("Sales"));
    EXPECT_TRUE(TakeLog().isEmpty());
}

TEST_F(UDatConModuleTest, Save_InAFolderOfRoot_RewritesTheFileInPlaceAndLeavesANotice)
{
    const QString entered = Good() + QStringLiteral(";Persist Security Info=True");
    AnswerDialog(entered);
    TADOConDataModule module;
    ASSERT_TRUE(module.Connect(QString(), lkAuto));
    ASSERT_TRUE(module.Save(lkAuto));
    EXPECT_EQ(module.SaveNotice(), QString());

    TLockedFolder folder(FJobs.path(), QStringLiteral("etc"));
    ASSERT_TRUE(folder.AddFile(QStringLiteral("nightly.ini"), QByteArray(), 0600));
    ASSERT_TRUE(folder.Lock());
    const QString job = folder.FilePath(QStringLiteral("nightly.ini"));
    module.SetFileName(job);
    {
        TLockedFolder::TAsUser user(folder);
        if (!user.Active())
            GTEST_SKIP() << "cannot act as a user who may not write the folder";
        ASSERT_TRUE(module.Save(lkINI));
    }
    EXPECT_EQ(module.SaveNotice(), UPersistRecords::RewrittenInPlaceLine(job));
    TConnectionStringManager store;
    store.LocationKind = lkINI;
    store.FileName = job;
    EXPECT_EQ(store.ConnectionString(), entered);
}

TEST_F(UDatConModuleTest, NamedSettingsFiles_EachJobKeepsItsOwnConnection)
{
    const QString nightly = FJobs.filePath(QStringLiteral("nightly.cfg"));
    const QString weekly = FJobs.filePath(QStringLiteral("weekly.cfg"));
    QString model = Good();
    model.replace(QStringLiteral("Initial Catalog=Sales"), QStringLiteral("Initial Catalog=model"));
    ASSERT_TRUE(UDatCon::StoreDataLink(model, FJobs.filePath(QStringLiteral("weekly.udl"))));

    // Nothing is stored for the nightly job: its first connection is asked for and saved beside its settings file.
    TConnectionStringManager::SetConfigurationFile(nightly);
    const QString entered = Good() + QStringLiteral(";Persist Security Info=True");
    AnswerDialog(entered);
    {
        TADOConDataModule module;
        ASSERT_TRUE(module.Connect());
        EXPECT_EQ(FDialogInitial, QStringList{QStringLiteral("Provider=SQLOLEDB")});
        ASSERT_TRUE(module.Save(lkAuto));
    }
    EXPECT_TRUE(QFile::exists(FJobs.filePath(QStringLiteral("nightly.ini"))));
    EXPECT_FALSE(QFile::exists(SharedIni()));

    // Each job opens its own connection without a dialog; the default configuration still has none.
    FDialogInitial.clear();
    AnswerDialog(QString());
    // clang-format off
    const struct { QString Settings; TLocationKind Kind; QString Database; } jobs[] = {
        {nightly, lkINI, QStringLiteral("Sales")},
        {weekly,  lkUDL, QStringLiteral("model")},
    };
    // clang-format on
    for (const auto& job : jobs) {
        SCOPED_TRACE(job.Settings.toStdString());
        TConnectionStringManager::SetConfigurationFile(job.Settings);
        TADOConDataModule module;
        ASSERT_TRUE(module.Connect());
        EXPECT_EQ(module.LocationKind(), job.Kind);
        EXPECT_EQ(module.Database(), job.Database);
    }
    EXPECT_TRUE(FDialogInitial.isEmpty());
    TConnectionStringManager::SetConfigurationFile(QString());
    EXPECT_FALSE(TADOConDataModule().Connect());
    EXPECT_EQ(FDialogInitial, QStringList{QStringLiteral("Provider=SQLOLEDB")});
}

TEST_F(UDatConModuleTest, NamedSettingsFile_RepairedSharedConnectionStaysShared)
{
    StoreIni(WrongPassword());
    TConnectionStringManager::SetConfigurationFile(FJobs.filePath(QStringLiteral("nightly.cfg")));
    const QString repaired = Good() + QStringLiteral(";Persist Security Info=True");
    AnswerDialog(repaired);
    TADOConDataModule module;
    ASSERT_TRUE(module.Connect());
    EXPECT_EQ(module.FileName(), SharedIni());
    ASSERT_TRUE(module.Save(lkAuto));
    EXPECT_FALSE(QFile::exists(FJobs.filePath(QStringLiteral("nightly.ini"))));

    // Every other configuration sees the repaired connection.
    TConnectionStringManager::SetConfigurationFile(QString());
    EXPECT_EQ(Stored(), repaired);
}
