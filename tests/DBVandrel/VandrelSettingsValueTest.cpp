// SPDX-License-Identifier: MIT
// The settings as a value, without any widget: the sample file of another machine decodes to its plain records and
// a save of those values gives back its bytes, the records keep the file's order, a newer version's records survive
// a save, a record out of place is a damaged file, and a start regenerates the three names from their formats and
// takes every "ftp://" off the address.
#include "TestPaths.h"
#include "UPersistRecords.h"
#include "USVCrypt.h"
#include "VandrelSettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

QString SampleFile(const char* aName)
{
    return TestPaths::DataFile(QLatin1String(aName));
}

/// The plain records of the sample file: name, value, name, value ...
QStringList SampleRecords()
{
    return UPersistRecords::SplitLines(
        USVCrypt::FromAnsi(UPersistRecords::ReadFileBytes(SampleFile("settings-sample.txt"))));
}

/// Every field under the name of its record, in file order. Written out field by field, apart from the program's
/// table, so that a record read into the wrong field shows.
QStringList Records(const TVandrelSettings& aSettings)
{
    QStringList lines;
    const auto check = [&lines](const char* aName, bool aValue) {
        lines << QLatin1String(aName) << (aValue ? QStringLiteral("-1") : QStringLiteral("0"));
    };
    const auto text = [&lines](const char* aName, const QString& aValue) { lines << QLatin1String(aName) << aValue; };
    check("ckbxUpload", aSettings.Upload);
    check("ckbxCompress", aSettings.Compress);
    check("ckbxBackup", aSettings.Backup);
    check("ckbxAutomated", aSettings.Automated);
    check("ckbxAutoExit", aSettings.AutoExit);
    check("ckbxDownload", aSettings.Download);
    check("ckbxExtract", aSettings.Extract);
    check("ckbxRestore", aSettings.Restore);
    text("edtBackupNameFormat", aSettings.BackupNameFormat);
    text("edtBackupFilename", aSettings.BackupFilename);
    check("ckbxKeepBackup", aSettings.KeepBackup);
    text("edtRestorePhysicalData", aSettings.RestorePhysicalData);
    text("edtRestorePhysicalLog", aSettings.RestorePhysicalLog);
    check("ckbxMove", aSettings.Move);
    check("ckbxCompressBackup", aSettings.CompressBackup);
    check("ckbxAppend", aSettings.Append);
    text("edtArchiveFilename", aSettings.ArchiveFilename);
    text("medtArchivePassword", aSettings.ArchivePassword);
    check("ckbxKeepArchive", aSettings.KeepArchive);
    text("edtArchiveDateBasedName", aSettings.ArchiveDateBasedName);
    text("edtFTPFilename", aSettings.FTPFilename);
    text("edtFTPNameFormat", aSettings.FTPNameFormat);
    text("edtFTPUser", aSettings.FTPUser);
    text("medtFTPPassword", aSettings.FTPPassword);
    text("edtFTPUrl", aSettings.FTPUrl);
    return lines;
}

/// The records added after the 25, as a save writes them: table order, each name then its value.
QStringList AddedRecords(const TVandrelSettings& aSettings)
{
    QStringList lines;
    for (const TSettingField& field : AddedSettingFields()) {
        lines << QLatin1String(field.Name);
        lines << (field.Checked ? UPersistRecords::TruthLine(aSettings.*field.Checked) : aSettings.*field.Text);
    }
    return lines;
}

/// The values the sample file holds.
TVandrelSettings SampleSettings()
{
    TVandrelSettings settings;
    settings.Upload = true;
    settings.Compress = true;
    settings.Backup = true;
    settings.Automated = false;
    settings.AutoExit = false;
    settings.Download = false;
    settings.Extract = false;
    settings.Restore = false;
    settings.BackupNameFormat = QStringLiteral("'DB'mm-dd-yyyy'.bak'");
    settings.BackupFilename = QStringLiteral("/srv/backup/DB03-15-2024.bak");
    settings.KeepBackup = false;
    settings.RestorePhysicalData.clear();
    settings.RestorePhysicalLog.clear();
    settings.Move = false;
    settings.CompressBackup = true;
    settings.Append = false;
    settings.ArchiveFilename = QStringLiteral("/srv/backup/03-15-2024.zip");
    settings.ArchivePassword.clear();
    settings.KeepArchive = true;
    settings.ArchiveDateBasedName = QStringLiteral("mm-dd-yyyy'.zip'");
    settings.FTPFilename = QStringLiteral("DB03-15-2024.bin");
    settings.FTPNameFormat = QStringLiteral("'DB'mm-dd-yyyy'.bin'");
    settings.FTPUser = QStringLiteral("Ren\u00e9");
    settings.FTPPassword = QStringLiteral("p\u20acss; w=rd");
    settings.FTPUrl = QStringLiteral("ftp.example.org/incoming/sales");
    return settings;
}

