// SPDX-License-Identifier: MIT
#include "UVersionInfo.h"

#include "EVandrel.h"
#include "ULog.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
const std::array<const char*, 10> cStandardKeyNames = {"CompanyName",
                                                       "FileDescription",
                                                       "FileVersion",
                                                       "InternalName",
                                                       "LegalCopyright",
                                                       "LegalTrademarks",
                                                       "OriginalFilename",
                                                       "ProductName",
                                                       "ProductVersion",
                                                       "Comments"};

bool SameFile(const QString& aLeft, const QString& aRight)
{
    const QString left = QFileInfo(aLeft).canonicalFilePath();
    return !left.isEmpty() && left == QFileInfo(aRight).canonicalFilePath();
}
} // namespace

TVersionInfo::TVersionInfo(const QString& aFileName)
    : FFileName(aFileName)
{
    try {
        ReadVersionInfo();
    } catch (const EVandrel& e) {
        ULog::OutputDebugLine(QStringLiteral("VersionInfo error. ") + e.Message());
    }
}

TVersionInfo::TVersionInfo(const TVersionResource& aResource, const QString& aFileName)
    : FFileName(aFileName)
{
    TakeResource(aResource);
}

void TVersionInfo::ReadVersionInfo()
{
    if (FFileName.isEmpty())
        FFileName = ProgramFileName();
    // Only the running program carries version information here; any other file reads as having none.
    if (SameFile(FFileName, ProgramFileName()))
        TakeResource(ProgramResource());
}

void TVersionInfo::TakeResource(const TVersionResource& aResource)
{
    if (aResource.LangCharset.isEmpty())
        return;
    FVersionInfo = aResource;
    FLangCharset = aResource.LangCharset;
    FInfoAvailable = true;
    for (std::size_t i = 0; i < cStandardKeyNames.size(); ++i)
        FStandardKeys[i] = GetKey(QString::fromLatin1(cStandardKeyNames[i]));
}

QString TVersionInfo::GetKey(const QString& aKeyName) const
{
    if (!FInfoAvailable)
        return QStringLiteral("N/A");
    return FVersionInfo.Strings.value(aKeyName);
}

QString TVersionInfo::BuildNumber() const
{
    const QString version = FileVersion();
    return version.mid(version.lastIndexOf(QLatin1Char('.')) + 1);
}

QString TVersionInfo::ReleaseNumber() const
{
    QString rest = FileVersion();
    for (int i = 0; i < 2; ++i)
        rest = rest.mid(rest.indexOf(QLatin1Char('.')) + 1); // no "." left: index -1 keeps the text
    const qsizetype dot = rest.indexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : rest.left(dot);
}

QString TVersionInfo::ProgramVersion()
{
    return QStringLiteral(VANDREL_FILE_VERSION);
}

TVersionResource TVersionInfo::ProgramResource()
{
    TVersionResource resource;
    resource.LangCharset =
        QStringLiteral("%1%2").arg(0x0409, 4, 16, QLatin1Char('0')).arg(0x04E4, 4, 16, QLatin1Char('0')).toUpper();
    resource.Strings.insert(QStringLiteral("CompanyName"), QStringLiteral(VANDREL_COMPANY_NAME));
    resource.Strings.insert(QStringLiteral("ProductName"), QStringLiteral(VANDREL_PRODUCT_NAME));
    resource.Strings.insert(QStringLiteral("FileVersion"), ProgramVersion());
    resource.Strings.insert(QStringLiteral("ProductVersion"), QStringLiteral(VANDREL_PRODUCT_VERSION));
    return resource;
}

QString TVersionInfo::ProgramFileName()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}
