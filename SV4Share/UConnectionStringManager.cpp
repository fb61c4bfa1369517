// SPDX-License-Identifier: MIT
#include "UConnectionStringManager.h"

#include "EVandrel.h"
#include "UDatCon.h"
#include "UFileUtils.h"
#include "UIniFile.h"
#include "UVersionInfo.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>

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

/// The settings file the program runs (SetConfigurationFile), read by stores on any thread.
std::mutex gConfigurationLock;
QString gConfigurationFile;

QString ProgramBaseName()
{
    return QFileInfo(TVersionInfo::ProgramFileName()).fileName();
}
} // namespace

void TConnectionStringManager::SetConfigurationFile(const QString& aSettingsFile)
{
    const QString absolute = aSettingsFile.isEmpty() ? QString() : QFileInfo(aSettingsFile).absoluteFilePath();
    const std::lock_guard<std::mutex> lock(gConfigurationLock);
    gConfigurationFile = absolute;
}

QString TConnectionStringManager::ConfigurationFile()
{
    const std::lock_guard<std::mutex> lock(gConfigurationLock);
    return gConfigurationFile;
}

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
    // The default settings file shares the configuration folder's connection, exactly as without one.
    const QString settings = ConfigurationFile();
    if (!UFileUtils::SameFile(settings, UFileUtils::DefaultSettingsFile()))
        FConfigurationFile = settings;
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

QString TConnectionStringManager::ConfigurationConnectionFile(const QString& aExt) const
{
    if (FConfigurationFile.isEmpty())
        return QString();
    // A settings file named like a connection file ("job.ini") must never be taken for, or overwritten as, one.
    const QString name = ChangeFileExt(FConfigurationFile, aExt);
    return UFileUtils::SameFile(name, FConfigurationFile) ? QString() : name;
}

QStringList TConnectionStringManager::KindCandidates(const QString& aExt) const
{
    QStringList names;
    const QString own = ConfigurationConnectionFile(aExt);
    if (!own.isEmpty())
        names << own;
    names << ChangeFileExt(DefaultFile(), aExt) << ChangeFileExt(DefaultSharedFile(), aExt);
    return names;
}

bool TConnectionStringManager::Detect(const QString& aFileName, const QString& aExt, TLocationKind aKind)
{
    const QString name = ChangeFileExt(aFileName, aExt);
    if (!UFileUtils::FileExists(name))
        return false;
    FileName = name;
    LocationKind = aKind;
    return true;
}

void TConnectionStringManager::DetectLocation()
{
    for (const QString& ext : {cUdl, cIni}) {
        const QString own = ConfigurationConnectionFile(ext);
        if (!own.isEmpty() && Detect(own, ext, ext == cUdl ? lkUDL : lkINI))
            return;
    }
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
    for (const QString& name : KindCandidates(cUdl)) {
        if (UFileUtils::FileExists(name))
            return cFileNamePrefix + name;
    }
    return QString();
}

QString TConnectionStringManager::ReadINI()
{
    if (FileName.isEmpty()) {
        // The configuration's own file, the program's, then the shared one; with none there is nothing stored.
        for (const QString& name : KindCandidates(cIni)) {
            if (UFileUtils::FileExists(name)) {
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

UPersistRecords::TSaveKind TConnectionStringManager::SetConnectionString(const QString& aConnectionString)
{
    if (LocationKind == lkAuto || LocationKind == lkPrompt) {
        DetectLocation();
        if (LocationKind == lkPrompt) {
            // Nothing is stored anywhere yet. A non-default configuration starts its own file; a connection found
            // anywhere else is written back where it was found, so one job never splits a shared connection.
            const QString own = ConfigurationConnectionFile(cIni);
            LocationKind = lkINI;
            FileName = own.isEmpty() ? ChangeFileExt(DefaultSharedFile(), cIni) : own;
            Key = DefaultSharedKey();
        }
    }
    if (LocationKind != lkUDL)
        return WriteINI(aConnectionString);
    WriteUDL(aConnectionString);
    return UPersistRecords::skReplaced;
}

void TConnectionStringManager::WriteUDL(const QString& aConnectionString)
{
    const QString name = FileName.isEmpty() ? QString() : ChangeFileExt(FileName, cUdl);
    if (!UDatCon::StoreDataLink(aConnectionString, name))
        throw EVandrel(QStringLiteral("Could not store UDL"));
}

UPersistRecords::TSaveKind TConnectionStringManager::WriteINI(const QString& aConnectionString)
{
    TIniFile ini(FileName);
    Key = FindIniEntry(ini);
    WriteIniEntry(ini, aConnectionString);
    return ini.UpdateFile();
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
