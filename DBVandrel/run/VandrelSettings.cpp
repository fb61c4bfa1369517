// SPDX-License-Identifier: MIT
#include "VandrelSettings.h"

#include "UFtpTransfer.h"

#include "EVandrel.h"
#include "UFileNaming.h"
#include "UFileUtils.h"
#include "UPersistRecords.h"

#include <QFileInfo>

#include <algorithm>

using UPersistRecords::TRecordReader;
using UPersistRecords::TRecordWriter;

namespace {

constexpr TSettingField Check(const char* aName, bool TVandrelSettings::*aField)
{
    return {aName, aField, nullptr};
}

constexpr TSettingField Text(const char* aName, QString TVandrelSettings::*aField)
{
    return {aName, nullptr, aField};
}

// clang-format off
const std::array<TSettingField, cSettingCount> cFields = {{
    Check("ckbxUpload", &TVandrelSettings::Upload),
    Check("ckbxCompress", &TVandrelSettings::Compress),
    Check("ckbxBackup", &TVandrelSettings::Backup),
    Check("ckbxAutomated", &TVandrelSettings::Automated),
    Check("ckbxAutoExit", &TVandrelSettings::AutoExit),
    Check("ckbxDownload", &TVandrelSettings::Download),
    Check("ckbxExtract", &TVandrelSettings::Extract),
    Check("ckbxRestore", &TVandrelSettings::Restore),
    Text("edtBackupNameFormat", &TVandrelSettings::BackupNameFormat),
    Text("edtBackupFilename", &TVandrelSettings::BackupFilename),
    Check("ckbxKeepBackup", &TVandrelSettings::KeepBackup),
    Text("edtRestorePhysicalData", &TVandrelSettings::RestorePhysicalData),
    Text("edtRestorePhysicalLog", &TVandrelSettings::RestorePhysicalLog),
    Check("ckbxMove", &TVandrelSettings::Move),
    Check("ckbxCompressBackup", &TVandrelSettings::CompressBackup),
    Check("ckbxAppend", &TVandrelSettings::Append),
    Text("edtArchiveFilename", &TVandrelSettings::ArchiveFilename),
    Text("medtArchivePassword", &TVandrelSettings::ArchivePassword),
    Check("ckbxKeepArchive", &TVandrelSettings::KeepArchive),
    Text("edtArchiveDateBasedName", &TVandrelSettings::ArchiveDateBasedName),
    Text("edtFTPFilename", &TVandrelSettings::FTPFilename),
    Text("edtFTPNameFormat", &TVandrelSettings::FTPNameFormat),
    Text("edtFTPUser", &TVandrelSettings::FTPUser),
    Text("medtFTPPassword", &TVandrelSettings::FTPPassword),
    Text("edtFTPUrl", &TVandrelSettings::FTPUrl),
}};
// clang-format on

constexpr TSettingField AddedCheck(const char* aName, bool TVandrelSettings::*aField, const char* aWhenAbsent)
{
    return {aName, aField, nullptr, aWhenAbsent};
}

constexpr TSettingField AddedText(const char* aName, QString TVandrelSettings::*aField, const char* aWhenAbsent)
{
    return {aName, nullptr, aField, aWhenAbsent};
}

// Records added after the first 25, each with its value for files that predate it. Their names are fixed once
// released: files depend on them.
// clang-format off
const std::array cAddedFields = {
    AddedText("FTPProtocol", &TVandrelSettings::FTPProtocol, "FTP"),
    AddedCheck("ckbxFTPPassive", &TVandrelSettings::FTPPassive, "0"),
    AddedText("edtSSHKeyFile", &TVandrelSettings::SSHKeyFile, ""),
    AddedText("medtSSHKeyPassphrase", &TVandrelSettings::SSHKeyPassphrase, ""),
    AddedCheck("ckbxCopyOnly", &TVandrelSettings::CopyOnly, "0"),
    AddedCheck("ckbxVerifyBackup", &TVandrelSettings::VerifyBackup, "0"),
    AddedCheck("ckbxEncryptArchive", &TVandrelSettings::EncryptArchive, "0"),
    AddedCheck("ckbxRequireChecksum", &TVandrelSettings::RequireChecksum, "0"),
    AddedText("edtRestoreAs", &TVandrelSettings::RestoreAs, ""),
    AddedCheck("ckbxSingleUser", &TVandrelSettings::SingleUser, "0"),
    AddedText("edtKeepRemote", &TVandrelSettings::KeepRemote, "0"),
    AddedText("edtKeepLocal", &TVandrelSettings::KeepLocal, "0"),
    AddedText("edtExpectSourceDatabase", &TVandrelSettings::ExpectSourceDatabase, ""),
    AddedText("edtTransferLimit", &TVandrelSettings::TransferLimit, ""),
};
// clang-format on

const QString cFtpPrefix = QStringLiteral("FTP://");

void SetValue(const TSettingField& aField, TVandrelSettings& aSettings, const QString& aValue)
{
    if (aField.Checked)
        aSettings.*aField.Checked = UPersistRecords::ReadTruthValue(aValue);
    else
        aSettings.*aField.Text = aValue;
}

QString ValueOf(const TSettingField& aField, const TVandrelSettings& aSettings)
{
    return aField.Checked ? UPersistRecords::TruthLine(aSettings.*aField.Checked) : aSettings.*aField.Text;
}

/// Reads every record into aSettings; the reason the file is damaged, or empty text.
QString ReadFields(TRecordReader& aReader, TVandrelSettings& aSettings)
{
    try {
        // A shifted or renamed record would put every later value into the wrong field.
        for (const TSettingField& field : cFields) {
            const QString name = aReader.ReadValue();
            if (name != QLatin1String(field.Name))
                return QStringLiteral("the record \"%1\" was expected, \"%2\" was found")
                    .arg(QLatin1String(field.Name), name);
            SetValue(field, aSettings, aReader.ReadValue());
        }
        for (const TSettingField& field : cAddedFields)
            SetValue(field, aSettings, QLatin1String(field.WhenAbsent));
        aSettings.Unknown.clear();
        while (aReader.Remaining() > 0) {
            const QString name = aReader.ReadValue();
            const QString value = aReader.ReadValue();
            const auto added = std::find_if(cAddedFields.begin(), cAddedFields.end(), [&name](const TSettingField& f) {
                return name == QLatin1String(f.Name);
            });
            if (added != cAddedFields.end())
                SetValue(*added, aSettings, value);
            else
                aSettings.Unknown.append({name, value});
        }
    } catch (const EVandrel& e) {
        return e.Message();
    }
    return QString();
}

} // namespace

