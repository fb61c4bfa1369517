// SPDX-License-Identifier: MIT
// The window's binding of its controls to the settings: Save writes every bound control under the settings key, a
// restart with the file on the command line shows them again, a file of another machine loads into the controls,
// records without a control survive a save, and an unreadable file is kept aside. The settings value itself is tested
// without a window (VandrelSettingsValueTest).
#include "TLockedFolder.h"
#include "TestLibraries.h"
#include "TestPaths.h"
#include "UPersistRecords.h"
#include "Vandrel.h"
#include "VandrelLock.h"
#include "VandrelStepDouble.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>

#include <atomic>

namespace {

/// The plain records of the sample file (name, value, name, value ...), in the order every file lists them.
QStringList SampleRecords()
{
    return UPersistRecords::SplitLines(
        USVCrypt::FromAnsi(UPersistRecords::ReadFileBytes(TestPaths::DataFile(QStringLiteral("settings-sample.txt")))));
}

/// The record names, in file order.
QStringList RecordNames()
{
    QStringList names;
    const QStringList records = SampleRecords();
    for (qsizetype i = 0; i < records.size(); i += 2)
        names.append(records.at(i));
    return names;
}

/// What the window's controls show, as the records of a settings file: each name in file order, then the value of
/// the control of that name.
QStringList RecordLines(const TfrmVandrel& aWindow)
{
    QStringList lines;
    for (const QString& name : RecordNames()) {
        lines.append(name);
        const QObject* control = aWindow.findChild<QObject*>(name);
        if (const auto* box = qobject_cast<const QCheckBox*>(control))
            lines.append(UPersistRecords::TruthLine(box->isChecked()));
        else if (const auto* edit = qobject_cast<const QLineEdit*>(control))
            lines.append(edit->text());
        else
            lines.append(QStringLiteral("<no check box or edit of this name>"));
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

    void SaveThenRestart_RestoresEveryBoundControl()
    {
        TfrmVandrel first;
        const QStringList names = RecordNames();
        QCOMPARE(names.size(), 25);
        for (const QString& name : names) {
            QObject* control = first.findChild<QObject*>(name);
            if (auto* box = qobject_cast<QCheckBox*>(control))
                box->setChecked(!box->isChecked());
            else if (auto* edit = qobject_cast<QLineEdit*>(control))
                edit->setText(QStringLiteral("/srv/Ren\u00e9 \u20ac/") + name);
            else
                QFAIL(qPrintable(QStringLiteral("no check box or edit named ") + name));
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
        const QStringList decoded =
            UPersistRecords::DecodeSettingsFile(UPersistRecords::ReadFileBytes(file), cSettingsKey);
        QCOMPARE(decoded.mid(0, saved.size()), saved);
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
        QCOMPARE(UPersistRecords::ReadFileBytes(plain), USVCrypt::ToAnsi(UPersistRecords::JoinLines(decoded)));

        TfrmVandrel second(QStringList{file});
        QCOMPARE(second.SettingsFileName(), file);
        QCOMPARE(RecordLines(second), saved);
        QVERIFY(second.FUi->mmoShell->toPlainText().isEmpty());
    }

    void SampleFileOfAnotherMachine_LoadsIntoTheControls()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("sample.cfg"));
        QVERIFY(QFile::copy(TestPaths::DataFile(QStringLiteral("settings-sample.cfg")), file));
        const QStringList expected = SampleRecords();

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
        const QString today = QDate::currentDate().toString(QStringLiteral("MM-dd-yyyy"));
        QCOMPARE(window.FUi->edtArchiveFilename->text(),
                 QStringLiteral("/srv/backup/") + today + QStringLiteral(".zip"));
        QVERIFY(QFileInfo::exists(file));
        QVERIFY(window.FUi->mmoShell->toPlainText().isEmpty());
    }

    void RecordsWithoutAControl_SurviveASave()
    {
        // A newer version's file: a record after the 25 that no control of this window shows.
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("newer.cfg"));
        const QStringList extra{QStringLiteral("edtMailTo"), QStringLiteral("ops@example.org")};
        VandrelTest::WriteFile(file, UPersistRecords::EncodeSettingsFile(SampleRecords() + extra, cSettingsKey));
        TfrmVandrel window(QStringList{file});
        window.FUi->ckbxRestore->setChecked(true);
        window.btbnSaveClick();
        const QStringList saved =
            UPersistRecords::DecodeSettingsFile(UPersistRecords::ReadFileBytes(file), cSettingsKey);
        // The added records the file lacked are written with the values an older file reads.
        QStringList added;
        for (const TSettingField& field : AddedSettingFields())
            added << QLatin1String(field.Name) << QLatin1String(field.WhenAbsent);
        QCOMPARE(saved, RecordLines(window) + added + extra);
    }

