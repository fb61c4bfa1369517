// SPDX-License-Identifier: MIT
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QWidget>

class TIllustration;
class TShape;

/// The main window's controls. Object names equal the member names: the settings file stores them.
/// A control whose dynamic property "Tag" is 1 is persistent; "CreationIndex" numbers controls in creation order.
struct TfrmVandrelForm
{
    // Right-hand column
    QFrame* pnlCtrl = nullptr;
    QGroupBox* grpbxAutomation = nullptr;
    QPushButton* btbnSave = nullptr;
    QPushButton* btbnOpen = nullptr;
    QPushButton* btbnSaveAs = nullptr;
    /// The settings file in use (its full path in the tooltip).
    QLabel* lblSettingsFile = nullptr;
    QPushButton* btbnStart = nullptr;
    QPushButton* btbnCancel = nullptr;
    QPushButton* btbnCheck = nullptr;
    QCheckBox* ckbxAutomated = nullptr;
    QCheckBox* ckbxAutoExit = nullptr;
    QGroupBox* grpbxArchiveSteps = nullptr;
    QCheckBox* ckbxBackup = nullptr;
    QCheckBox* ckbxCompress = nullptr;
    QCheckBox* ckbxUpload = nullptr;
    QGroupBox* grpbxRestoreSteps = nullptr;
    QCheckBox* ckbxDownload = nullptr;
    QCheckBox* ckbxExtract = nullptr;
    QCheckBox* ckbxRestore = nullptr;
    QPushButton* btbnClose = nullptr;
    QPushButton* btbnHelp = nullptr;

    // Main area
    QFrame* pnlMain = nullptr;
    TIllustration* pnlIllustration = nullptr;
    QLabel* imgArrowUp = nullptr;
    QLabel* imgArrowDown = nullptr;
    QTabWidget* PageControl = nullptr;

    // Page "Database"
    QWidget* tbshtDatabase = nullptr;
    QGroupBox* grpbxDatabase = nullptr;
    QLabel* lblDBServer = nullptr;
    QLineEdit* edtDBServer = nullptr;
    QLabel* lblDatabaseName = nullptr;
    QLineEdit* edtDatabases = nullptr;
    QToolButton* spdbtnMSLink = nullptr;
    QGroupBox* grpbxDBFilename = nullptr;
    QLabel* lblBackupFilename = nullptr;
    QLineEdit* edtBackupFilename = nullptr;
    QLabel* imgBackupFilename = nullptr;
    QToolButton* spdbtnBrowseBackupFile = nullptr;
    QCheckBox* ckbxKeepBackup = nullptr;
    QLabel* lblBackupFilenameFormat = nullptr;
    QLineEdit* edtBackupNameFormat = nullptr;
    QToolButton* sdbtnGenerateName = nullptr;
    QCheckBox* ckbxCompressBackup = nullptr;
    QCheckBox* ckbxAppend = nullptr;
    QCheckBox* ckbxMove = nullptr;
    QGroupBox* grpbxRestoreWithMove = nullptr;
    QLabel* lblDBPhysicalNames = nullptr;
    QLineEdit* edtRestorePhysicalData = nullptr;
    QLineEdit* edtRestorePhysicalLog = nullptr;
    QToolButton* spdbtnFillRestorePaths = nullptr;
    QCheckBox* ckbxCopyOnly = nullptr;
    QCheckBox* ckbxVerifyBackup = nullptr;
    QGroupBox* grpbxRestoreTarget = nullptr;
    QLabel* lblRestoreAs = nullptr;
    QLineEdit* edtRestoreAs = nullptr;
    QLabel* lblExpectSourceDatabase = nullptr;
    QLineEdit* edtExpectSourceDatabase = nullptr;
    QCheckBox* ckbxSingleUser = nullptr;
    QLabel* lblRestorePhysicalData = nullptr;
    QLabel* lblRestorePhysicalLog = nullptr;
    /// Beside each generated name: whether a start makes it anew from its format.
    QLabel* lblBackupNameHint = nullptr;

    // Page "Archive"
    QWidget* tbshtArchive = nullptr;
    QGroupBox* grpbxArchive = nullptr;
    QLabel* lblBackupFile = nullptr;
    QLabel* lblBackupFileInfo = nullptr;
    QLabel* lblArchivePassword = nullptr;
    QLineEdit* medtArchivePassword = nullptr;
    QCheckBox* ckbxEncryptArchive = nullptr;
    QToolButton* spdbtnShowArchivePassword = nullptr;
    QLabel* lblArchiveFilename = nullptr;
    QLineEdit* edtArchiveFilename = nullptr;
    QLabel* imgArchiveFilename = nullptr;
    QToolButton* spdbtnBrowseArchiveFile = nullptr;
    QCheckBox* ckbxKeepArchive = nullptr;
    QLabel* lblGenerateArchiveName = nullptr;
    QLineEdit* edtArchiveDateBasedName = nullptr;
    QToolButton* spdbnGenerateArchiveName = nullptr;
    QLabel* lblArchiveNameHint = nullptr;
    QLabel* lblKeepLocal = nullptr;
    QLineEdit* edtKeepLocal = nullptr;
    QGroupBox* grpgxStatusReport = nullptr;
    QTextEdit* mmoShell = nullptr;

    // Page "FTP"
    QWidget* tbshtFTP = nullptr;
    QGroupBox* grpbxFTPAuthentication = nullptr;
    QLabel* lblFTPUserName = nullptr;
    QLineEdit* edtFTPUser = nullptr;
    QLabel* lblFTPPassword = nullptr;
    QLineEdit* medtFTPPassword = nullptr;
    QLabel* lblFTPAddress = nullptr;
    QLabel* lblFTPPrefix = nullptr;
    QLabel* lblFTPExample = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* edtFTPUrl = nullptr;
    QComboBox* FTPProtocol = nullptr; ///< the protocol before the address: FTP, FTPES, FTPS, SFTP
    QCheckBox* ckbxFTPPassive = nullptr;
    QLabel* lblSSHKeyFile = nullptr;
    QLineEdit* edtSSHKeyFile = nullptr;
    QLabel* lblSSHKeyPassphrase = nullptr;
    QLineEdit* medtSSHKeyPassphrase = nullptr;
    TShape* shpStatus = nullptr;
    QGroupBox* grpbxFTP = nullptr;
    QLabel* lblArchiveFilenameOnFTP = nullptr;
    QLabel* lblArchiveFileInfo = nullptr;
    QLabel* lblFTPFilename = nullptr;
    QLineEdit* edtFTPFilename = nullptr;
    QLabel* lblFTPGenName = nullptr;
    QLineEdit* edtFTPNameFormat = nullptr;
    QToolButton* spdbnGenerateFTPName = nullptr;
    QLabel* lblFTPNameHint = nullptr;
    QCheckBox* ckbxRequireChecksum = nullptr;
    QLabel* lblTransferLimit = nullptr;
    QLineEdit* edtTransferLimit = nullptr;
    QLabel* lblKeepRemote = nullptr;
    QLineEdit* edtKeepRemote = nullptr;

    // Progress panel
    QFrame* pnlProgress = nullptr;
    TShape* shpProgressArea = nullptr;
    TShape* shpProgress = nullptr;
    QLabel* lblProgress = nullptr;
    /// The countdown in words, shown while Auto Start or Auto Exit counts down.
    QLabel* lblCountdown = nullptr;

    /// Creates every control on aForm and lays them out.
    void setupUi(QWidget* aForm);
};
