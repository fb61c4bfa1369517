// SPDX-License-Identifier: MIT
#pragma once

#include "UPersistRecords.h"
#include "USVCrypt.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <span>
#include <utility>

/// Everything a job keeps in its settings file, as plain data. The window shows it in its controls; a run without
/// a display reads it straight from the file.
namespace UFtpTransfer {
struct TFtpOptions;
}

struct TVandrelSettings
{
    // Steps and automation
    bool Upload = false;
    bool Compress = false;
    bool Backup = false;
    bool Automated = false;
    bool AutoExit = false;
    bool Download = false;
    bool Extract = false;
    bool Restore = false;
    // Database page
    QString BackupNameFormat = QStringLiteral("'DB'mm-dd-yyyy'.bak'");
    QString BackupFilename;
    bool KeepBackup = true;
    QString RestorePhysicalData;
    QString RestorePhysicalLog;
    bool Move = false;
    bool CompressBackup = true;
    bool Append = false;
    // Archive page
    QString ArchiveFilename;
    QString ArchivePassword;
    bool KeepArchive = true;
    QString ArchiveDateBasedName = QStringLiteral("mm-dd-yyyy'.zip'");
    // FTP page
    QString FTPFilename;
    QString FTPNameFormat = QStringLiteral("'DB'mm-dd-yyyy'.bin'");
    QString FTPUser;
    QString FTPPassword;
    QString FTPUrl;

    // Records added after the first 25. Each initial value is the default of a new file; a file that predates a
    // record reads the value its table entry declares, so an older job runs exactly as before.
    // Transport
    QString FTPProtocol = QStringLiteral("FTP");
    bool FTPPassive = true;
    QString SSHKeyFile;
    QString SSHKeyPassphrase;
    // Integrity
    bool CopyOnly = true;
    bool VerifyBackup = true;
    bool EncryptArchive = false;
    bool RequireChecksum = true;
    QString RestoreAs;
    bool SingleUser = false;
    // Housekeeping and checks
    QString KeepRemote = QStringLiteral("0");
    QString KeepLocal = QStringLiteral("0");
    QString ExpectSourceDatabase;
    QString TransferLimit;

    /// Records of the file this version does not know (a newer version's settings), in file order; a save writes
    /// them back unchanged.
    QList<std::pair<QString, QString>> Unknown;
};

/// One record of the settings file: the name it is stored under (the window's control of the same name shows it)
/// and the field that holds its value; exactly one of Checked and Text is set. A record added after the first
/// 25 also declares WhenAbsent, its value (as stored: "-1"/"0" for a check box) when a file lacks it, so that an
/// older job runs exactly as before; its default in a new file is the field's initial value.
struct TSettingField
{
    const char* Name;
    bool TVandrelSettings::*Checked;
    QString TVandrelSettings::*Text;
    const char* WhenAbsent = nullptr;
};

/// The number of records of a settings file.
inline constexpr int cSettingCount = 25;

/// The first 25 records, in the order every file lists them. Renaming a field never moves a record: the order is
/// this table's.
const std::array<TSettingField, cSettingCount>& SettingFields();
/// The records added after the first 25: matched by name in any order, name/value pairs only.
std::span<const TSettingField> AddedSettingFields();

/// How a settings file loaded.
struct TSettingsLoad
{
    /// False when a record could not be read: the file was moved aside (or could not be) and StatusLine says so.
    bool Ok = true;
    /// The status line that reports an unreadable file.
    QString StatusLine;
};

/// The key the window's settings files are encrypted with.
inline constexpr USVCrypt::TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};

/// Reads aFileName under aKey into aSettings: the first 25 records in their fixed order, then name/value pairs in
/// any order (added records by name, unknown ones kept in aSettings.Unknown); an added record the file lacks takes
/// its WhenAbsent value. A file whose first 25 records do not match, or whose values cannot be read, is damaged: it
/// is moved aside as "<name>.bad" (left in place when it cannot be moved) and reported in the result, never thrown.
/// Throws EVandrel when the file cannot be opened. aMoveAside false leaves a damaged file where it is (a check).
TSettingsLoad LoadSettingsFile(const QString& aFileName,
                               USVCrypt::TCryptKey aKey,
                               TVandrelSettings& aSettings,
                               bool aMoveAside = true);
/// Writes aSettings to aFileName under aKey: the 25 records, the added ones, then the unknown ones it was read
/// with. The file is replaced atomically, readable by its owner only (UPersistRecords::WriteFileAtomically): a file
/// in a folder that refuses new files is rewritten in place instead, keeping its mode, and skRewrittenInPlace
/// returned. Throws EVandrel when it cannot be written (the old file is then left as it was, unless it was being
/// rewritten in place).
UPersistRecords::TSaveKind
SaveSettingsFile(const QString& aFileName, USVCrypt::TCryptKey aKey, const TVandrelSettings& aSettings);

/// The settings file used when none is named: vandrel.cfg in the program's configuration folder.
QString DefaultSettingsFileName();

/// The file server's options of a job: protocol, passive mode, SSH key.
UFtpTransfer::TFtpOptions FtpOptionsOf(const TVandrelSettings& aSettings);

/// The message shown when an FTP address is typed with its "ftp://" prefix.
QString FtpPrefixMessage();
/// aUrl without its "ftp://" prefixes (any case, repeated ones too); aRemoved counts the prefixes taken off.
QString WithoutFtpPrefix(const QString& aUrl, int* aRemoved = nullptr);
/// aUrl without a leading "ftpes://", "ftps://" or "sftp://" (any case); *aProtocol (when given) is then set to the
/// protocol it names ("FTPES", "FTPS", "SFTP"). aUrl itself when it starts with none of them.
QString WithoutSecurePrefix(const QString& aUrl, QString* aProtocol = nullptr);

/// The backup file name made from its format for aToday, in the folder of the current name.
QString GeneratedBackupName(const TVandrelSettings& aSettings, const QDateTime& aToday);
/// The archive name made from its format for aToday, in the folder of the current name.
QString GeneratedArchiveName(const TVandrelSettings& aSettings, const QDateTime& aToday);
/// The FTP file name made from its format for aToday, after the folder part of the current name.
QString GeneratedFtpName(const TVandrelSettings& aSettings, const QDateTime& aToday);

/// What a start does to freshly loaded settings: the "ftp://" prefix is taken off the address (a "ftpes://",
/// "ftps://" or "sftp://" prefix chooses its protocol and is taken off too), and each of the
/// three names whose format is set is made anew for aToday. Returns the messages for the user (one per prefix
/// taken off).
QStringList PrepareLoadedSettings(TVandrelSettings& aSettings, const QDateTime& aToday);
