// SPDX-License-Identifier: MIT
// The window's settings: Save writes every persistent control under the settings key, a restart with the file
// on the command line restores them, files of other machines load, and an unreadable file is kept aside.
#include "TestLibraries.h"
#include "TestPaths.h"
#include "UPersistRecords.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const USVCrypt::TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};

/// The persistent controls as record lines (name, value), in creation order as the file lists them.
QStringList RecordLines(const TfrmVandrel& aWindow)
{
    QStringList lines;
    const QList<QObject*>& components = aWindow.PersistentComponents();
    for (auto it = components.crbegin(); it != components.crend(); ++it) {
        lines.append((*it)->objectName());
        if (const auto* box = qobject_cast<const QCheckBox*>(*it))
            lines.append(UPersistRecords::TruthLine(box->isChecked()));
        else if (const auto* edit = qobject_cast<const QLineEdit*>(*it))
            lines.append(edit->text());
        else
            lines.append(QStringLiteral("<unexpected kind>"));
    }
    return lines;
}

bool IsGeneratedName(const QString& aName)
{
    return aName == QStringLiteral("edtBackupFilename") || aName == QStringLiteral("edtArchiveFilename") ||
           aName == QStringLiteral("edtFTPFilename");
}

} // namespace

class VandrelSettingsTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;

private Q_SLOTS:
    void initTestCase() { QVERIFY(FConfig.isValid()); }

    void SaveThenRestart_RestoresEveryPersistentControl()
    {
        TfrmVandrel first;
        QCOMPARE(first.PersistentComponents().size(), 25);
        for (QObject* component : first.PersistentComponents()) {
            if (auto* box = qobject_cast<QCheckBox*>(component))
                box->setChecked(!box->isChecked());
            else if (auto* edit = qobject_cast<QLineEdit*>(component))
                edit->setText(QStringLiteral("/srv/Ren\u00e9 \u20ac/") + component->objectName());
        }
        first.FUi->edtBackupNameFormat->setText(QStringLiteral("'Nightly'yyyy-mm-dd'.bak'"));
        first.FUi->edtArchiveDateBasedName->setText(QStringLiteral("yyyy-mm-dd'.zip'"));
        first.FUi->edtFTPNameFormat->setText(QStringLiteral("'Nightly'yyyy-mm-dd'.bin'"));
        // A start regenerates the names from their formats, so the saved window shows today's names as well.
        first.sdbtnGenerateNameClick();
        first.spdbnGenerateArchiveNameClick();
        first.spdbnGenerateFTPNameClick();
        first.btbnSaveClick();

        const QString file = TfrmVandrel::DefaultSettingsFileName();
        QVERIFY(QFileInfo::exists(file));
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(file).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        const QStringList saved = RecordLines(first);
        QCOMPARE(UPersistRecords::DecodeSettingsFile(UPersistRecords::ReadFileBytes(file), cSettingsKey), saved);
        // The independent codec (Botan's Twofish) reads the window's file field for field.
        QTemporaryDir scratch;
        const QString plain = scratch.filePath(QStringLiteral("plain.txt"));
        QProcess codec;
        codec.start(TestPaths::Python(),
                    {TestPaths::SourceDir() + QStringLiteral("/tests/SV4Share/settings_crypt.py"),
                     QStringLiteral("decrypt"),
                     QStringLiteral("7C15E9B2D4A8603F"),
                     file,
                     plain});
        QVERIFY(codec.waitForFinished(30000));
        QVERIFY2(codec.exitCode() == 0, codec.readAllStandardError().constData());
        QCOMPARE(UPersistRecords::ReadFileBytes(plain), USVCrypt::ToAnsi(UPersistRecords::JoinLines(saved)));

        TfrmVandrel second(QStringList{file});
        QCOMPARE(second.SettingsFileName(), file);
        QCOMPARE(RecordLines(second), saved);
        QVERIFY(second.FUi->mmoShell->toPlainText().isEmpty());
    }

    void SampleFileOfAnotherMachine_LoadsIntoTheWindow()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("sample.cfg"));
        QVERIFY(QFile::copy(TestPaths::DataFile(QStringLiteral("settings-sample.cfg")), file));
        const QStringList expected = UPersistRecords::SplitLines(USVCrypt::FromAnsi(
            UPersistRecords::ReadFileBytes(TestPaths::DataFile(QStringLiteral("settings-sample.txt")))));

        TfrmVandrel window(QStringList{file});
        const QStringList restored = RecordLines(window);
        QCOMPARE(restored.size(), expected.size());
        for (qsizetype i = 0; i < expected.size(); i += 2) {
            QCOMPARE(restored.at(i), expected.at(i));
            // The three names are regenerated from their formats at every start.
            if (!IsGeneratedName(expected.at(i)))
                QCOMPARE(restored.at(i + 1), expected.at(i + 1));
        }
        QCOMPARE(window.FUi->edtFTPUser->text(), QStringLiteral("Ren\u00e9"));
        QCOMPARE(window.FUi->medtFTPPassword->text(), QStringLiteral("p\u20acss; w=rd"));
        QVERIFY(QFileInfo::exists(file));
        QVERIFY(!window.FUi->mmoShell->toPlainText().contains(QStringLiteral("could not be read")));
    }

    void UnreadableFile_KeptAsideAndReported()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("broken.cfg"));
        {
            QFile broken(file);
            QVERIFY(broken.open(QIODevice::WriteOnly));
            broken.write("not a settings file\r\n");
        }
        TfrmVandrel window(QStringList{file});
        const QString shell = window.FUi->mmoShell->toPlainText();
        QVERIFY2(shell.contains(QStringLiteral("could not be read")), qPrintable(shell));
        QVERIFY2(shell.contains(file + QStringLiteral(".bad")), qPrintable(shell));
        QVERIFY(!QFileInfo::exists(file));
        QCOMPARE(UPersistRecords::ReadFileBytes(file + QStringLiteral(".bad")), QByteArray("not a settings file\r\n"));
        QVERIFY(window.FUi->ckbxKeepBackup->isChecked());

        window.btbnSaveClick();
        QCOMPARE(window.SettingsFileName(), file);
        QVERIFY(QFileInfo::exists(file));
    }
};

VANDREL_QTEST_MAIN(VandrelSettingsTest)

#include "VandrelSettingsTest.moc"
