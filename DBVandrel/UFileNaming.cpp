// SPDX-License-Identifier: MIT
#include "UFileNaming.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>

namespace UFileNaming {
namespace {
int CountRun(const QString& aPattern, int aFrom, QChar aUpper)
{
    int count = 0;
    while (aFrom + count < aPattern.size() && aPattern.at(aFrom + count).toUpper() == aUpper)
        ++count;
    return count;
}

QString Padded(int aValue, int aWidth)
{
    return QStringLiteral("%1").arg(aValue, aWidth, 10, QLatin1Char('0'));
}
} // namespace

QString FormatDateTime(const QString& aPattern, const QDateTime& aWhen)
{
    const QLocale locale = QLocale::system();
    const QDate date = aWhen.date();
    const QTime time = aWhen.time();
    QString result;
    QChar lastToken;
    int i = 0;
    while (i < aPattern.size()) {
        const QChar c = aPattern.at(i);
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            const int end = aPattern.indexOf(c, i + 1);
            const int stop = end < 0 ? aPattern.size() : end;
            result += aPattern.mid(i + 1, stop - i - 1);
            i = stop + 1;
            continue;
        }
        if (!c.isLetter() || c.unicode() > 127) {
            // Includes "/" and ":", which are this platform's date and time separators.
            result += c;
            ++i;
            continue;
        }
        const QChar token = c.toUpper();
        const int run = CountRun(aPattern, i, token);
        int used = run;
        switch (token.unicode()) {
        case 'Y':
            result += run <= 2 ? Padded(date.year() % 100, 2) : Padded(date.year(), 4);
            break;
        case 'M':
            if (lastToken == QLatin1Char('H') && run <= 2) {
                result += run == 1 ? QString::number(time.minute()) : Padded(time.minute(), 2);
            } else if (run == 1) {
                result += QString::number(date.month());
            } else if (run == 2) {
                result += Padded(date.month(), 2);
            } else if (run == 3) {
                result += locale.monthName(date.month(), QLocale::ShortFormat);
            } else {
                used = 4;
                result += locale.monthName(date.month(), QLocale::LongFormat);
            }
            break;
        case 'D':
            if (run == 1)
                result += QString::number(date.day());
            else if (run == 2)
                result += Padded(date.day(), 2);
            else if (run == 3)
                result += locale.dayName(date.dayOfWeek(), QLocale::ShortFormat);
            else {
                used = 4;
                result += locale.dayName(date.dayOfWeek(), QLocale::LongFormat);
            }
            break;
        case 'H':
            used = qMin(run, 2);
            result += used == 1 ? QString::number(time.hour()) : Padded(time.hour(), 2);
            break;
        case 'N':
            used = qMin(run, 2);
            result += used == 1 ? QString::number(time.minute()) : Padded(time.minute(), 2);
            break;
        case 'S':
            used = qMin(run, 2);
            result += used == 1 ? QString::number(time.second()) : Padded(time.second(), 2);
            break;
        case 'Z':
            used = run >= 3 ? 3 : 1;
            result += used == 1 ? QString::number(time.msec()) : Padded(time.msec(), 3);
            break;
        case 'A':
            if (aPattern.mid(i, 5).compare(QLatin1String("am/pm"), Qt::CaseInsensitive) == 0) {
                result += time.hour() < 12 ? QStringLiteral("am") : QStringLiteral("pm");
                used = 5;
            } else if (aPattern.mid(i, 3).compare(QLatin1String("a/p"), Qt::CaseInsensitive) == 0) {
                result += time.hour() < 12 ? QStringLiteral("a") : QStringLiteral("p");
                used = 3;
            } else {
                result += c;
                used = 1;
            }
            break;
        default:
            // Letters that are no specifier are copied.
            result += aPattern.mid(i, run);
            break;
        }
        lastToken = token;
        i += used;
    }
    return result;
}

