// SPDX-License-Identifier: MIT
// The connection and login dialogs, driven on the offscreen platform; database parts against the fake SQL Server.
#include "UDataLinkDialog.h"
#include "EVandrel.h"
#include "TDBConnection.h"
#include "TServerProcess.h"
#include "TestLibraries.h"
#include "UConnectionStringManager.h"
#include "UDatCon.h"
#include "ULoginDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

class UDataLinkDialogTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void FieldsRoundTrip_data();
    void FieldsRoundTrip();
    void EditedFields_GiveTheString();
    void EncryptionChoices_WriteTheirKeywords();
    void TestConnection_AgainstServer();
    void DatabaseList_FilledFromServerWhenOpened();
    void Hooks_WithoutDesktop_AnswerCancelled();
    void Hooks_FromWorker_AnswerCancelled();
    void AskOnApplicationThread_AnswersFromTheApplicationThread_data();
    void AskOnApplicationThread_AnswersFromTheApplicationThread();
    void LoginDialog_ReturnsTypedLogin();
    void DialogString_StoredEncrypted_ReadBack_Opens();
    void UnsavedPassword_NotedAndNotAskedForAgain();

private:
    QString DataSource() const { return QStringLiteral("127.0.0.1,%1").arg(FServer.Port()); }
    void FillLogin(TDataLinkDialog& aDialog, const QString& aPassword);
    static bool RunOnWorker(const std::function<void()>& aWork);

    QTemporaryDir FRoot;
    TServerProcess FServer;
};

void UDataLinkDialogTest::initTestCase()
{
    QVERIFY(FRoot.isValid());
    QVERIFY(QDir(FRoot.path()).mkpath(QStringLiteral("Sales")));
    QFile data(FRoot.filePath(QStringLiteral("Sales/Sales.mdf")));
    QVERIFY(data.open(QIODevice::WriteOnly));
    data.close();
    FServer.StartPython(
        QStringLiteral("tests/fakesql/fakesql.py"),
        {QStringLiteral("--root"), FRoot.path(), QStringLiteral("--user"), QStringLiteral("sa:Secret1")});
}

void UDataLinkDialogTest::FieldsRoundTrip_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("forLogin");
    const QString integrated = QStringLiteral("Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security "
                                              "Info=False;Initial Catalog=Sales;Data Source=SRV01");
    QTest::newRow("integrated security unchanged") << integrated << integrated << integrated;
    const QString saved = QStringLiteral("Provider=SQLOLEDB.1;Password=Secr3t!;Persist Security Info=True;User "
                                         "ID=sa;Initial Catalog=Sales;Data Source=127.0.0.1,14330");
    QTest::newRow("saved password kept") << saved << saved << saved;
    QTest::newRow("unsaved password left out")
        << QStringLiteral("Provider=SQLOLEDB;User ID=sa;Password=x;Persist Security Info=False;Data Source=S")
        << QStringLiteral("Provider=SQLOLEDB;User ID=sa;Persist Security Info=False;Data Source=S")
        << QStringLiteral("Provider=SQLOLEDB;User ID=sa;Password=x;Persist Security Info=False;Data Source=S");
    QTest::newRow("other keywords pass through, quoted")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=S;Application Name=\"a;b\";Initial Catalog=D;User ID=u")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=S;Application Name=\"a;b\";Initial Catalog=D;User "
                          "ID=u;Persist Security Info=False")
        << QStringLiteral("Provider=SQLOLEDB;Data Source=S;Application Name=\"a;b\";Initial Catalog=D;User "
                          "ID=u;Persist Security Info=False");
    const QString encrypted = QStringLiteral("Provider=SQLOLEDB;Integrated Security=SSPI;Persist Security Info=False;"
                                             "Data Source=S;Encrypt=Mandatory;TrustServerCertificate=no");
    QTest::newRow("encryption keywords kept as written") << encrypted << encrypted << encrypted;
    // Only the providers that open here are offered, but a string keeps the one it names, or its lack of one.
    QTest::newRow("another provider kept")
        << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=S;Integrated Security=SSPI")
        << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=S;Integrated Security=SSPI;Persist Security "
                          "Info=False")
        << QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=S;Integrated Security=SSPI;Persist Security "
                          "Info=False");
    QTest::newRow("no provider stays without one")
        << QStringLiteral("Data Source=S;Integrated Security=SSPI")
        << QStringLiteral("Data Source=S;Integrated Security=SSPI;Persist Security Info=False")
        << QStringLiteral("Data Source=S;Integrated Security=SSPI;Persist Security Info=False");
    QTest::newRow("Database keyword becomes Initial Catalog")
        << QStringLiteral("Provider=SQLOLEDB;Database=Alpha;Initial Catalog=Beta;Integrated Security=SSPI")
        << QStringLiteral(
               "Provider=SQLOLEDB;Initial Catalog=Alpha;Integrated Security=SSPI;Persist Security Info=False")
        << QStringLiteral(
               "Provider=SQLOLEDB;Initial Catalog=Alpha;Integrated Security=SSPI;Persist Security Info=False");
}

