// SPDX-License-Identifier: MIT
#include "UZipArchive.h"

#include "EVandrel.h"
#include "UHandles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

using TZip = THandle<zip_t, &zip_discard>;

QByteArray TextBytes(int aSize)
{
    QByteArray data;
    for (int i = 0; data.size() < aSize; ++i)
        data += "row " + QByteArray::number(i) + " customer " + QByteArray::number(i % 97) + " amount 1250.00\n";
    data.truncate(aSize);
    return data;
}

QByteArray RandomBytes(int aSize)
{
    QByteArray data(aSize, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& c : data)
        c = static_cast<char>(generator.generate() & 0xFF);
    return data;
}

void WriteFile(const QString& aName, const QByteArray& aData)
{
    QDir().mkpath(QFileInfo(aName).path());
    QFile file(aName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(aData), aData.size());
}

QByteArray ReadFile(const QString& aName)
{
    QFile file(aName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct TEntryInfo
{
    QString Name;
    int Method;
    qint64 Size;
};

std::vector<TEntryInfo> Entries(const QString& aArchive)
{
    std::vector<TEntryInfo> list;
    int code = 0;
    TZip archive(zip_open(QFile::encodeName(aArchive).constData(), ZIP_RDONLY, &code));
    if (!archive)
        return list;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive.get(), 0); ++i) {
        zip_stat_t st;
        zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st);
        list.push_back({QString::fromUtf8(st.name), st.comp_method, static_cast<qint64>(st.size)});
    }
    return list;
}

// An archive written by libzip directly, with entry names the engine would never write.
void MakeArchive(const QString& aArchive, const std::vector<std::pair<QByteArray, QByteArray>>& aEntries)
{
    int code = 0;
    TZip archive(zip_open(QFile::encodeName(aArchive).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code));
    ASSERT_TRUE(archive);
    for (const auto& [name, data] : aEntries) {
        zip_source_t* source = zip_source_buffer(archive.get(), data.constData(), data.size(), 0);
        ASSERT_GE(zip_file_add(archive.get(), name.constData(), source, 0), 0);
    }
    ASSERT_EQ(zip_close(archive.get()), 0);
    (void)archive.release();
}

QStringList TreeList(const QString& aDir)
{
    QStringList names;
    QDir dir(aDir);
    for (const QFileInfo& info : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        names << info.fileName();
        if (info.isDir())
            for (const QString& sub : TreeList(info.filePath()))
                names << info.fileName() + QLatin1Char('/') + sub;
    }
    return names;
}

// Everything under aDir, sorted, separated by spaces ("" for an empty or missing directory).
std::string Tree(const QString& aDir)
{
    return TreeList(aDir).join(QLatin1Char(' ')).toStdString();
}

QString ErrorOf(const std::function<void()>& aCall)
{
    try {
        aCall();
    } catch (const EVandrel& e) {
        return e.Message();
    }
    return {};
}

class UZipArchiveTest : public ::testing::Test
{
protected:
    QString Path(const QString& aName) const { return FDir.filePath(aName); }
    QTemporaryDir FDir;
    std::atomic<bool> FRunning{true};
};

TEST_F(UZipArchiveTest, RoundTrip_DeflatesTextStoresRandomAndKeepsBytes)
{
    const QByteArray text = TextBytes(3 * 1024 * 1024);
    const QByteArray random = RandomBytes(2 * 1024 * 1024);
    WriteFile(Path(QStringLiteral("bak/DB06-01-2024.bak")), text);
    WriteFile(Path(QStringLiteral("bak/random.bak")), random);
    const QString archive = Path(QStringLiteral("db.zip"));

    std::vector<int> percents;
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/DB06-01-2024.bak")), FRunning, [&](int aPercent) {
        percents.push_back(aPercent);
    });
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/random.bak")), FRunning);

    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    // Blocks are deflated on several threads at once: progress still moves in small steps, not block by block.
    std::vector<int> steps(percents.size());
    std::adjacent_difference(percents.begin(), percents.end(), steps.begin());
    EXPECT_LE(*std::max_element(steps.begin(), steps.end()), 5) << "progress should move in small steps";

    const auto entries = Entries(archive);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, QStringLiteral("DB06-01-2024.bak"));
    EXPECT_EQ(entries[0].Method, ZIP_CM_DEFLATE);
    EXPECT_EQ(entries[1].Name, QStringLiteral("random.bak"));
    EXPECT_EQ(entries[1].Method, ZIP_CM_STORE);

    std::vector<int> extractPercents;
    UZipArchive::ExtractAll(
        archive, Path(QStringLiteral("restore")), FRunning, [&](int aPercent) { extractPercents.push_back(aPercent); });
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/DB06-01-2024.bak"))), text);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("restore/random.bak"))), random);
    EXPECT_EQ(Tree(Path(QStringLiteral("restore"))), "DB06-01-2024.bak random.bak");
    ASSERT_FALSE(extractPercents.empty());
    EXPECT_EQ(extractPercents.back(), 100);
}

