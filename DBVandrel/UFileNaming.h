// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QString>

#include <compare>
#include <optional>

namespace UFileNaming {
/// Formats aWhen with a date pattern: quoted text is copied, yyyy/yy, m/mm/mmm/mmmm (minutes right after an hour
/// specifier), d/dd/ddd/dddd, h/hh, n/nn, s/ss, z/zzz, am/pm, a/p; "/" and ":" become the date and time separators;
/// specifiers in either case; anything else is copied unchanged.
QString FormatDateTime(const QString& aPattern, const QDateTime& aWhen);
/// The date and time a name made with a date pattern carries; parts the pattern lacks are 0. Orders names by age.
struct TNameStamp
{
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Msec = 0;
    auto operator<=>(const TNameStamp&) const = default;
};
/// Reads back the date and time of a name that FormatDateTime(aPattern, ...) could have made: numbers are read as
/// digits, month and day names as the locale writes them, quoted and other text must be there as written. Nothing
/// when aName has another form (or aPattern is empty).
std::optional<TNameStamp> ReadDateName(const QString& aPattern, const QString& aName);
/// The directory part of a local path: up to and including its last "/"; empty when it has none.
QString ExtractFilePath(const QString& aPath);
/// The file-name part of a local path: what follows its last "/".
QString ExtractFileName(const QString& aPath);
/// An absolute path for aPath against the current directory, with "." and ".." segments resolved.
QString ExpandFileName(const QString& aPath);
/// True when aPath has an existing directory part and a non-empty file-name part.
bool IsUsableFileName(const QString& aPath);
} // namespace UFileNaming