    void UnreadableFile_KeptAsideAndReported()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("broken.cfg"));
        VandrelTest::WriteFile(file, QByteArrayLiteral("not a settings file\r\n"));
        TfrmVandrel window(QStringList{file});
        const QString shell = window.FUi->mmoShell->toPlainText();
        QVERIFY2(shell.contains(QStringLiteral("could not be read")), qPrintable(shell));
        QVERIFY2(shell.contains(file + QStringLiteral(".bad")), qPrintable(shell));
        QVERIFY(!QFileInfo::exists(file));
        QCOMPARE(UPersistRecords::ReadFileBytes(file + QStringLiteral(".bad")), QByteArray("not a settings file\r\n"));
        // The controls keep their defaults, and Auto Start is not armed on half-read settings.
        QVERIFY(window.FUi->ckbxKeepBackup->isChecked());
        QVERIFY(!window.AutoStartHooked());

        window.btbnSaveClick();
        QCOMPARE(window.SettingsFileName(), file);
        QVERIFY(QFileInfo::exists(file));
    }

    void SaveInAFolderOfRoot_RewritesTheJobInPlaceAndSaysSo()
    {
        QTemporaryDir dir;
        TLockedFolder folder(dir.path(), QStringLiteral("etc"));
        const QString file = folder.FilePath(QStringLiteral("nightly.cfg"));
        QVERIFY(folder.AddFile(
            QStringLiteral("nightly.cfg"), UPersistRecords::EncodeSettingsFile(SampleRecords(), cSettingsKey), 0640));
        QVERIFY(folder.Lock());
        TfrmVandrel window(QStringList{file});
        window.FUi->edtFTPUser->setText(QStringLiteral("changed-user"));
        {
            TLockedFolder::TAsUser user(folder);
            if (!user.Active())
                QSKIP("cannot act as a user who may not write the folder");
            window.btbnSaveClick();
        }
        const QString shell = window.FUi->mmoShell->toPlainText();
        QVERIFY2(shell.contains(UPersistRecords::RewrittenInPlaceLine(file)), qPrintable(shell));
        TVandrelSettings saved;
        QVERIFY(LoadSettingsFile(file, cSettingsKey, saved).Ok);
        QCOMPARE(saved.FTPUser, QStringLiteral("changed-user"));
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(file).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0640u);
    }

    void SaveAsAndOpen_SwitchTheWindowWithItsConnectionLockAndLog()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("nightly.cfg"));
        const QString second = dir.filePath(QStringLiteral("weekly.cfg"));
        // The job's own connection file goes with it.
        VandrelTest::WriteFile(dir.filePath(QStringLiteral("nightly.udl")), QByteArrayLiteral("[oledb]\r\n"));
        TfrmVandrel window(QStringList{first});
        window.FUi->edtFTPUser->setText(QStringLiteral("weekly-user"));
        QVERIFY(window.SaveSettingsAs(second));
        QCOMPARE(window.SettingsFileName(), second);
        QVERIFY(window.windowTitle().endsWith(QStringLiteral("weekly.cfg")));
        QCOMPARE(window.FUi->lblSettingsFile->toolTip(), second);
        QVERIFY(!QFileInfo::exists(first));
        TVandrelSettings saved;
        QVERIFY(LoadSettingsFile(second, cSettingsKey, saved).Ok);
        QCOMPARE(saved.FTPUser, QStringLiteral("weekly-user"));
        const QString udl = dir.filePath(QStringLiteral("weekly.udl"));
        QCOMPARE(VandrelTest::ReadFile(udl), QByteArrayLiteral("[oledb]\r\n"));
        struct stat info
        {
        };
        QCOMPARE(stat(QFile::encodeName(udl).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        // The history log is the new file's.
        QVERIFY(VandrelTest::ReadFile(dir.filePath(QStringLiteral("weekly.log"))).contains("Settings saved as"));

        // The lock follows: a run holds the new file while it lasts.
        std::atomic<bool> holding{false};
        std::atomic<bool> release{false};
        window.ReplaceStep(siBackup, std::make_shared<TFakeStep>([&](TStepContext&) {
                               holding = true;
                               while (!release)
                                   QThread::msleep(10);
                           }));
        VandrelTest::NoSteps(window);
        window.FUi->ckbxBackup->setChecked(true);
        window.btbnStartClick();
        QTRY_VERIFY_WITH_TIMEOUT(holding.load(), 5000);
        TSettingsLock other;
        QVERIFY(!other.TryLock(second));
        // No switching while a run is under way.
        QVERIFY(!window.OpenSettingsFile(first));
        QCOMPARE(window.SettingsFileName(), second);
        release = true;
        QTRY_COMPARE_WITH_TIMEOUT(window.Run().State(), rsFinished, 5000);

        // Open: another job's settings show, a folder is refused.
        TVandrelSettings otherJob;
        otherJob.FTPUser = QStringLiteral("other-user");
        const QString third = dir.filePath(QStringLiteral("other.cfg"));
        SaveSettingsFile(third, cSettingsKey, otherJob);
        QVERIFY(window.OpenSettingsFile(third));
        QCOMPARE(window.SettingsFileName(), third);
        QCOMPARE(window.FUi->edtFTPUser->text(), QStringLiteral("other-user"));
        QVERIFY(!window.OpenSettingsFile(dir.path()));
        QCOMPARE(window.SettingsFileName(), third);
    }
};

VANDREL_QTEST_MAIN(VandrelSettingsTest)

#include "VandrelSettingsTest.moc"