// Looks like a database backup: 64 KiB extents of text rows and of incompressible bytes, mixed.
QByteArray BackupLikeBytes(int aSize)
{
    const int extent = 64 * 1024;
    const QByteArray text = TextBytes(aSize);
    const QByteArray random = RandomBytes(aSize);
    QByteArray data;
    QRandomGenerator generator(7);
    while (data.size() < aSize)
        data += (generator.bounded(2) == 0 ? text : random).mid(data.size(), extent);
    data.truncate(aSize);
    return data;
}

// Size of the data deflated as one stream, at the level the archive uses.
qint64 SingleStreamDeflatedSize(const QByteArray& aData)
{
    z_stream stream = {};
    deflateInit2(&stream, UZipArchive::cDeflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<Bytef> out(deflateBound(&stream, static_cast<uLong>(aData.size())));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData.constData()));
    stream.avail_in = static_cast<uInt>(aData.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    const auto size = static_cast<qint64>(stream.total_out);
    deflateEnd(&stream);
    return size;
}

// A large file is deflated in blocks on several threads: the blocks join into one standard deflate stream with the
// right CRC (libzip checks it when extracting, unzip -t too), barely larger than a single stream's.
TEST_F(UZipArchiveTest, ParallelDeflate_JoinsBlocksIntoOneStandardStream)
{
    const QByteArray data = BackupLikeBytes(5 * 1024 * 1024 + 12345);
    const QString backup = Path(QStringLiteral("db.bak"));
    const QString archive = Path(QStringLiteral("db.zip"));
    WriteFile(backup, data);
    UZipArchive::AddFile(archive, backup, FRunning);

    const auto entries = Entries(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Method, ZIP_CM_DEFLATE);
    EXPECT_EQ(entries[0].Size, data.size());
    const qint64 single = SingleStreamDeflatedSize(data);
    EXPECT_LT(static_cast<double>(UZipArchive::FileSize(archive)), static_cast<double>(single) * 1.005 + 200)
        << "single stream " << single;
    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    if (!unzip.isEmpty()) {
        QProcess test;
        test.start(unzip, {QStringLiteral("-tq"), archive});
        ASSERT_TRUE(test.waitForFinished(30000));
        EXPECT_EQ(test.exitCode(), 0) << test.readAllStandardOutput().toStdString();
    }
    UZipArchive::ExtractAll(archive, Path(QStringLiteral("out")), FRunning);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out/db.bak"))), data);
}

TEST_F(UZipArchiveTest, ZipTwice_ReplacesTheEntry)
{
    const QString backup = Path(QStringLiteral("db.bak"));
    const QString archive = Path(QStringLiteral("db.zip"));
    WriteFile(backup, TextBytes(10000));
    UZipArchive::AddFile(archive, backup, FRunning);
    const QByteArray second = TextBytes(20000).right(15000);
    WriteFile(backup, second);
    UZipArchive::AddFile(archive, backup, FRunning);

    const auto entries = Entries(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Size, second.size());
    UZipArchive::ExtractAll(archive, Path(QStringLiteral("out")), FRunning);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out/db.bak"))), second);
}

