// SPDX-License-Identifier: MIT
// The zip and extract steps run through the run, without any widget: a round trip, the archive-name warnings, an
// extraction failure that ends the run, an archive without the named backup, and Cancel during zipping.
#include "UZipArchive.h"
#include "VandrelStepTestSupport.h"

#include <QScopeGuard>

#include <atomic>

using namespace VandrelStepTest;

namespace {

/// Text that deflates well, aSize bytes of it.
QByteArray TextBytes(int aSize)
{
    QByteArray data;
    for (qint64 i = 0; data.size() < aSize; ++i)
        data += "row " + QByteArray::number(i * 7919 % 100003) + " amount " + QByteArray::number(i % 1000) + "\n";
    data.truncate(aSize);
    return data;
}

class VandrelArchiveStepTest : public ::testing::Test
{
protected:
    QTemporaryDir FDir;
    TStepRun FRun;

    QString Path(const QString& aName) const { return FDir.filePath(aName); }
    /// aText with "@" standing for the test's folder.
    QString Expand(QString aText) const { return aText.replace(QLatin1Char('@'), FDir.path()); }

    /// Ticks aStep and, after it, the step that consumes its output (upload after zip, restore after extract),
    /// which only records that it ran.
    std::shared_ptr<TRecordingStep> Tick(TStepIndex aStep)
    {
        if (aStep == siZip) {
            FRun.Settings.Compress = FRun.Settings.Upload = true;
            return FRun.Record(siUpload);
        }
        FRun.Settings.Extract = FRun.Settings.Restore = true;
        return FRun.Record(siRestore);
    }
};

using TArrows = QList<std::pair<TArrowDirection, int>>;

TEST_F(VandrelArchiveStepTest, ZipThenExtract_RoundTripsTheBackup)
{
    ASSERT_TRUE(FDir.isValid());
    const QByteArray backup = TextBytes(12 * 1024 * 1024);
    WriteFile(Path(QStringLiteral("bak/DB06-01-2024.bak")), backup);
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("arc"))));
    FRun.Settings.Compress = true;
    FRun.Settings.BackupFilename = Path(QStringLiteral("bak/DB06-01-2024.bak"));
    FRun.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Report(), QStringList()) << FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), roSuccess);
    EXPECT_EQ(FRun.LastProgress(), 100);
    EXPECT_TRUE(FRun.ProgressMoved()) << "the bar did not move while zipping";
    EXPECT_EQ(FRun.Arrows, (TArrows{{adUp, 48}, {adNone, 0}}));

    // Another run extracts it beside another backup name, replacing an older file of the archived name.
    TStepRun extract;
    extract.Settings.Extract = true;
    WriteFile(Path(QStringLiteral("restore/DB06-01-2024.bak")), "older file, replaced");
    extract.Settings.BackupFilename = Path(QStringLiteral("restore/x.bak"));
    extract.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(extract.RunToEnd());
    EXPECT_EQ(extract.Report(), QStringList()) << extract.ReportText();
    EXPECT_EQ(extract.Run.Outcome(), roSuccess);
    EXPECT_EQ(extract.LastProgress(), 100);
    EXPECT_EQ(extract.Arrows, (TArrows{{adDown, 48}, {adNone, 0}}));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/DB06-01-2024.bak"))), backup);
    EXPECT_EQ(QDir(Path(QStringLiteral("restore"))).entryList(QDir::Files),
              QStringList{QStringLiteral("DB06-01-2024.bak")});
}

struct TArchiveNameRow
{
    const char* Name;
    QString Archive;   ///< "@" stands for the test's folder
    QStringList Lines; ///< the report, "@" as above
    bool Failed;
};

class VandrelArchiveNameTest : public VandrelArchiveStepTest, public ::testing::WithParamInterface<TArchiveNameRow>
{
};

