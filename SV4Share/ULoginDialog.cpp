// SPDX-License-Identifier: MIT
#include "ULoginDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

TLoginDialog::TLoginDialog(const QString& aUser, const QString& aPassword, QWidget* aParent)
    : QDialog(aParent)
    , edtUserName(new QLineEdit(aUser, this))
    , medtPassword(new QLineEdit(aPassword, this))
{
    setWindowTitle(tr("Database Login"));
    edtUserName->setObjectName(QStringLiteral("edtUserName"));
    medtPassword->setObjectName(QStringLiteral("medtPassword"));
    medtPassword->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QFormLayout(this);
    layout->addRow(tr("&User name:"), edtUserName);
    layout->addRow(tr("&Password:"), medtPassword);
    layout->addRow(buttons);
    (aUser.isEmpty() ? edtUserName : medtPassword)->setFocus();
}

QString TLoginDialog::UserName() const
{
    return edtUserName->text();
}

QString TLoginDialog::Password() const
{
    return medtPassword->text();
}

bool TLoginDialog::Execute(QWidget* aParent, QString& aUser, QString& aPassword)
{
    TLoginDialog dialog(aUser, aPassword, aParent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    aUser = dialog.UserName();
    aPassword = dialog.Password();
    return true;
}
