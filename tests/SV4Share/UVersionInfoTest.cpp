// SPDX-License-Identifier: MIT
#include "UVersionInfo.h"

#include <QTemporaryFile>

#include <gtest/gtest.h>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

TEST(UVersionInfoTest, RunningProgram_HasTheBuildTimeValues)
{
    TVersionInfo info;
    EXPECT_TRUE(info.InfoAvailable());
    EXPECT_EQ(info.FileName(), TVersionInfo::ProgramFileName());
    EXPECT_EQ(info.LangCharset(), QStringLiteral("040904E4"));
    EXPECT_EQ(info.CompanyName(), QStringLiteral("Brantwell"));
    EXPECT_EQ(info.ProductName(), QStringLiteral("Solvane"));
    EXPECT_EQ(info.FileVersion(), TVersionInfo::ProgramVersion());
    EXPECT_EQ(info.ProductVersion(), QStringLiteral("1.0.0.0"));
    EXPECT_EQ(info.FileDescription(), QString());
    EXPECT_EQ(info.GetKey(QStringLiteral("NoSuchKey")), QString());
}

// The version is written once, in the project's CMake file; the test gets the same value and its parts from there.
TEST(UVersionInfoTest, ProgramVersion_IsTheProjectVersionWithItsBuildAndReleaseNumbers)
{
    EXPECT_EQ(TVersionInfo::ProgramVersion(), QStringLiteral(VANDREL_TEST_PROJECT_VERSION));
    const TVersionInfo info;
    EXPECT_EQ(info.BuildNumber(), QStringLiteral(VANDREL_TEST_PROJECT_VERSION_TWEAK));
    EXPECT_EQ(info.ReleaseNumber(), QStringLiteral(VANDREL_TEST_PROJECT_VERSION_PATCH));
}

TEST(UVersionInfoTest, FileWithoutVersionResource_IsEmptyAndKeysAreNA)
{
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    for (const QString& name : {file.fileName(), QStringLiteral("/no/such/file")}) {
        TVersionInfo info(name);
        EXPECT_FALSE(info.InfoAvailable()) << name.toStdString();
        EXPECT_EQ(info.CompanyName(), QString());
        EXPECT_EQ(info.GetKey(QStringLiteral("CompanyName")), QStringLiteral("N/A"));
    }
}

TEST(UVersionInfoTest, WritingProductName_ChangesOnlyTheCopy)
{
    TVersionInfo info;
    info.SetProductName(QStringLiteral("Other"));
    EXPECT_EQ(info.ProductName(), QStringLiteral("Other"));
    EXPECT_EQ(info.GetKey(QStringLiteral("ProductName")), QStringLiteral("Solvane"));
    EXPECT_EQ(TVersionInfo().ProductName(), QStringLiteral("Solvane"));
}

struct TVersionRow
{
    const char* Name;
    const char* FileVersion;
    const char* BuildNumber;
    const char* ReleaseNumber;
};

class UVersionNumberTest : public ::testing::TestWithParam<TVersionRow>
{
};

TEST_P(UVersionNumberTest, BuildAndReleaseNumber)
{
    TVersionResource resource;
    resource.LangCharset = QStringLiteral("040904E4");
    resource.Strings.insert(QStringLiteral("FileVersion"), QString::fromLatin1(GetParam().FileVersion));
    const TVersionInfo info(resource, QStringLiteral("x"));
    EXPECT_EQ(info.BuildNumber(), QString::fromLatin1(GetParam().BuildNumber));
    EXPECT_EQ(info.ReleaseNumber(), QString::fromLatin1(GetParam().ReleaseNumber));
}

// clang-format off
const TVersionRow cVersionRows[] = {
    {"NoDot",       "7",          "7",  ""},
    {"OneDot",      "1.2",        "2",  ""},
    {"TwoDots",     "1.2.3",      "3",  ""},
    {"FourParts",   "1.20.31.42", "42", "31"},
    {"FiveParts",   "1.2.3.4.5",  "5",  "3"},
    {"Empty",       "",           "",   ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(UVersionInfo,
                         UVersionNumberTest,
                         ::testing::ValuesIn(cVersionRows),
                         [](const ::testing::TestParamInfo<TVersionRow>& aInfo) { return aInfo.param.Name; });