/// The date of the sample file's names.
QDateTime Today()
{
    return QDateTime(QDate(2024, 3, 15), QTime(0, 0));
}

} // namespace

TEST(VandrelSettingsValueTest, FieldTableListsTheRecordsInFileOrder)
{
    const QStringList records = SampleRecords();
    ASSERT_EQ(records.size(), 2 * cSettingCount);
    for (int i = 0; i < cSettingCount; ++i) {
        const TSettingField& field = SettingFields().at(static_cast<size_t>(i));
        EXPECT_EQ(QLatin1String(field.Name), records.at(2 * i)) << "record " << i;
        EXPECT_NE(field.Checked == nullptr, field.Text == nullptr) << field.Name;
        const QString& value = records.at(2 * i + 1);
        const bool truthValue = value == QStringLiteral("-1") || value == QStringLiteral("0");
        EXPECT_EQ(field.Checked != nullptr, truthValue) << field.Name;
    }
}

TEST(VandrelSettingsValueTest, SampleFileDecodesToItsPlainRecords)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("sample.cfg"));
    ASSERT_TRUE(QFile::copy(SampleFile("settings-sample.cfg"), file));
    TVandrelSettings settings;
    const TSettingsLoad load = LoadSettingsFile(file, cSettingsKey, settings);
    ASSERT_TRUE(load.Ok) << load.StatusLine.toStdString();
    EXPECT_EQ(Records(settings), SampleRecords());
    EXPECT_TRUE(settings.Unknown.isEmpty());
    // The Windows-1252 characters of the other machine.
    EXPECT_EQ(settings.FTPUser, QStringLiteral("Ren\u00e9"));
    EXPECT_EQ(settings.FTPPassword, QStringLiteral("p\u20acss; w=rd"));
}

TEST(VandrelSettingsValueTest, SavingTheSampleValuesGivesTheSampleRecordsThenTheAddedOnes)
{
    const TVandrelSettings settings = SampleSettings();
    ASSERT_EQ(Records(settings), SampleRecords());
    // The 25 records encode to the other machine's bytes.
    EXPECT_EQ(UPersistRecords::EncodeSettingsFile(SampleRecords(), cSettingsKey),
              UPersistRecords::ReadFileBytes(SampleFile("settings-sample.cfg")));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("saved.cfg"));
    SaveSettingsFile(file, cSettingsKey, settings);
    EXPECT_EQ(UPersistRecords::DecodeSettingsFile(UPersistRecords::ReadFileBytes(file), cSettingsKey),
              SampleRecords() + AddedRecords(settings));
}

TEST(VandrelSettingsValueTest, RecordsOfANewerVersionAreKeptOnSave)
{
    // A newer version's file: its own records after the 25.
    QStringList lines = SampleRecords();
    lines << QStringLiteral("edtMailTo") << QStringLiteral("ops@example.org") << QStringLiteral("ckbxVerify")
          << QStringLiteral("-1");
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("newer.cfg"));
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(UPersistRecords::EncodeSettingsFile(lines, cSettingsKey));
    }
    TVandrelSettings settings;
    ASSERT_TRUE(LoadSettingsFile(file, cSettingsKey, settings).Ok);
    EXPECT_EQ(Records(settings), SampleRecords());
    settings.Upload = false;
    SaveSettingsFile(file, cSettingsKey, settings);
    lines[1] = QStringLiteral("0");
    const QStringList newer = lines.mid(2 * cSettingCount);
    lines = lines.mid(0, 2 * cSettingCount) + AddedRecords(settings) + newer;
    EXPECT_EQ(UPersistRecords::DecodeSettingsFile(UPersistRecords::ReadFileBytes(file), cSettingsKey), lines);
}

TEST(VandrelSettingsValueTest, RecordOutOfPlaceAmongThe25IsADamagedFile)
{
    // Two records swapped would put each value into the other's field.
    QStringList lines = SampleRecords();
    lines.swapItemsAt(0, 2);
    lines.swapItemsAt(1, 3);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("swapped.cfg"));
    const QByteArray bytes = UPersistRecords::EncodeSettingsFile(lines, cSettingsKey);
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }
    TVandrelSettings settings;
    const TSettingsLoad load = LoadSettingsFile(file, cSettingsKey, settings);
    EXPECT_FALSE(load.Ok);
    EXPECT_TRUE(load.StatusLine.contains(QStringLiteral("ckbxUpload"))) << load.StatusLine.toStdString();
    EXPECT_TRUE(load.StatusLine.contains(file + QStringLiteral(".bad"))) << load.StatusLine.toStdString();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(UPersistRecords::ReadFileBytes(file + QStringLiteral(".bad")), bytes);
}