void UDataLinkDialogTest::FieldsRoundTrip()
{
    QFETCH(QString, initial);
    QFETCH(QString, stored);
    QFETCH(QString, forLogin);
    TDataLinkDialog dialog;
    dialog.SetConnectionString(initial);
    QCOMPARE(dialog.ConnectionString(), stored);
    QCOMPARE(dialog.ConnectionStringForLogin(), forLogin);
}

void UDataLinkDialogTest::EditedFields_GiveTheString()
{
    TDataLinkDialog dialog;
    dialog.SetConnectionString(QStringLiteral("Provider=SQLOLEDB"));
    dialog.show();
    QTest::keyClicks(dialog.edtServer, QStringLiteral("SRV02"));
    QTest::keyClicks(dialog.edtUserName, QStringLiteral("sa"));
    QTest::keyClicks(dialog.medtPassword, QStringLiteral("pw"));
    // On the box itself: the widget is wider than its caption.
    QTest::mouseClick(dialog.ckbxAllowSaving, Qt::LeftButton, {}, QPoint(6, dialog.ckbxAllowSaving->height() / 2));
    QTest::keyClicks(dialog.cmbDatabase->lineEdit(), QStringLiteral("Sales"));
    QCOMPARE(dialog.ConnectionString(),
             QStringLiteral("Provider=SQLOLEDB;Data Source=SRV02;User ID=sa;Password=pw;Persist Security "
                            "Info=True;Initial Catalog=Sales"));
    dialog.rbtnIntegrated->setChecked(true);
    QVERIFY(!dialog.edtUserName->isEnabled());
    QCOMPARE(dialog.ConnectionString(),
             QStringLiteral("Provider=SQLOLEDB;Data Source=SRV02;Integrated Security=SSPI;Persist Security "
                            "Info=True;Initial Catalog=Sales"));
}

void UDataLinkDialogTest::EncryptionChoices_WriteTheirKeywords()
{
    const QString plain =
        QStringLiteral("Provider=SQLOLEDB;Integrated Security=SSPI;Persist Security Info=False;Data Source=S");
    TDataLinkDialog dialog;
    dialog.SetConnectionString(plain);
    QCOMPARE(dialog.cmbEncrypt->currentIndex(), 0);
    QVERIFY(!dialog.ckbxTrustServerCertificate->isChecked());
    dialog.cmbEncrypt->setCurrentIndex(1);
    dialog.ckbxTrustServerCertificate->setChecked(true);
    QCOMPARE(dialog.ConnectionString(),
             plain + QStringLiteral(";Use Encryption for Data=True;Trust Server Certificate=True"));
    dialog.cmbEncrypt->setCurrentIndex(0);
    dialog.ckbxTrustServerCertificate->setChecked(false);
    QCOMPARE(dialog.ConnectionString(), plain);

    // A string written the ODBC way keeps its keywords' names.
    dialog.SetConnectionString(plain + QStringLiteral(";Encrypt=no;TrustServerCertificate=yes"));
    QCOMPARE(dialog.cmbEncrypt->currentIndex(), 0);
    QVERIFY(dialog.ckbxTrustServerCertificate->isChecked());
    dialog.cmbEncrypt->setCurrentIndex(1);
    dialog.ckbxTrustServerCertificate->setChecked(false);
    QCOMPARE(dialog.ConnectionString(), plain + QStringLiteral(";Encrypt=yes"));
}

void UDataLinkDialogTest::FillLogin(TDataLinkDialog& aDialog, const QString& aPassword)
{
    aDialog.SetConnectionString(QStringLiteral("Provider=SQLOLEDB;Data Source=") + DataSource() +
                                QStringLiteral(";User ID=sa;Password=") + aPassword);
}