TEST_F(UZipArchiveTest, CancelWhileZipping_KeepsTheEarlierArchive)
{
    const QString backup = Path(QStringLiteral("db.bak"));
    const QString archive = Path(QStringLiteral("db.zip"));
    WriteFile(backup, TextBytes(5000));
    UZipArchive::AddFile(archive, backup, FRunning);
    const QByteArray earlier = ReadFile(archive);
    WriteFile(backup, RandomBytes(4 * 1024 * 1024));

    const QString error = ErrorOf([&] {
        UZipArchive::AddFile(archive, backup, FRunning, [&](int aPercent) {
            if (aPercent >= 10)
                FRunning = false;
        });
    });
    EXPECT_TRUE(error.startsWith(QStringLiteral("Operation cancelled"))) << error.toStdString();
    EXPECT_EQ(ReadFile(archive), earlier);
    EXPECT_EQ(Tree(FDir.path()), "db.bak db.zip");
}

TEST_F(UZipArchiveTest, CancelWhileDeflating_StopsTheThreadsAndKeepsTheEarlierArchive)
{
    const QString backup = Path(QStringLiteral("db.bak"));
    const QString archive = Path(QStringLiteral("db.zip"));
    WriteFile(backup, TextBytes(5000));
    UZipArchive::AddFile(archive, backup, FRunning);
    const QByteArray earlier = ReadFile(archive);
    WriteFile(backup, BackupLikeBytes(16 * 1024 * 1024));

    int last = 0;
    const QString error = ErrorOf([&] {
        UZipArchive::AddFile(archive, backup, FRunning, [&](int aPercent) {
            last = aPercent;
            if (aPercent >= 10)
                FRunning = false;
        });
    });
    EXPECT_TRUE(error.startsWith(QStringLiteral("Operation cancelled"))) << error.toStdString();
    EXPECT_LT(last, 20) << "the work went on after the cancel";
    EXPECT_EQ(ReadFile(archive), earlier);
    EXPECT_EQ(Tree(FDir.path()), "db.bak db.zip");
}

TEST_F(UZipArchiveTest, CancelWhileExtracting_ChangesNoFile)
{
    const QString archive = Path(QStringLiteral("two.zip"));
    const QByteArray big = RandomBytes(6 * 1024 * 1024);
    MakeArchive(archive, {{"a.txt", "first"}, {"b.bak", big}});
    const QString target = Path(QStringLiteral("out"));
    WriteFile(target + QStringLiteral("/b.bak"), "good old file");

    const QString error = ErrorOf([&] {
        UZipArchive::ExtractAll(archive, target, FRunning, [&](int aPercent) {
            if (aPercent >= 30)
                FRunning = false;
        });
    });
    EXPECT_TRUE(error.startsWith(QStringLiteral("Operation cancelled"))) << error.toStdString();
    // The complete first file waited beside its name and went with the cancel.
    EXPECT_EQ(ReadFile(target + QStringLiteral("/b.bak")), QByteArray("good old file"));
    EXPECT_EQ(Tree(target), "b.bak");
}

struct TUnsafeCase
{
    const char* Name;
    QByteArray Entry; // "@" stands for the test's directory
};

class UZipArchiveUnsafeTest : public UZipArchiveTest, public ::testing::WithParamInterface<TUnsafeCase>
{
};

TEST_P(UZipArchiveUnsafeTest, ExtractRefusesAndWritesNothing)
{
    QByteArray entry = GetParam().Entry;
    entry.replace('@', QFile::encodeName(FDir.path()));
    const QString archive = Path(QStringLiteral("evil.zip"));
    MakeArchive(archive, {{"good.txt", "fine"}, {entry, "escaped"}});
    const QString target = Path(QStringLiteral("a/b/target"));

    const QString error = ErrorOf([&] { UZipArchive::ExtractAll(archive, target, FRunning); });
    EXPECT_TRUE(error.startsWith(QStringLiteral("Unsafe entry"))) << error.toStdString();
    EXPECT_EQ(Tree(FDir.path()), "evil.zip");
}

