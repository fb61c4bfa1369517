// SPDX-License-Identifier: MIT
#include "UDataLinkDialog.h"

#include "EVandrel.h"
#include "TDBConnection.h"
#include "TDBQuery.h"
#include "UDatCon.h"
#include "ULoginDialog.h"
#include "UOleDbString.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

#include <exception>
#include <mutex>

namespace {
const QString cProvider = QStringLiteral("Provider");
const QString cDataSource = QStringLiteral("Data Source");
const QString cIntegrated = QStringLiteral("Integrated Security");
const QString cUserId = QStringLiteral("User ID");
const QString cPassword = QStringLiteral("Password");
const QString cPersist = QStringLiteral("Persist Security Info");
const QString cCatalog = QStringLiteral("Initial Catalog");
const QString cDatabase = QStringLiteral("Database");
const QString cUseEncryption = QStringLiteral("Use Encryption for Data");
const QString cEncrypt = QStringLiteral("Encrypt");
const QString cTrust = QStringLiteral("Trust Server Certificate");
const QString cTrustOdbc = QStringLiteral("TrustServerCertificate");
constexpr int cDialogTimeoutSeconds = 5;

using TPairs = QList<QPair<QString, QString>>;

void RemoveKey(TPairs& aPairs, const QString& aKey)
{
    aPairs.removeIf([&aKey](const auto& aPair) { return aPair.first.compare(aKey, Qt::CaseInsensitive) == 0; });
}

/// Sets the first pair of aKey (removing later ones) or appends it; an empty value removes the key.
void SetKey(TPairs& aPairs, const QString& aKey, const QString& aValue)
{
    if (aValue.isEmpty()) {
        RemoveKey(aPairs, aKey);
        return;
    }
    for (qsizetype i = 0; i < aPairs.size(); ++i) {
        if (aPairs.at(i).first.compare(aKey, Qt::CaseInsensitive) == 0) {
            aPairs[i].second = aValue;
            for (qsizetype j = aPairs.size() - 1; j > i; --j) {
                if (aPairs.at(j).first.compare(aKey, Qt::CaseInsensitive) == 0)
                    aPairs.removeAt(j);
            }
            return;
        }
    }
    aPairs.append({aKey, aValue});
}

/// Opens a connection for the dialog: short time-out, never a login prompt.
void OpenForDialog(TDBConnection& aConnection, const QString& aConnectionString)
{
    aConnection.SetConnectionString(aConnectionString);
    aConnection.SetConnectionTimeout(cDialogTimeoutSeconds);
    aConnection.SetLoginPrompt(false);
    aConnection.Open();
}
} // namespace

void TDatabaseComboBox::showPopup()
{
    Q_EMIT AboutToShowPopup();
    QComboBox::showPopup();
}

