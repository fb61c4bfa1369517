// SPDX-License-Identifier: MIT
#include "VandrelSettings.h"

#include "EVandrel.h"
#include "UFileNaming.h"
#include "UFileUtils.h"
#include "UPersistRecords.h"

#include <QFileInfo>

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

const QString cFtpPrefix = QStringLiteral("FTP://");

QString ReadFields(TRecordReader& aReader, TVandrelSettings& aSettings)
{
    try {
        for (const TSettingField& field : cFields) {
            // A record of another name: only its name line is used up and this field keeps its value.
            if (aReader.ReadValue() != QLatin1String(field.Name))
                continue;
            if (field.Checked)
                aSettings.*field.Checked = UPersistRecords::ReadTruthValue(aReader.ReadValue());
            else
                aSettings.*field.Text = aReader.ReadValue();
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

TSettingsLoad LoadSettingsFile(const QString& aFileName, USVCrypt::TCryptKey aKey, TVandrelSettings& aSettings)
{
    const QByteArray fileBytes = UPersistRecords::ReadFileBytes(aFileName);
    TRecordReader reader(UPersistRecords::DecodeSettingsFile(fileBytes, aKey));
    const QString fault = ReadFields(reader, aSettings);
    if (fault.isEmpty())
        return TSettingsLoad();
    TSettingsLoad result;
    result.Ok = false;
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

void SaveSettingsFile(const QString& aFileName, USVCrypt::TCryptKey aKey, const TVandrelSettings& aSettings)
{
    TRecordWriter writer;
    for (const TSettingField& field : cFields) {
        writer.WriteValue(QLatin1String(field.Name));
        writer.WriteValue(field.Checked ? UPersistRecords::TruthLine(aSettings.*field.Checked) : aSettings.*field.Text);
    }
    UPersistRecords::WriteFileAtomically(aFileName, UPersistRecords::EncodeSettingsFile(writer.Lines(), aKey));
}

QString DefaultSettingsFileName()
{
    return UFileUtils::ConfigDir() + QStringLiteral("vandrel.cfg");
}

QString ChooseSettingsFile(const QStringList& aArguments)
{
    if (!aArguments.isEmpty() && QFileInfo(aArguments.first()).isFile())
        return aArguments.first();
    return DefaultSettingsFileName();
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
    int removed = 0;
    aSettings.FTPUrl = WithoutFtpPrefix(aSettings.FTPUrl, &removed);
    for (int i = 0; i < removed; ++i)
        messages.append(FtpPrefixMessage());
    if (!aSettings.BackupNameFormat.isEmpty())
        aSettings.BackupFilename = GeneratedBackupName(aSettings, aToday);
    if (!aSettings.ArchiveDateBasedName.isEmpty())
        aSettings.ArchiveFilename = GeneratedArchiveName(aSettings, aToday);
    if (!aSettings.FTPNameFormat.isEmpty())
        aSettings.FTPFilename = GeneratedFtpName(aSettings, aToday);
    return messages;
}