// clang-format off
const TUnsafeCase UnsafeCases[] = {
    {"ParentDirectory", "../evil.txt"},
    {"ClimbsAfterDescending", "sub/../../../evil.txt"},
    {"BackslashParent", "..\\..\\evil.txt"},
    {"AbsolutePath", "@/evil.txt"},
    {"DriveLetter", "C:/evil.txt"},
    {"LineBreak", "evil\n.txt"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(UnsafeEntries, UZipArchiveUnsafeTest, ::testing::ValuesIn(UnsafeCases), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST_F(UZipArchiveTest, DamagedArchives_FailWithLibzipMessageAndLeaveNoFile)
{
    const QString good = Path(QStringLiteral("good.zip"));
    MakeArchive(good, {{"db.bak", RandomBytes(100000)}});
    const QByteArray bytes = ReadFile(good);
    QByteArray flipped = bytes;
    flipped[50000] = static_cast<char>(flipped[50000] ^ 0x55);

    const struct
    {
        const char* Name;
        QByteArray Data;
        const char* Message;
    } cases[] = {
        {"not a zip", "this is plain text, not an archive", "Not a zip archive"},
        {"truncated", bytes.left(bytes.size() / 2), "Not a zip archive"},
        {"data byte changed", flipped, "CRC error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString archive = Path(QStringLiteral("damaged.zip"));
        WriteFile(archive, c.Data);
        const QString target = Path(QStringLiteral("out"));
        const QString error = ErrorOf([&] { UZipArchive::ExtractAll(archive, target, FRunning); });
        EXPECT_TRUE(error.startsWith(QLatin1String(c.Message))) << error.toStdString();
        EXPECT_TRUE(error.contains(archive)) << error.toStdString();
        EXPECT_EQ(Tree(target), "");
    }
}

TEST_F(UZipArchiveTest, AddFile_MissingBackupFailsWithoutTouchingTheArchive)
{
    const QString error = ErrorOf(
        [&] { UZipArchive::AddFile(Path(QStringLiteral("db.zip")), Path(QStringLiteral("none.bak")), FRunning); });
    EXPECT_EQ(error.section(QStringLiteral("\r\n"), 0, 0),
              QStringLiteral("Can't open file: No such file or directory"));
    EXPECT_EQ(Tree(FDir.path()), "");
    EXPECT_EQ(UZipArchive::FileSize(Path(QStringLiteral("none.bak"))), -1);
}

TEST_F(UZipArchiveTest, Estimate_IsCloseToTheArchiveWritten)
{
    const struct
    {
        const char* Name;
        QByteArray Data;
    } cases[] = {
        {"small text, deflated whole", TextBytes(300000)},
        {"large text, sampled", TextBytes(5 * 1024 * 1024)},
        {"random, stored", RandomBytes(3 * 1024 * 1024)},
        {"text then random", TextBytes(2 * 1024 * 1024) + RandomBytes(2 * 1024 * 1024)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString backup = Path(QStringLiteral("db.bak"));
        const QString archive = Path(QStringLiteral("db.zip"));
        QFile::remove(archive);
        WriteFile(backup, c.Data);
        EXPECT_EQ(UZipArchive::FileSize(backup), c.Data.size());
        const qint32 estimateKiB = UZipArchive::EstimateArchiveKiB(backup);
        UZipArchive::AddFile(archive, backup, FRunning);
        const double actualKiB = UZipArchive::FileSize(archive) / 1024.0;
        EXPECT_NEAR(estimateKiB / actualKiB, 1.0, 0.1) << estimateKiB << " KiB estimated, " << actualKiB << " written";
    }
}

// Other tools read what we write, and we read what they write.
TEST_F(UZipArchiveTest, Interop_UnzipTestsOurArchiveAndWeExtractZipToolArchives)
{
    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    const QString zip = QStandardPaths::findExecutable(QStringLiteral("zip"));
    if (unzip.isEmpty() || zip.isEmpty())
        GTEST_SKIP() << "zip/unzip not installed (scripts/install-deps.sh installs them)";

    WriteFile(Path(QStringLiteral("src/text.bak")), TextBytes(400000));
    WriteFile(Path(QStringLiteral("src/random.bak")), RandomBytes(300000));
    const QString ours = Path(QStringLiteral("ours.zip"));
    UZipArchive::AddFile(ours, Path(QStringLiteral("src/text.bak")), FRunning);
    UZipArchive::AddFile(ours, Path(QStringLiteral("src/random.bak")), FRunning);
    QProcess test;
    test.start(unzip, {QStringLiteral("-t"), ours});
    ASSERT_TRUE(test.waitForFinished(30000));
    EXPECT_EQ(test.exitCode(), 0) << test.readAllStandardOutput().toStdString();

    QProcess make;
    make.setWorkingDirectory(Path(QStringLiteral("src")));
    make.start(zip,
               {QStringLiteral("-r"), QStringLiteral("-q"), Path(QStringLiteral("tool.zip")), QStringLiteral(".")});
    ASSERT_TRUE(make.waitForFinished(30000));
    ASSERT_EQ(make.exitCode(), 0);
    WriteFile(Path(QStringLiteral("out/text.bak")), "stale file to be replaced");
    UZipArchive::ExtractAll(Path(QStringLiteral("tool.zip")), Path(QStringLiteral("out")), FRunning);
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out/text.bak"))), ReadFile(Path(QStringLiteral("src/text.bak"))));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out/random.bak"))), ReadFile(Path(QStringLiteral("src/random.bak"))));
}

/// The permission bits of a file.
mode_t Mode(const QString& aName)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(aName).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(UZipArchiveTest, Files_ArchiveIsTheOwnersAndTheExtractedBackupThatOfTheFoldersGroup)
{
    const mode_t previous = ::umask(022);
    TFinally restoreMask([previous]() noexcept { ::umask(previous); });
    WriteFile(Path(QStringLiteral("bak/db.bak")), TextBytes(100000));
    const QString archive = Path(QStringLiteral("db.zip"));
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/db.bak")), FRunning);
    EXPECT_EQ(Mode(archive), mode_t(0600));
    // An earlier archive readable by everyone is replaced by one that is not.
    ::chmod(QFile::encodeName(archive).constData(), 0644);
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/db.bak")), FRunning);
    EXPECT_EQ(Mode(archive), mode_t(0600));

    // The database server's account reads the extracted backup through the group of its folder.
    const QString target = Path(QStringLiteral("restore"));
    ASSERT_TRUE(QDir().mkpath(target));
    const gid_t group = ::getegid() == 0 ? 1 : ::getegid();
    ASSERT_EQ(::chown(QFile::encodeName(target).constData(), static_cast<uid_t>(-1), group), 0);
    UZipArchive::ExtractAll(archive, target, FRunning);
    const QString extracted = target + QStringLiteral("/db.bak");
    EXPECT_EQ(Mode(extracted), mode_t(0640));
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(extracted).constData(), &info), 0);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(Tree(target), "db.bak");
}

