// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

/// Asks for the user name and password of a database login.
class TLoginDialog : public QDialog
{
    Q_OBJECT
public:
    /// Creates the dialog prefilled with aUser and aPassword.
    TLoginDialog(const QString& aUser, const QString& aPassword, QWidget* aParent = nullptr);

    /// The user name typed.
    QString UserName() const;
    /// The password typed.
    QString Password() const;

    /// Shows the dialog modally; true and the answers in aUser and aPassword when confirmed.
    static bool Execute(QWidget* aParent, QString& aUser, QString& aPassword);

    QLineEdit* edtUserName;
    QLineEdit* medtPassword;
};
