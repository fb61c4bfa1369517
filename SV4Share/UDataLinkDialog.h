// SPDX-License-Identifier: MIT
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QPair>
#include <QString>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

/// A database combo box that announces when its list is about to drop down.
class TDatabaseComboBox : public QComboBox
{
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    /// Lets listeners fill the list, then shows it.
    void showPopup() override;
Q_SIGNALS:
    /// Emitted before the list drops down.
    void AboutToShowPopup();
};

/// The connection dialog: edits an OLE DB connection string (provider, server, integrated security or user name
/// and password, allow saving password, database, encryption and trust of the server's certificate) and tests it.
/// Keywords it does not show pass through unchanged.
class TDataLinkDialog : public QDialog
{
    Q_OBJECT
public:
    /// Creates the dialog with empty fields.
    explicit TDataLinkDialog(QWidget* aParent = nullptr);

    /// Fills the fields from aConnectionString.
    void SetConnectionString(const QString& aConnectionString);
    /// The edited string; the password is left out unless saving it is allowed.
    QString ConnectionString() const;
    /// The edited string with the password, for connecting now.
    QString ConnectionStringForLogin() const;

    /// Fills the database list from the server (keeps the typed database); false when the server was not reached.
    bool FillDatabaseList();
    /// Opens a connection with the fields; true when it opened. The outcome is shown in the dialog.
    bool TestConnection();

    /// Shows the dialog modally from aInitial; true and the edited string in aResult when confirmed. A password
    /// typed but not allowed to be saved is kept for this session (UDataLinkDialog::TypedPassword), so connecting
    /// right after does not ask for it again.
    static bool Execute(QWidget* aParent, const QString& aInitial, QString& aResult);
    /// The providers a connection opens with here (the FreeTDS driver behind them); the first is the default.
    static QStringList Providers();

    QComboBox* cmbProvider;
    QLineEdit* edtServer;
    QRadioButton* rbtnIntegrated;
    QRadioButton* rbtnSqlLogin;
    QLineEdit* edtUserName;
    QLineEdit* medtPassword;
    QCheckBox* ckbxAllowSaving;
    TDatabaseComboBox* cmbDatabase;
    QComboBox* cmbEncrypt;
    QCheckBox* ckbxTrustServerCertificate;
    QPushButton* btbnTest;
    QLabel* lblStatus;
    /// Says that a password that is not saved leaves scheduled runs without a login.
    QLabel* lblPasswordNote;

private:
    using TPairs = QList<QPair<QString, QString>>;
    QString Compose(bool aWithPassword, bool aWithDatabase) const;
    void UpdateLoginFields();
    void cmbDatabaseAboutToShowPopup();
    void btbnTestClick();

    void ComposeEncryption(TPairs& aPairs) const;

    TPairs FPairs;
    bool FListFilled = false;
    // The encryption the string asked for when it was set: the keywords are rewritten only when changed.
    bool FEncryptRequired = false;
    bool FTrustServerCertificate = false;
};

namespace UDataLinkDialog {
/// True when a person can answer dialogs: a widget application on a real display, on its own thread.
bool HasDesktop();
/// Runs aQuestion on the application's thread and returns its answer: directly when called there, otherwise
/// waiting until that thread's event loop ran it (its exception is raised again here). Without a QApplication it
/// answers false at once and never waits.
bool AskOnApplicationThread(const std::function<bool()>& aQuestion);
/// Installs the connection and login dialogs as the connection unit's hooks. Call once from the window thread
/// at start-up. The hooks may be called on any thread: the dialogs always run on the application's thread, and
/// without a desktop both hooks answer "cancelled" at once.
void InstallConnectionDialogs();
/// Keeps the password just typed for aUser in the connection dialog for this session only (never on disk).
void RememberTypedPassword(const QString& aUser, const QString& aPassword);
/// The password typed for aUser in this session's connection dialog; false when none was.
bool TypedPassword(const QString& aUser, QString& aPassword);
} // namespace UDataLinkDialog