TEST_F(UZipArchiveTest, Leftovers_AKilledZipsFolderGoesAndTheArchiveStays)
{
    WriteFile(Path(QStringLiteral("bak/db.bak")), TextBytes(50000));
    const QString archive = Path(QStringLiteral("db.zip"));
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/db.bak")), FRunning);
    const QByteArray before = ReadFile(archive);
    // What a run killed in the middle of a zip leaves: its work folder with libzip's half-written file in it.
    WriteFile(UZipArchive::WorkFolder(archive) + QStringLiteral("/db.zip.a1B2c3"), "half an archive");
    WriteFile(Path(QStringLiteral("db.zip.backup")), "a user's copy");
    EXPECT_EQ(UZipArchive::RemoveLeftovers(archive), UZipArchive::WorkFolder(archive));
    EXPECT_EQ(UZipArchive::RemoveLeftovers(archive), QString());
    EXPECT_EQ(ReadFile(archive), before);
    EXPECT_EQ(Tree(Path(QString())), "bak bak/db.bak db.zip db.zip.backup");
}

TEST_F(UZipArchiveTest, Extract_AWriteThatFailsSaysWhyAndLeavesNoPartialFile)
{
    WriteFile(Path(QStringLiteral("bak/db.bak")), RandomBytes(2 * 1024 * 1024));
    const QString archive = Path(QStringLiteral("db.zip"));
    UZipArchive::AddFile(archive, Path(QStringLiteral("bak/db.bak")), FRunning);
    // A file-size limit makes the write fail as a full disk would, without a file system of the test's own.
    struct rlimit previous = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = previous;
    limited.rlim_cur = 512 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    TFinally restore([&]() noexcept {
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::signal(SIGXFSZ, oldHandler);
    });
    try {
        UZipArchive::ExtractAll(archive, Path(QStringLiteral("out")), FRunning);
        ADD_FAILURE() << "the extraction wrote past the limit";
    } catch (const EVandrel& e) {
        EXPECT_TRUE(e.Message().contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << e.what();
    }
    EXPECT_EQ(Tree(Path(QStringLiteral("out"))), "");
}

/// aValue as aBytes little-endian bytes.
QByteArray LittleEndian(quint64 aValue, int aBytes)
{
    QByteArray bytes;
    for (int i = 0; i < aBytes; ++i)
        bytes.append(static_cast<char>((aValue >> (8 * i)) & 0xFF));
    return bytes;
}

/// A one-entry archive made by hand: aData stored under aName, its size declared as aDeclared (in a ZIP64 extra
/// field when it needs one), as a tool that lies about sizes would write it.
QByteArray HandMadeArchive(const QByteArray& aName, const QByteArray& aData, quint64 aDeclared)
{
    const bool zip64 = aDeclared >= 0xFFFFFFFFULL;
    const auto crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(aData.constData()), static_cast<uInt>(aData.size())));
    const QByteArray extra =
        zip64 ? LittleEndian(1, 2) + LittleEndian(16, 2) + LittleEndian(aDeclared, 8) + LittleEndian(aData.size(), 8)
              : QByteArray();
    const quint64 size32 = zip64 ? 0xFFFFFFFFULL : aDeclared;
    const quint64 comp32 = zip64 ? 0xFFFFFFFFULL : static_cast<quint64>(aData.size());
    const QByteArray common = LittleEndian(zip64 ? 45 : 20, 2) + LittleEndian(0, 2) + LittleEndian(0, 2) +
                              LittleEndian(0, 2) + LittleEndian(0x21, 2) + LittleEndian(crc, 4) +
                              LittleEndian(comp32, 4) + LittleEndian(size32, 4) + LittleEndian(aName.size(), 2) +
                              LittleEndian(extra.size(), 2);
    const QByteArray local = LittleEndian(0x04034b50, 4) + common + aName + extra + aData;
    const QByteArray central = LittleEndian(0x02014b50, 4) + LittleEndian((3 << 8) | 45, 2) + common +
                               LittleEndian(0, 2) + LittleEndian(0, 2) + LittleEndian(0, 2) +
                               LittleEndian(0100644ULL << 16, 4) + LittleEndian(0, 4) + aName + extra;
    const QByteArray end = LittleEndian(0x06054b50, 4) + LittleEndian(0, 2) + LittleEndian(0, 2) + LittleEndian(1, 2) +
                           LittleEndian(1, 2) + LittleEndian(central.size(), 4) + LittleEndian(local.size(), 4) +
                           LittleEndian(0, 2);
    return local + central + end;
}

