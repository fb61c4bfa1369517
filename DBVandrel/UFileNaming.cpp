// SPDX-License-Identifier: MIT
#include "UFileNaming.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

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
