// SPDX-License-Identifier: MIT
// The FTP step through the real window against a loopback FTP server: upload and download in one run,
// failures that end the run, and Cancel in the middle of a transfer.
#include "TServerProcess.h"
#include "TShape.h"
#include "TestLibraries.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <vector>

using namespace VandrelTest;

class VandrelFtpStepTest : public QObject
{
    Q_OBJECT

private:
    VandrelTest::TConfigFolder FConfig;
    QTemporaryDir FTemp;
    TServerProcess FServer;

    QString Root() const { return FTemp.filePath(QStringLiteral("root")); }
    QString Local() const { return FTemp.filePath(QStringLiteral("local")); }
    QString Archive() const { return Local() + QStringLiteral("/db.zip"); }

    static void WriteFile(const QString& aPath, qint64 aSize, quint32 aSeed)
    {
        QFile file(aPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QRandomGenerator random(aSeed);
        std::vector<quint32> chunk(64 * 1024);
        for (qint64 left = aSize; left > 0;) {
            random.fillRange(chunk.data(), chunk.size());
            const qint64 bytes = std::min<qint64>(left, static_cast<qint64>(chunk.size() * sizeof(quint32)));
            QCOMPARE(file.write(reinterpret_cast<const char*>(chunk.data()), bytes), bytes);
            left -= bytes;
        }
    }

    static QByteArray Contents(const QString& aPath)
    {
        QFile file(aPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    /// A window set up for the FTP steps on the loopback server; no step but the FTP ones is ticked.
    void SetUpWindow(TfrmVandrel& aWindow, const QString& aPassword = QStringLiteral("secret"))
    {
        NoSteps(aWindow);
        TfrmVandrelForm& ui = *aWindow.FUi;
        ui.edtFTPUrl->setText(QStringLiteral("127.0.0.1:%1/in/box").arg(FServer.Port()));
        ui.edtFTPUser->setText(QStringLiteral("vandrel"));
        ui.medtFTPPassword->setText(aPassword);
        ui.edtFTPFilename->setText(QStringLiteral("db 1.zip"));
        ui.edtArchiveFilename->setText(Archive());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FConfig.isValid());
        QVERIFY(FTemp.isValid());
    }

    void init()
    {
        QDir(Root()).removeRecursively();
        QDir(Local()).removeRecursively();
        QVERIFY(QDir().mkpath(Root() + QStringLiteral("/in/box")));
        QVERIFY(QDir().mkpath(Local()));
        FServer.StartPython(QStringLiteral("tests/support/ftpserver.py"),
                            {QStringLiteral("--root"),
                             Root(),
                             QStringLiteral("--port"),
                             QStringLiteral("0"),
                             QStringLiteral("--user"),
                             QStringLiteral("vandrel:secret"),
                             QStringLiteral("--log-commands")});
    }

    void cleanup() { FServer.Stop(); }

    void UploadThenDownloadInOneRun()
    {
        TfrmVandrel window;
        SetUpWindow(window);
        WriteFile(Archive(), 3 * 1024 * 1024 + 5, 11);
        const QByteArray original = Contents(Archive());
        window.FUi->ckbxUpload->setChecked(true);
        window.FUi->ckbxDownload->setChecked(true);
        window.btbnStartClick();

        QVERIFY2(ShellLines(window).isEmpty(), qPrintable(ShellLines(window).join(QLatin1Char('\n'))));
        QVERIFY(!window.RunFailed());
        QCOMPARE(Contents(Root() + QStringLiteral("/in/box/db 1.zip")), original);
        QCOMPARE(Contents(Archive()), original);
        QCOMPARE(QDir(Local()).entryList(QDir::Files), QStringList{QStringLiteral("db.zip")});
        QCOMPARE(window.Progress(), 100);
        QCOMPARE(window.FUi->shpStatus->BrushColor(), QColor(Qt::white));
        QVERIFY(window.FUi->imgArrowUp->isHidden());
        QVERIFY(window.FUi->imgArrowDown->isHidden());
        FServer.Stop();
        const QString log = FServer.Output();
        QVERIFY2(log.contains(QStringLiteral("<- STOR db 1.zip.part")), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("<- RETR db 1.zip")), qPrintable(log));
        QCOMPARE(log.count(QStringLiteral("<- CWD in/box")), 2);
    }

    void DownloadFailureEndsTheRun_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expected");
        QTest::newRow("file not on the server")
            << QStringLiteral("secret")
            << QStringLiteral("FTP Directory '/in/box' does not appear to contain a file named: db 1.zip");
        QTest::newRow("login refused") << QStringLiteral("wrong") << QStringLiteral("530");
    }

    void DownloadFailureEndsTheRun()
    {
        QFETCH(QString, password);
        QFETCH(QString, expected);
        TfrmVandrel window;
        SetUpWindow(window, password);
        QFile old(Archive());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an archive of an earlier run");
        old.close();
        bool extracted = false;
        window.ReplaceStep(TfrmVandrel::siExtract, [&extracted] { extracted = true; });
        window.FUi->ckbxDownload->setChecked(true);
        window.FUi->ckbxExtract->setChecked(true);
        window.btbnStartClick();

        const QStringList lines = ShellLines(window);
        QVERIFY(!lines.isEmpty());
        QVERIFY2(lines.last() == expected || lines.join(QLatin1Char(' ')).contains(expected),
                 qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(window.RunFailed());
        QVERIFY(!extracted);
        QCOMPARE(Contents(Archive()), QByteArray("an archive of an earlier run"));
        QCOMPARE(window.FUi->shpStatus->BrushColor(), QColor(Qt::white));
    }

    void CancelDuringDownload()
    {
        TfrmVandrel window;
        SetUpWindow(window);
        WriteFile(Root() + QStringLiteral("/in/box/db 1.zip"), 24 * 1024 * 1024, 12);
        QFile old(Archive());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("older archive");
        old.close();
        bool extracted = false;
        window.ReplaceStep(TfrmVandrel::siExtract, [&extracted] { extracted = true; });
        window.FUi->ckbxDownload->setChecked(true);
        window.FUi->ckbxExtract->setChecked(true);

        // Cancel is pressed once the bar has started to move, i.e. in the middle of the retrieval.
        int progressAtCancel = -1;
        QTimer watcher;
        watcher.setInterval(0);
        connect(&watcher, &QTimer::timeout, &window, [&] {
            if (window.Progress() > 0 && progressAtCancel < 0 && !window.FUi->btbnCancel->isHidden()) {
                progressAtCancel = window.Progress();
                window.FUi->btbnCancel->click();
            }
        });
        watcher.start();
        window.btbnStartClick();
        watcher.stop();

        QVERIFY(progressAtCancel > 0);
        QVERIFY2(progressAtCancel < 100, "the transfer ended before Cancel could be pressed");
        QCOMPARE(ShellLines(window), QStringList{QStringLiteral("FTP Canceled.")});
        QVERIFY(!extracted);
        QCOMPARE(Contents(Archive()), QByteArray("older archive"));
        QCOMPARE(QDir(Local()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("db.zip")});
        QCOMPARE(window.FUi->shpStatus->BrushColor(), QColor(Qt::white));
        QVERIFY(!window.FFTPing);
    }
};

VANDREL_QTEST_MAIN(VandrelFtpStepTest)
#include "VandrelFtpStepTest.moc"
