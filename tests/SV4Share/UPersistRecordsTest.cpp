// SPDX-License-Identifier: MIT
#include "UPersistRecords.h"
#include "EVandrel.h"
#include "TLockedFolder.h"
#include "TestPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace UPersistRecords;

namespace {

const USVCrypt::TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};

unsigned Mode(const QString& aFileName)
{
    struct stat info
    {
    };
    return stat(QFile::encodeName(aFileName).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

ino_t Inode(const QString& aFileName)
{
    struct stat info = {};
    return stat(QFile::encodeName(aFileName).constData(), &info) == 0 ? info.st_ino : 0;
}

void WriteBytes(const QString& aFileName, const QByteArray& aBytes)
{
    QFile file(aFileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(aBytes), aBytes.size());
}

TEST(UPersistRecordsTest, TruthValues_NumbersAndWords)
{
    // clang-format off
    const struct { QString Line; bool Value; } accepted[] = {
        {QStringLiteral("-1"), true}, {QStringLiteral("0"), false}, {QStringLiteral("1"), true},
        {QStringLiteral("2.5"), true}, {QStringLiteral("0.0"), false},
        {QStringLiteral("true"), true}, {QStringLiteral("TrUe"), true}, {QStringLiteral("FALSE"), false},
    };
    // clang-format on
    for (const auto& row : accepted)
        EXPECT_EQ(ReadTruthValue(row.Line), row.Value) << row.Line.toStdString();
    for (const QString& bad : {QStringLiteral("yes"), QString(), QStringLiteral("-1x"), QStringLiteral("nan")})
        EXPECT_THROW(ReadTruthValue(bad), EVandrel) << bad.toStdString();
    EXPECT_EQ(TruthLine(true), QStringLiteral("-1"));
    EXPECT_EQ(TruthLine(false), QStringLiteral("0"));
}

TEST(UPersistRecordsTest, DelimitedText_QuotesWhatWouldSplit)
{
    // clang-format off
    const struct { QStringList Items; QString Text; } rows[] = {
        {{}, QString()},
        {{QString()}, QStringLiteral("\"\"")},
        {{QStringLiteral("a"), QStringLiteral("b")}, QStringLiteral("a,b")},
        {{QStringLiteral("a b"), QStringLiteral("c,d"), QStringLiteral("say \"hi\"")},
         QStringLiteral("\"a b\",\"c,d\",\"say \"\"hi\"\"\"")},
        {{QStringLiteral("a"), QString()}, QStringLiteral("a,")},
        {{QString(), QStringLiteral("a")}, QStringLiteral(",a")},
        {{QStringLiteral("tab\there")}, QStringLiteral("\"tab\there\"")},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(JoinDelimited(row.Items), row.Text) << row.Text.toStdString();
        EXPECT_EQ(SplitDelimited(row.Text), row.Items) << row.Text.toStdString();
    }
}

TEST(UPersistRecordsTest, DelimitedText_ReadingSplitsAtBlanksOutsideQuotes)
{
    // clang-format off
    const struct { QString Text; QStringList Items; } rows[] = {
        {QStringLiteral("a b,c"),         {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}},
        {QStringLiteral("  a ,  b  "),    {QStringLiteral("a"), QStringLiteral("b")}},
        {QStringLiteral("a,,b"),          {QStringLiteral("a"), QString(), QStringLiteral("b")}},
        {QStringLiteral("\"open, end"),   {QStringLiteral("open, end")}},
        {QStringLiteral("\"q\"x"),        {QStringLiteral("q"), QStringLiteral("x")}},
    };
    // clang-format on
    for (const auto& row : rows)
        EXPECT_EQ(SplitDelimited(row.Text), row.Items) << row.Text.toStdString();
}

TEST(UPersistRecordsTest, SplitLines_AllLineEndsAndNul)
{
    // clang-format off
    const struct { QString Text; QStringList Lines; } rows[] = {
        {QString(),                            {}},
        {QStringLiteral("a\r\nb"),             {QStringLiteral("a"), QStringLiteral("b")}},
        {QStringLiteral("a\rb\nc\r\n"),        {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}},
        {QStringLiteral("a\r\n\r\n"),          {QStringLiteral("a"), QString()}},
        {QStringLiteral("\n"),                 {QString()}},
        {QString::fromUtf16(u"a\0b\r\nc", 6),  {QStringLiteral("a")}},
    };
    // clang-format on
    for (const auto& row : rows)
        EXPECT_EQ(SplitLines(row.Text), row.Lines);
    EXPECT_EQ(JoinLines({QStringLiteral("a"), QString()}), QStringLiteral("a\r\n\r\n"));
}

TEST(UPersistRecordsTest, RecordReader_FailsWhenLinesRunOut)
{
    TRecordReader reader({QStringLiteral("edtOne"), QString()});
    EXPECT_EQ(reader.ReadValue(), QStringLiteral("edtOne"));
    EXPECT_EQ(reader.ReadValue(), QString());
    EXPECT_EQ(reader.Remaining(), 0);
    EXPECT_THROW(reader.ReadValue(), EVandrel);
}

TEST(UPersistRecordsTest, SettingsFile_MatchesFileOfIndependentImplementation)
{
    const QByteArray fixture = ReadFileBytes(TestPaths::DataFile(QStringLiteral("settings-sample.cfg")));
    const QStringList lines =
        SplitLines(USVCrypt::FromAnsi(ReadFileBytes(TestPaths::DataFile(QStringLiteral("settings-sample.txt")))));
    ASSERT_EQ(lines.size(), 50);
    EXPECT_EQ(lines.at(45), QStringLiteral("Ren\u00e9"));
    EXPECT_EQ(DecodeSettingsFile(fixture, cSettingsKey), lines);
    EXPECT_EQ(EncodeSettingsFile(lines, cSettingsKey), fixture);
}

TEST(UPersistRecordsTest, SettingsFile_OneLineEmptyForNoLinesAndFragileWhenSplit)
{
    const QStringList lines = {
        QStringLiteral("edtOne"), QStringLiteral("value one"), QStringLiteral("ckbxTwo"), QStringLiteral("-1")};
    const QByteArray file = EncodeSettingsFile(lines, cSettingsKey);
    ASSERT_TRUE(file.endsWith("\r\n"));
    EXPECT_EQ(file.count('\n'), 1);
    EXPECT_EQ(DecodeSettingsFile(file, cSettingsKey), lines);
    EXPECT_NE(DecodeSettingsFile(file.left(10) + "\r\n" + file.mid(10), cSettingsKey), lines);
    EXPECT_EQ(EncodeSettingsFile({}, cSettingsKey), QByteArray());
    EXPECT_EQ(DecodeSettingsFile(QByteArray(), cSettingsKey), QStringList());
}

class UPersistRecordsFileTest : public ::testing::Test
{
protected:
    QTemporaryDir FDir;
    QString Path(const QString& aName) const { return FDir.filePath(aName); }
};

TEST_F(UPersistRecordsFileTest, WriteFileAtomically_ReplacesAndKeepsPrivate)
{
    const QString target = Path(QStringLiteral("vandrel.cfg"));
    WriteBytes(target, "old contents");
    ASSERT_TRUE(QFile::setPermissions(
        target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    WriteFileAtomically(target, "new");
    EXPECT_EQ(ReadFileBytes(target), QByteArray("new"));
    // A job its group could read (a service's) stays readable by that group; others lose their access.
    EXPECT_EQ(Mode(target), 0640u);
    ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    WriteFileAtomically(target, "newer");
    EXPECT_EQ(Mode(target), 0600u);
    const QString fresh = Path(QStringLiteral("fresh.cfg"));
    WriteFileAtomically(fresh, QByteArray());
    EXPECT_EQ(QFileInfo(fresh).size(), 0);
    EXPECT_EQ(Mode(fresh), 0600u);
    EXPECT_EQ(QDir(FDir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
    EXPECT_THROW(WriteFileAtomically(Path(QStringLiteral("missing/x.cfg")), "x"), EVandrel);
}

TEST_F(UPersistRecordsFileTest, WriteFileAtomically_WritableFolderReplacesTheFile)
{
    const QString target = Path(QStringLiteral("vandrel.cfg"));
    WriteBytes(target, "old contents");
    const ino_t before = Inode(target);
    EXPECT_EQ(WriteFileAtomically(target, "new"), skReplaced);
    EXPECT_NE(Inode(target), before);
    EXPECT_EQ(ReadFileBytes(target), QByteArray("new"));
}

// A job the user may write in a folder the user may not: the file is rewritten where it is, owner and mode kept, and
// the caller told so; a file the user may not write, or none, still fails with the reason.
TEST_F(UPersistRecordsFileTest, WriteFileAtomically_FolderWithoutWriteAccessRewritesInPlace)
{
    TLockedFolder folder(FDir.path(), QStringLiteral("jobs"));
    const QByteArray old = "the old contents, longer than the new";
    // clang-format off
    const struct { const char* Name; QByteArray Bytes; mode_t Mode; } rows[] = {
        {"shorter.cfg", "new", 0640},
        {"longer.cfg",  old + old, 0600},
        {"empty.cfg",   QByteArray(), 0644},
    };
    // clang-format on
    for (const auto& row : rows)
        ASSERT_TRUE(folder.AddFile(QLatin1String(row.Name), old, row.Mode));
    ASSERT_TRUE(folder.AddFile(QStringLiteral("readonly.cfg"), old, 0444));
    // A link in a folder the user may not write either, to a file in the locked one.
    const QString link = Path(QStringLiteral("link.cfg"));
    ASSERT_TRUE(QFile::link(folder.FilePath(QStringLiteral("shorter.cfg")), link));
    ASSERT_TRUE(folder.Lock());
    struct stat owner = {};
    ASSERT_EQ(::stat(QFile::encodeName(folder.FilePath(QStringLiteral("shorter.cfg"))).constData(), &owner), 0);

    TLockedFolder::TAsUser user(folder);
    if (!user.Active())
        GTEST_SKIP() << "cannot act as a user who may not write the folder";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString target = folder.FilePath(QLatin1String(row.Name));
        const ino_t inode = Inode(target);
        EXPECT_EQ(WriteFileAtomically(target, row.Bytes), skRewrittenInPlace);
        EXPECT_EQ(ReadFileBytes(target), row.Bytes);
        EXPECT_EQ(Mode(target), unsigned(row.Mode));
        EXPECT_EQ(Inode(target), inode);
    }
    EXPECT_EQ(WriteFileAtomically(link, "through the link", faKeepExisting), skRewrittenInPlace);
    EXPECT_EQ(ReadFileBytes(folder.FilePath(QStringLiteral("shorter.cfg"))), QByteArray("through the link"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    struct stat after = {};
    ASSERT_EQ(::stat(QFile::encodeName(folder.FilePath(QStringLiteral("shorter.cfg"))).constData(), &after), 0);
    EXPECT_EQ(after.st_uid, owner.st_uid);
    EXPECT_EQ(after.st_gid, owner.st_gid);
    EXPECT_TRUE(RewrittenInPlaceLine(link).contains(link));

    for (const QString& name : {QStringLiteral("readonly.cfg"), QStringLiteral("missing.cfg")}) {
        SCOPED_TRACE(name.toStdString());
        const QString target = folder.FilePath(name);
        try {
            WriteFileAtomically(target, "new");
            ADD_FAILURE() << "saved";
        } catch (const EVandrel& e) {
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot write file \"%1\". ").arg(target))) << e.what();
            EXPECT_GT(e.Message().size(), QStringLiteral("Cannot write file \"%1\". ").arg(target).size() + 5);
        }
    }
    EXPECT_EQ(ReadFileBytes(folder.FilePath(QStringLiteral("readonly.cfg"))), old);
    EXPECT_FALSE(QFileInfo::exists(folder.FilePath(QStringLiteral("missing.cfg"))));
    EXPECT_EQ(QDir(folder.Path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

TEST_F(UPersistRecordsFileTest, MoveAsideBadFile_NeverOverwritesEarlierCopies)
{
    const QString target = Path(QStringLiteral("vandrel.cfg"));
    const QStringList expected = {
        target + QStringLiteral(".bad"), target + QStringLiteral(".bad.1"), target + QStringLiteral(".bad.2")};
    for (int i = 0; i < expected.size(); ++i) {
        WriteBytes(target, QByteArray::number(i));
        EXPECT_EQ(MoveAsideBadFile(target), expected.at(i));
        EXPECT_FALSE(QFileInfo::exists(target));
    }
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(ReadFileBytes(expected.at(i)), QByteArray::number(i));
    EXPECT_THROW(MoveAsideBadFile(target), EVandrel);
    EXPECT_THROW(ReadFileBytes(target), EVandrel);
}

} // namespace
