// SPDX-License-Identifier: MIT
// The zip and extract step driven through the window: a round trip, the archive-name warnings, an extraction
// failure that ends the run, and Cancel during zipping.
#include "TestLibraries.h"
#include "UZipArchive.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>

using namespace VandrelTest;

class VandrelArchiveStepTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;
    std::unique_ptr<QTemporaryDir> FDir;

    QString Path(const QString& aName) const { return FDir->filePath(aName); }

    static QByteArray TextBytes(int aSize)
    {
        QByteArray data;
        for (qint64 i = 0; data.size() < aSize; ++i)
            data += "row " + QByteArray::number(i * 7919 % 100003) + " amount " + QByteArray::number(i % 1000) + "\n";
        data.truncate(aSize);
        return data;
    }

    /// A window with aStep ticked and files kept after the run; with aLaterRan, the step after it is ticked too and
    /// records that it ran.
    static void Prepare(TfrmVandrel& aWindow, QCheckBox* aStep, bool* aLaterRan = nullptr)
    {
        aWindow.FUi->ckbxKeepBackup->setChecked(true);
        aWindow.FUi->ckbxKeepArchive->setChecked(true);
        aStep->setChecked(true);
        if (!aLaterRan)
            return;
        const bool extract = aStep == aWindow.FUi->ckbxExtract;
        (extract ? aWindow.FUi->ckbxRestore : aWindow.FUi->ckbxUpload)->setChecked(true);
        aWindow.ReplaceStep(extract ? TfrmVandrel::siRestore : TfrmVandrel::siUpload,
                            [aLaterRan] { *aLaterRan = true; });
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(FConfig.isValid()); }

    void init() { FDir = std::make_unique<QTemporaryDir>(); }

    void ZipThenExtract_RoundTripThroughTheWindow()
    {
        const QByteArray backup = TextBytes(12 * 1024 * 1024);
        WriteFile(Path(QStringLiteral("bak/DB06-01-2024.bak")), backup);
        {
            TfrmVandrel window;
            Prepare(window, window.FUi->ckbxCompress);
            window.FUi->edtBackupFilename->setText(Path(QStringLiteral("bak/DB06-01-2024.bak")));
            window.FUi->edtArchiveFilename->setText(Path(QStringLiteral("arc/db.zip")));
            QDir().mkpath(Path(QStringLiteral("arc")));
            // The bar is sampled while the wait processes events: it must show values between the ends.
            QSet<int> seen;
            QTimer sample;
            connect(&sample, &QTimer::timeout, &window, [&] { seen.insert(window.Progress()); });
            sample.start(5);
            window.btbnStartClick();
            sample.stop();
            QCOMPARE(ShellLines(window), QStringList());
            QVERIFY(!window.RunFailed());
            QCOMPARE(window.Progress(), 100);
            seen.remove(0);
            seen.remove(100);
            QVERIFY2(!seen.isEmpty(), "the bar did not move while zipping");
        }
        {
            TfrmVandrel window;
            Prepare(window, window.FUi->ckbxExtract);
            WriteFile(Path(QStringLiteral("restore/DB06-01-2024.bak")), "older file, replaced");
            window.FUi->edtBackupFilename->setText(Path(QStringLiteral("restore/x.bak")));
            window.FUi->edtArchiveFilename->setText(Path(QStringLiteral("arc/db.zip")));
            window.btbnStartClick();
            QCOMPARE(ShellLines(window), QStringList());
            QVERIFY(!window.RunFailed());
            QCOMPARE(window.Progress(), 100);
        }
        QCOMPARE(ReadFile(Path(QStringLiteral("restore/DB06-01-2024.bak"))), backup);
        QCOMPARE(QDir(Path(QStringLiteral("restore"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("DB06-01-2024.bak")});
    }

    void ArchiveNameWarnings_data()
    {
        // "@" stands for the test's directory.
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("failed");
        QTest::newRow("upper-case .ZIP is not a zip and ends the run")
            << QStringLiteral("@/db.ZIP")
            << QStringList{QStringLiteral("Warning: File for archive is not a zip. - '@/'")} << true;
        QTest::newRow("no extension is not a zip")
            << QStringLiteral("@/db") << QStringList{QStringLiteral("Warning: File for archive is not a zip. - '@/'")}
            << true;
        QTest::newRow("missing directory: path warning, then the zip fails in the worker")
            << QStringLiteral("@/missing/db.zip")
            << QStringList{QStringLiteral("Warning: File path for archive does not exists. - '@/missing/'"),
                           QStringLiteral("Backup Error:Failure to create temporary file: No such file or directory"),
                           QStringLiteral("Unable to add @/db.bak to archive @/missing/db.zip.")}
            << true;
        QTest::newRow("quote in a missing directory is doubled, both warnings")
            << QStringLiteral("@/it's/db.ZIP")
            << QStringList{QStringLiteral("Warning: File path for archive does not exists. - '@/it''s/'"),
                           QStringLiteral("Warning: File for archive is not a zip. - '@/it''s/'")}
            << true;
        QTest::newRow("bare name: path warning with empty quotes, zips into the current directory")
            << QStringLiteral("db.zip")
            << QStringList{QStringLiteral("Warning: File path for archive does not exists. - ''")} << false;
    }

    void ArchiveNameWarnings()
    {
        QFETCH(QString, archive);
        QFETCH(QStringList, lines);
        QFETCH(bool, failed);
        const QString savedDir = QDir::currentPath();
        QDir::setCurrent(FDir->path());
        const auto restoreDir = qScopeGuard([&] { QDir::setCurrent(savedDir); });
        WriteFile(Path(QStringLiteral("db.bak")), TextBytes(50000));
        archive.replace(QLatin1Char('@'), FDir->path());

        bool laterRan = false;
        TfrmVandrel window;
        Prepare(window, window.FUi->ckbxCompress, &laterRan);
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("db.bak")));
        window.FUi->edtArchiveFilename->setText(archive);
        window.btbnStartClick();

        const QStringList shown = ShellLines(window);
        QCOMPARE(shown.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            QString expected = lines[i];
            expected.replace(QLatin1Char('@'), FDir->path());
            QCOMPARE(shown[i], expected);
        }
        QCOMPARE(window.RunFailed(), failed);
        QCOMPARE(laterRan, !failed);
        QCOMPARE(QFileInfo::exists(Path(QStringLiteral("db.zip"))), !failed);
    }

    void DamagedArchive_EndsTheRunWithTheLibraryMessage()
    {
        WriteFile(Path(QStringLiteral("arc/db.zip")), "this is not an archive");
        bool laterRan = false;
        TfrmVandrel window;
        Prepare(window, window.FUi->ckbxExtract, &laterRan);
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("restore/x.bak")));
        window.FUi->edtArchiveFilename->setText(Path(QStringLiteral("arc/db.zip")));
        window.btbnStartClick();

        const QStringList shown = ShellLines(window);
        QVERIFY(!shown.isEmpty());
        QVERIFY2(shown.first().startsWith(QLatin1String("Not a zip archive")), qPrintable(shown.join(u'|')));
        QVERIFY(shown.last().contains(Path(QStringLiteral("arc/db.zip"))));
        QVERIFY(window.RunFailed());
        QVERIFY(!laterRan);
        QCOMPARE(window.Progress(), 0);
    }

    void ExtractWithoutTheNamedBackup_EndsBeforeTheRestore()
    {
        WriteFile(Path(QStringLiteral("bak/other.bak")), "a backup of another name");
        const std::atomic<bool> running{true};
        QVERIFY(QDir().mkpath(Path(QStringLiteral("arc"))));
        UZipArchive::AddFile(Path(QStringLiteral("arc/db.zip")), Path(QStringLiteral("bak/other.bak")), running);
        WriteFile(Path(QStringLiteral("restore/x.bak")), "last week's backup");
        bool laterRan = false;
        TfrmVandrel window;
        Prepare(window, window.FUi->ckbxExtract, &laterRan);
        window.FUi->edtBackupFilename->setText(Path(QStringLiteral("restore/x.bak")));
        window.FUi->edtArchiveFilename->setText(Path(QStringLiteral("arc/db.zip")));
        window.btbnStartClick();

        QCOMPARE(ShellLines(window),
                 QStringList{QStringLiteral("The archive holds no file named 'x.bak': the restore would read an older "
                                            "file.")});
        QVERIFY(window.RunFailed());
        QVERIFY(!laterRan);
        QCOMPARE(ReadFile(Path(QStringLiteral("restore/other.bak"))), QByteArray("a backup of another name"));
    }

    void CancelWhileZipping_StopsTheWorkerAndKeepsTheEarlierArchive()
    {
        const QString backup = Path(QStringLiteral("db.bak"));
        const QString archive = Path(QStringLiteral("db.zip"));
        std::atomic<bool> running{true};
        WriteFile(backup, TextBytes(10000));
        UZipArchive::AddFile(archive, backup, running);
        const QByteArray earlier = ReadFile(archive);
        WriteFile(backup, TextBytes(48 * 1024 * 1024));

        bool laterRan = false;
        TfrmVandrel window;
        Prepare(window, window.FUi->ckbxCompress, &laterRan);
        window.FUi->edtBackupFilename->setText(backup);
        window.FUi->edtArchiveFilename->setText(archive);
        // Cancel as soon as the bar moves (the timer fires inside the wait, which processes events).
        QTimer cancel;
        connect(&cancel, &QTimer::timeout, &window, [&] {
            if (window.Progress() > 0)
                window.btbnCancelClick();
        });
        cancel.start(5);
        window.btbnStartClick();
        cancel.stop();

        QCOMPARE(ShellLines(window), QStringList());
        QCOMPARE(window.Progress(), 0);
        QVERIFY(!laterRan);
        QVERIFY(TProcThread::WaitForAll(20000));
        QCOMPARE(ReadFile(archive), earlier);
        QCOMPARE(UZipArchive::PendingArchiveSize(archive), qint64(-1));
    }
};

VANDREL_QTEST_MAIN(VandrelArchiveStepTest)
#include "VandrelArchiveStepTest.moc"
