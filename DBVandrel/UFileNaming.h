// SPDX-License-Identifier: MIT
#pragma once

#include <QDateTime>
#include <QString>

namespace UFileNaming {
/// Formats aWhen with a date pattern: quoted text is copied, yyyy/yy, m/mm/mmm/mmmm (minutes right after an hour
/// specifier), d/dd/ddd/dddd, h/hh, n/nn, s/ss, z/zzz, am/pm, a/p; "/" and ":" become the date and time separators;
/// specifiers in either case; anything else is copied unchanged.
QString FormatDateTime(const QString& aPattern, const QDateTime& aWhen);
/// The directory part of a local path: up to and including its last "/"; empty when it has none.
QString ExtractFilePath(const QString& aPath);
/// The file-name part of a local path: what follows its last "/".
QString ExtractFileName(const QString& aPath);
/// An absolute path for aPath against the current directory, with "." and ".." segments resolved.
QString ExpandFileName(const QString& aPath);
/// True when aPath has an existing directory part and a non-empty file-name part.
bool IsUsableFileName(const QString& aPath);
} // namespace UFileNaming
