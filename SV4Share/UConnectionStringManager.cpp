// SPDX-License-Identifier: MIT
#include "UConnectionStringManager.h"

#include "EVandrel.h"
#include "UDatCon.h"
#include "UFileUtils.h"
#include "UIniFile.h"
#include "UVersionInfo.h"

#include <QDir>
#include <QFileInfo>

using UDatCon::ChangeFileExt;

namespace {
const QString cUdl = QStringLiteral(".udl");
const QString cIni = QStringLiteral(".ini");
const QString cDatCon = QStringLiteral("DatCon");
const QString cSharedDatCon = QStringLiteral("SharedDatCon");
const QString cOleDb = QStringLiteral("oledb");
const QString cOleDbDefault = QStringLiteral("(Default)");
const QString cFileNamePrefix = QStringLiteral("FILE NAME=");
const QString cDefaultDataLink = QStringLiteral("DefaultDataLink");

QString ProgramBaseName()
{
    return QFileInfo(TVersionInfo::ProgramFileName()).fileName();
}
} // namespace

TConnectionStringManager::TConnectionStringManager()
{
    TVersionInfo versionInfo;
    *this = TConnectionStringManager(versionInfo);
}

TConnectionStringManager::TConnectionStringManager(TVersionInfo& aVersionInfo)
    : FCryptKey(USVCrypt::KeyFromHex(QStringLiteral("91D6E3A87B2C5F40")))
{
    if (aVersionInfo.CompanyName().isEmpty())
        aVersionInfo.SetCompanyName(QStringLiteral("CompanyName"));
    if (aVersionInfo.ProductName().isEmpty())
        aVersionInfo.SetProductName(QStringLiteral("ProductName"));
    CompanyName = aVersionInfo.CompanyName();
    ProductName = aVersionInfo.ProductName();
}

QString TConnectionStringManager::DefaultKey() const
{
    return QStringLiteral("Software\\") + CompanyName + QLatin1Char('\\') + ProductName;
}

QString TConnectionStringManager::DefaultSharedKey() const
{
    return QStringLiteral("Software\\") + CompanyName;
}

QString TConnectionStringManager::DefaultFile() const
{
    return UFileUtils::ConfigDir() + ProgramBaseName();
}

QString TConnectionStringManager::DefaultSharedFile() const
{
    return UFileUtils::ConfigDir() + cDefaultDataLink;
}

QString TConnectionStringManager::CurrentSharedFile() const
{
    return QDir::currentPath() + QLatin1Char('/') + cDefaultDataLink;
}

QString TConnectionStringManager::CurrentFile() const
{
    return QDir::currentPath() + QLatin1Char('/') + ProgramBaseName();
}

bool TConnectionStringManager::Detect(const QString& aFileName, const QString& aExt, TLocationKind aKind)
{
    const QString name = ChangeFileExt(aFileName, aExt);
    if (!QFileInfo::exists(name))
        return false;
    FileName = name;
    LocationKind = aKind;
    return true;
}

void TConnectionStringManager::DetectLocation()
{
    for (const QString& file : {DefaultFile(), DefaultSharedFile(), CurrentSharedFile(), CurrentFile()}) {
        if (Detect(file, cUdl, lkUDL) || Detect(file, cIni, lkINI))
            return;
    }
    FileName.clear();
    LocationKind = lkPrompt;
}

QString TConnectionStringManager::ConnectionString()
{
    switch (LocationKind) {
    case lkUDL:
        return ReadUDL();
    case lkINI:
        return ReadINI();
    case lkPrompt:
        return QString();
    case lkAuto:
        break;
    }
    DetectLocation();
    return LocationKind == lkAuto ? QString() : ConnectionString();
}

QString TConnectionStringManager::ReadUDL()
{
    if (!FileName.isEmpty())
        return cFileNamePrefix + FileName;
    for (const QString& file : {DefaultFile(), DefaultSharedFile()}) {
        const QString name = ChangeFileExt(file, cUdl);
        if (QFileInfo::exists(name))
            return cFileNamePrefix + name;
    }
    return QString();
}

QString TConnectionStringManager::ReadINI()
{
    if (FileName.isEmpty()) {
        // The program's own file, then the shared one; with neither there is nothing stored.
        for (const QString& file : {DefaultFile(), DefaultSharedFile()}) {
            const QString name = ChangeFileExt(file, cIni);
            if (QFileInfo::exists(name)) {
                FileName = name;
                break;
            }
        }
        if (FileName.isEmpty())
            return QString();
    }
    const TIniFile ini(FileName);
    Key = FindIniEntry(ini);
    return ini.SectionExists(Key) ? ReadIniEntry(ini) : QString();
}

QString TConnectionStringManager::FindIniEntry(const TIniFile& aIni)
{
    Value = cDatCon;
    if (aIni.ValueExists(Key, cDatCon))
        return Key;
    if (aIni.ValueExists(DefaultKey(), cDatCon))
        return DefaultKey();
    if (aIni.ValueExists(cOleDb, cOleDbDefault))
        return cOleDb;
    Value = cSharedDatCon;
    return DefaultSharedKey();
}

QString TConnectionStringManager::ReadIniEntry(const TIniFile& aIni)
{
    if (Key.isEmpty() || Value.isEmpty())
        throw EVandrel(QStringLiteral("[UDatCon] Cannot find connection string with blank Key and Value."));
    if (Key == cOleDb) {
        Value = cOleDbDefault;
        return aIni.ReadString(Key, Value);
    }
    return USVCrypt::DecryptString(aIni.ReadString(Key, Value), FCryptKey);
}

void TConnectionStringManager::SetConnectionString(const QString& aConnectionString)
{
    if (LocationKind == lkAuto || LocationKind == lkPrompt) {
        DetectLocation();
        if (LocationKind == lkPrompt) {
            LocationKind = lkINI;
            FileName = ChangeFileExt(DefaultSharedFile(), cIni);
            Key = DefaultSharedKey();
        }
    }
    if (LocationKind == lkUDL)
        WriteUDL(aConnectionString);
    else
        WriteINI(aConnectionString);
}

void TConnectionStringManager::WriteUDL(const QString& aConnectionString)
{
    const QString name = FileName.isEmpty() ? QString() : ChangeFileExt(FileName, cUdl);
    if (!UDatCon::StoreDataLink(aConnectionString, name))
        throw EVandrel(QStringLiteral("Could not store UDL"));
}

void TConnectionStringManager::WriteINI(const QString& aConnectionString)
{
    TIniFile ini(FileName);
    Key = FindIniEntry(ini);
    WriteIniEntry(ini, aConnectionString);
    ini.UpdateFile();
}

void TConnectionStringManager::WriteIniEntry(TIniFile& aIni, const QString& aConnectionString)
{
    if (Key.isEmpty() || Value.isEmpty())
        throw EVandrel(QStringLiteral("[UDatCon] Cannot find connection string with blank Key and Value."));
    if (Key == cOleDb) {
        Value = cOleDbDefault;
        aIni.WriteString(Key, Value, aConnectionString);
        return;
    }
    aIni.WriteString(Key, Value, USVCrypt::EncryptString(aConnectionString, FCryptKey));
}
