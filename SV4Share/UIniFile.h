// SPDX-License-Identifier: MIT
#pragma once

#include "UPersistRecords.h"

#include <QList>
#include <QString>
#include <QStringList>

/// An INI file held in memory: sections of key=value lines, names compared without regard to case.
/// Section names may hold any character but "]" (e.g. "Software\Brantwell\Solvane"); keys and values are trimmed.
/// Saving rewrites the whole file: every section and key in order, without the comments and blank lines read.
class TIniFile
{
public:
    /// Reads aFileName whole; a missing file reads as empty. Throws EVandrel when it exists but cannot be read.
    explicit TIniFile(const QString& aFileName);

    /// The file this object reads and writes.
    const QString& FileName() const { return FFileName; }
    /// True when the file has the section.
    bool SectionExists(const QString& aSection) const;
    /// True when the section has the key.
    bool ValueExists(const QString& aSection, const QString& aKey) const;
    /// The value of the key in the section, or aDefault when either is missing.
    QString ReadString(const QString& aSection, const QString& aKey, const QString& aDefault = QString()) const;
    /// Sets the key's value, adding the section and the key at their ends when missing.
    void WriteString(const QString& aSection, const QString& aKey, const QString& aValue);
    /// The section names in file order.
    QStringList Sections() const;
    /// Writes the whole file back, in the encoding it was read with (new files: Windows-1252, no byte-order
    /// mark, CR LF), through UPersistRecords::WriteFileAtomically: a file that did not exist is created readable and
    /// writable by its owner only, an existing one keeps its permissions. Returns how the file was saved (rewritten in
    /// place when its folder refuses new files). Throws EVandrel when it cannot be written.
    UPersistRecords::TSaveKind UpdateFile() const;

private:
    enum TEncoding { enAnsi, enUtf8, enUtf16LE, enUtf16BE };
    struct TEntry
    {
        QString Key;
        QString Value;
    };
    struct TSection
    {
        QString Name;
        QList<TEntry> Entries;
    };

    void Parse(const QString& aText);
    const TSection* FindSection(const QString& aSection) const;
    TSection* FindSection(const QString& aSection);
    QByteArray Encode(const QString& aText) const;

    QString FFileName;
    TEncoding FEncoding = enAnsi;
    QList<TSection> FSections;
};
