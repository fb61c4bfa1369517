// SPDX-License-Identifier: MIT
#include "UIniFile.h"

#include "EVandrel.h"
#include "UFileUtils.h"
#include "USVCrypt.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {
const QByteArray cBomUtf8("\xEF\xBB\xBF", 3);
const QByteArray cBomUtf16LE("\xFF\xFE", 2);
const QByteArray cBomUtf16BE("\xFE\xFF", 2);

bool SameName(const QString& aLeft, const QString& aRight)
{
    return aLeft.compare(aRight, Qt::CaseInsensitive) == 0;
}

QString Decode(QStringConverter::Encoding aEncoding, const QByteArray& aBytes)
{
    QStringDecoder decoder(aEncoding, QStringConverter::Flag::Stateless);
    return decoder(aBytes);
}
} // namespace

TIniFile::TIniFile(const QString& aFileName)
    : FFileName(aFileName)
{
    QFile file(aFileName);
    if (!UFileUtils::FileExists(aFileName))
        return;
    if (!file.open(QIODevice::ReadOnly))
        throw EVandrel(file.errorString());
    const QByteArray bytes = file.readAll();
    if (bytes.startsWith(cBomUtf8)) {
        FEncoding = enUtf8;
        Parse(Decode(QStringConverter::Utf8, bytes.mid(cBomUtf8.size())));
    } else if (bytes.startsWith(cBomUtf16LE)) {
        FEncoding = enUtf16LE;
        Parse(Decode(QStringConverter::Utf16LE, bytes.mid(cBomUtf16LE.size())));
    } else if (bytes.startsWith(cBomUtf16BE)) {
        FEncoding = enUtf16BE;
        Parse(Decode(QStringConverter::Utf16BE, bytes.mid(cBomUtf16BE.size())));
    } else {
        Parse(USVCrypt::FromAnsi(bytes));
    }
}

void TIniFile::Parse(const QString& aText)
{
    TSection* section = nullptr;
    QString text = aText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            const QString name = line.mid(1, line.size() - 2).trimmed();
            section = FindSection(name);
            if (!section) {
                FSections.append(TSection{name, {}});
                section = &FSections.last();
            }
            continue;
        }
        const qsizetype equal = line.indexOf(QLatin1Char('='));
        if (section && equal >= 0)
            section->Entries.append(TEntry{line.left(equal).trimmed(), line.mid(equal + 1).trimmed()});
    }
}

const TIniFile::TSection* TIniFile::FindSection(const QString& aSection) const
{
    for (const TSection& section : FSections) {
        if (SameName(section.Name, aSection))
            return &section;
    }
    return nullptr;
}

TIniFile::TSection* TIniFile::FindSection(const QString& aSection)
{
    return const_cast<TSection*>(std::as_const(*this).FindSection(aSection));
}

bool TIniFile::SectionExists(const QString& aSection) const
{
    return FindSection(aSection) != nullptr;
}

bool TIniFile::ValueExists(const QString& aSection, const QString& aKey) const
{
    if (const TSection* section = FindSection(aSection)) {
        for (const TEntry& entry : section->Entries) {
            if (SameName(entry.Key, aKey))
                return true;
        }
    }
    return false;
}

QString TIniFile::ReadString(const QString& aSection, const QString& aKey, const QString& aDefault) const
{
    if (const TSection* section = FindSection(aSection)) {
        for (const TEntry& entry : section->Entries) {
            if (SameName(entry.Key, aKey))
                return entry.Value;
        }
    }
    return aDefault;
}

void TIniFile::WriteString(const QString& aSection, const QString& aKey, const QString& aValue)
{
    TSection* section = FindSection(aSection);
    if (!section) {
        FSections.append(TSection{aSection.trimmed(), {}});
        section = &FSections.last();
    }
    for (TEntry& entry : section->Entries) {
        if (SameName(entry.Key, aKey)) {
            entry.Value = aValue.trimmed();
            return;
        }
    }
    section->Entries.append(TEntry{aKey.trimmed(), aValue.trimmed()});
}

QStringList TIniFile::Sections() const
{
    QStringList names;
    for (const TSection& section : FSections)
        names.append(section.Name);
    return names;
}

QByteArray TIniFile::Encode(const QString& aText) const
{
    switch (FEncoding) {
    case enUtf8:
        return cBomUtf8 + aText.toUtf8();
    case enUtf16LE:
        return cBomUtf16LE + QStringEncoder(QStringConverter::Utf16LE)(aText);
    case enUtf16BE:
        return cBomUtf16BE + QStringEncoder(QStringConverter::Utf16BE)(aText);
    case enAnsi:
        break;
    }
    return USVCrypt::ToAnsi(aText);
}

UPersistRecords::TSaveKind TIniFile::UpdateFile() const
{
    QString text;
    for (const TSection& section : FSections) {
        text += QLatin1Char('[') + section.Name + QStringLiteral("]\r\n");
        for (const TEntry& entry : section.Entries)
            text += entry.Key + QLatin1Char('=') + entry.Value + QStringLiteral("\r\n");
        text += QStringLiteral("\r\n");
    }
    if (FFileName.isEmpty())
        throw EVandrel(QStringLiteral("Cannot save an INI file without a file name."));
    UFileUtils::ForceConfigDirFor(FFileName);
    // The file may hold connection passwords: a new one is for its owner only; an existing one keeps its access.
    return UPersistRecords::WriteFileAtomically(FFileName, Encode(text), UPersistRecords::faKeepExisting);
}
