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
