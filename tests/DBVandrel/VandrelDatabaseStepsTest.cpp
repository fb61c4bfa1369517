// SPDX-License-Identifier: MIT
// The backup and restore steps through the real window against the fake SQL Server: live progress lines, a server
// error that ends the run, Cancel in the middle of a backup, a restore that moves the files, and a missing backup.
#include "TDBConnection.h"
#include "TestLibraries.h"
#include "USVSQLBackup.h"
#include "VandrelDbTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace VandrelDbTest;

class VandrelDatabaseStepsTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;
    std::unique_ptr<TFakeSqlServer> FServer;
    QByteArray FSalesData;

    QString Path(const QString& aName) const { return FServer->Root() + QLatin1Char('/') + aName; }

    /// A window that runs only the backup of Sales into aBackupFile; the zip step after it records that it ran.
    void PrepareBackup(TfrmVandrel& aWindow, const QString& aBackupFile, bool* aZipRan)
    {
        NoSteps(aWindow);
        aWindow.FUi->ckbxBackup->setChecked(true);
        aWindow.FUi->ckbxCompress->setChecked(true);
        aWindow.ReplaceStep(TfrmVandrel::siZip, [aZipRan] { *aZipRan = true; });
        aWindow.FUi->edtBackupFilename->setText(aBackupFile);
        aWindow.FUi->ckbxAppend->setChecked(false);
        aWindow.FUi->ckbxCompressBackup->setChecked(true);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FConfig.isValid());
        FServer =
            std::make_unique<TFakeSqlServer>(QStringList{QStringLiteral("--progress-delay"), QStringLiteral("0.03")});
        FSalesData = SalesData();
        FServer->CreateDatabase(QStringLiteral("Sales"), FSalesData);
        FServer->CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
    }

    void cleanupTestCase()
    {
        DatConModule().Close();
        FServer.reset();
    }

    void Backup_ProgressLinesArriveWhileItRuns()
    {
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Sales")));
        TfrmVandrel window;
        bool zipRan = false;
        PrepareBackup(window, Path(QStringLiteral("Sales.bak")), &zipRan);
        // Progress lines must reach the report during the worker wait, not after it.
        bool liveLine = false;
        QTimer sample;
        connect(&sample, &QTimer::timeout, &window, [&] {
            if (window.FDBTasking &&
                window.FUi->mmoShell->toPlainText().contains(QStringLiteral(" percent processed.")))
                liveLine = true;
        });
        sample.start(10);
        window.btbnStartClick();
        sample.stop();

        const QStringList lines = ShellLines(window);
        QVERIFY2(!window.RunFailed(), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(zipRan);
        QVERIFY(liveLine);
        QCOMPARE(window.Progress(), 100);
        QCOMPARE(window.FUi->edtDatabases->text(), QStringLiteral("Sales"));
        QVERIFY(lines.size() >= 3);
        QVERIFY(lines.contains(QStringLiteral("50 percent processed.")));
        // The statement comes last, after the server's own closing message.
        QCOMPARE(lines.last(),
                 QStringLiteral("BACKUP DATABASE [Sales] TO DISK = '%1' WITH DESCRIPTION = 'Full Backup of Sales', "
                                "MEDIADESCRIPTION = N'Disk', NAME = 'Sales Backup', COMPRESSION, INIT, STATS = 2")
                     .arg(Path(QStringLiteral("Sales.bak"))));
        QVERIFY2(lines.at(lines.size() - 2).startsWith(QStringLiteral("BACKUP DATABASE successfully processed")),
                 qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(QFileInfo(Path(QStringLiteral("Sales.bak"))).size() > 0);
    }

    void Backup_ServerErrorEndsTheRun()
    {
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Sales")));
        TfrmVandrel window;
        bool zipRan = false;
        const QString target = Path(QStringLiteral("no such folder/Sales.bak"));
        PrepareBackup(window, target, &zipRan);
        window.btbnStartClick();

        const QStringList lines = ShellLines(window);
        QVERIFY(window.RunFailed());
        QVERIFY(!zipRan);
        QCOMPARE(window.Progress(), 0);
        const QString all = lines.join(QLatin1Char('\n'));
        QVERIFY2(all.contains(QStringLiteral("Backup Error:Cannot open backup device '%1'").arg(target)),
                 qPrintable(all));
        QVERIFY2(lines.last().startsWith(QStringLiteral("BACKUP DATABASE [Sales] TO DISK = ")), qPrintable(all));
        QVERIFY(!QFile::exists(target));
    }

    void Backup_CancelStopsTheServerAndKeepsTheConnection()
    {
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Sales")));
        TfrmVandrel window;
        bool zipRan = false;
        const QString target = Path(QStringLiteral("Cancelled.bak"));
        PrepareBackup(window, target, &zipRan);
        bool cancelled = false;
        QTimer press;
        connect(&press, &QTimer::timeout, &window, [&] {
            if (!cancelled && window.FUi->mmoShell->toPlainText().contains(QStringLiteral("10 percent processed."))) {
                cancelled = true;
                window.btbnCancelClick();
            }
        });
        press.start(10);
        window.btbnStartClick();
        press.stop();

        const QStringList lines = ShellLines(window);
        const QString all = lines.join(QLatin1Char('\n'));
        QVERIFY(cancelled);
        QVERIFY(!zipRan);
        QCOMPARE(window.Progress(), 0);
        QVERIFY2(!all.contains(QStringLiteral("Backup Error:")), qPrintable(all));
        QVERIFY2(!all.contains(QStringLiteral("100 percent processed.")), qPrintable(all));
        QVERIFY2(lines.last().startsWith(QStringLiteral("BACKUP DATABASE [Sales] TO DISK = ")), qPrintable(all));
        // The server removed its partial file, and the connection is free for the next statement.
        QVERIFY(!QFile::exists(target));
        QVERIFY(DatConModule().Connected());
        DatConModule().ADOConnection().Execute(QStringLiteral("SELECT 1"));
    }

    void Backup_ConnectionButtonLeavesTheWorkersConnectionAlone()
    {
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Sales")));
        TfrmVandrel window;
        bool zipRan = false;
        PrepareBackup(window, Path(QStringLiteral("Button.bak")), &zipRan);
        // While the worker runs its statement, the connection button and the name suggestion must not use the
        // connection (reading it, or reconnecting under the running statement).
        bool clicked = false;
        bool enabledDuringWorker = true;
        QTimer press;
        connect(&press, &QTimer::timeout, &window, [&] {
            if (!clicked && window.FDBTasking &&
                window.FUi->mmoShell->toPlainText().contains(QStringLiteral("10 percent processed."))) {
                clicked = true;
                enabledDuringWorker = window.FUi->spdbtnMSLink->isEnabled();
                window.FUi->edtDatabases->clear();
                window.spdbtnMSLinkClick();
            }
        });
        press.start(10);
        window.btbnStartClick();
        press.stop();

        const QStringList lines = ShellLines(window);
        QVERIFY2(!window.RunFailed(), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(clicked);
        QVERIFY(!enabledDuringWorker);
        QVERIFY(window.FUi->spdbtnMSLink->isEnabled());
        QCOMPARE(window.FUi->edtDatabases->text(), QString());
        QVERIFY(lines.last().startsWith(QStringLiteral("BACKUP DATABASE [Sales] TO DISK = ")));
    }

    void Restore_MovesFilesUnderAnotherName()
    {
        // The backup to restore, made on a connection of its own, is carried to a slower server whose restore
        // lasts long enough (over a second) for the bar to be seen moving.
        const QString made = Path(QStringLiteral("ToRestore.bak"));
        {
            TDBConnection connection;
            connection.SetConnectionString(FServer->ConnectionString(QStringLiteral("Sales")));
            connection.Open();
            const std::atomic<bool> running{true};
            USVSQLBackup::BackupDatabase(connection, QStringLiteral("Sales"), made, false, true, running);
        }
        TFakeSqlServer slow({QStringLiteral("--progress-delay"), QStringLiteral("0.15")});
        slow.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
        const QString backup = slow.Root() + QStringLiteral("/ToRestore.bak");
        QVERIFY(QFile::copy(made, backup));
        QVERIFY(UseDatabase(slow, QStringLiteral("Copy")));
        QVERIFY(QDir().mkpath(slow.Root() + QStringLiteral("/moved")));
        const QString data = slow.Root() + QStringLiteral("/moved/Copy_data.mdf");
        const QString log = slow.Root() + QStringLiteral("/moved/Copy_log.ldf");

        TfrmVandrel window;
        NoSteps(window);
        window.FUi->ckbxRestore->setChecked(true);
        window.FUi->edtBackupFilename->setText(backup);
        window.FUi->ckbxMove->setChecked(true);
        window.FUi->edtRestorePhysicalData->setText(data);
        window.FUi->edtRestorePhysicalLog->setText(log);
        QSet<int> seen;
        QTimer sample;
        connect(&sample, &QTimer::timeout, &window, [&] {
            if (window.FDBTasking)
                seen.insert(window.Progress());
        });
        sample.start(5);
        window.btbnStartClick();
        sample.stop();

        const QStringList lines = ShellLines(window);
        QVERIFY2(!window.RunFailed(), qPrintable(lines.join(QLatin1Char('\n'))));
        QCOMPARE(window.Progress(), 100);
        QCOMPARE(ReadAll(data), FSalesData);
        QCOMPARE(ReadAll(log), ReadAll(Path(QStringLiteral("Sales/Sales_log.ldf"))));
        // The growing data file drove the bar.
        seen.remove(0);
        seen.remove(100);
        QVERIFY2(!seen.isEmpty(), "the bar did not move while restoring");
        QCOMPARE(DatConModule().Database(), QStringLiteral("Copy"));
        DatConModule().Close();
    }

    void Restore_LaterRunsInTheSameWindowKeepTheChosenDatabase()
    {
        // The restore goes through master; a second restore and a backup afterwards must still work on Copy,
        // never on master.
        const QString backup = Path(QStringLiteral("Again.bak"));
        {
            TDBConnection connection;
            connection.SetConnectionString(FServer->ConnectionString(QStringLiteral("Sales")));
            connection.Open();
            const std::atomic<bool> running{true};
            USVSQLBackup::BackupDatabase(connection, QStringLiteral("Sales"), backup, false, false, running);
        }
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Copy")));
        TfrmVandrel window;
        NoSteps(window);
        window.FUi->ckbxRestore->setChecked(true);
        window.FUi->edtBackupFilename->setText(backup);
        window.FUi->ckbxMove->setChecked(true);
        window.FUi->edtRestorePhysicalData->setText(Path(QStringLiteral("Copy/Copy_data.mdf")));
        window.FUi->edtRestorePhysicalLog->setText(Path(QStringLiteral("Copy/Copy_log.ldf")));
        for (int run = 0; run < 2; ++run) {
            window.btbnStartClick();
            QVERIFY2(!window.RunFailed(), qPrintable(ShellLines(window).join(QLatin1Char('\n'))));
            QCOMPARE(DatConModule().Database(), QStringLiteral("Copy"));
        }
        QCOMPARE(ReadAll(Path(QStringLiteral("Copy/Copy_data.mdf"))), FSalesData);

        window.FUi->ckbxRestore->setChecked(false);
        window.FUi->ckbxBackup->setChecked(true);
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("CopyAfterRestore.bak")));
        window.btbnStartClick();
        const QStringList lines = ShellLines(window);
        QVERIFY2(!window.RunFailed(), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY2(lines.last().startsWith(QStringLiteral("BACKUP DATABASE [Copy] TO DISK = ")),
                 qPrintable(lines.join(QLatin1Char('\n'))));
        DatConModule().Close();
    }

    void Restore_MissingBackupEndsTheRunBeforeAnyWorker()
    {
        QVERIFY(UseDatabase(*FServer, QStringLiteral("Copy")));
        TfrmVandrel window;
        NoSteps(window);
        window.FUi->ckbxRestore->setChecked(true);
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("nothing here.bak")));
        window.btbnStartClick();

        const QStringList lines = ShellLines(window);
        const QString all = lines.join(QLatin1Char('\n'));
        QVERIFY(window.RunFailed());
        QVERIFY2(!all.contains(QStringLiteral("Restore Error:")), qPrintable(all));
        QVERIFY2(all.contains(QStringLiteral("Operating system error 2")), qPrintable(all));
        QVERIFY2(lines.last().endsWith(QStringLiteral("Unable to retrieve backup info.")), qPrintable(all));
        QCOMPARE(window.Progress(), 0);
    }

    void NoConnection_EndsTheProgram_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::newRow("backup") << false;
        QTest::newRow("restore") << true;
    }

    void NoConnection_EndsTheProgram()
    {
        QFETCH(bool, restore);
        // Nothing listens on port 1: both attempts fail and, without a desktop, nobody is asked.
        DatConModule().Close();
        DatConModule().SetLocationKind(lkAuto);
        QVERIFY(UDatCon::StoreDataLink(
            QStringLiteral("Provider=SQLOLEDB.1;User ID=sa;Password=Secret1;Data Source=127.0.0.1,1"),
            UFileUtils::ConfigDir() + QStringLiteral("DefaultDataLink.udl")));
        TfrmVandrel window;
        NoSteps(window);
        (restore ? window.FUi->ckbxRestore : window.FUi->ckbxBackup)->setChecked(true);
        // The backup has a step after it; the restore is the last one.
        bool laterRan = false;
        window.FUi->ckbxCompress->setChecked(!restore);
        window.ReplaceStep(TfrmVandrel::siZip, [&laterRan] { laterRan = true; });
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("Sales.bak")));
        window.btbnStartClick();

        QCOMPARE(window.ExitStatus(), int(esConnectionRequired));
        QVERIFY(!laterRan);
        QVERIFY(!DatConModule().Connected());
    }
};

VANDREL_QTEST_MAIN(VandrelDatabaseStepsTest)
#include "VandrelDatabaseStepsTest.moc"