TEST_P(VandrelArchiveNameTest, WarningsAndWhetherTheRunGoesOn)
{
    const TArchiveNameRow& row = GetParam();
    ASSERT_TRUE(FDir.isValid());
    const QString savedDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(FDir.path()));
    const auto restoreDir = qScopeGuard([&] { QDir::setCurrent(savedDir); });
    WriteFile(Path(QStringLiteral("db.bak")), TextBytes(50000));
    const auto upload = Tick(siZip);
    FRun.Settings.BackupFilename = Path(QStringLiteral("db.bak"));
    FRun.Settings.ArchiveFilename = Expand(row.Archive);
    ASSERT_TRUE(FRun.RunToEnd());

    QStringList expected;
    for (const QString& line : row.Lines)
        expected.append(Expand(line));
    EXPECT_EQ(FRun.Report(), expected);
    ASSERT_FALSE(FRun.Lines.isEmpty());
    EXPECT_EQ(FRun.Lines.last().Failure, row.Failed);
    EXPECT_EQ(FRun.FailureLines(), row.Failed ? 1 : 0);
    EXPECT_EQ(FRun.Run.Outcome(), row.Failed ? roFailed : roSuccess);
    EXPECT_EQ(upload->Ran.load(), !row.Failed);
    EXPECT_EQ(QFileInfo::exists(Path(QStringLiteral("db.zip"))), !row.Failed);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(ArchiveNames, VandrelArchiveNameTest, ::testing::Values(
    TArchiveNameRow{"UpperCaseZipIsNotAZipAndEndsTheRun", QStringLiteral("@/db.ZIP"),
        {QStringLiteral("Warning: File for archive is not a zip. - '@/'")}, true},
    TArchiveNameRow{"NoExtensionIsNotAZip", QStringLiteral("@/db"),
        {QStringLiteral("Warning: File for archive is not a zip. - '@/'")}, true},
    TArchiveNameRow{"MissingFolderWarnsThenTheZipFails", QStringLiteral("@/missing/db.zip"),
        {QStringLiteral("Warning: File path for archive does not exists. - '@/missing/'"),
         QStringLiteral("Backup Error:Cannot create @/missing/db.zip.zipping.vandrel: No such file or directory"),
         QStringLiteral("Unable to add @/db.bak to archive @/missing/db.zip.")}, true},
    TArchiveNameRow{"QuoteInAMissingFolderIsDoubledInBothWarnings", QStringLiteral("@/it's/db.ZIP"),
        {QStringLiteral("Warning: File path for archive does not exists. - '@/it''s/'"),
         QStringLiteral("Warning: File for archive is not a zip. - '@/it''s/'")}, true},
    TArchiveNameRow{"BareNameWarnsWithEmptyQuotesAndZipsIntoTheCurrentFolder", QStringLiteral("db.zip"),
        {QStringLiteral("Warning: File path for archive does not exists. - ''")}, false}),
    [](const ::testing::TestParamInfo<TArchiveNameRow>& aInfo) { return std::string(aInfo.param.Name); });
// clang-format on

TEST_F(VandrelArchiveStepTest, DamagedArchive_EndsTheRunWithTheLibraryMessage)
{
    WriteFile(Path(QStringLiteral("arc/db.zip")), "this is not an archive");
    const auto restore = Tick(siExtract);
    FRun.Settings.BackupFilename = Path(QStringLiteral("restore/x.bak"));
    FRun.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(FRun.RunToEnd());

    const QStringList report = FRun.Report();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(report.first().startsWith(QLatin1String("Not a zip archive"))) << FRun.ReportText();
    EXPECT_TRUE(report.last().contains(Path(QStringLiteral("arc/db.zip")))) << FRun.ReportText();
    EXPECT_EQ(FRun.FailureLines(), 1);
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(restore->Ran);
    EXPECT_EQ(FRun.LastProgress(), 0);
}

TEST_F(VandrelArchiveStepTest, ZipWithoutItsBackupFile_SaysSoAndKeepsTheEarlierArchive)
{
    // No database connection is open here: the step must not need one to say what is missing.
    WriteFile(Path(QStringLiteral("arc/db.zip")), "yesterday's archive");
    const auto upload = Tick(siZip);
    FRun.Settings.BackupFilename = Path(QStringLiteral("bak/missing.bak"));
    FRun.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Report(),
              QStringList{QStringLiteral("Backup Error:The backup file '%1' does not exist: there is nothing to zip.")
                              .arg(Path(QStringLiteral("bak/missing.bak")))})
        << FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(upload->Ran);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("arc/db.zip"))), QByteArray("yesterday's archive"));
}

TEST_F(VandrelArchiveStepTest, ExtractWithoutTheNamedBackup_EndsBeforeTheRestore)
{
    WriteFile(Path(QStringLiteral("bak/other.bak")), "a backup of another name");
    const std::atomic<bool> running{true};
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("arc"))));
    UZipArchive::AddFile(Path(QStringLiteral("arc/db.zip")), Path(QStringLiteral("bak/other.bak")), running);
    WriteFile(Path(QStringLiteral("restore/x.bak")), "last week's backup");
    const auto restore = Tick(siExtract);
    FRun.Settings.BackupFilename = Path(QStringLiteral("restore/x.bak"));
    FRun.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(FRun.RunToEnd());

    EXPECT_EQ(FRun.Report(),
              QStringList{QStringLiteral("The archive holds no file named 'x.bak': the restore would read an older "
                                         "file.")});
    EXPECT_EQ(FRun.FailureLines(), 1);
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(restore->Ran);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/other.bak"))), QByteArray("a backup of another name"));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/x.bak"))), QByteArray("last week's backup"));
}