TEST_F(UZipArchiveTest, Extract_AllOrNothing_AFailureAtALaterEntryReplacesNoFile)
{
    const QString target = Path(QStringLiteral("out"));
    const QString good = Path(QStringLiteral("good.zip"));
    MakeArchive(good, {{"a.txt", "new a"}, {"Sales.bak", RandomBytes(200000)}});
    QByteArray damaged = ReadFile(good);
    damaged[damaged.size() - 100000] = static_cast<char>(damaged[damaged.size() - 100000] ^ 0x55);
    const QString clash = Path(QStringLiteral("clash.zip"));
    MakeArchive(clash, {{"a.txt", "new a"}, {"./a.txt", "another a"}});
    const QString fileAndFolder = Path(QStringLiteral("both.zip"));
    MakeArchive(fileAndFolder, {{"a.txt", "new a"}, {"Sales.bak", "x"}, {"Sales.bak/inner", "y"}});
    const struct
    {
        const char* Name;
        QString Archive;
        const char* Message;
    } cases[] = {
        {"CRC error in the second entry", Path(QStringLiteral("damaged.zip")), "CRC error"},
        {"the same path twice", clash, "Entry path './a.txt': the archive holds 'a.txt' twice"},
        {"a path both file and folder", fileAndFolder, "Entry path 'Sales.bak/inner': the archive holds 'Sales.bak'"},
    };
    WriteFile(Path(QStringLiteral("damaged.zip")), damaged);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteFile(target + QStringLiteral("/a.txt"), "old a");
        WriteFile(target + QStringLiteral("/Sales.bak"), "the good old backup");
        const QString error = ErrorOf([&] { UZipArchive::ExtractAll(c.Archive, target, FRunning); });
        EXPECT_TRUE(error.startsWith(QLatin1String(c.Message))) << error.toStdString();
        EXPECT_EQ(ReadFile(target + QStringLiteral("/a.txt")), QByteArray("old a"));
        EXPECT_EQ(ReadFile(target + QStringLiteral("/Sales.bak")), QByteArray("the good old backup"));
        EXPECT_EQ(Tree(target), "a.txt Sales.bak");
    }
}

