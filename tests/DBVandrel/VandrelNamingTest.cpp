// SPDX-License-Identifier: MIT
// The window's file-name handlers: generated names, name checks, the FTP address and the move fields.
#include "TestLibraries.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class VandrelNamingTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;

private Q_SLOTS:
    void initTestCase() { QVERIFY(FConfig.isValid()); }

    void GeneratedNamesKeepTheDirectory()
    {
        TfrmVandrel window;
        window.SetToday(QDate(2025, 1, 5));
        window.FUi->edtBackupFilename->setText(QStringLiteral("/b/old.bak"));
        window.FUi->sdbtnGenerateName->click();
        QCOMPARE(window.FUi->edtBackupFilename->text(), QStringLiteral("/b/DB01-05-2025.bak"));

        window.FUi->edtArchiveFilename->clear();
        window.FUi->spdbnGenerateArchiveName->click();
        QCOMPARE(window.FUi->edtArchiveFilename->text(), QDir::currentPath() + QStringLiteral("/01-05-2025.zip"));

        window.FUi->edtFTPFilename->setText(QStringLiteral("sync/DB01-01-2025.bin"));
        window.FUi->spdbnGenerateFTPName->click();
        QCOMPARE(window.FUi->edtFTPFilename->text(), QStringLiteral("sync/DB01-05-2025.bin"));
    }

    void StartUpRegeneratesNamesWithAPattern()
    {
        TfrmVandrel window;
        const QString today = QDate::currentDate().toString(QStringLiteral("MM-dd-yyyy"));
        QCOMPARE(window.FUi->edtFTPFilename->text(), QStringLiteral("DB") + today + QStringLiteral(".bin"));
        QCOMPARE(window.FUi->edtBackupFilename->text(),
                 QDir::currentPath() + QStringLiteral("/DB") + today + QStringLiteral(".bak"));
    }

    void NameChecksShowTheWarning()
    {
        QTemporaryDir dir;
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        const QString good = dir.filePath(QStringLiteral("Sales.bak"));
        ui.edtBackupFilename->setText(good);
        QVERIFY(ui.imgBackupFilename->isHidden());
        QCOMPARE(ui.lblBackupFileInfo->text(), good);
        QCOMPARE(ui.edtBackupFilename->toolTip(), good);
        ui.edtBackupFilename->setText(QStringLiteral("Sales.bak"));
        QVERIFY(!ui.imgBackupFilename->isHidden());
        ui.edtArchiveFilename->setText(dir.path() + QStringLiteral("/"));
        QVERIFY(!ui.imgArchiveFilename->isHidden());
        QCOMPARE(ui.lblArchiveFileInfo->text(), dir.path() + QStringLiteral("/"));

        // The physical name fields re-check the backup name, not themselves.
        ui.edtBackupFilename->blockSignals(true);
        ui.edtBackupFilename->setText(good);
        ui.edtBackupFilename->blockSignals(false);
        ui.edtRestorePhysicalData->setText(QStringLiteral("nowhere"));
        QVERIFY(ui.imgBackupFilename->isHidden());
    }

    void FtpPrefixIsRemoved_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("start");  // the protocol chosen before
        QTest::addColumn<QString>("chosen"); // and after
        const QString ftp = QStringLiteral("FTP");
        QTest::newRow("lower case") << QStringLiteral("ftp://host/dir") << QStringLiteral("host/dir") << ftp << ftp;
        QTest::newRow("mixed case") << QStringLiteral("Ftp://host") << QStringLiteral("host") << ftp << ftp;
        QTest::newRow("doubled prefix") << QStringLiteral("ftp://FTP://host") << QStringLiteral("host") << ftp << ftp;
        QTest::newRow("no prefix") << QStringLiteral("host:2121/a/b") << QStringLiteral("host:2121/a/b") << ftp << ftp;
        QTest::newRow("sftp chooses SFTP")
            << QStringLiteral("sftp://host/dir") << QStringLiteral("host/dir") << ftp << QStringLiteral("SFTP");
        QTest::newRow("ftpes in capitals")
            << QStringLiteral("FTPES://[::1]:2121") << QStringLiteral("[::1]:2121") << ftp << QStringLiteral("FTPES");
        QTest::newRow("ftp keeps a secure choice") << QStringLiteral("ftp://host") << QStringLiteral("host")
                                                   << QStringLiteral("FTPS") << QStringLiteral("FTPS");
    }

    void FtpPrefixIsRemoved()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        QFETCH(QString, start);
        QFETCH(QString, chosen);
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        ui.FTPProtocol->setCurrentText(start);
        ui.edtFTPUrl->setText(typed);
        QCOMPARE(ui.edtFTPUrl->text(), kept);
        QCOMPARE(ui.FTPProtocol->currentText(), chosen);
        QCOMPARE(window.Settings().FTPProtocol, chosen);
        // The SSH key belongs to SFTP only; passive mode to the FTP family.
        QCOMPARE(ui.edtSSHKeyFile->isHidden(), chosen != QStringLiteral("SFTP"));
        QCOMPARE(ui.medtSSHKeyPassphrase->isHidden(), chosen != QStringLiteral("SFTP"));
        QCOMPARE(ui.ckbxFTPPassive->isEnabled(), chosen != QStringLiteral("SFTP"));
    }

    void MoveFieldsFollowTheMoveBox()
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        QVERIFY(!ui.edtRestorePhysicalData->isEnabled());
        ui.ckbxMove->setChecked(true);
        QVERIFY(ui.edtRestorePhysicalData->isEnabled());
        QVERIFY(ui.edtRestorePhysicalLog->isEnabled());
        QVERIFY(ui.lblDBPhysicalNames->isEnabled());
        ui.ckbxMove->setChecked(false);
        QVERIFY(!ui.edtRestorePhysicalLog->isEnabled());
    }
};

VANDREL_QTEST_MAIN(VandrelNamingTest)
#include "VandrelNamingTest.moc"
