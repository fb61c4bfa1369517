// SPDX-License-Identifier: MIT
#include "UPersistRecords.h"

#include "EVandrel.h"
#include "UHandles.h"
#include "UWriteBehind.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
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

namespace {

/// The system's text of aError, an errno value.
QString SystemError(int aError)
{
    return QString::fromLocal8Bit(std::strerror(aError));
}

/// True when the folder of the existing file aFinalName denies this user new files (not merely a read-only volume).
bool FolderDeniesNewFiles(const QString& aFinalName)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(aFinalName).absolutePath());
    return ::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0 && errno == EACCES;
}

/// Writes aBytes over the existing regular file aFinalName, cuts it to their length and syncs it. Owner and mode stay.
/// Returns an empty text, or the reason it could not be opened (nothing was written); throws EVandrel when writing
/// failed after it began.
QString RewriteInPlace(const QString& aFileName, const QString& aFinalName, const QByteArray& aBytes)
{
    // Without O_NONBLOCK a FIFO put in the file's place would block the open until someone reads it.
    TFd file(
        ::open(QFile::encodeName(aFinalName).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
    if (file.Get() < 0)
        return SystemError(errno);
    struct stat info = {};
    if (::fstat(file.Get(), &info) != 0)
        return SystemError(errno);
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("It is not a regular file.");
    const auto failed = [&](const QString& aReason) {
        EVandrel error(QStringLiteral("Cannot write file \"%1\". %2").arg(aFileName, aReason));
        error.AddContext(QStringLiteral("Its folder cannot be written, so the file was being rewritten in place: "
                                        "it may now be damaged."));
        return error;
    };
    if (const int error = WriteAll(file.Get(), aBytes.constData(), static_cast<size_t>(aBytes.size())))
        throw failed(SystemError(error));
    if (::ftruncate(file.Get(), static_cast<off_t>(aBytes.size())) != 0 || ::fsync(file.Get()) != 0 || !file.Close())
        throw failed(SystemError(errno));
    return QString();
}

} // namespace

TSaveKind WriteFileAtomically(const QString& aFileName, const QByteArray& aBytes, TFileAccess aAccess)
{
    // A replaced file's group keeps reading it when it could before: the job of a service that runs as another user.
    struct stat old = {};
    const bool exists = ::stat(QFile::encodeName(aFileName).constData(), &old) == 0 && S_ISREG(old.st_mode);
    const bool groupReads = aAccess == faOwnerOnly && exists && (old.st_mode & S_IRGRP);
    QSaveFile file(aFileName);
    // QSaveFile writes a temporary file beside the target, and commit() flushes, syncs and renames it. It gives a
    // replaced file's permissions to the temporary file.
    if (!file.open(QIODevice::WriteOnly)) {
        QString reason = file.errorString();
        // A file the user may write in a folder the user may not (a job in a folder of root's) is rewritten instead.
        const QString finalName = QFileInfo(aFileName).canonicalFilePath();
        if (file.error() == QFileDevice::OpenError && exists && !finalName.isEmpty() &&
            FolderDeniesNewFiles(finalName)) {
            const QString refused = RewriteInPlace(aFileName, finalName, aBytes);
            if (refused.isEmpty())
                return skRewrittenInPlace;
            reason = QStringLiteral("Its folder cannot be written, and neither can the file: %1").arg(refused);
        }
        throw EVandrel(QStringLiteral("Cannot write file \"%1\". %2").arg(aFileName, reason));
    }
    bool ok = true;
    if (aAccess == faOwnerOnly || !exists)
        ok = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
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
    return skReplaced;
}

QString RewrittenInPlaceLine(const QString& aFileName)
{
    return QStringLiteral("The folder of %1 cannot be written, so the file was rewritten in place: a failure during "
                          "the save could have left it damaged.")
        .arg(aFileName);
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
