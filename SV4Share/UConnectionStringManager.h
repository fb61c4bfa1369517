// SPDX-License-Identifier: MIT
#pragma once

#include "USVCrypt.h"

#include <QString>

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
/// The program's configuration folder stands for the executable's folder. Lives for one read or one write.
class TConnectionStringManager
{
public:
    /// A store for the running program (company and product names from its version information).
    TConnectionStringManager();
    /// A store named after aVersionInfo; empty names become "CompanyName" and "ProductName" in it.
    explicit TConnectionStringManager(TVersionInfo& aVersionInfo);

    /// Kind of place; lkAuto searches the eight candidate files.
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
    /// Stores aConnectionString in the place (searched, or the shared INI file when none is found). Throws EVandrel.
    void SetConnectionString(const QString& aConnectionString);

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
    bool Detect(const QString& aFileName, const QString& aExt, TLocationKind aKind);
    void DetectLocation();
    QString ReadUDL();
    QString ReadINI();
    void WriteUDL(const QString& aConnectionString);
    void WriteINI(const QString& aConnectionString);
    QString FindIniEntry(const TIniFile& aIni);
    QString ReadIniEntry(const TIniFile& aIni);
    void WriteIniEntry(TIniFile& aIni, const QString& aConnectionString);

    QString CompanyName;
    QString ProductName;
    USVCrypt::TCryptKey FCryptKey;
};
