// SPDX-License-Identifier: MIT
// The real program started as a scheduler would: no display, a settings file with Auto Start ticked.
// Its exit status tells success from failure, and SIGTERM cancels the running step cleanly.
#include "TServerProcess.h"
#include "TestLibraries.h"
#include "Vandrel.h"
#include "VandrelTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace VandrelTest;

class VandrelUnattendedTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<TServerProcess> FFtp;

    QString Path(const QString& aName) const { return FDir->filePath(aName); }

    /// Saves the settings of a download run through the window, as a user would with Save.
    void SaveDownloadSettings(const QString& aRemoteName, const QString& aPassword)
    {
        TfrmVandrel window;
        TfrmVandrelForm& ui = *window.FUi;
        ui.ckbxAutomated->setChecked(true);
        ui.ckbxDownload->setChecked(true);
        ui.edtFTPUrl->setText(QStringLiteral("127.0.0.1:%1").arg(FFtp->Port()));
        ui.edtFTPUser->setText(QStringLiteral("vandrel"));
        ui.medtFTPPassword->setText(aPassword);
        ui.edtFTPNameFormat->clear();
        ui.edtFTPFilename->setText(aRemoteName);
        ui.edtArchiveDateBasedName->clear();
        ui.edtArchiveFilename->setText(Path(QStringLiteral("local/archive.zip")));
        ui.edtBackupNameFormat->clear();
        window.btbnSaveClick();
        QVERIFY(QFile::exists(TfrmVandrel::DefaultSettingsFileName()));
    }

    void StartProgram(QProcess& aProgram)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), FDir->path());
        aProgram.setProcessEnvironment(env);
        aProgram.start(QStringLiteral(VANDREL_BINARY), {});
        QVERIFY(aProgram.waitForStarted());
    }

    QStringList LocalFiles() const
    {
        return QDir(Path(QStringLiteral("local"))).entryList(QDir::Files | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void init()
    {
        FDir = std::make_unique<QTemporaryDir>();
        QVERIFY(FDir->isValid());
        qputenv("XDG_CONFIG_HOME", FDir->path().toUtf8());
        QVERIFY(QDir().mkpath(Path(QStringLiteral("ftp"))));
        QVERIFY(QDir().mkpath(Path(QStringLiteral("local"))));
        WriteFile(Path(QStringLiteral("local/archive.zip")), QByteArrayLiteral("the archive of yesterday"));
        FFtp = std::make_unique<TServerProcess>();
        // 2 MB/s: an 8 MB download lasts long enough to be stopped in the middle.
        FFtp->StartPython(QStringLiteral("tests/support/ftpserver.py"),
                          {QStringLiteral("--root"),
                           Path(QStringLiteral("ftp")),
                           QStringLiteral("--user"),
                           QStringLiteral("vandrel:secret"),
                           QStringLiteral("--max-rate"),
                           QStringLiteral("2000000"),
                           QStringLiteral("--log-commands")});
    }

    void cleanup()
    {
        FFtp.reset();
        FDir.reset();
    }

    void SuccessfulRunExitsWithZero()
    {
        WriteFile(Path(QStringLiteral("ftp/today.zip")), QByteArray(4096, 'x'));
        SaveDownloadSettings(QStringLiteral("today.zip"), QStringLiteral("secret"));
        QProcess program;
        StartProgram(program);
        QVERIFY2(program.waitForFinished(60000), "the unattended run did not end by itself");
        QCOMPARE(program.exitCode(), int(esSuccess));
        QCOMPARE(ReadFile(Path(QStringLiteral("local/archive.zip"))), QByteArray(4096, 'x'));
    }

    void FailedRunExitsNonZero()
    {
        SaveDownloadSettings(QStringLiteral("missing.zip"), QStringLiteral("secret"));
        QProcess program;
        StartProgram(program);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitCode(), int(esRunFailed));
        const QString output = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY2(output.contains(QStringLiteral("does not appear to contain a file named: missing.zip")),
                 qPrintable(output));
        QCOMPARE(ReadFile(Path(QStringLiteral("local/archive.zip"))), QByteArrayLiteral("the archive of yesterday"));
    }

    void TerminateCancelsTheStepAndKeepsTheOldArchive()
    {
        WriteFile(Path(QStringLiteral("ftp/big.zip")), QByteArray(8 * 1024 * 1024, 'y'));
        SaveDownloadSettings(QStringLiteral("big.zip"), QStringLiteral("secret"));
        QProcess program;
        StartProgram(program);
        // The server logs RETR when the transfer starts: the signal then lands in the middle of it.
        QTRY_VERIFY_WITH_TIMEOUT(FFtp->Output().contains(QStringLiteral("RETR big.zip")), 20000);
        program.terminate();
        QVERIFY2(program.waitForFinished(20000), "SIGTERM did not end the program");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), int(esTerminated));
        QCOMPARE(ReadFile(Path(QStringLiteral("local/archive.zip"))), QByteArrayLiteral("the archive of yesterday"));
        QCOMPARE(LocalFiles(), QStringList{QStringLiteral("archive.zip")});
    }
};

VANDREL_QTEST_MAIN(VandrelUnattendedTest)
#include "VandrelUnattendedTest.moc"