TEST_F(UZipArchiveTest, Extract_SizesAreLimits_TheFreeSpaceAndWhatAnEntryDeclares)
{
    const QString target = Path(QStringLiteral("out"));
    // More declared than any test volume has: refused before anything is written, with both figures.
    const QString huge = Path(QStringLiteral("huge.zip"));
    constexpr quint64 cPebibyte = 1ULL << 50;
    WriteFile(huge, HandMadeArchive("db.bak", "tiny", cPebibyte));
    const QString refused = ErrorOf([&] { UZipArchive::ExtractAll(huge, target, FRunning); });
    EXPECT_TRUE(refused.startsWith(QStringLiteral("The archive's files take %1 bytes, but only ").arg(cPebibyte)))
        << refused.toStdString();
    EXPECT_TRUE(refused.contains(QStringLiteral(" bytes are free in %1.").arg(target))) << refused.toStdString();
    EXPECT_EQ(Tree(target), "");

    // An entry that holds more than its header says is stopped, not written to its end.
    const QString lying = Path(QStringLiteral("lying.zip"));
    WriteFile(lying, HandMadeArchive("db.bak", QByteArray(3 * 1024 * 1024, 'z'), 4096));
    const QString stopped = ErrorOf([&] { UZipArchive::ExtractAll(lying, target, FRunning); });
    EXPECT_TRUE(stopped.startsWith(QStringLiteral("The entry holds more than the 4096 bytes the archive declares")))
        << stopped.toStdString();
    EXPECT_EQ(Tree(target), "");
}

TEST_F(UZipArchiveTest, Extract_SymbolicLinkEntry_Refused)
{
    const QString archive = Path(QStringLiteral("link.zip"));
    {
        int code = 0;
        TZip zip(zip_open(QFile::encodeName(archive).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code));
        ASSERT_TRUE(zip);
        static const char target[] = "/etc/passwd";
        zip_source_t* source = zip_source_buffer(zip.get(), target, std::strlen(target), 0);
        const zip_int64_t index = zip_file_add(zip.get(), "db.bak", source, 0);
        ASSERT_GE(index, 0);
        ASSERT_EQ(zip_file_set_external_attributes(
                      zip.get(), static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777U) << 16),
                  0);
        ASSERT_EQ(zip_close(zip.get()), 0);
        (void)zip.release();
    }
    const QString target = Path(QStringLiteral("out"));
    const QString error = ErrorOf([&] { UZipArchive::ExtractAll(archive, target, FRunning); });
    EXPECT_TRUE(error.startsWith(QStringLiteral("Entry 'db.bak' is a symbolic link"))) << error.toStdString();
    EXPECT_EQ(Tree(target), "");
}

/// The encryption method of each entry, in order.
std::vector<int> EncryptionMethods(const QString& aArchive)
{
    std::vector<int> methods;
    int code = 0;
    TZip archive(zip_open(QFile::encodeName(aArchive).constData(), ZIP_RDONLY, &code));
    for (zip_int64_t i = 0; archive && i < zip_get_num_entries(archive.get(), 0); ++i) {
        zip_stat_t st;
        zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st);
        methods.push_back(st.encryption_method);
    }
    return methods;
}