struct TAddedRow
{
    const char* Name;
    /// The value a file without the record reads, and the default of a new file, as stored.
    const char* WhenAbsent;
    const char* NewFile;
};

// The records added after the 25, with the two values each one declares.
// clang-format off
const TAddedRow cAddedRows[] = {
    {"FTPProtocol", "FTP", "FTP"},
    {"ckbxFTPPassive", "0", "-1"},
    {"edtSSHKeyFile", "", ""},
    {"medtSSHKeyPassphrase", "", ""},
    {"ckbxCopyOnly", "0", "-1"},
    {"ckbxVerifyBackup", "0", "-1"},
    {"ckbxEncryptArchive", "0", "0"},
    {"ckbxRequireChecksum", "0", "-1"},
    {"edtRestoreAs", "", ""},
    {"ckbxSingleUser", "0", "0"},
    {"edtKeepRemote", "0", "0"},
    {"edtKeepLocal", "0", "0"},
    {"edtExpectSourceDatabase", "", ""},
    {"edtTransferLimit", "", ""},
};
// clang-format on

QStringList AddedRows(const char* TAddedRow::*aValue)
{
    QStringList lines;
    for (const TAddedRow& row : cAddedRows)
        lines << QLatin1String(row.Name) << QString::fromUtf8(row.*aValue);
    return lines;
}

TEST(VandrelSettingsValueTest, AddedRecordsTakeTheirOwnValueWhenAbsentAndTheirDefaultInANewFile)
{
    // A file of today's 25 records: an existing job behaves as before.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("older.cfg"));
    ASSERT_TRUE(QFile::copy(SampleFile("settings-sample.cfg"), file));
    TVandrelSettings older;
    ASSERT_TRUE(LoadSettingsFile(file, cSettingsKey, older).Ok);
    EXPECT_EQ(AddedRecords(older), AddedRows(&TAddedRow::WhenAbsent));
    EXPECT_EQ(AddedRecords(TVandrelSettings()), AddedRows(&TAddedRow::NewFile));
}

TEST(VandrelSettingsValueTest, AddedRecordsAreMatchedByNameInAnyOrder)
{
    // Each added record set to a value unlike both of its declared ones, listed last to first among unknown ones.
    QStringList tail{QStringLiteral("edtMailTo"), QStringLiteral("ops@example.org")};
    QStringList expected;
    for (const TAddedRow& row : cAddedRows) {
        const bool check = QByteArray(row.Name).startsWith("ckbx");
        const QString value = check ? (QByteArray(row.NewFile) == "-1" ? QStringLiteral("0") : QStringLiteral("-1"))
                                    : QStringLiteral("v-") + QLatin1String(row.Name);
        tail = QStringList{QLatin1String(row.Name), value} + tail;
        expected << QLatin1String(row.Name) << value;
    }
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("shuffled.cfg"));
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(UPersistRecords::EncodeSettingsFile(SampleRecords() + tail, cSettingsKey));
    }
    TVandrelSettings settings;
    ASSERT_TRUE(LoadSettingsFile(file, cSettingsKey, settings).Ok);
    EXPECT_EQ(Records(settings), SampleRecords());
    EXPECT_EQ(AddedRecords(settings), expected);
    EXPECT_EQ(settings.Unknown,
              (QList<std::pair<QString, QString>>{{QStringLiteral("edtMailTo"), QStringLiteral("ops@example.org")}}));
}

struct TPrefixRow
{
    const char* Name;
    const char* Typed;
    const char* Kept;
    int Messages;
    const char* Protocol = "FTP"; ///< chosen before the start
    const char* Chosen = "FTP";   ///< chosen after it
};

class VandrelPrepareFtpUrlTest : public ::testing::TestWithParam<TPrefixRow>
{
};

