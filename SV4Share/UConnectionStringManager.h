// SPDX-License-Identifier: MIT
#pragma once

#include "UPersistRecords.h"
#include "USVCrypt.h"

#include <QString>
#include <QStringList>

class TIniFile;
class TVersionInfo;

/// Where a connection string is kept.
enum TLocationKind : quint8 {
    lkAuto,  ///< search the candidate files
    lkUDL,   ///< a data-link file
    lkINI,   ///< an entry of an INI file
    lkPrompt ///< nowhere: the user is asked
};

/// Finds, reads and writes the program's one connection string: a data-link file, read by the access layer through
/// "FILE NAME=", or an INI entry, encrypted under "DatCon"/"SharedDatCon" and plain under "oledb"/"(Default)".
/// The program's configuration folder stands for the executable's folder. A settings file other than the default
/// one keeps its own connection beside it, searched before the shared places. Lives for one read or one write.
class TConnectionStringManager
{
public:
    /// Tells the stores made from now on, in any thread, which settings file the program runs. For a file other than
    /// UFileUtils::DefaultSettingsFile() the connection is searched first beside it: its base name with ".udl", then
    /// with ".ini". Empty text or the default settings file: only the shared places.
    static void SetConfigurationFile(const QString& aSettingsFile);
    /// The settings file last given to SetConfigurationFile, made absolute; empty when none was.
    static QString ConfigurationFile();

    /// A store for the running program (company and product names from its version information).
    TConnectionStringManager();
    /// A store named after aVersionInfo; empty names become "CompanyName" and "ProductName" in it.
    explicit TConnectionStringManager(TVersionInfo& aVersionInfo);

    /// Kind of place; lkAuto searches the candidate files: the two beside a non-default settings file, then the eight
    /// shared ones.
    TLocationKind LocationKind = lkAuto;
    /// INI section of the entry.
    QString Key;
    /// INI key of the entry within that section.
    QString Value = QStringLiteral("DatCon");
    /// File of the place; empty means not determined.
    QString FileName;

    /// Loads the stored string: the INI entry, "FILE NAME=" + path for a data-link file, or empty text when
    /// nothing is stored. May update LocationKind, FileName, Key and Value. Throws EVandrel on a read failure.
    QString ConnectionString();
    /// Stores aConnectionString in the place (searched; when none is found, the INI file beside a non-default
    /// settings file, else the shared INI file). Returns how the file was saved: skRewrittenInPlace when the INI
    /// file's folder refuses new files and FileName was rewritten in place. Throws EVandrel.
    UPersistRecords::TSaveKind SetConnectionString(const QString& aConnectionString);

    /// The key of the encrypted INI entries.
    USVCrypt::TCryptKey CryptKey() const { return FCryptKey; }
    /// Replaces the key of the encrypted INI entries.
    void SetCryptKey(const USVCrypt::TCryptKey& aKey) { FCryptKey = aKey; }

    /// "Software\" + company + "\" + product.
    QString DefaultKey() const;
    /// "Software\" + company.
    QString DefaultSharedKey() const;
    /// The configuration folder + the program's file name.
    QString DefaultFile() const;
    /// The configuration folder + "DefaultDataLink".
    QString DefaultSharedFile() const;

private:
    QString CurrentSharedFile() const;
    QString CurrentFile() const;
    /// The connection file with aExt beside a non-default settings file; empty for the default one, and when it
    /// would be the settings file itself.
    QString ConfigurationConnectionFile(const QString& aExt) const;
    /// The files with aExt that a read of a kind without a file name tries, in order.
    QStringList KindCandidates(const QString& aExt) const;
    bool Detect(const QString& aFileName, const QString& aExt, TLocationKind aKind);
    void DetectLocation();
    QString ReadUDL();
    QString ReadINI();
    void WriteUDL(const QString& aConnectionString);
    UPersistRecords::TSaveKind WriteINI(const QString& aConnectionString);
    QString FindIniEntry(const TIniFile& aIni);
    QString ReadIniEntry(const TIniFile& aIni);
    void WriteIniEntry(TIniFile& aIni, const QString& aConnectionString);

    /// The non-default settings file this store serves; empty for the default configuration.
    QString FConfigurationFile;
    QString CompanyName;
    QString ProductName;
    USVCrypt::TCryptKey FCryptKey;
};
