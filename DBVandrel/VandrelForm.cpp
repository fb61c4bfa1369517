// SPDX-License-Identifier: MIT
#include "VandrelForm.h"

#include "TIllustration.h"
#include "TShape.h"

#include <QApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QVBoxLayout>

namespace {
int gCreationIndex = 0;

/// Names a new control, numbers it in creation order and marks it persistent when aTag is 1.
template <typename T> T* Named(T* aControl, const char* aName, int aTag = 0)
{
    aControl->setObjectName(QLatin1String(aName));
    aControl->setProperty("CreationIndex", ++gCreationIndex);
    aControl->setProperty("Tag", aTag);
    return aControl;
}

QCheckBox* CheckBox(const char* aName, const QString& aCaption, bool aChecked, bool aBold, int aTag)
{
    auto* box = Named(new QCheckBox(aCaption), aName, aTag);
    box->setChecked(aChecked);
    if (aBold) {
        QFont font = box->font();
        font.setBold(true);
        box->setFont(font);
    }
    return box;
}

QLineEdit* Edit(const char* aName, const QString& aText, int aTag, bool aPassword = false)
{
    auto* edit = Named(new QLineEdit(aText), aName, aTag);
    if (aPassword)
        edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QLabel* Label(const char* aName, const QString& aCaption, bool aBold = false, bool aItalic = false)
{
    auto* label = Named(new QLabel(aCaption), aName);
    QFont font = label->font();
    font.setBold(aBold);
    font.setItalic(aItalic);
    label->setFont(font);
    return label;
}

QToolButton* SpeedButton(const char* aName, const QString& aCaption, const QIcon& aGlyph = {})
{
    auto* button = Named(new QToolButton, aName);
    if (!aGlyph.isNull()) {
        button->setIcon(aGlyph);
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    } else {
        button->setText(aCaption);
    }
    button->setAutoRaise(false);
    return button;
}

QPushButton* GlyphButton(const char* aName, const QString& aCaption, QStyle::StandardPixmap aGlyph)
{
    auto* button = Named(new QPushButton(QApplication::style()->standardIcon(aGlyph), aCaption), aName);
    button->setMinimumHeight(30);
    return button;
}

QLabel* WarningPicture(const char* aName, const QString& aHint)
{
    auto* picture = Named(new QLabel, aName);
    picture->setPixmap(QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(18, 18));
    picture->setToolTip(aHint);
    picture->setVisible(false);
    return picture;
}

/// Draws one of the two direction arrows of the illustration strip.
QPixmap ArrowPixmap(bool aUp)
{
    QPixmap pixmap(22, 30);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.moveTo(11, 1);
    path.lineTo(21, 12);
    path.lineTo(15, 12);
    path.lineTo(15, 29);
    path.lineTo(7, 29);
    path.lineTo(7, 12);
    path.lineTo(1, 12);
    path.closeSubpath();
    if (!aUp) {
        QTransform flip;
        flip.translate(0, 30);
        flip.scale(1, -1);
        path = flip.map(path);
    }
    painter.setPen(QPen(QColor(0x30, 0x40, 0x80), 1));
    painter.setBrush(aUp ? QColor(0x40, 0x80, 0xD0) : QColor(0x40, 0xA0, 0x60));
    painter.drawPath(path);
    return pixmap;
}

/// The small grey line under a name format that says what a start does with the name.
QLabel* NameHint(const char* aName)
{
    auto* hint = Label(aName, QString(), false, true);
    hint->setWordWrap(true);
    QPalette palette = hint->palette();
    palette.setColor(QPalette::WindowText, QColor(0x60, 0x60, 0x60));
    hint->setPalette(palette);
    return hint;
}

QGroupBox* Group(const char* aName, const QString& aCaption)
{
    return Named(new QGroupBox(aCaption), aName);
}

QWidget* Row(std::initializer_list<QWidget*> aWidgets, int aStretchIndex = 0)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    int index = 0;
    for (QWidget* widget : aWidgets)
        layout->addWidget(widget, index++ == aStretchIndex ? 1 : 0);
    return row;
}
} // namespace

