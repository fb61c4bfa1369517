// SPDX-License-Identifier: MIT
#include "UDatCon.h"

#include "EVandrel.h"
#include "UFileUtils.h"
#include "ULog.h"

#include "TDBConnection.h"
#include "UOleDbString.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringEncoder>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace {
std::mutex gHookLock;
UDatCon::TConnectionDialogHook gDialogHook;
UDatCon::TLoginDialogHook gLoginHook;

UDatCon::TConnectionDialogHook DialogHook()
{
    std::lock_guard<std::mutex> lock(gHookLock);
    return gDialogHook;
}

/// Sets, replaces or (with an empty value) removes the "name=value" entry of aList; names compared without case.
void SetListValue(QStringList& aList, const QString& aName, const QString& aValue)
{
    const QString prefix = aName + QLatin1Char('=');
    for (qsizetype i = 0; i < aList.size(); ++i) {
        if (aList.at(i).startsWith(prefix, Qt::CaseInsensitive)) {
            if (aValue.isEmpty())
                aList.removeAt(i);
            else
                aList[i] = prefix + aValue;
            return;
        }
    }
    if (!aValue.isEmpty())
        aList.append(prefix + aValue);
}

bool ListHasName(const QStringList& aList, const QString& aName)
{
    const QString prefix = aName + QLatin1Char('=');
    return std::any_of(aList.cbegin(), aList.cend(), [&prefix](const QString& aEntry) {
        return aEntry.startsWith(prefix, Qt::CaseInsensitive);
    });
}

/// Lowers only the ASCII letters, so that every position matches the same position of the original.
QString AsciiLower(const QString& aText)
{
    QString lowered = aText;
    for (QChar& c : lowered) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return lowered;
}

/// Index of the value that follows aKey + "=" in aText, or -1.
qsizetype PosKey(const QString& aKey, const QString& aText)
{
    const qsizetype pos = aText.indexOf(aKey + QLatin1Char('='));
    return pos < 0 ? -1 : pos + aKey.size() + 1;
}

/// Index of the extension's dot in the final path component, or -1.
qsizetype ExtensionDot(const QString& aFileName)
{
    const qsizetype dot = aFileName.lastIndexOf(QLatin1Char('.'));
    return dot > aFileName.lastIndexOf(QLatin1Char('/')) ? dot : -1;
}

/// Creates aFileName (it must not exist yet) holding the data-link text, with the access aMode (the replaced
/// file's, owner-only for a new one). A file created but not completely written is removed again. True when the
/// whole file was written.
bool WriteDataLinkFile(const QString& aConnectionString, const QString& aFileName, mode_t aMode)
{
    const QString text = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n") +
                         aConnectionString + QStringLiteral("\r\n");
    const QByteArray bytes = QByteArray("\xFF\xFE", 2) + QStringEncoder(QStringConverter::Utf16LE)(text);
    QFile file(aFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const bool written = file.write(bytes) == bytes.size() && file.flush() && ::fchmod(file.handle(), aMode) == 0 &&
                         ::fsync(file.handle()) == 0;
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        file.remove();
        return false;
    }
    return true;
}

/// The file aFileName stands for: the end of its chain of symbolic links (a link's target need not exist yet), or
/// aFileName itself.
QString LinkTarget(const QString& aFileName)
{
    QString path = aFileName;
    for (int hop = 0; hop < 40; ++hop) {
        const QFileInfo info(path);
        if (!info.isSymLink())
            return path;
        path = info.symLinkTarget();
    }
    return path; // a loop: creating the file fails, and nothing is written
}

/// Moves aFileName aside to a name beside it that nobody can guess, readable by its owner only; returns that name,
/// or empty text when it could not be moved.
QString MoveAside(const QString& aFileName)
{
    const QFileInfo info(aFileName);
    const QString aside =
        info.absolutePath() + QStringLiteral("/.") + info.fileName() +
        QStringLiteral(".%1.aside").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
    const QByteArray from = QFile::encodeName(aFileName);
    const QByteArray to = QFile::encodeName(aside);
    if (::rename(from.constData(), to.constData()) != 0)
        return QString();
    ::chmod(to.constData(), S_IRUSR | S_IWUSR);
    return aside;
}
} // namespace