TEST_P(VandrelPrepareFtpUrlTest, EveryPrefixIsTakenOffWithOneMessageEach)
{
    TVandrelSettings settings;
    settings.FTPUrl = QString::fromUtf8(GetParam().Typed);
    settings.FTPProtocol = QString::fromUtf8(GetParam().Protocol);
    const QStringList messages = PrepareLoadedSettings(settings, Today());
    EXPECT_EQ(settings.FTPUrl, QString::fromUtf8(GetParam().Kept));
    EXPECT_EQ(settings.FTPProtocol, QString::fromUtf8(GetParam().Chosen));
    EXPECT_EQ(messages, QStringList(GetParam().Messages, FtpPrefixMessage()));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(FtpPrefix, VandrelPrepareFtpUrlTest, ::testing::Values(
    TPrefixRow{"NoPrefix", "127.0.0.1:2121/drop", "127.0.0.1:2121/drop", 0},
    TPrefixRow{"OnePrefix", "ftp://host/dir", "host/dir", 1},
    TPrefixRow{"AnyCase", "FTP://Host", "Host", 1},
    TPrefixRow{"ThreePrefixesInMixedCase", "ftp://Ftp://FTP://host:21/a", "host:21/a", 3},
    TPrefixRow{"OnlyAPrefix", "ftp://", "", 1},
    TPrefixRow{"PrefixInsideTheAddressStays", "host/ftp://x", "host/ftp://x", 0},
    TPrefixRow{"SftpPrefixChoosesSftp", "sftp://host", "host", 0, "FTP", "SFTP"},
    TPrefixRow{"SecurePrefixesInAnyCase", "FTPES://h/d", "h/d", 0, "FTP", "FTPES"},
    TPrefixRow{"ImplicitTlsPrefix", "ftps://[::1]:990", "[::1]:990", 0, "SFTP", "FTPS"},
    TPrefixRow{"PlainPrefixKeepsSecureChoice", "ftp://host", "host", 1, "FTPS", "FTPS"},
    TPrefixRow{"SecureThenPlainPrefix", "sftp://ftp://host", "host", 1, "FTP", "SFTP"},
    TPrefixRow{"OtherSchemeStays", "https://host", "https://host", 0}),
    [](const ::testing::TestParamInfo<TPrefixRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

struct TNameRow
{
    const char* Name;
    QString TVandrelSettings::*Format;
    QString TVandrelSettings::*File;
    const char* FormatText;
    const char* Current;
    /// The name after the start; "<cwd>" stands for the working folder.
    const char* Expected;
};

class VandrelPrepareNamesTest : public ::testing::TestWithParam<TNameRow>
{
};

TEST_P(VandrelPrepareNamesTest, NameIsMadeFromItsFormatForToday)
{
    const TNameRow& row = GetParam();
    TVandrelSettings settings;
    settings.*row.Format = QString::fromUtf8(row.FormatText);
    settings.*row.File = QString::fromUtf8(row.Current);
    EXPECT_TRUE(PrepareLoadedSettings(settings, Today()).isEmpty());
    QString expected = QString::fromUtf8(row.Expected);
    expected.replace(QStringLiteral("<cwd>"), QDir::currentPath());
    EXPECT_EQ(settings.*row.File, expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Names, VandrelPrepareNamesTest, ::testing::Values(
    TNameRow{"BackupInTheFolderOfTheCurrentName", &TVandrelSettings::BackupNameFormat, &TVandrelSettings::BackupFilename,
             "'DB'mm-dd-yyyy'.bak'", "/srv/backup/DB01-01-2020.bak", "/srv/backup/DB03-15-2024.bak"},
    TNameRow{"BackupWithoutFolderInTheWorkingFolder", &TVandrelSettings::BackupNameFormat,
             &TVandrelSettings::BackupFilename, "'Nightly'yyyymmdd'.bak'", "", "<cwd>/Nightly20240315.bak"},
    TNameRow{"BackupWithoutFormatKept", &TVandrelSettings::BackupNameFormat, &TVandrelSettings::BackupFilename,
             "", "/srv/backup/keep.bak", "/srv/backup/keep.bak"},
    TNameRow{"ArchiveInTheFolderOfTheCurrentName", &TVandrelSettings::ArchiveDateBasedName,
             &TVandrelSettings::ArchiveFilename, "mm-dd-yyyy'.zip'", "/srv/backup/old.zip", "/srv/backup/03-15-2024.zip"},
    TNameRow{"ArchiveWithoutFormatKept", &TVandrelSettings::ArchiveDateBasedName, &TVandrelSettings::ArchiveFilename,
             "", "/srv/backup/keep.zip", "/srv/backup/keep.zip"},
    TNameRow{"FtpKeepsItsRelativeFolder", &TVandrelSettings::FTPNameFormat, &TVandrelSettings::FTPFilename,
             "'DB'mm-dd-yyyy'.bin'", "sales/old.bin", "sales/DB03-15-2024.bin"},
    TNameRow{"FtpWithoutFolderStaysBare", &TVandrelSettings::FTPNameFormat, &TVandrelSettings::FTPFilename,
             "'DB'yyyy-mm-dd'.bin'", "", "DB2024-03-15.bin"},
    TNameRow{"FtpWithoutFormatKept", &TVandrelSettings::FTPNameFormat, &TVandrelSettings::FTPFilename,
             "", "sales/keep.bin", "sales/keep.bin"}),
    [](const ::testing::TestParamInfo<TNameRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on