TEST_F(VandrelArchiveStepTest, EncryptedArchive_ExtractsWithThePasswordOnlyAndUntickedIsPlain)
{
    const QByteArray backup = TextBytes(200000);
    WriteFile(Path(QStringLiteral("bak/db.bak")), backup);
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("arc"))));
    const auto zip = [&](bool aEncrypt, const QString& aPassword, const QString& aArchive) {
        TStepRun run;
        run.Settings.Compress = true;
        run.Settings.EncryptArchive = aEncrypt;
        run.Settings.ArchivePassword = aPassword;
        run.Settings.BackupFilename = Path(QStringLiteral("bak/db.bak"));
        run.Settings.ArchiveFilename = Path(aArchive);
        EXPECT_TRUE(run.RunToEnd());
        EXPECT_EQ(run.Run.Outcome(), roSuccess) << run.ReportText();
        return run.Report();
    };
    const std::atomic<bool> running{true};
    // Unticked, a password left in the field changes nothing; ticked without a password, the run says so.
    EXPECT_EQ(zip(false, QStringLiteral("old secret"), QStringLiteral("arc/plain.zip")), QStringList());
    EXPECT_EQ(zip(true, QString(), QStringLiteral("arc/empty.zip")),
              QStringList{QStringLiteral("Warning: the archive is not encrypted: the archive password is empty.")});
    for (const char* plain : {"arc/plain.zip", "arc/empty.zip"})
        EXPECT_NO_THROW(UZipArchive::ExtractAll(Path(QLatin1String(plain)), Path(QStringLiteral("plain")), running));
    EXPECT_EQ(zip(true, QStringLiteral("s3cret"), QStringLiteral("arc/db.zip")), QStringList());

    // The wrong password ends the run before the restore, and the older backup is untouched.
    WriteFile(Path(QStringLiteral("restore/db.bak")), "last week's backup");
    const auto restore = Tick(siExtract);
    FRun.Settings.ArchivePassword = QStringLiteral("S3cret");
    FRun.Settings.BackupFilename = Path(QStringLiteral("restore/db.bak"));
    FRun.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(FRun.RunToEnd());
    EXPECT_EQ(FRun.Report(), QStringList{UZipArchive::cWrongPassword});
    EXPECT_EQ(FRun.Run.Outcome(), roFailed);
    EXPECT_FALSE(restore->Ran);
    EXPECT_EQ(QDir(Path(QStringLiteral("restore"))).entryList(QDir::Files), QStringList{QStringLiteral("db.bak")});
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/db.bak"))), QByteArray("last week's backup"));

    // The password extracts it, ticked or not.
    TStepRun extract;
    extract.Settings.Extract = true;
    extract.Settings.ArchivePassword = QStringLiteral("s3cret");
    extract.Settings.BackupFilename = Path(QStringLiteral("restore/db.bak"));
    extract.Settings.ArchiveFilename = Path(QStringLiteral("arc/db.zip"));
    ASSERT_TRUE(extract.RunToEnd());
    EXPECT_EQ(extract.Report(), QStringList()) << extract.ReportText();
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/db.bak"))), backup);
}

TEST_F(VandrelArchiveStepTest, CancelWhileZipping_StopsTheWorkerKeepsTheEarlierArchiveAndClearsTheBar)
{
    const QString backup = Path(QStringLiteral("db.bak"));
    const QString archive = Path(QStringLiteral("db.zip"));
    const std::atomic<bool> running{true};
    WriteFile(backup, TextBytes(10000));
    UZipArchive::AddFile(archive, backup, running);
    const QByteArray earlier = ReadFile(archive);
    WriteFile(backup, TextBytes(48 * 1024 * 1024));

    const auto upload = Tick(siZip);
    const auto zip = FRun.Watch(siZip);
    FRun.Settings.BackupFilename = backup;
    FRun.Settings.ArchiveFilename = archive;
    // Cancel as soon as the bar moves.
    int progressAtCancel = -1;
    QObject::connect(&FRun.Run, &TVandrelRun::ProgressChanged, [&](int aPercent) {
        if (aPercent > 0 && progressAtCancel < 0) {
            progressAtCancel = aPercent;
            FRun.Run.Cancel();
        }
    });
    bool zipBusyAtEnd = true;
    QObject::connect(&FRun.Run, &TVandrelRun::Finished, [&] { zipBusyAtEnd = zip->Busy; });
    ASSERT_TRUE(FRun.RunToEnd());

    ASSERT_GT(progressAtCancel, 0);
    EXPECT_LT(progressAtCancel, 100) << "the zip ended before Cancel";
    EXPECT_EQ(FRun.Report(), QStringList()) << FRun.ReportText();
    EXPECT_EQ(FRun.Run.Outcome(), roCancelled);
    EXPECT_FALSE(zipBusyAtEnd) << "the run ended without waiting for the zip to stop";
    EXPECT_EQ(FRun.LastProgress(), 0) << "the bar still shows the cancelled zip's share";
    EXPECT_FALSE(upload->Ran);
    ASSERT_TRUE(TProcThread::WaitForAll(20000));
    EXPECT_EQ(ReadFile(archive), earlier);
    // Nothing of the cancelled zip is left beside the archive.
    EXPECT_EQ(QDir(QFileInfo(archive).path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("db.bak"), QStringLiteral("db.zip")}));
}

} // namespace