void UDataLinkDialogTest::TestConnection_AgainstServer()
{
    TDataLinkDialog dialog;
    dialog.show();
    FillLogin(dialog, QStringLiteral("Secret1"));
    QTest::mouseClick(dialog.btbnTest, Qt::LeftButton);
    QCOMPARE(dialog.lblStatus->text(), QStringLiteral("Test connection succeeded."));
    dialog.medtPassword->setText(QStringLiteral("wrong"));
    QVERIFY(!dialog.TestConnection());
    QVERIFY2(dialog.lblStatus->text().startsWith(QStringLiteral("Test connection failed: ")),
             qPrintable(dialog.lblStatus->text()));
    QVERIFY(dialog.lblStatus->text().contains(QStringLiteral("Login failed for user 'sa'")));
}

void UDataLinkDialogTest::DatabaseList_FilledFromServerWhenOpened()
{
    TDataLinkDialog dialog;
    dialog.show();
    FillLogin(dialog, QStringLiteral("Secret1"));
    dialog.cmbDatabase->setCurrentText(QStringLiteral("Typed"));
    dialog.cmbDatabase->showPopup();
    dialog.cmbDatabase->hidePopup();
    QVERIFY(dialog.cmbDatabase->findText(QStringLiteral("Sales")) >= 0);
    QVERIFY(dialog.cmbDatabase->findText(QStringLiteral("master")) >= 0);
    QCOMPARE(dialog.cmbDatabase->currentText(), QStringLiteral("Typed"));

    FillLogin(dialog, QStringLiteral("wrong"));
    QVERIFY(!dialog.FillDatabaseList());
    QVERIFY(dialog.lblStatus->text().contains(QStringLiteral("Login failed")));
}

void UDataLinkDialogTest::Hooks_WithoutDesktop_AnswerCancelled()
{
    QVERIFY(!UDataLinkDialog::HasDesktop());
    UDataLinkDialog::InstallConnectionDialogs();
    QString result;
    QVERIFY(!UDatCon::ADOConnectionString(QStringLiteral("Provider=SQLOLEDB"), result));
    QVERIFY(result.isEmpty());
    QString user = QStringLiteral("sa");
    QString password;
    QVERIFY(!UDatCon::LoginPrompt(user, password));
    QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
            std::none_of(QApplication::topLevelWidgets().cbegin(),
                         QApplication::topLevelWidgets().cend(),
                         [](QWidget* aWidget) { return aWidget->isVisible(); }));
}

/// Runs aWork on a fresh thread while this one goes on serving its event loop; false when it did not end in time.
bool UDataLinkDialogTest::RunOnWorker(const std::function<void()>& aWork)
{
    std::unique_ptr<QThread> worker(QThread::create(aWork));
    worker->start();
    if (QTest::qWaitFor([&] { return worker->isFinished(); }, 10000))
        return true;
    worker.release(); // still blocked: a running thread must not be destroyed
    return false;
}

void UDataLinkDialogTest::Hooks_FromWorker_AnswerCancelled()
{
    UDataLinkDialog::InstallConnectionDialogs();
    bool connectionAnswer = true;
    bool loginAnswer = true;
    QVERIFY(RunOnWorker([&] {
        QString result;
        connectionAnswer = UDatCon::ADOConnectionString(QStringLiteral("Provider=SQLOLEDB"), result);
        QString user = QStringLiteral("sa");
        QString password;
        loginAnswer = UDatCon::LoginPrompt(user, password);
    }));
    QVERIFY(!connectionAnswer);
    QVERIFY(!loginAnswer);
}

void UDataLinkDialogTest::AskOnApplicationThread_AnswersFromTheApplicationThread_data()
{
    QTest::addColumn<bool>("fromWorker");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<bool>("raises");
    QTest::newRow("on the application thread: asked there") << false << true << false;
    QTest::newRow("from a worker: true comes back") << true << true << false;
    QTest::newRow("from a worker: false comes back") << true << false << false;
    QTest::newRow("from a worker: the failure is raised in the worker") << true << false << true;
}

void UDataLinkDialogTest::AskOnApplicationThread_AnswersFromTheApplicationThread()
{
    QFETCH(bool, fromWorker);
    QFETCH(bool, answer);
    QFETCH(bool, raises);
    QThread* askedOn = nullptr;
    bool result = !answer;
    QString failure;
    const auto ask = [&] {
        try {
            result = UDataLinkDialog::AskOnApplicationThread([&] {
                askedOn = QThread::currentThread();
                if (raises)
                    throw EVandrel(QStringLiteral("Dialog failed"));
                return answer;
            });
        } catch (const EVandrel& e) {
            failure = e.Message();
        }
    };
    if (fromWorker)
        QVERIFY(RunOnWorker(ask));
    else
        ask();
    QCOMPARE(askedOn, QCoreApplication::instance()->thread());
    QCOMPARE(failure, raises ? QStringLiteral("Dialog failed") : QString());
    if (!raises)
        QCOMPARE(result, answer);
}