const std::array<TSettingField, cSettingCount>& SettingFields()
{
    return cFields;
}

std::span<const TSettingField> AddedSettingFields()
{
    return cAddedFields;
}

TSettingsLoad
LoadSettingsFile(const QString& aFileName, USVCrypt::TCryptKey aKey, TVandrelSettings& aSettings, bool aMoveAside)
{
    const QByteArray fileBytes = UPersistRecords::ReadFileBytes(aFileName);
    TRecordReader reader(UPersistRecords::DecodeSettingsFile(fileBytes, aKey));
    const QString fault = ReadFields(reader, aSettings);
    if (fault.isEmpty())
        return TSettingsLoad();
    TSettingsLoad result;
    result.Ok = false;
    if (!aMoveAside) {
        result.StatusLine = QStringLiteral("The settings could not be read (%1)").arg(fault);
        return result;
    }
    try {
        const QString movedTo = UPersistRecords::MoveAsideBadFile(aFileName);
        result.StatusLine =
            QStringLiteral("The settings could not be read (%1); the file was moved to %2").arg(fault, movedTo);
    } catch (const EVandrel& e) {
        result.StatusLine = QStringLiteral("The settings could not be read (%1); the file could not be moved aside: %2")
                                .arg(fault, e.Message());
    }
    return result;
}

UPersistRecords::TSaveKind
SaveSettingsFile(const QString& aFileName, USVCrypt::TCryptKey aKey, const TVandrelSettings& aSettings)
{
    TRecordWriter writer;
    for (const TSettingField& field : cFields) {
        writer.WriteValue(QLatin1String(field.Name));
        writer.WriteValue(ValueOf(field, aSettings));
    }
    for (const TSettingField& field : cAddedFields) {
        writer.WriteValue(QLatin1String(field.Name));
        writer.WriteValue(ValueOf(field, aSettings));
    }
    for (const auto& [name, value] : aSettings.Unknown) {
        writer.WriteValue(name);
        writer.WriteValue(value);
    }
    return UPersistRecords::WriteFileAtomically(aFileName, UPersistRecords::EncodeSettingsFile(writer.Lines(), aKey));
}