namespace UDatCon {
void SetConnectionDialogHook(TConnectionDialogHook aHook)
{
    std::lock_guard<std::mutex> lock(gHookLock);
    gDialogHook = std::move(aHook);
}

void SetLoginDialogHook(TLoginDialogHook aHook)
{
    std::lock_guard<std::mutex> lock(gHookLock);
    gLoginHook = std::move(aHook);
}

bool LoginPrompt(QString& aUser, QString& aPassword)
{
    TLoginDialogHook hook;
    {
        std::lock_guard<std::mutex> lock(gHookLock);
        hook = gLoginHook;
    }
    return hook && hook(aUser, aPassword);
}

void Log(const QString& aText)
{
    ULog::OutputDebugLine(aText);
}

QString GetDatabaseName(const QString& aConnectionString)
{
    const QString lowered = AsciiLower(aConnectionString);
    qsizetype pos;
    if (lowered.contains(QStringLiteral("jet.oledb"))) {
        pos = PosKey(QStringLiteral("data source"), lowered);
    } else {
        pos = PosKey(QStringLiteral("database"), lowered);
        if (pos < 0)
            pos = PosKey(QStringLiteral("initial catalog"), lowered);
    }
    if (pos < 0)
        return QString();
    qsizetype end = lowered.indexOf(QLatin1Char(';'), pos);
    if (end < 0)
        end = lowered.size();
    return aConnectionString.mid(pos, end - pos);
}

bool ADOConnectionString(const QString& aInitial, QString& aConnectionString)
{
    aConnectionString.clear();
    const TConnectionDialogHook hook = DialogHook();
    QString result;
    if (!hook || !hook(aInitial, result))
        return false;
    aConnectionString = result;
    return true;
}

bool PromptDataLink(TDBConnection& aConnection)
{
    QString edited;
    if (!ADOConnectionString(aConnection.ConnectionString(), edited))
        return false;
    aConnection.SetConnectionString(edited);
    return true;
}

void EnumerateDCProperties(TDBConnection& aConnection, QStringList& aList)
{
    const int count = aConnection.PropertyCount();
    for (int i = 0; i < count; ++i) {
        const QString name = aConnection.PropertyName(i);
        QString value;
        try {
            value = aConnection.PropertyValue(i);
        } catch (const std::exception&) {
            value = QStringLiteral("<error> ") + CurrentFailureText();
        }
        SetListValue(aList, name, value);
    }
}

void DecideLoginPrompt(TDBConnection& aConnection)
{
    QStringList properties;
    EnumerateDCProperties(aConnection, properties);
    const auto propertyDef = [&](const QString& aName, const QString& aDefault) {
        return ListHasName(properties, aName) ? aConnection.Property(aName) : aDefault;
    };
    propertyDef(QStringLiteral("User ID"), QString());
    const bool persist = UOleDbString::IsTrue(propertyDef(QStringLiteral("Persist Security Info"), QString()));
    const bool integrated = !propertyDef(QStringLiteral("Integrated Security"), QString()).isEmpty();
    aConnection.SetLoginPromptHook(&LoginPrompt);
    aConnection.SetLoginPrompt(!(integrated || persist));
}

void TryOpenTwice(TDBConnection& aConnection)
{
    const int configured = aConnection.ConnectionTimeout();
    aConnection.SetConnectionTimeout(3);
    try {
        aConnection.Open();
        return;
    } catch (const std::exception&) {
        Log(QStringLiteral("UDatCon: first opening failed: ") + CurrentFailureText());
    }
    aConnection.SetConnectionTimeout(configured);
    aConnection.Open();
}

bool StoreDataLink(const QString& aConnectionString, const QString& aFileName)
{
    if (aFileName.isEmpty())
        return false;
    try {
        UFileUtils::ForceConfigDirFor(aFileName);
        // A link is written through: the file it points to, which others may share, is the one replaced.
        const QString target = LinkTarget(aFileName);
        const QByteArray targetPath = QFile::encodeName(target);
        struct stat previous = {};
        mode_t mode = S_IRUSR | S_IWUSR;
        QString aside;
        if (UFileUtils::FileExists(target) && ::stat(targetPath.constData(), &previous) == 0) {
            mode = previous.st_mode & 07777;
            // When the move fails the file is still there and the exclusive create below refuses to write.
            aside = MoveAside(target);
        }
        const bool written = WriteDataLinkFile(aConnectionString, target, mode);
        if (!aside.isEmpty()) {
            const QByteArray asidePath = QFile::encodeName(aside);
            if (written) {
                ::unlink(asidePath.constData());
            } else if (::chmod(asidePath.constData(), mode) != 0 ||
                       ::rename(asidePath.constData(), targetPath.constData()) != 0) {
                Log(QStringLiteral("UDatCon: the previous data-link file was kept as ") + aside);
            }
        }
        // The replaced file's group, where this user may give it: those it was shared with still read it.
        if (written && previous.st_mode != 0) [[maybe_unused]]
            const int owned = ::chown(targetPath.constData(), static_cast<uid_t>(-1), previous.st_gid);
        return written;
    } catch (const std::exception&) {
        return false;
    }
}

QString ReplaceFileExt(const QString& aFileName, const QString& aNewExt)
{
    const qsizetype dot = ExtensionDot(aFileName);
    return dot < 0 ? aFileName : aFileName.left(dot) + aNewExt;
}

QString ChangeFileExt(const QString& aFileName, const QString& aNewExt)
{
    const qsizetype dot = ExtensionDot(aFileName);
    return (dot < 0 ? aFileName : aFileName.left(dot)) + aNewExt;
}
} // namespace UDatCon