TDataLinkDialog::TDataLinkDialog(QWidget* aParent)
    : QDialog(aParent)
    , cmbProvider(new QComboBox(this))
    , edtServer(new QLineEdit(this))
    , rbtnIntegrated(new QRadioButton(tr("Use &integrated security"), this))
    , rbtnSqlLogin(new QRadioButton(tr("Use a specific user &name and password:"), this))
    , edtUserName(new QLineEdit(this))
    , medtPassword(new QLineEdit(this))
    , ckbxAllowSaving(new QCheckBox(tr("&Allow saving password"), this))
    , cmbDatabase(new TDatabaseComboBox(this))
    , cmbEncrypt(new QComboBox(this))
    , ckbxTrustServerCertificate(new QCheckBox(tr("Trust server &certificate"), this))
    , btbnTest(new QPushButton(tr("&Test Connection"), this))
    , lblStatus(new QLabel(this))
    , lblPasswordNote(new QLabel(this))
{
    setWindowTitle(tr("Data Link Properties"));
    cmbProvider->setObjectName(QStringLiteral("cmbProvider"));
    edtServer->setObjectName(QStringLiteral("edtServer"));
    rbtnIntegrated->setObjectName(QStringLiteral("rbtnIntegrated"));
    rbtnSqlLogin->setObjectName(QStringLiteral("rbtnSqlLogin"));
    edtUserName->setObjectName(QStringLiteral("edtUserName"));
    medtPassword->setObjectName(QStringLiteral("medtPassword"));
    ckbxAllowSaving->setObjectName(QStringLiteral("ckbxAllowSaving"));
    cmbDatabase->setObjectName(QStringLiteral("cmbDatabase"));
    cmbEncrypt->setObjectName(QStringLiteral("cmbEncrypt"));
    ckbxTrustServerCertificate->setObjectName(QStringLiteral("ckbxTrustServerCertificate"));
    btbnTest->setObjectName(QStringLiteral("btbnTest"));
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblPasswordNote->setObjectName(QStringLiteral("lblPasswordNote"));

    // Only what opens here is offered; a string with another provider still loads and keeps it (SetConnectionString).
    for (const QString& provider : Providers())
        cmbProvider->addItem(provider, provider);
    edtServer->setPlaceholderText(tr("host, host,port or host\\instance"));
    lblPasswordNote->setWordWrap(true);
    lblPasswordNote->setText(tr("The password is not saved: a scheduled run (without a display) cannot log in with "
                                "this connection. Tick \"Allow saving password\" for scheduled runs."));
    // Wide enough for the server's placeholder and a test result of a line or two.
    setMinimumWidth(560);
    medtPassword->setEchoMode(QLineEdit::Password);
    cmbDatabase->setEditable(true);
    lblStatus->setWordWrap(true);
    rbtnSqlLogin->setChecked(true);
    cmbEncrypt->addItems({tr("When the server offers it"), tr("Always (refuse an unencrypted link)")});
    cmbEncrypt->setToolTip(tr("Always: the whole link must be encrypted and the server's certificate is checked "
                              "against the system's CAs and trusted-certs.pem in the configuration folder."));
    ckbxTrustServerCertificate->setToolTip(
        tr("Accept the server's certificate without checking it (the link is still encrypted)."));

    auto* layout = new QFormLayout(this);
    layout->addRow(tr("&Provider:"), cmbProvider);
    layout->addRow(tr("&Server name:"), edtServer);
    layout->addRow(rbtnIntegrated);
    layout->addRow(rbtnSqlLogin);
    layout->addRow(tr("&User name:"), edtUserName);
    layout->addRow(tr("Pass&word:"), medtPassword);
    layout->addRow(ckbxAllowSaving);
    layout->addRow(lblPasswordNote);
    layout->addRow(tr("&Database on the server:"), cmbDatabase);
    layout->addRow(tr("&Encrypt connection:"), cmbEncrypt);
    layout->addRow(ckbxTrustServerCertificate);
    auto* testRow = new QHBoxLayout;
    testRow->addStretch();
    testRow->addWidget(btbnTest);
    layout->addRow(testRow);
    layout->addRow(lblStatus);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addRow(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(rbtnIntegrated, &QRadioButton::toggled, this, &TDataLinkDialog::UpdateLoginFields);
    connect(ckbxAllowSaving, &QCheckBox::toggled, this, &TDataLinkDialog::UpdateLoginFields);
    connect(cmbDatabase, &TDatabaseComboBox::AboutToShowPopup, this, &TDataLinkDialog::cmbDatabaseAboutToShowPopup);
    connect(btbnTest, &QPushButton::clicked, this, &TDataLinkDialog::btbnTestClick);
    // Another server or login may see other databases.
    const auto forgetList = [this] { FListFilled = false; };
    connect(edtServer, &QLineEdit::textEdited, this, forgetList);
    connect(edtUserName, &QLineEdit::textEdited, this, forgetList);
    connect(medtPassword, &QLineEdit::textEdited, this, forgetList);
    connect(rbtnIntegrated, &QRadioButton::toggled, this, forgetList);
    UpdateLoginFields();
}

void TDataLinkDialog::SetConnectionString(const QString& aConnectionString)
{
    try {
        FPairs = UOleDbString::Resolve(aConnectionString);
    } catch (const std::exception&) {
        FPairs = UOleDbString::Parse(aConnectionString); // an unreadable data-link file: edit what is written
    }
    RemoveKey(FPairs, QStringLiteral("File Name"));
    const auto value = [this](const QString& aKey) { return UOleDbString::Value(FPairs, aKey); };
    const QString provider = value(cProvider);
    int index = cmbProvider->findData(provider, Qt::UserRole, Qt::MatchFixedString);
    if (index < 0) {
        cmbProvider->addItem(provider.isEmpty() ? tr("(none given)") : tr("%1 (not available here)").arg(provider),
                             provider);
        index = cmbProvider->count() - 1;
    }
    cmbProvider->setCurrentIndex(index);
    edtServer->setText(value(cDataSource));
    const bool integrated = !value(cIntegrated).isEmpty();
    rbtnIntegrated->setChecked(integrated);
    rbtnSqlLogin->setChecked(!integrated);
    edtUserName->setText(value(cUserId));
    medtPassword->setText(value(cPassword));
    ckbxAllowSaving->setChecked(UOleDbString::IsTrue(value(cPersist)));
    const QString database = value(cDatabase);
    cmbDatabase->clear();
    cmbDatabase->setCurrentText(database.isEmpty() ? value(cCatalog) : database);
    UOleDbString::TEncryption encryption;
    try {
        encryption = UOleDbString::EncryptionOf(FPairs);
    } catch (const std::exception&) {
        // Encrypt=strict or an odd value: shown as required; the keyword stays as written unless changed here.
        encryption.Required = !value(cEncrypt).isEmpty() || !value(cUseEncryption).isEmpty();
    }
    FEncryptRequired = encryption.Required;
    FTrustServerCertificate = encryption.TrustServerCertificate;
    cmbEncrypt->setCurrentIndex(FEncryptRequired ? 1 : 0);
    ckbxTrustServerCertificate->setChecked(FTrustServerCertificate);
    lblStatus->clear();
    FListFilled = false;
    UpdateLoginFields();
}

QString TDataLinkDialog::Compose(bool aWithPassword, bool aWithDatabase) const
{
    TPairs pairs = FPairs;
    SetKey(pairs, cProvider, cmbProvider->currentData().toString());
    SetKey(pairs, cDataSource, edtServer->text().trimmed());
    if (rbtnIntegrated->isChecked()) {
        SetKey(pairs, cIntegrated, QStringLiteral("SSPI"));
        RemoveKey(pairs, cUserId);
        RemoveKey(pairs, cPassword);
    } else {
        RemoveKey(pairs, cIntegrated);
        SetKey(pairs, cUserId, edtUserName->text().trimmed());
        SetKey(pairs, cPassword, aWithPassword ? medtPassword->text() : QString());
    }
    SetKey(pairs, cPersist, ckbxAllowSaving->isChecked() ? QStringLiteral("True") : QStringLiteral("False"));
    RemoveKey(pairs, cDatabase);
    SetKey(pairs, cCatalog, aWithDatabase ? cmbDatabase->currentText().trimmed() : QString());
    ComposeEncryption(pairs);
    QStringList parts;
    for (const auto& pair : pairs)
        parts.append(pair.first + QLatin1Char('=') + UOleDbString::QuoteValue(pair.second));
    return parts.join(QLatin1Char(';'));
}

void TDataLinkDialog::ComposeEncryption(TPairs& aPairs) const
{
    // Untouched choices keep the string's own keywords as written.
    const bool required = cmbEncrypt->currentIndex() == 1;
    if (required != FEncryptRequired) {
        const bool odbcStyle = UOleDbString::Contains(aPairs, cEncrypt);
        RemoveKey(aPairs, odbcStyle ? cUseEncryption : cEncrypt);
        if (required)
            SetKey(aPairs,
                   odbcStyle ? cEncrypt : cUseEncryption,
                   odbcStyle ? QStringLiteral("yes") : QStringLiteral("True"));
        else
            RemoveKey(aPairs, odbcStyle ? cEncrypt : cUseEncryption);
    }
    const bool trusted = ckbxTrustServerCertificate->isChecked();
    if (trusted != FTrustServerCertificate) {
        const bool odbcStyle = UOleDbString::Contains(aPairs, cTrustOdbc);
        RemoveKey(aPairs, odbcStyle ? cTrust : cTrustOdbc);
        if (trusted)
            SetKey(aPairs, odbcStyle ? cTrustOdbc : cTrust, odbcStyle ? QStringLiteral("yes") : QStringLiteral("True"));
        else
            RemoveKey(aPairs, odbcStyle ? cTrustOdbc : cTrust);
    }
}

QString TDataLinkDialog::ConnectionString() const
{
    // A password the user did not allow to be saved stays out; the login prompt asks for it when connecting.
    return Compose(ckbxAllowSaving->isChecked(), true);
}

QString TDataLinkDialog::ConnectionStringForLogin() const
{
    return Compose(true, true);
}

void TDataLinkDialog::UpdateLoginFields()
{
    const bool login = !rbtnIntegrated->isChecked();
    edtUserName->setEnabled(login);
    medtPassword->setEnabled(login);
    ckbxAllowSaving->setEnabled(login);
    lblPasswordNote->setVisible(login && !ckbxAllowSaving->isChecked());
}

QStringList TDataLinkDialog::Providers()
{
    return {QStringLiteral("SQLOLEDB.1"),
            QStringLiteral("SQLOLEDB"),
            QStringLiteral("MSOLEDBSQL"),
            QStringLiteral("SQLNCLI11")};
}

bool TDataLinkDialog::FillDatabaseList()
{
    QStringList names;
    try {
        TDBConnection connection;
        OpenForDialog(connection, Compose(true, false));
        TDBQuery query(connection);
        query.OpenSchema(siCatalogs);
        for (; !query.Eof(); query.Next())
            names.append(query.FieldAsString(QStringLiteral("CATALOG_NAME")));
    } catch (...) {
        lblStatus->setText(tr("The database list could not be read: %1").arg(CurrentFailureText()));
        return false;
    }
    const QString typed = cmbDatabase->currentText();
    cmbDatabase->clear();
    cmbDatabase->addItems(names);
    cmbDatabase->setCurrentText(typed);
    FListFilled = true;
    return true;
}

bool TDataLinkDialog::TestConnection()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool opened = false;
    try {
        TDBConnection connection;
        OpenForDialog(connection, ConnectionStringForLogin());
        opened = true;
        lblStatus->setText(tr("Test connection succeeded."));
    } catch (...) {
        lblStatus->setText(tr("Test connection failed: %1").arg(CurrentFailureText()));
    }
    QApplication::restoreOverrideCursor();
    return opened;
}