UFtpTransfer::TFtpOptions FtpOptionsOf(const TVandrelSettings& aSettings)
{
    UFtpTransfer::TFtpOptions options;
    options.Protocol = UFtpTransfer::ProtocolFromName(aSettings.FTPProtocol);
    options.Passive = aSettings.FTPPassive;
    options.KeyFile = aSettings.SSHKeyFile;
    options.KeyPassphrase = aSettings.SSHKeyPassphrase;
    return options;
}

QString DefaultSettingsFileName()
{
    return UFileUtils::DefaultSettingsFile();
}

QString FtpPrefixMessage()
{
    return QStringLiteral("It doesn't need the \"FTP://\" part.\r\n\r\nIt's automatically in there once, "
                          "and FTP doesn't need us to say it twice.");
}

QString WithoutFtpPrefix(const QString& aUrl, int* aRemoved)
{
    QString url = aUrl;
    int removed = 0;
    while (url.left(cFtpPrefix.size()).toUpper() == cFtpPrefix) {
        url = url.mid(cFtpPrefix.size());
        ++removed;
    }
    if (aRemoved)
        *aRemoved = removed;
    return url;
}

QString WithoutSecurePrefix(const QString& aUrl, QString* aProtocol)
{
    static const std::array<std::pair<QLatin1String, QLatin1String>, 3> prefixes = {{
        {QLatin1String("ftpes://"), QLatin1String("FTPES")},
        {QLatin1String("ftps://"), QLatin1String("FTPS")},
        {QLatin1String("sftp://"), QLatin1String("SFTP")},
    }};
    for (const auto& [prefix, protocol] : prefixes) {
        if (aUrl.startsWith(prefix, Qt::CaseInsensitive)) {
            if (aProtocol)
                *aProtocol = protocol;
            return aUrl.mid(prefix.size());
        }
    }
    return aUrl;
}

QString GeneratedBackupName(const TVandrelSettings& aSettings, const QDateTime& aToday)
{
    const QString directory = UFileNaming::ExtractFilePath(aSettings.BackupFilename);
    return UFileNaming::ExpandFileName(directory + UFileNaming::FormatDateTime(aSettings.BackupNameFormat, aToday));
}

QString GeneratedArchiveName(const TVandrelSettings& aSettings, const QDateTime& aToday)
{
    const QString directory = UFileNaming::ExtractFilePath(aSettings.ArchiveFilename);
    return UFileNaming::ExpandFileName(directory + UFileNaming::FormatDateTime(aSettings.ArchiveDateBasedName, aToday));
}

QString GeneratedFtpName(const TVandrelSettings& aSettings, const QDateTime& aToday)
{
    const QString directory = UFileNaming::ExtractFilePath(aSettings.FTPFilename);
    return directory + UFileNaming::FormatDateTime(aSettings.FTPNameFormat, aToday);
}

QStringList PrepareLoadedSettings(TVandrelSettings& aSettings, const QDateTime& aToday)
{
    QStringList messages;
    // "ftpes://", "ftps://" and "sftp://" choose their protocol; "ftp://" is only taken off, with its message,
    // and never turns a secure choice back into plain FTP.
    for (;;) {
        int removed = 0;
        aSettings.FTPUrl = WithoutFtpPrefix(aSettings.FTPUrl, &removed);
        for (int i = 0; i < removed; ++i)
            messages.append(FtpPrefixMessage());
        const QString url = WithoutSecurePrefix(aSettings.FTPUrl, &aSettings.FTPProtocol);
        if (url == aSettings.FTPUrl)
            break;
        aSettings.FTPUrl = url;
    }
    if (!aSettings.BackupNameFormat.isEmpty())
        aSettings.BackupFilename = GeneratedBackupName(aSettings, aToday);
    if (!aSettings.ArchiveDateBasedName.isEmpty())
        aSettings.ArchiveFilename = GeneratedArchiveName(aSettings, aToday);
    if (!aSettings.FTPNameFormat.isEmpty())
        aSettings.FTPFilename = GeneratedFtpName(aSettings, aToday);
    return messages;
}
