// SPDX-License-Identifier: MIT
// File names: generated from date patterns, checked and browsed; the FTP address; the move fields.
#include "Vandrel.h"

#include "UFileNaming.h"
#include "VandrelHeadless.h"

#include <QFileDialog>
#include <QMessageBox>

using namespace UFileNaming;

namespace {
/// Shows the name in the field's hint and in its information label; the warning shows when it is unusable.
void CheckName(QLineEdit* aField, QLabel* aInfo, QLabel* aWarning)
{
    const QString name = aField->text();
    aField->setToolTip(name);
    aInfo->setText(name);
    aWarning->setVisible(!IsUsableFileName(name));
}
} // namespace

void TfrmVandrel::edtBackupFilenameChange()
{
    CheckName(FUi->edtBackupFilename, FUi->lblBackupFileInfo, FUi->imgBackupFilename);
}

void TfrmVandrel::edtArchiveFilenameChange()
{
    CheckName(FUi->edtArchiveFilename, FUi->lblArchiveFileInfo, FUi->imgArchiveFilename);
}

void TfrmVandrel::edtFTPUrlChange()
{
    const QString url = FUi->edtFTPUrl->text();
    // "ftpes://", "ftps://" and "sftp://" choose their protocol and are taken off without a word.
    QString protocol;
    const QString rest = WithoutSecurePrefix(url, &protocol);
    if (rest != url) {
        FUi->FTPProtocol->setCurrentIndex(FUi->FTPProtocol->findText(protocol));
        FUi->edtFTPUrl->setText(rest);
        return;
    }
    int removed = 0;
    WithoutFtpPrefix(url.left(6), &removed);
    if (removed == 0)
        return;
    if (Interactive())
        QMessageBox::information(this, windowTitle(), VandrelConsole::ForDisplay(FtpPrefixMessage()));
    else
        VandrelConsole::WriteLine(stderr, FtpPrefixMessage());
    // Setting the text raises this handler again, so a doubled prefix goes in two passes.
    FUi->edtFTPUrl->setText(url.mid(6));
}

void TfrmVandrel::FTPProtocolChange()
{
    const QString protocol = FUi->FTPProtocol->currentText();
    const bool sftp = protocol == QStringLiteral("SFTP");
    for (QWidget* control : {static_cast<QWidget*>(FUi->lblSSHKeyFile),
                             static_cast<QWidget*>(FUi->edtSSHKeyFile),
                             static_cast<QWidget*>(FUi->lblSSHKeyPassphrase),
                             static_cast<QWidget*>(FUi->medtSSHKeyPassphrase)})
        control->setVisible(sftp);
    FUi->ckbxFTPPassive->setEnabled(!sftp);
    FUi->lblFTPPrefix->setText(protocol.toLower() + QStringLiteral("://"));
}

void TfrmVandrel::ckbxMoveClick()
{
    const bool move = FUi->ckbxMove->isChecked();
    for (QWidget* control : FUi->grpbxRestoreWithMove->findChildren<QWidget*>()) {
        if (control != FUi->ckbxMove)
            control->setEnabled(move);
    }
}

void TfrmVandrel::ShowNameHints()
{
    const auto show = [](QLabel* aHint, const QLineEdit* aFormat) {
        aHint->setText(aFormat->text().isEmpty()
                           ? QStringLiteral("No format: the name is kept as typed.")
                           : QStringLiteral("Made anew from this format at every start; clear the format to keep a "
                                            "name you type."));
    };
    show(FUi->lblBackupNameHint, FUi->edtBackupNameFormat);
    show(FUi->lblArchiveNameHint, FUi->edtArchiveDateBasedName);
    show(FUi->lblFTPNameHint, FUi->edtFTPNameFormat);
}

void TfrmVandrel::sdbtnGenerateNameClick()
{
    FUi->edtBackupFilename->setText(GeneratedBackupName(Settings(), FRun->Today()));
}

void TfrmVandrel::spdbnGenerateArchiveNameClick()
{
    FUi->edtArchiveFilename->setText(GeneratedArchiveName(Settings(), FRun->Today()));
}

void TfrmVandrel::spdbnGenerateFTPNameClick()
{
    FUi->edtFTPFilename->setText(GeneratedFtpName(Settings(), FRun->Today()));
}

QString
TfrmVandrel::BrowseForFile(QString& aLastName, const QString& aTitle, const QString& aFilter, const QString& aExtension)
{
    if (!Interactive())
        return QString();
    if (aLastName.isEmpty())
        aLastName = CurrentDatabaseName() + QLatin1Char('.') + aExtension;
    QFileDialog dialog(this, aTitle, QString(), aFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(aExtension);
    dialog.selectFile(aLastName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    aLastName = dialog.selectedFiles().first();
    return aLastName;
}

void TfrmVandrel::spdbtnBrowseBackupFileClick()
{
    Guarded([this] {
        const QString chosen = BrowseForFile(FBackupDialogName,
                                             QStringLiteral("Backup File"),
                                             QStringLiteral("Backup (*.bak);;All Files (*)"),
                                             QStringLiteral("bak"));
        if (!chosen.isEmpty())
            FUi->edtBackupFilename->setText(chosen);
    });
}

void TfrmVandrel::spdbtnBrowseArchiveFileClick()
{
    Guarded([this] {
        const QString chosen = BrowseForFile(FArchiveDialogName,
                                             QStringLiteral("Archive File"),
                                             QStringLiteral("Zip File (*.zip);;All Files (*)"),
                                             QStringLiteral("zip"));
        if (!chosen.isEmpty())
            FUi->edtArchiveFilename->setText(chosen);
    });
}