void UDataLinkDialogTest::LoginDialog_ReturnsTypedLogin()
{
    TLoginDialog dialog(QStringLiteral("sa"), QString());
    dialog.show();
    QCOMPARE(dialog.edtUserName->text(), QStringLiteral("sa"));
    QCOMPARE(dialog.medtPassword->echoMode(), QLineEdit::Password);
    QTest::keyClicks(dialog.medtPassword, QStringLiteral("Secret1"));
    QTest::keyClick(dialog.medtPassword, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Password(), QStringLiteral("Secret1"));
}

void UDataLinkDialogTest::DialogString_StoredEncrypted_ReadBack_Opens()
{
    QTemporaryDir home;
    QTemporaryDir work;
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    const QString oldCurrent = QDir::currentPath();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QVERIFY(QDir::setCurrent(work.path()));
    const auto restore = qScopeGuard([&] {
        QDir::setCurrent(oldCurrent);
        qputenv("XDG_CONFIG_HOME", oldXdg);
    });

    TDataLinkDialog dialog;
    dialog.show();
    dialog.SetConnectionString(QStringLiteral("Provider=SQLOLEDB"));
    QTest::keyClicks(dialog.edtServer, DataSource());
    QTest::keyClicks(dialog.edtUserName, QStringLiteral("sa"));
    QTest::keyClicks(dialog.medtPassword, QStringLiteral("Secret1"));
    dialog.ckbxAllowSaving->setChecked(true);
    dialog.cmbDatabase->setCurrentText(QStringLiteral("Sales"));
    QTest::keyClick(dialog.edtServer, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    TConnectionStringManager writer;
    writer.SetConnectionString(dialog.ConnectionString());
    const QString shared = home.path() + QStringLiteral("/dbvandrel/DefaultDataLink.ini");
    QCOMPARE(writer.FileName, shared);
    QFile file(shared);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray stored = file.readAll();
    QVERIFY(stored.startsWith("[Software\\Brantwell]\r\nSharedDatCon="));
    QVERIFY(!stored.contains("Secret1") && !stored.contains("Sales"));

    TConnectionStringManager reader;
    const QString read = reader.ConnectionString();
    QCOMPARE(read, dialog.ConnectionString());
    TDBConnection connection;
    connection.SetConnectionString(read);
    UDatCon::DecideLoginPrompt(connection);
    QVERIFY(!connection.LoginPrompt());
    UDatCon::TryOpenTwice(connection);
    QCOMPARE(connection.Property(QStringLiteral("Current Catalog")), QStringLiteral("Sales"));
}

void UDataLinkDialogTest::UnsavedPassword_NotedAndNotAskedForAgain()
{
    TDataLinkDialog dialog;
    dialog.SetConnectionString(QStringLiteral("Provider=SQLOLEDB.1;Data Source=S;User ID=sa"));
    QVERIFY(dialog.cmbProvider->findText(QStringLiteral("SQLOLEDB.1")) >= 0);
    // The note shows exactly while a login's password would not be saved.
    QVERIFY(!dialog.lblPasswordNote->isHidden());
    dialog.ckbxAllowSaving->setChecked(true);
    QVERIFY(dialog.lblPasswordNote->isHidden());
    dialog.ckbxAllowSaving->setChecked(false);
    dialog.rbtnIntegrated->setChecked(true);
    QVERIFY(dialog.lblPasswordNote->isHidden());

    // A password just typed without leave to save it answers the login prompt of this session, for that user only.
    UDataLinkDialog::InstallConnectionDialogs();
    UDataLinkDialog::RememberTypedPassword(QStringLiteral("sa"), QStringLiteral("Secret1"));
    QString user = QStringLiteral("sa");
    QString password;
    QVERIFY(UDatCon::LoginPrompt(user, password));
    QCOMPARE(password, QStringLiteral("Secret1"));
    user = QStringLiteral("other");
    password.clear();
    QVERIFY(!UDatCon::LoginPrompt(user, password));
    UDataLinkDialog::RememberTypedPassword(QString(), QString());
}

VANDREL_QTEST_MAIN(UDataLinkDialogTest)
#include "UDataLinkDialogTest.moc"
