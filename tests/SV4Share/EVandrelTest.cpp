// SPDX-License-Identifier: MIT
// The failure text of any exception: the program's own, the library's, and those that carry no text.
#include "EVandrel.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

/// Shows QString values readably in failure messages.
inline void PrintTo(const QString& aText, std::ostream* aStream)
{
    *aStream << '"' << aText.toStdString() << '"';
}

namespace {

const QString cUnknown = QStringLiteral("The operation failed for an unknown reason.");

struct TFailureRow
{
    const char* Name;
    std::function<void()> Raise;
    QString Text;
};

class TEmptyWhat : public std::exception
{
public:
    const char* what() const noexcept override { return ""; }
};

EDatabaseError WithContext()
{
    EDatabaseError failure(QStringLiteral("Cannot open backup device."));
    failure.AddContext(QStringLiteral("Unable to backup database."));
    return failure;
}

// clang-format off
const TFailureRow cFailures[] = {
    {"ProgramFailureGivesItsMessage",    [] { throw EVandrel(QStringLiteral("Disk full")); },     QStringLiteral("Disk full")},
    {"DerivedFailureKeepsItsContext",    [] { throw WithContext(); },
     QStringLiteral("Cannot open backup device.\r\nUnable to backup database.")},
    {"LibraryFailureGivesWhatAsLocal8Bit", [] { throw std::runtime_error("\xC3\x9C" "berlauf"); }, QStringLiteral("Überlauf")},
    {"EmptyProgramFailureIsUnknown",     [] { throw EVandrel(QString()); },                       cUnknown},
    {"EmptyLibraryFailureIsUnknown",     [] { throw TEmptyWhat(); },                              cUnknown},
    {"ForeignExceptionIsUnknown",        [] { throw 42; },                                        cUnknown},
};
// clang-format on

class EVandrelFailureTest : public ::testing::TestWithParam<TFailureRow>
{
};

TEST_P(EVandrelFailureTest, SameTextFromPointerAndInsideCatch)
{
    const TFailureRow& row = GetParam();
    std::exception_ptr failure;
    QString caught;
    try {
        row.Raise();
        FAIL() << "nothing was raised";
    } catch (...) {
        failure = std::current_exception();
        caught = CurrentFailureText();
    }
    EXPECT_EQ(FailureText(failure), row.Text);
    EXPECT_EQ(caught, row.Text);
}

INSTANTIATE_TEST_SUITE_P(FailureText,
                         EVandrelFailureTest,
                         ::testing::ValuesIn(cFailures),
                         [](const ::testing::TestParamInfo<TFailureRow>& aInfo) { return aInfo.param.Name; });

TEST(EVandrelTest, FailureText_NoFailureIsUnknown)
{
    EXPECT_EQ(FailureText(nullptr), cUnknown);
    EXPECT_EQ(CurrentFailureText(), cUnknown);
}

} // namespace
