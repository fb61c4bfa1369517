// SPDX-License-Identifier: MIT
#pragma once

#include <QMap>
#include <QString>

#include <array>

/// The string table of one version resource: its first translation and its string keys.
struct TVersionResource
{
    /// Language and code page as eight capital hexadecimal digits, e.g. "040904E4".
    QString LangCharset;
    /// Key name -> value, e.g. "CompanyName" -> "Brantwell".
    QMap<QString, QString> Strings;
};

/// Reads the version information of an executable: the first translation and the ten standard string keys.
/// The running program's values are fixed at build time; other files carry no version resource on this platform.
class TVersionInfo
{
public:
    /// Reads the version information of aFileName; an empty name means the running program.
    explicit TVersionInfo(const QString& aFileName = QString());
    /// Takes a version resource already at hand (aFileName only names where it came from).
    TVersionInfo(const TVersionResource& aResource, const QString& aFileName);
    virtual ~TVersionInfo() = default;

    /// The file whose version information was read.
    const QString& FileName() const { return FFileName; }
    /// True once the resource and its translation have been read.
    bool InfoAvailable() const { return FInfoAvailable; }
    /// The first translation, "%.4X%.4X" of language and code page.
    const QString& LangCharset() const { return FLangCharset; }

    /// Any string key of the first translation: "N/A" without version information, empty when absent.
    QString GetKey(const QString& aKeyName) const;
    /// Same as GetKey.
    QString Key(const QString& aKeyName) const { return GetKey(aKeyName); }

    /// The standard keys as read at construction; the writable ones change only this object's copy.
    QString CompanyName() const { return FStandardKeys[0]; }
    /// Replaces this object's copy of CompanyName.
    void SetCompanyName(const QString& aValue) { FStandardKeys[0] = aValue; }
    /// "FileDescription".
    QString FileDescription() const { return FStandardKeys[1]; }
    /// "FileVersion".
    QString FileVersion() const { return FStandardKeys[2]; }
    /// "InternalName".
    QString InternalName() const { return FStandardKeys[3]; }
    /// "LegalCopyright".
    QString Copyright() const { return FStandardKeys[4]; }
    /// "LegalTrademarks".
    QString TradeMarks() const { return FStandardKeys[5]; }
    /// "OriginalFilename".
    QString OriginalFileName() const { return FStandardKeys[6]; }
    /// "ProductName".
    QString ProductName() const { return FStandardKeys[7]; }
    /// Replaces this object's copy of ProductName.
    void SetProductName(const QString& aValue) { FStandardKeys[7] = aValue; }
    /// "ProductVersion".
    QString ProductVersion() const { return FStandardKeys[8]; }
    /// Replaces this object's copy of ProductVersion.
    void SetProductVersion(const QString& aValue) { FStandardKeys[8] = aValue; }
    /// "Comments".
    QString Comments() const { return FStandardKeys[9]; }

    /// The text of FileVersion after its last "."; the whole text when it has none.
    QString BuildNumber() const;
    /// The third dot-separated part of FileVersion, when a fourth follows it; otherwise empty.
    QString ReleaseNumber() const;

    /// The program's version as built, "1.0.3.3".
    static QString ProgramVersion();
    /// The version resource of the running program.
    static TVersionResource ProgramResource();
    /// The full path of the running program.
    static QString ProgramFileName();

private:
    void ReadVersionInfo();
    void TakeResource(const TVersionResource& aResource);

    QString FFileName;
    bool FInfoAvailable = false;
    TVersionResource FVersionInfo;
    QString FLangCharset;
    std::array<QString, 10> FStandardKeys;
};