namespace {
/// What one capture of a name pattern holds.
enum TNamePart : char {
    npYear2,
    npYear4,
    npMonth,
    npMonthShort,
    npMonthLong,
    npDay,
    npDayName,
    npHour,
    npMinute,
    npSecond,
    npMsec,
    npHalfDay
};

/// An alternation of aNames, longest first so that a shorter name never wins over a longer one it begins.
QString Alternatives(QStringList aNames)
{
    std::sort(aNames.begin(), aNames.end(), [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (QString& name : aNames)
        name = QRegularExpression::escape(name);
    return QStringLiteral("(") + aNames.join(QLatin1Char('|')) + QStringLiteral(")");
}

/// The expression of the names FormatDateTime makes from aPattern, and what each capture holds. Walks the pattern
/// exactly as FormatDateTime does.
QString NameExpression(const QString& aPattern, QList<TNamePart>& aParts)
{
    const QLocale locale = QLocale::system();
    QStringList shortMonths, longMonths, dayNames;
    for (int m = 1; m <= 12; ++m) {
        shortMonths.append(locale.monthName(m, QLocale::ShortFormat));
        longMonths.append(locale.monthName(m, QLocale::LongFormat));
    }
    for (int d = 1; d <= 7; ++d)
        dayNames << locale.dayName(d, QLocale::ShortFormat) << locale.dayName(d, QLocale::LongFormat);
    QString expression;
    const auto capture = [&](const QString& aGroup, TNamePart aPart) {
        expression += aGroup;
        aParts.append(aPart);
    };
    const QString oneOrTwo = QStringLiteral("(\\d{1,2})");
    const QString two = QStringLiteral("(\\d{2})");
    QChar lastToken;
    int i = 0;
    while (i < aPattern.size()) {
        const QChar c = aPattern.at(i);
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            const int end = aPattern.indexOf(c, i + 1);
            const int stop = end < 0 ? aPattern.size() : end;
            expression += QRegularExpression::escape(aPattern.mid(i + 1, stop - i - 1));
            i = stop + 1;
            continue;
        }
        if (!c.isLetter() || c.unicode() > 127) {
            expression += QRegularExpression::escape(QString(c));
            ++i;
            continue;
        }
        const QChar token = c.toUpper();
        const int run = CountRun(aPattern, i, token);
        int used = run;
        switch (token.unicode()) {
        case 'Y':
            if (run <= 2)
                capture(two, npYear2);
            else
                capture(QStringLiteral("(\\d{4})"), npYear4);
            break;
        case 'M':
            if (lastToken == QLatin1Char('H') && run <= 2)
                capture(run == 1 ? oneOrTwo : two, npMinute);
            else if (run <= 2)
                capture(run == 1 ? oneOrTwo : two, npMonth);
            else if (run == 3)
                capture(Alternatives(shortMonths), npMonthShort);
            else {
                used = 4;
                capture(Alternatives(longMonths), npMonthLong);
            }
            break;
        case 'D':
            if (run <= 2)
                capture(run == 1 ? oneOrTwo : two, npDay);
            else {
                used = std::min(run, 4);
                capture(Alternatives(dayNames), npDayName);
            }
            break;
        case 'H':
        case 'N':
        case 'S':
            used = qMin(run, 2);
            capture(used == 1 ? oneOrTwo : two,
                    token == QLatin1Char('H')   ? npHour
                    : token == QLatin1Char('N') ? npMinute
                                                : npSecond);
            break;
        case 'Z':
            used = run >= 3 ? 3 : 1;
            capture(used == 1 ? QStringLiteral("(\\d{1,3})") : QStringLiteral("(\\d{3})"), npMsec);
            break;
        case 'A':
            if (aPattern.mid(i, 5).compare(QLatin1String("am/pm"), Qt::CaseInsensitive) == 0) {
                capture(QStringLiteral("(am|pm)"), npHalfDay);
                used = 5;
            } else if (aPattern.mid(i, 3).compare(QLatin1String("a/p"), Qt::CaseInsensitive) == 0) {
                capture(QStringLiteral("(a|p)"), npHalfDay);
                used = 3;
            } else {
                expression += QRegularExpression::escape(QString(c));
                used = 1;
            }
            break;
        default:
            expression += QRegularExpression::escape(aPattern.mid(i, run));
            break;
        }
        lastToken = token;
        i += used;
    }
    return expression;
}
} // namespace

std::optional<TNameStamp> ReadDateName(const QString& aPattern, const QString& aName)
{
    if (aPattern.isEmpty())
        return std::nullopt;
    QList<TNamePart> parts;
    const QRegularExpression expression(QRegularExpression::anchoredPattern(NameExpression(aPattern, parts)));
    const QRegularExpressionMatch match = expression.match(aName);
    if (!match.hasMatch())
        return std::nullopt;
    const QLocale locale = QLocale::system();
    const auto monthOf = [&locale](const QString& aText, QLocale::FormatType aFormat) {
        for (int m = 1; m <= 12; ++m)
            if (locale.monthName(m, aFormat) == aText)
                return m;
        return 0;
    };
    TNameStamp stamp;
    bool afternoon = false;
    for (qsizetype k = 0; k < parts.size(); ++k) {
        const QString text = match.captured(static_cast<int>(k + 1));
        const int number = text.toInt();
        switch (parts.at(k)) {
        case npYear2:
            stamp.Year = 2000 + number;
            break;
        case npYear4:
            stamp.Year = number;
            break;
        case npMonth:
            stamp.Month = number;
            break;
        case npMonthShort:
            stamp.Month = monthOf(text, QLocale::ShortFormat);
            break;
        case npMonthLong:
            stamp.Month = monthOf(text, QLocale::LongFormat);
            break;
        case npDay:
            stamp.Day = number;
            break;
        case npDayName:
            break;
        case npHour:
            stamp.Hour = number;
            break;
        case npMinute:
            stamp.Minute = number;
            break;
        case npSecond:
            stamp.Second = number;
            break;
        case npMsec:
            stamp.Msec = number;
            break;
        case npHalfDay:
            afternoon = text.startsWith(QLatin1Char('p'));
            break;
        }
    }
    if (afternoon && stamp.Hour < 12)
        stamp.Hour += 12;
    return stamp;
}

QString ExtractFilePath(const QString& aPath)
{
    return aPath.left(aPath.lastIndexOf(QLatin1Char('/')) + 1);
}

QString ExtractFileName(const QString& aPath)
{
    return aPath.mid(aPath.lastIndexOf(QLatin1Char('/')) + 1);
}

QString ExpandFileName(const QString& aPath)
{
    const bool trailingSlash = aPath.endsWith(QLatin1Char('/'));
    QString expanded = QDir::cleanPath(QDir::current().absoluteFilePath(aPath));
    if (trailingSlash && !expanded.endsWith(QLatin1Char('/')))
        expanded += QLatin1Char('/');
    return expanded;
}

bool IsUsableFileName(const QString& aPath)
{
    const QString directory = ExtractFilePath(aPath);
    return !directory.isEmpty() && QFileInfo(directory).isDir() && !ExtractFileName(aPath).isEmpty();
}
} // namespace UFileNaming
