// SPDX-License-Identifier: MIT
#include "UPersistRecords.h"

#include "EVandrel.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

#include <cmath>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace UPersistRecords {
namespace {

bool IsBlankOrControl(QChar aChar)
{
    return aChar.unicode() <= u' ';
}

bool NeedsQuotes(const QString& aItem)
{
    for (const QChar c : aItem) {
        if (IsBlankOrControl(c) || c == u'"' || c == u',')
            return true;
    }
    return false;
}

void SkipBlanks(const QString& aText, qsizetype& aPos)
{
    while (aPos < aText.size() && aText.at(aPos).unicode() >= 1 && IsBlankOrControl(aText.at(aPos)))
        ++aPos;
}

// Reads a quoted item starting at the opening quote; doubled quotes stand for one, and an item whose closing
// quote is missing runs to the end of the text.
QString ExtractQuoted(const QString& aText, qsizetype& aPos)
{
    QString item;
    ++aPos;
    while (aPos < aText.size()) {
        const QChar c = aText.at(aPos++);
        if (c != u'"') {
            item.append(c);
            continue;
        }
        if (aPos < aText.size() && aText.at(aPos) == u'"') {
            item.append(c);
            ++aPos;
            continue;
        }
        break;
    }
    return item;
}

std::optional<double> ReadNumber(const QString& aLine)
{
    for (const QLocale& locale : {QLocale(), QLocale::c()}) {
        bool ok = false;
        const double value = locale.toDouble(aLine, &ok);
        if (ok && std::isfinite(value))
            return value;
    }
    return std::nullopt;
}

} // namespace

TRecordReader::TRecordReader(QStringList aLines)
    : FLines(std::move(aLines))
{
}

QString TRecordReader::ReadValue()
{
    if (FNext >= FLines.size())
        throw EVandrel(QStringLiteral("The settings ended before every control was read."));
    return FLines.at(FNext++);
}

QString TruthLine(bool aValue)
{
    return aValue ? QStringLiteral("-1") : QStringLiteral("0");
}

bool ReadTruthValue(const QString& aLine)
{
    if (const std::optional<double> number = ReadNumber(aLine))
        return *number != 0.0;
    if (aLine.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (aLine.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    throw EVandrel(QStringLiteral("'%1' is not a valid boolean value").arg(aLine));
}

QString JoinDelimited(const QStringList& aItems)
{
    if (aItems.size() == 1 && aItems.first().isEmpty())
        return QStringLiteral("\"\"");
    QStringList parts;
    parts.reserve(aItems.size());
    for (const QString& item : aItems) {
        if (NeedsQuotes(item))
            parts.append(u'"' + QString(item).replace(u'"', QStringLiteral("\"\"")) + u'"');
        else
            parts.append(item);
    }
    return parts.join(u',');
}

QStringList SplitDelimited(const QString& aText)
{
    // A NUL ends the text, as it ends the stored line.
    const QString text = aText.left(aText.indexOf(QChar(u'\0')));
    QStringList items;
    qsizetype pos = 0;
    SkipBlanks(text, pos);
    while (pos < text.size()) {
        if (text.at(pos) == u'"') {
            items.append(ExtractQuoted(text, pos));
        } else {
            const qsizetype start = pos;
            while (pos < text.size() && !IsBlankOrControl(text.at(pos)) && text.at(pos) != u',')
                ++pos;
            items.append(text.mid(start, pos - start));
        }
        SkipBlanks(text, pos);
        if (pos < text.size() && text.at(pos) == u',') {
            if (pos + 1 == text.size())
                items.append(QString()); // a trailing comma ends with an empty item
            ++pos;
            SkipBlanks(text, pos);
        }
    }
    return items;
}

QString JoinLines(const QStringList& aLines)
{
    QString text;
    for (const QString& line : aLines)
        text += line + QStringLiteral("\r\n");
    return text;
}

QStringList SplitLines(const QString& aText)
{
    const qsizetype nul = aText.indexOf(QChar(u'\0'));
    const qsizetype end = nul < 0 ? aText.size() : nul;
    QStringList lines;
    qsizetype start = 0;
    qsizetype pos = 0;
    while (pos < end) {
        const QChar c = aText.at(pos);
        if (c != u'\r' && c != u'\n') {
            ++pos;
            continue;
        }
        lines.append(aText.mid(start, pos - start));
        ++pos;
        if (c == u'\r' && pos < end && aText.at(pos) == u'\n')
            ++pos;
        start = pos;
    }
    if (start < end)
        lines.append(aText.mid(start, end - start));
    return lines;
}

QByteArray EncodeSettingsFile(const QStringList& aLines, USVCrypt::TCryptKey aKey)
{
    const QString stored = USVCrypt::EncryptString(JoinLines(aLines), aKey);
    if (stored.isEmpty())
        return QByteArray();
    return stored.toLatin1() + "\r\n";
}

QStringList DecodeSettingsFile(const QByteArray& aFileBytes, USVCrypt::TCryptKey aKey)
{
    // The file is read as lines of text and joined again with CR LF, so a Base64 line that was split over
    // several lines does not decode to what was saved.
    const QString stored = JoinLines(SplitLines(USVCrypt::FromAnsi(aFileBytes)));
    return SplitLines(USVCrypt::DecryptStringUnchecked(stored, aKey));
}

QByteArray ReadFileBytes(const QString& aFileName)
{
    QFile file(aFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EVandrel(QStringLiteral("Cannot open file \"%1\". %2").arg(aFileName, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EVandrel(QStringLiteral("Cannot read file \"%1\". %2").arg(aFileName, file.errorString()));
    return bytes;
}

void WriteFileAtomically(const QString& aFileName, const QByteArray& aBytes)
{
    // A replaced file's group keeps reading it when it could before: the job of a service that runs as another user.
    struct stat old = {};
    const bool groupReads =
        ::stat(QFile::encodeName(aFileName).constData(), &old) == 0 && S_ISREG(old.st_mode) && (old.st_mode & S_IRGRP);
    QSaveFile file(aFileName);
    // QSaveFile writes a temporary file beside the target, and commit() flushes, syncs and renames it.
    bool ok = file.open(QIODevice::WriteOnly) && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (ok && groupReads) {
        // Only a group this user may give the file (its own, or one it belongs to); otherwise it stays owner only.
        if (::fchown(file.handle(), static_cast<uid_t>(-1), old.st_gid) == 0)
            ok = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    }
    ok = ok && file.write(aBytes) == aBytes.size();
    ok = ok && file.commit();
    if (!ok) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw EVandrel(QStringLiteral("Cannot write file \"%1\". %2").arg(aFileName, reason));
    }
}

QString MoveAsideBadFile(const QString& aFileName)
{
    const QString base = aFileName + QStringLiteral(".bad");
    for (int n = 0; n < 1000; ++n) {
        const QString target = n == 0 ? base : base + u'.' + QString::number(n);
        if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
            continue;
        QFile file(aFileName);
        // QFile::rename never replaces an existing file, so a name taken meanwhile makes us try the next one.
        if (file.rename(target))
            return target;
        if (!QFileInfo::exists(target))
            throw EVandrel(
                QStringLiteral("Cannot move file \"%1\" to \"%2\". %3").arg(aFileName, target, file.errorString()));
    }
    throw EVandrel(QStringLiteral("Cannot move file \"%1\" aside: too many earlier copies.").arg(aFileName));
}

} // namespace UPersistRecords