TEST_F(UZipArchiveTest, Encrypted_OpensWithItsPasswordOnlyAndAWrongOneWritesNothing)
{
    const QByteArray text = TextBytes(300000);
    WriteFile(Path(QStringLiteral("bak/db.bak")), text);
    const QString encrypted = Path(QStringLiteral("encrypted.zip"));
    const QString plain = Path(QStringLiteral("plain.zip"));
    UZipArchive::AddFile(encrypted, Path(QStringLiteral("bak/db.bak")), FRunning, {}, QStringLiteral("s3cret pass"));
    UZipArchive::AddFile(plain, Path(QStringLiteral("bak/db.bak")), FRunning);
    EXPECT_EQ(EncryptionMethods(encrypted), std::vector<int>{ZIP_EM_AES_256});
    EXPECT_EQ(EncryptionMethods(plain), std::vector<int>{ZIP_EM_NONE});
    EXPECT_FALSE(ReadFile(encrypted).contains("customer 1")) << "the entry is readable without the password";

    for (const QString& password : {QString(), QStringLiteral("wrong"), QStringLiteral("s3cret pas")}) {
        EXPECT_EQ(
            ErrorOf([&] { UZipArchive::ExtractAll(encrypted, Path(QStringLiteral("out")), FRunning, {}, password); }),
            UZipArchive::cWrongPassword)
            << password.toStdString();
        EXPECT_EQ(Tree(Path(QStringLiteral("out"))), "") << password.toStdString();
    }
    UZipArchive::ExtractAll(encrypted, Path(QStringLiteral("out")), FRunning, {}, QStringLiteral("s3cret pass"));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out/db.bak"))), text);
    // A password for an archive that is not encrypted is not needed, and does no harm.
    UZipArchive::ExtractAll(plain, Path(QStringLiteral("out2")), FRunning, {}, QStringLiteral("s3cret pass"));
    EXPECT_EQ(ReadFile(Path(QStringLiteral("out2/db.bak"))), text);
}

TEST_F(UZipArchiveTest, Interop_SevenZipOpensTheEncryptedArchiveWithThePasswordAndNotWithout)
{
    const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7z"));
    if (sevenZip.isEmpty())
        GTEST_SKIP() << "7z not installed (scripts/install-deps.sh installs p7zip-full)";
    const auto run = [&](const QStringList& aArguments, QString* aOutput = nullptr) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(sevenZip, aArguments);
        process.closeWriteChannel(); // a password prompt reads the end of its input
        EXPECT_TRUE(process.waitForFinished(60000));
        if (aOutput)
            *aOutput = QString::fromLocal8Bit(process.readAll());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };
    // Deflated in one block, deflated in several blocks (the key stream runs on across them) and stored.
    const struct
    {
        const char* Name;
        QByteArray Data;
    } cases[] = {{"one block", TextBytes(200000) + RandomBytes(100000)},
                 {"several blocks", TextBytes(3 * 1024 * 1024 + 12345) + RandomBytes(70000)},
                 {"stored", RandomBytes(300000)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString folder = Path(QString::fromLatin1(c.Name));
        QDir().mkpath(folder + QStringLiteral("/bak"));
        WriteFile(folder + QStringLiteral("/bak/db.bak"), c.Data);
        const QString archive = folder + QStringLiteral("/db.zip");
        UZipArchive::AddFile(
            archive, folder + QStringLiteral("/bak/db.bak"), FRunning, {}, QStringLiteral("Pa55-word!"));

        QString listing;
        EXPECT_EQ(run({QStringLiteral("l"), QStringLiteral("-slt"), archive}, &listing), 0);
        EXPECT_TRUE(listing.contains(QLatin1String("AES-256"))) << listing.toStdString();
        QString output;
        EXPECT_EQ(run({QStringLiteral("t"), QStringLiteral("-pPa55-word!"), archive}, &output), 0)
            << output.toStdString();
        EXPECT_NE(run({QStringLiteral("t"), QStringLiteral("-pPa55-word"), archive}), 0);
        EXPECT_NE(run({QStringLiteral("t"), archive}), 0);
        EXPECT_EQ(run({QStringLiteral("e"),
                       QStringLiteral("-pPa55-word!"),
                       QStringLiteral("-o") + folder + QStringLiteral("/seven"),
                       archive}),
                  0);
        EXPECT_EQ(ReadFile(folder + QStringLiteral("/seven/db.bak")), c.Data);
        // And our own extraction, through libzip's decoder.
        UZipArchive::ExtractAll(archive, folder + QStringLiteral("/ours"), FRunning, {}, QStringLiteral("Pa55-word!"));
        EXPECT_EQ(ReadFile(folder + QStringLiteral("/ours/db.bak")), c.Data);
    }
}

} // namespace