void TDataLinkDialog::cmbDatabaseAboutToShowPopup()
{
    if (FListFilled || edtServer->text().trimmed().isEmpty())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    FillDatabaseList();
    QApplication::restoreOverrideCursor();
}

void TDataLinkDialog::btbnTestClick()
{
    TestConnection();
}

bool TDataLinkDialog::Execute(QWidget* aParent, const QString& aInitial, QString& aResult)
{
    TDataLinkDialog dialog(aParent);
    dialog.SetConnectionString(aInitial);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    aResult = dialog.ConnectionString();
    if (dialog.rbtnSqlLogin->isChecked() && !dialog.ckbxAllowSaving->isChecked())
        UDataLinkDialog::RememberTypedPassword(dialog.edtUserName->text().trimmed(), dialog.medtPassword->text());
    return true;
}

namespace UDataLinkDialog {
namespace {
// The last login typed in the connection dialog without leave to save its password: this session's only.
std::mutex gTypedLock;
QString gTypedUser;
QString gTypedPassword;
} // namespace

void RememberTypedPassword(const QString& aUser, const QString& aPassword)
{
    const std::lock_guard<std::mutex> lock(gTypedLock);
    gTypedUser = aUser;
    gTypedPassword = aPassword;
}

bool TypedPassword(const QString& aUser, QString& aPassword)
{
    const std::lock_guard<std::mutex> lock(gTypedLock);
    if (gTypedPassword.isEmpty() || gTypedUser != aUser)
        return false;
    aPassword = gTypedPassword;
    return true;
}

bool HasDesktop()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        return false;
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

bool AskOnApplicationThread(const std::function<bool()>& aQuestion)
{
    QCoreApplication* const application = QCoreApplication::instance();
    // Only a widget application shows dialogs; waiting for any other could block a worker for good.
    if (!qobject_cast<QApplication*>(application))
        return false;
    if (QThread::currentThread() == application->thread())
        return aQuestion();
    bool answer = false;
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        application,
        [&] {
            try {
                answer = aQuestion();
            } catch (...) {
                // Raised again on the asking thread: nothing may escape into the application's event loop.
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
    return answer;
}

void InstallConnectionDialogs()
{
    UDatCon::SetConnectionDialogHook([](const QString& aInitial, QString& aResult) {
        return AskOnApplicationThread(
            [&] { return HasDesktop() && TDataLinkDialog::Execute(QApplication::activeWindow(), aInitial, aResult); });
    });
    UDatCon::SetLoginDialogHook([](QString& aUser, QString& aPassword) {
        // A password just typed in the connection dialog is not asked for again.
        if (TypedPassword(aUser, aPassword))
            return true;
        return AskOnApplicationThread(
            [&] { return HasDesktop() && TLoginDialog::Execute(QApplication::activeWindow(), aUser, aPassword); });
    });
}
} // namespace UDataLinkDialog
