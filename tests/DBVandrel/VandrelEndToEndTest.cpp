// SPDX-License-Identifier: MIT
// The whole journey through two windows: one backs Sales up, zips and uploads it; the other, with its own settings,
// downloads, extracts and restores it over another database, moving the files.
#include "TServerProcess.h"
#include "TestLibraries.h"
#include "VandrelDbTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace VandrelDbTest;

class VandrelEndToEndTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;
    QTemporaryDir FLocal;

    /// Clicks Start and waits until the run has ended; false when it did not end in time.
    static bool RunToEnd(TfrmVandrel& aWindow)
    {
        QSignalSpy finished(&aWindow.Run(), &TVandrelRun::Finished);
        aWindow.btbnStartClick();
        return finished.count() > 0 || finished.wait(60000);
    }

    /// The FTP fields of a window, on the loopback server.
    static void UseFtp(TfrmVandrel& aWindow, const TServerProcess& aFtp)
    {
        aWindow.FUi->edtFTPUrl->setText(QStringLiteral("127.0.0.1:%1/drop").arg(aFtp.Port()));
        aWindow.FUi->edtFTPUser->setText(QStringLiteral("vandrel"));
        aWindow.FUi->medtFTPPassword->setText(QStringLiteral("secret"));
        aWindow.FUi->edtFTPFilename->setText(QStringLiteral("Sales.zip"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FConfig.isValid());
        QVERIFY(FLocal.isValid());
    }

    void BackupZipUpload_ThenDownloadExtractRestore()
    {
        TFakeSqlServer sql({QStringLiteral("--progress-delay"), QStringLiteral("0.01")});
        const QByteArray sales = SalesData();
        sql.CreateDatabase(QStringLiteral("Sales"), sales);
        sql.CreateDatabase(QStringLiteral("Copy"), QByteArray(64 * 1024, 'C'));
        const QString ftpRoot = FLocal.filePath(QStringLiteral("ftp"));
        QVERIFY(QDir().mkpath(ftpRoot + QStringLiteral("/drop")));
        TServerProcess ftp;
        ftp.StartPython(
            QStringLiteral("tests/support/ftpserver.py"),
            {QStringLiteral("--root"), ftpRoot, QStringLiteral("--user"), QStringLiteral("vandrel:secret")});
        const QString sending = sql.Root() + QStringLiteral("/sending");
        const QString receiving = sql.Root() + QStringLiteral("/receiving");
        for (const QString& folder : {sending, receiving, receiving + QStringLiteral("/files")})
            QVERIFY(QDir().mkpath(folder));

        // Sending side: its backup and archive are not kept.
        QVERIFY(UseDatabase(sql, QStringLiteral("Sales")));
        {
            TfrmVandrel window;
            NoSteps(window);
            for (QCheckBox* box : {window.FUi->ckbxBackup, window.FUi->ckbxCompress, window.FUi->ckbxUpload})
                box->setChecked(true);
            window.FUi->ckbxKeepBackup->setChecked(false);
            window.FUi->ckbxKeepArchive->setChecked(false);
            window.FUi->edtBackupFilename->setText(sending + QStringLiteral("/Sales.bak"));
            window.FUi->edtArchiveFilename->setText(sending + QStringLiteral("/Sales.zip"));
            UseFtp(window, ftp);
            QVERIFY(RunToEnd(window));
            QVERIFY2(window.Run().Outcome() == roSuccess, qPrintable(ShellLines(window).join(QLatin1Char('\n'))));
        }
        QVERIFY(QFileInfo(ftpRoot + QStringLiteral("/drop/Sales.zip")).size() > 0);
        QCOMPARE(QDir(sending).entryList(QDir::Files), QStringList());

        // Receiving side: another connection and other settings; the restore moves the files of Copy.
        QVERIFY(UseDatabase(sql, QStringLiteral("Copy")));
        const QString data = receiving + QStringLiteral("/files/Copy.mdf");
        const QString log = receiving + QStringLiteral("/files/Copy_log.ldf");
        {
            TfrmVandrel window;
            NoSteps(window);
            for (QCheckBox* box : {window.FUi->ckbxDownload, window.FUi->ckbxExtract, window.FUi->ckbxRestore})
                box->setChecked(true);
            window.FUi->edtBackupFilename->setText(receiving + QStringLiteral("/Sales.bak"));
            window.FUi->edtArchiveFilename->setText(receiving + QStringLiteral("/Sales.zip"));
            window.FUi->ckbxMove->setChecked(true);
            window.FUi->edtRestorePhysicalData->setText(data);
            window.FUi->edtRestorePhysicalLog->setText(log);
            UseFtp(window, ftp);
            QVERIFY(RunToEnd(window));
            QVERIFY2(window.Run().Outcome() == roSuccess, qPrintable(ShellLines(window).join(QLatin1Char('\n'))));
            QCOMPARE(window.Progress(), 100);
        }
        QCOMPARE(ReadAll(data), sales);
        QCOMPARE(ReadAll(log), ReadAll(sql.Root() + QStringLiteral("/Sales/Sales_log.ldf")));
        DatConModule().Close();
    }
};

VANDREL_QTEST_MAIN(VandrelEndToEndTest)
#include "VandrelEndToEndTest.moc"