void TfrmVandrelForm::setupUi(QWidget* aForm)
{
    QStyle* style = QApplication::style();
    aForm->setObjectName(QStringLiteral("frmVandrel"));
    aForm->setWindowTitle(QStringLiteral("Database Vandrel"));

    // The persistent controls first, in the order the settings file lists them.
    ckbxUpload = CheckBox("ckbxUpload", QStringLiteral("&Upload"), false, false, 1);
    ckbxCompress = CheckBox("ckbxCompress", QStringLiteral("&Zip Archive"), false, false, 1);
    ckbxBackup = CheckBox("ckbxBackup", QStringLiteral("&Backup"), false, false, 1);
    ckbxAutomated = CheckBox("ckbxAutomated", QStringLiteral("Auto Start"), false, true, 1);
    ckbxAutoExit = CheckBox("ckbxAutoExit", QStringLiteral("Auto Exit"), false, true, 1);
    ckbxDownload = CheckBox("ckbxDownload", QStringLiteral("&Download"), false, false, 1);
    ckbxExtract = CheckBox("ckbxExtract", QStringLiteral("&Extract"), false, false, 1);
    ckbxRestore = CheckBox("ckbxRestore", QStringLiteral("&Restore"), false, false, 1);
    edtBackupNameFormat = Edit("edtBackupNameFormat", QStringLiteral("'DB'mm-dd-yyyy'.bak'"), 1);
    edtBackupFilename = Edit("edtBackupFilename", QString(), 1);
    ckbxKeepBackup = CheckBox("ckbxKeepBackup", QStringLiteral("Keep Backup File"), true, true, 1);
    edtRestorePhysicalData = Edit("edtRestorePhysicalData", QString(), 1);
    edtRestorePhysicalLog = Edit("edtRestorePhysicalLog", QString(), 1);
    ckbxMove = CheckBox("ckbxMove", QStringLiteral("Restore with Move"), false, true, 1);
    ckbxCompressBackup = CheckBox("ckbxCompressBackup", QStringLiteral("Compress (SQL Std)"), true, true, 1);
    ckbxAppend = CheckBox("ckbxAppend", QStringLiteral("Append"), false, true, 1);
    edtArchiveFilename = Edit("edtArchiveFilename", QString(), 1);
    medtArchivePassword = Edit("medtArchivePassword", QString(), 1, true);
    ckbxKeepArchive = CheckBox("ckbxKeepArchive", QStringLiteral("Keep Archive File"), true, true, 1);
    edtArchiveDateBasedName = Edit("edtArchiveDateBasedName", QStringLiteral("mm-dd-yyyy'.zip'"), 1);
    edtFTPFilename = Edit("edtFTPFilename", QString(), 1);
    edtFTPNameFormat = Edit("edtFTPNameFormat", QStringLiteral("'DB'mm-dd-yyyy'.bin'"), 1);
    edtFTPUser = Edit("edtFTPUser", QString(), 1);
    medtFTPPassword = Edit("medtFTPPassword", QString(), 1, true);
    edtFTPUrl = Edit("edtFTPUrl", QString(), 1);
    edtFTPUrl->setToolTip(QStringLiteral("You don't need the 'ftp://' part"));
    FTPProtocol = Named(new QComboBox, "FTPProtocol", 1);
    FTPProtocol->addItems(
        {QStringLiteral("FTP"), QStringLiteral("FTPES"), QStringLiteral("FTPS"), QStringLiteral("SFTP")});
    FTPProtocol->setToolTip(QStringLiteral("FTP: plain, everything in clear\nFTPES: FTP with explicit TLS (AUTH TLS)\n"
                                           "FTPS: FTP with implicit TLS (port 990)\nSFTP: over SSH (port 22)"));
    ckbxFTPPassive = CheckBox("ckbxFTPPassive", QStringLiteral("Passive mode"), true, false, 1);
    ckbxFTPPassive->setToolTip(QStringLiteral("The server opens the data connections' ports: works behind NAT and "
                                              "most firewalls"));
    edtSSHKeyFile = Edit("edtSSHKeyFile", QString(), 1);
    edtSSHKeyFile->setPlaceholderText(QStringLiteral("private key file (empty: the password)"));
    medtSSHKeyPassphrase = Edit("medtSSHKeyPassphrase", QString(), 1, true);
    edtFTPUrl->setPlaceholderText(QStringLiteral("host/directory"));

    // Right-hand column
    pnlCtrl = Named(new QFrame, "pnlCtrl");
    grpbxAutomation = Group("grpbxAutomation", QStringLiteral("Automation"));
    btbnSave = GlyphButton("btbnSave", QStringLiteral("&Save"), QStyle::SP_DialogSaveButton);
    btbnOpen = GlyphButton("btbnOpen", QStringLiteral("&Open..."), QStyle::SP_DialogOpenButton);
    btbnSaveAs = GlyphButton("btbnSaveAs", QStringLiteral("Save &As..."), QStyle::SP_DialogSaveButton);
    lblSettingsFile = Label("lblSettingsFile", QString(), false, true);
    btbnStart = GlyphButton("btbnStart", QStringLiteral("S&tart"), QStyle::SP_MediaPlay);
    btbnCancel = GlyphButton("btbnCancel", QStringLiteral("&Cancel"), QStyle::SP_DialogCancelButton);
    btbnCancel->setVisible(false);
    btbnCheck = GlyphButton("btbnCheck", QStringLiteral("C&heck"), QStyle::SP_DialogApplyButton);
    btbnCheck->setToolTip(QStringLiteral("Checks what the ticked steps will need, without running them"));
    grpbxArchiveSteps = Group("grpbxArchiveSteps", QStringLiteral("Archival Steps"));
    grpbxRestoreSteps = Group("grpbxRestoreSteps", QStringLiteral("Restoration Steps"));
    // Alt+C is Cancel's: Close takes Alt+L.
    btbnClose = GlyphButton("btbnClose", QStringLiteral("C&lose"), QStyle::SP_DialogCloseButton);
    btbnHelp = GlyphButton("btbnHelp", QStringLiteral("&Help"), QStyle::SP_DialogHelpButton);
    btbnHelp->setVisible(false);

    auto* automationLayout = new QVBoxLayout(grpbxAutomation);
    automationLayout->addWidget(lblSettingsFile);
    automationLayout->addWidget(btbnOpen);
    automationLayout->addWidget(btbnSave);
    automationLayout->addWidget(btbnSaveAs);
    automationLayout->addWidget(btbnStart);
    automationLayout->addWidget(btbnCancel);
    automationLayout->addWidget(btbnCheck);
    automationLayout->addWidget(ckbxAutomated);
    automationLayout->addWidget(ckbxAutoExit);
    auto* archiveStepsLayout = new QVBoxLayout(grpbxArchiveSteps);
    archiveStepsLayout->addWidget(ckbxBackup);
    archiveStepsLayout->addWidget(ckbxCompress);
    archiveStepsLayout->addWidget(ckbxUpload);
    auto* restoreStepsLayout = new QVBoxLayout(grpbxRestoreSteps);
    restoreStepsLayout->addWidget(ckbxDownload);
    restoreStepsLayout->addWidget(ckbxExtract);
    restoreStepsLayout->addWidget(ckbxRestore);
    auto* ctrlLayout = new QVBoxLayout(pnlCtrl);
    ctrlLayout->addWidget(grpbxAutomation);
    ctrlLayout->addWidget(grpbxArchiveSteps);
    ctrlLayout->addWidget(grpbxRestoreSteps);
    ctrlLayout->addStretch(1);
    ctrlLayout->addWidget(btbnHelp);
    ctrlLayout->addWidget(btbnClose);
    pnlCtrl->setFixedWidth(180);

    // Illustration strip
    pnlMain = Named(new QFrame, "pnlMain");
    pnlIllustration = Named(new TIllustration, "pnlIllustration");
    imgArrowUp = Named(new QLabel(pnlIllustration), "imgArrowUp");
    imgArrowUp->setPixmap(ArrowPixmap(true));
    imgArrowUp->setGeometry(24, 2, 22, 30);
    imgArrowUp->setVisible(false);
    imgArrowDown = Named(new QLabel(pnlIllustration), "imgArrowDown");
    imgArrowDown->setPixmap(ArrowPixmap(false));
    imgArrowDown->setGeometry(24, 2, 22, 30);
    imgArrowDown->setVisible(false);

    PageControl = Named(new QTabWidget, "PageControl");

    // Page "Database"
    tbshtDatabase = Named(new QWidget, "tbshtDatabase");
    grpbxDatabase = Group("grpbxDatabase", QStringLiteral("Connection"));
    lblDBServer = Label("lblDBServer", QStringLiteral("Database Server"));
    edtDBServer = Edit("edtDBServer", QString(), 0);
    lblDatabaseName = Label("lblDatabaseName", QStringLiteral("Database"));
    edtDatabases = Edit("edtDatabases", QString(), 0);
    // Both only show the connection; it is changed with the connection button.
    edtDBServer->setReadOnly(true);
    edtDatabases->setReadOnly(true);
    spdbtnMSLink = SpeedButton("spdbtnMSLink", QString(), style->standardIcon(QStyle::SP_DriveNetIcon));
    spdbtnMSLink->setToolTip(QStringLiteral("Use Connection Wizard"));
    auto* connectionLayout = new QGridLayout(grpbxDatabase);
    connectionLayout->addWidget(lblDBServer, 0, 0);
    connectionLayout->addWidget(edtDBServer, 0, 1);
    connectionLayout->addWidget(spdbtnMSLink, 0, 2, 2, 1);
    connectionLayout->addWidget(lblDatabaseName, 1, 0);
    connectionLayout->addWidget(edtDatabases, 1, 1);

    grpbxDBFilename = Group("grpbxDBFilename", QStringLiteral("File Name"));
    lblBackupFilename = Label("lblBackupFilename", QStringLiteral("Backup File Name"));
    imgBackupFilename = WarningPicture(
        "imgBackupFilename", QStringLiteral("Filename must be fully qualified and refer to an existing path."));
    spdbtnBrowseBackupFile = SpeedButton("spdbtnBrowseBackupFile", QStringLiteral("..."));
    lblBackupFilenameFormat = Label("lblBackupFilenameFormat", QStringLiteral("Generated Name Format"));
    sdbtnGenerateName = SpeedButton("sdbtnGenerateName", QString(), style->standardIcon(QStyle::SP_BrowserReload));
    auto* fileNameLayout = new QGridLayout(grpbxDBFilename);
    fileNameLayout->addWidget(lblBackupFilename, 0, 0);
    fileNameLayout->addWidget(Row({edtBackupFilename, imgBackupFilename, spdbtnBrowseBackupFile}), 0, 1);
    fileNameLayout->addWidget(ckbxKeepBackup, 1, 1);
    fileNameLayout->addWidget(lblBackupFilenameFormat, 2, 0);
    fileNameLayout->addWidget(Row({edtBackupNameFormat, sdbtnGenerateName}), 2, 1);
    lblBackupNameHint = NameHint("lblBackupNameHint");
    fileNameLayout->addWidget(lblBackupNameHint, 3, 1);
    fileNameLayout->addWidget(Row({ckbxCompressBackup, ckbxAppend}, 2), 4, 1);

    // Backups that leave the production's chain alone and that the server checks.
    ckbxCopyOnly = CheckBox("ckbxCopyOnly", QStringLiteral("Copy-only backup"), true, true, 1);
    ckbxCopyOnly->setToolTip(QStringLiteral("The backup does not reset the base of the differential backups."));
    ckbxVerifyBackup = CheckBox("ckbxVerifyBackup", QStringLiteral("Verify backup"), true, true, 1);
    ckbxVerifyBackup->setToolTip(
        QStringLiteral("The backup carries checksums and the server reads it back before it is zipped."));
    fileNameLayout->addWidget(Row({ckbxCopyOnly, ckbxVerifyBackup}, 1), 5, 1);

    grpbxRestoreWithMove = Group("grpbxRestoreWithMove", QStringLiteral("Restore File Names"));
    lblDBPhysicalNames = Label("lblDBPhysicalNames", QStringLiteral("Physical File Names (data/log)"), true);
    lblDBPhysicalNames->setEnabled(false);
    edtRestorePhysicalData->setEnabled(false);
    edtRestorePhysicalLog->setEnabled(false);
    spdbtnFillRestorePaths = SpeedButton("spdbtnFillRestorePaths", QStringLiteral("Fill from backup"));
    spdbtnFillRestorePaths->setToolTip(
        QStringLiteral("Fills both paths from the backup's file list: its folders, named after the target database."));
    spdbtnFillRestorePaths->setEnabled(false);
    // The two names are paths as the database server sees them (a Windows or a Linux path).
    lblRestorePhysicalData = Label("lblRestorePhysicalData", QStringLiteral("Data file"));
    lblRestorePhysicalLog = Label("lblRestorePhysicalLog", QStringLiteral("Log file"));
    lblRestorePhysicalData->setEnabled(false);
    lblRestorePhysicalLog->setEnabled(false);
    edtRestorePhysicalData->setPlaceholderText(QStringLiteral("path on the database server, e.g. D:\\Data\\Sales.mdf"));
    edtRestorePhysicalLog->setPlaceholderText(
        QStringLiteral("path on the database server, e.g. D:\\Data\\Sales_log.ldf"));
    auto* moveLayout = new QGridLayout(grpbxRestoreWithMove);
    moveLayout->addWidget(ckbxMove, 0, 0, 1, 2);
    moveLayout->addWidget(Row({lblDBPhysicalNames, spdbtnFillRestorePaths}, 0), 1, 0, 1, 2);
    moveLayout->addWidget(lblRestorePhysicalData, 2, 0);
    moveLayout->addWidget(edtRestorePhysicalData, 2, 1);
    moveLayout->addWidget(lblRestorePhysicalLog, 3, 0);
    moveLayout->addWidget(edtRestorePhysicalLog, 3, 1);

    // Which database the restore replaces, what it must come from, and who may stay connected.
    grpbxRestoreTarget = Group("grpbxRestoreTarget", QStringLiteral("Restore Target"));
    lblRestoreAs = Label("lblRestoreAs", QStringLiteral("Restore as database"));
    edtRestoreAs = Edit("edtRestoreAs", QString(), 1);
    edtRestoreAs->setPlaceholderText(QStringLiteral("the connection's database"));
    lblExpectSourceDatabase = Label("lblExpectSourceDatabase", QStringLiteral("Expected source database"));
    edtExpectSourceDatabase = Edit("edtExpectSourceDatabase", QString(), 1);
    edtExpectSourceDatabase->setPlaceholderText(QStringLiteral("any"));
    ckbxSingleUser = CheckBox("ckbxSingleUser", QStringLiteral("Disconnect other users"), false, true, 1);
    auto* targetLayout = new QGridLayout(grpbxRestoreTarget);
    targetLayout->addWidget(lblRestoreAs, 0, 0);
    targetLayout->addWidget(edtRestoreAs, 0, 1);
    targetLayout->addWidget(lblExpectSourceDatabase, 1, 0);
    targetLayout->addWidget(edtExpectSourceDatabase, 1, 1);
    targetLayout->addWidget(ckbxSingleUser, 2, 1);

    auto* databaseLayout = new QVBoxLayout(tbshtDatabase);
    databaseLayout->addWidget(grpbxDatabase);
    databaseLayout->addWidget(grpbxDBFilename);
    databaseLayout->addWidget(grpbxRestoreWithMove);
    databaseLayout->addWidget(grpbxRestoreTarget);
    databaseLayout->addStretch(1);

    // Page "Archive"
    tbshtArchive = Named(new QWidget, "tbshtArchive");
    grpbxArchive = Group("grpbxArchive", QStringLiteral("File Name"));
    lblBackupFile = Label("lblBackupFile", QStringLiteral("Backup File Name"));
    lblBackupFileInfo = Label("lblBackupFileInfo", QStringLiteral("C:\\"), false, true);
    lblBackupFileInfo->setWordWrap(true);
    lblArchivePassword = Label("lblArchivePassword", QStringLiteral("Archive Password"));
    // The password encrypts the archive when the box is ticked, and always opens an encrypted one.
    ckbxEncryptArchive = CheckBox("ckbxEncryptArchive", QStringLiteral("Encrypt archive"), false, true, 0);
    ckbxEncryptArchive->setToolTip(QStringLiteral("AES-256: the archive opens only with the archive password"));
    spdbtnShowArchivePassword = SpeedButton("spdbtnShowArchivePassword", QStringLiteral("Show"));
    spdbtnShowArchivePassword->setCheckable(true);
    spdbtnShowArchivePassword->setToolTip(QStringLiteral("Show the password while pressed in"));
    QObject::connect(spdbtnShowArchivePassword, &QToolButton::toggled, medtArchivePassword, [this](bool aShown) {
        medtArchivePassword->setEchoMode(aShown ? QLineEdit::Normal : QLineEdit::Password);
    });
    lblArchiveFilename = Label("lblArchiveFilename", QStringLiteral("Archive File Name"));
    imgArchiveFilename = WarningPicture("imgArchiveFilename", QStringLiteral("Filename must be fully qualified."));
    spdbtnBrowseArchiveFile = SpeedButton("spdbtnBrowseArchiveFile", QStringLiteral("..."));
    lblGenerateArchiveName = Label("lblGenerateArchiveName", QStringLiteral("Generated Name Format"));
    spdbnGenerateArchiveName =
        SpeedButton("spdbnGenerateArchiveName", QString(), style->standardIcon(QStyle::SP_BrowserReload));
    auto* archiveLayout = new QGridLayout(grpbxArchive);
    archiveLayout->addWidget(lblBackupFile, 0, 0);
    archiveLayout->addWidget(lblBackupFileInfo, 0, 1);
    archiveLayout->addWidget(lblArchiveFilename, 2, 0);
    archiveLayout->addWidget(Row({edtArchiveFilename, imgArchiveFilename, spdbtnBrowseArchiveFile}), 2, 1);
    archiveLayout->addWidget(ckbxKeepArchive, 3, 1);
    archiveLayout->addWidget(lblGenerateArchiveName, 4, 0);
    archiveLayout->addWidget(Row({edtArchiveDateBasedName, spdbnGenerateArchiveName}), 4, 1);
    lblArchiveNameHint = NameHint("lblArchiveNameHint");
    archiveLayout->addWidget(lblArchiveNameHint, 5, 1);
    archiveLayout->addWidget(ckbxEncryptArchive, 6, 1);
    archiveLayout->addWidget(lblArchivePassword, 7, 0);
    archiveLayout->addWidget(Row({medtArchivePassword, spdbtnShowArchivePassword}), 7, 1);
    lblKeepLocal = Label("lblKeepLocal", QStringLiteral("Keep the newest N files locally"));
    edtKeepLocal = Edit("edtKeepLocal", QStringLiteral("0"), 1);
    edtKeepLocal->setToolTip(QStringLiteral("Older dated backups and archives in their folders are removed after a "
                                            "successful run; 0 keeps them all."));
    archiveLayout->addWidget(lblKeepLocal, 8, 0);
    archiveLayout->addWidget(edtKeepLocal, 8, 1);

    grpgxStatusReport = Group("grpgxStatusReport", QStringLiteral("Status Report"));
    mmoShell = Named(new QTextEdit, "mmoShell");
    mmoShell->setAcceptRichText(false);
    // Long lines (paths, server messages) wrap at the report's width.
    mmoShell->setLineWrapMode(QTextEdit::WidgetWidth);
    auto* reportLayout = new QVBoxLayout(grpgxStatusReport);
    reportLayout->addWidget(mmoShell);

    auto* archivePageLayout = new QVBoxLayout(tbshtArchive);
    archivePageLayout->addWidget(grpbxArchive);
    archivePageLayout->addWidget(grpgxStatusReport, 1);

    // Page "FTP"
    tbshtFTP = Named(new QWidget, "tbshtFTP");
    grpbxFTPAuthentication = Group("grpbxFTPAuthentication", QStringLiteral("Authentication"));
    lblFTPUserName = Label("lblFTPUserName", QStringLiteral("User Name"));
    lblFTPPassword = Label("lblFTPPassword", QStringLiteral("Password"));
    lblFTPAddress = Label("lblFTPAddress", QStringLiteral("Address"), true);
    lblFTPPrefix = Label("lblFTPPrefix", QStringLiteral("ftp://"), false, true);
    lblFTPExample = Label("lblFTPExample", QStringLiteral("\"ftp.example.com/backups\""), false, true);
    Label1 = Label("Label1", QStringLiteral("ftp://"));
    shpStatus = Named(new TShape(TShape::skCircle), "shpStatus");
    shpStatus->setFixedSize(18, 18);
    shpStatus->SetBrushColor(Qt::white);
    shpStatus->setToolTip(QStringLiteral(
        "FTP status: white - not connected; grey - looking up the server; light blue - connecting; pale green - "
        "connected; yellow - the server answered; green - transferring; dark grey - disconnecting."));
    auto* authenticationLayout = new QGridLayout(grpbxFTPAuthentication);
    authenticationLayout->addWidget(lblFTPUserName, 0, 0);
    authenticationLayout->addWidget(edtFTPUser, 0, 1, 1, 2);
    authenticationLayout->addWidget(lblFTPPassword, 1, 0);
    authenticationLayout->addWidget(medtFTPPassword, 1, 1, 1, 2);
    authenticationLayout->addWidget(lblFTPAddress, 2, 0);
    authenticationLayout->addWidget(Row({lblFTPPrefix, lblFTPExample}, 1), 2, 1, 1, 2);
    // The protocol stands where a fixed "ftp://" once stood.
    // Owned by the group all the same, so that it goes with the window.
    Label1->setParent(grpbxFTPAuthentication);
    Label1->hide();
    authenticationLayout->addWidget(FTPProtocol, 3, 0, Qt::AlignRight);
    authenticationLayout->addWidget(edtFTPUrl, 3, 1);
    authenticationLayout->addWidget(shpStatus, 3, 2);
    authenticationLayout->addWidget(ckbxFTPPassive, 4, 1);
    lblSSHKeyFile = Label("lblSSHKeyFile", QStringLiteral("SSH Key File"));
    lblSSHKeyPassphrase = Label("lblSSHKeyPassphrase", QStringLiteral("Key Passphrase"));
    authenticationLayout->addWidget(lblSSHKeyFile, 5, 0);
    authenticationLayout->addWidget(edtSSHKeyFile, 5, 1, 1, 2);
    authenticationLayout->addWidget(lblSSHKeyPassphrase, 6, 0);
    authenticationLayout->addWidget(medtSSHKeyPassphrase, 6, 1, 1, 2);

    grpbxFTP = Group("grpbxFTP", QStringLiteral("FTP"));
    lblArchiveFilenameOnFTP = Label("lblArchiveFilenameOnFTP", QStringLiteral("Archive File Name"));
    lblArchiveFileInfo = Label("lblArchiveFileInfo", QStringLiteral("C:\\"), false, true);
    lblArchiveFileInfo->setWordWrap(true);
    lblFTPFilename = Label("lblFTPFilename", QStringLiteral("FTP File Name"));
    lblFTPGenName = Label("lblFTPGenName", QStringLiteral("Generated Name Format"));
    spdbnGenerateFTPName =
        SpeedButton("spdbnGenerateFTPName", QString(), style->standardIcon(QStyle::SP_BrowserReload));
    auto* ftpLayout = new QGridLayout(grpbxFTP);
    ftpLayout->addWidget(lblArchiveFilenameOnFTP, 0, 0);
    ftpLayout->addWidget(lblArchiveFileInfo, 0, 1);
    ftpLayout->addWidget(lblFTPFilename, 1, 0);
    ftpLayout->addWidget(edtFTPFilename, 1, 1);
    ftpLayout->addWidget(lblFTPGenName, 2, 0);
    ftpLayout->addWidget(Row({edtFTPNameFormat, spdbnGenerateFTPName}), 2, 1);
    lblFTPNameHint = NameHint("lblFTPNameHint");
    ftpLayout->addWidget(lblFTPNameHint, 3, 1);
    ckbxRequireChecksum = CheckBox("ckbxRequireChecksum", QStringLiteral("Require a checksum"), true, true, 0);
    ckbxRequireChecksum->setToolTip(
        QStringLiteral("A download without the archive's SHA-256 checksum file beside it on the server fails"));
    ftpLayout->addWidget(ckbxRequireChecksum, 4, 1);
    lblKeepRemote = Label("lblKeepRemote", QStringLiteral("Keep the newest N archives on the server"));
    edtKeepRemote = Edit("edtKeepRemote", QStringLiteral("0"), 1);
    edtKeepRemote->setToolTip(QStringLiteral("Older dated archives (and their .sha256 files) are removed from the "
                                             "server after a successful run; 0 keeps them all."));
    ftpLayout->addWidget(lblKeepRemote, 5, 0);
    ftpLayout->addWidget(edtKeepRemote, 5, 1);
    lblTransferLimit = Label("lblTransferLimit", QStringLiteral("Transfer limit (KiB/s)"));
    edtTransferLimit = Edit("edtTransferLimit", QString(), 1);
    edtTransferLimit->setPlaceholderText(QStringLiteral("no limit"));
    ftpLayout->addWidget(lblTransferLimit, 6, 0);
    ftpLayout->addWidget(edtTransferLimit, 6, 1);

    auto* ftpPageLayout = new QVBoxLayout(tbshtFTP);
    ftpPageLayout->addWidget(grpbxFTPAuthentication);
    ftpPageLayout->addWidget(grpbxFTP);
    ftpPageLayout->addStretch(1);

    PageControl->addTab(tbshtDatabase, QStringLiteral("Database"));
    PageControl->addTab(tbshtArchive, QStringLiteral("Archive"));
    PageControl->addTab(tbshtFTP, QStringLiteral("FTP"));
    PageControl->setCurrentWidget(tbshtDatabase);

    // Progress panel: the bar lies over the track, its left edge on the track's left edge.
    pnlProgress = Named(new QFrame, "pnlProgress");
    shpProgressArea = Named(new TShape(TShape::skRoundRect), "shpProgressArea");
    shpProgressArea->SetPenColor(QColor(0xC0, 0xC0, 0xC0));
    shpProgressArea->setFixedHeight(20);
    shpProgress = Named(new TShape(TShape::skRoundRect, shpProgressArea), "shpProgress");
    shpProgress->SetBrushColor(QColor(0xA6, 0xCA, 0xF0));
    shpProgress->SetBrushStyle(Qt::DiagCrossPattern);
    shpProgress->SetPenColor(QColor(0xC0, 0xC0, 0xC0));
    shpProgress->setGeometry(0, 0, 0, 20);
    shpProgress->setVisible(false);
    lblProgress = Label("lblProgress", QStringLiteral("0%"));
    lblProgress->setMinimumWidth(40);
    lblProgress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblCountdown = Label("lblCountdown", QString(), true);
    lblCountdown->setVisible(false);
    auto* progressLayout = new QGridLayout(pnlProgress);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->addWidget(lblCountdown, 0, 0, 1, 2);
    progressLayout->addWidget(shpProgressArea, 1, 0);
    progressLayout->addWidget(lblProgress, 1, 1);
    progressLayout->setColumnStretch(0, 1);

    auto* mainLayout = new QVBoxLayout(pnlMain);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->addWidget(pnlIllustration);
    mainLayout->addWidget(PageControl, 1);
    mainLayout->addWidget(pnlProgress);

    auto* formLayout = new QHBoxLayout(aForm);
    formLayout->addWidget(pnlMain, 1);
    formLayout->addWidget(pnlCtrl);
    aForm->resize(760, 560);
}
