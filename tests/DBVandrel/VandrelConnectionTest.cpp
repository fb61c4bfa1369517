// SPDX-License-Identifier: MIT
// The connection button and the connection display of the window, against the fake SQL Server.
#include "TDBConnection.h"
#include "TServerProcess.h"
#include "TestLibraries.h"
#include "UConnectionStringManager.h"
#include "UDatCon.h"
#include "UDatConModule.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class VandrelConnectionTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;
    QTemporaryDir FWork;
    QTemporaryDir FRoot;
    TServerProcess FServer;

    QString DataSource() const { return QStringLiteral("127.0.0.1,%1").arg(FServer.Port()); }
    QString Good() const
    {
        return QStringLiteral("Provider=SQLOLEDB.1;Data Source=") + DataSource() +
               QStringLiteral(";User ID=sa;Password=Secret1;Initial Catalog=Sales");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FConfig.isValid() && FWork.isValid() && FRoot.isValid());
        QVERIFY(QDir::setCurrent(FWork.path()));
        QVERIFY(QDir(FRoot.path()).mkpath(QStringLiteral("Sales")));
        for (const char* name : {"Sales/Sales.mdf", "Sales/Sales_log.ldf"}) {
            QFile file(FRoot.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        }
        FServer.StartPython(
            QStringLiteral("tests/fakesql/fakesql.py"),
            {QStringLiteral("--root"), FRoot.path(), QStringLiteral("--user"), QStringLiteral("sa:Secret1")});
    }

    void ButtonConnectsAndShowsServerAndDatabase()
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        TADOConDataModule& module = DatConModule();

        // Nothing stored and nobody to answer the dialog: nothing connects, nothing blocks.
        ui.edtDBServer->setText(QStringLiteral("stale"));
        ui.spdbtnMSLink->click();
        QVERIFY(!module.Connected());
        QCOMPARE(ui.edtDBServer->text(), QString());
        QCOMPARE(ui.edtDatabases->text(), QString());

        // The failed first run leaves the module asking the user; a stored connection is looked for again with lkAuto.
        QCOMPARE(module.LocationKind(), lkPrompt);
        module.SetLocationKind(lkAuto);
        TConnectionStringManager store;
        store.SetConnectionString(Good());
        ui.spdbtnMSLink->click();
        QVERIFY(module.Connected());
        QCOMPARE(ui.edtDBServer->text(), DataSource());
        QCOMPARE(ui.edtDatabases->text(), QStringLiteral("Sales"));

        // Connected, unattended: the connection is kept and the display follows the server's current database.
        module.ADOConnection().Execute(QStringLiteral("USE model"));
        TDBConnection* kept = &module.ADOConnection();
        ui.spdbtnMSLink->click();
        QVERIFY(module.Connected());
        QCOMPARE(&module.ADOConnection(), kept);
        QCOMPARE(ui.edtDatabases->text(), QStringLiteral("model"));

        // A data-link connection shows the server written in its file.
        const QString udl = FWork.filePath(QStringLiteral("conn.udl"));
        QVERIFY(UDatCon::StoreDataLink(Good(), udl));
        QVERIFY(module.Connect(udl, lkAuto));
        ui.edtDBServer->clear();
        ui.spdbtnMSLink->click();
        QCOMPARE(ui.edtDBServer->text(), DataSource());
        QCOMPARE(ui.edtDatabases->text(), QStringLiteral("Sales"));
        module.Close();
    }
};

VANDREL_QTEST_MAIN(VandrelConnectionTest)
#include "VandrelConnectionTest.moc"
