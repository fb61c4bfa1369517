// SPDX-License-Identifier: MIT
#include "UFileNaming.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace UFileNaming;

namespace {
struct TPatternRow
{
    const char* Name;
    const char* Pattern;
    const char* Expected;
};

// clang-format off
const TPatternRow cPatterns[] = {
    {"DefaultBackupPattern",     "'DB'mm-dd-yyyy'.bak'", "DB01-05-2025.bak"},
    {"DefaultArchivePattern",    "mm-dd-yyyy'.zip'",     "01-05-2025.zip"},
    {"DoubleQuotedText",         "\"DB\"yy.m.d",         "DB25.1.5"},
    {"UpperCaseSpecifiers",      "YYYYMMDD",             "20250105"},
    {"MinutesAfterHour",         "hh:mm",                "00:00"},
    {"MonthAfterOtherToken",     "dd mm",                "05 01"},
    {"UnquotedNonSpecifiers",    "x-1.\\b",              "x-1.\\b"},
    {"SlashAndColonKept",        "mm/dd/yyyy hh:nn:ss",  "01/05/2025 00:00:00"},
    {"UnclosedQuoteRunsToEnd",   "'DB",                  "DB"},
};
// clang-format on

class FormatDateTimeTest : public ::testing::TestWithParam<TPatternRow>
{
};

TEST_P(FormatDateTimeTest, FormatsTheFifthOfJanuary)
{
    const QDateTime when(QDate(2025, 1, 5), QTime(0, 0));
    EXPECT_EQ(FormatDateTime(QString::fromUtf8(GetParam().Pattern), when).toStdString(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Patterns, FormatDateTimeTest, ::testing::ValuesIn(cPatterns), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});
} // namespace

TEST(UFileNamingTest, PathParts_SplitAtTheLastSlash)
{
    EXPECT_EQ(ExtractFilePath(QStringLiteral("/b/old.bak")), QStringLiteral("/b/"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("/b/old.bak")), QStringLiteral("old.bak"));
    EXPECT_EQ(ExtractFilePath(QStringLiteral("old.bak")), QString());
    EXPECT_EQ(ExtractFilePath(QStringLiteral("sync/DB.bin")), QStringLiteral("sync/"));
}

TEST(UFileNamingTest, UsableFileName_NeedsExistingDirectoryAndName)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_TRUE(IsUsableFileName(dir.path() + QStringLiteral("/Sales.bak")));
    EXPECT_FALSE(IsUsableFileName(dir.path() + QStringLiteral("/")));
    EXPECT_FALSE(IsUsableFileName(QStringLiteral("Sales.bak")));
    EXPECT_FALSE(IsUsableFileName(dir.path() + QStringLiteral("/missing/Sales.bak")));
}

TEST(UFileNamingTest, ExpandFileName_ResolvesAgainstCurrentDirectory)
{
    EXPECT_EQ(ExpandFileName(QStringLiteral("x.bak")), QDir::currentPath() + QStringLiteral("/x.bak"));
    EXPECT_EQ(ExpandFileName(QStringLiteral("/a/b/../c/./x.bak")), QStringLiteral("/a/c/x.bak"));
}

namespace {
class ReadDateNameTest : public ::testing::TestWithParam<TPatternRow>
{
};

// Every name a pattern makes reads back as the date it was made for, so retention orders names by their dates.
TEST_P(ReadDateNameTest, ReadsBackWhatFormatDateTimeMade)
{
    const QString pattern = QString::fromUtf8(GetParam().Pattern);
    for (const QDate date : {QDate(2024, 12, 31), QDate(2025, 1, 5), QDate(2025, 11, 9)}) {
        const QString name = FormatDateTime(pattern, QDateTime(date, QTime(0, 0)));
        const std::optional<TNameStamp> stamp = ReadDateName(pattern, name);
        ASSERT_TRUE(stamp.has_value()) << name.toStdString();
        if (pattern.contains(QLatin1String("yy"), Qt::CaseInsensitive)) {
            EXPECT_EQ(stamp->Year, date.year()) << name.toStdString();
        }
        if (pattern.contains(QLatin1Char('d'), Qt::CaseInsensitive)) {
            EXPECT_EQ(stamp->Day, date.day()) << name.toStdString();
        }
    }
}

// clang-format off
const TPatternRow cReadable[] = {
    {"DefaultFtpPattern",       "'DB'mm-dd-yyyy'.bin'",       ""},
    {"DoubleQuotedText",        "\"DB\"yy.m.d",               ""},
    {"UpperCaseSpecifiers",     "YYYYMMDD",                   ""},
    {"MonthNames",              "dd-mmm-yyyy' 'mmmm'.zip'",   ""},
    {"DayNamesAndTime",         "dddd dd.mm.yyyy hh-nn-ss",   ""},
    {"LiteralWithRegexSigns",   "'(a+b)*'yyyy'$'mm",          ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Patterns, ReadDateNameTest, ::testing::ValuesIn(cReadable), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});
} // namespace

TEST(UFileNamingTest, ReadDateName_OrdersByDateAndRefusesOtherForms)
{
    const QString pattern = QStringLiteral("'DB'mm-dd-yyyy'.bin'");
    const auto older = ReadDateName(pattern, QStringLiteral("DB12-31-2024.bin"));
    const auto newer = ReadDateName(pattern, QStringLiteral("DB01-05-2025.bin"));
    ASSERT_TRUE(older && newer);
    EXPECT_LT(*older, *newer); // the year counts before the month, though the month comes first in the name
    EXPECT_EQ(newer->Month, 1);
    for (const char* other : {"DB01-05-2025.bin.sha256",
                              "DB01-05-2025.bin.part.vandrel",
                              "db01-05-2025.bin",
                              "DB1-05-2025.bin",
                              "XDB01-05-2025.bin",
                              "DBaa-05-2025.bin",
                              ""})
        EXPECT_FALSE(ReadDateName(pattern, QString::fromUtf8(other)).has_value()) << other;
    EXPECT_FALSE(ReadDateName(QString(), QStringLiteral("DB01-05-2025.bin")).has_value());
}
