// SPDX-License-Identifier: MIT
#include "VandrelChecksum.h"

#include "EVandrel.h"

#include <QList>

#include <gcrypt.h>

namespace VandrelChecksum {

namespace {

constexpr qsizetype cDigestHexDigits = 64;

bool IsHex(const QByteArray& aText)
{
    for (const char c : aText)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

/// Undoes sha256sum's escape of a name: "\\" is a backslash, "\n" a line feed, "\r" a carriage return.
QByteArray Unescaped(const QByteArray& aName)
{
    QByteArray name;
    for (qsizetype i = 0; i < aName.size(); ++i) {
        if (aName[i] != '\\' || i + 1 == aName.size()) {
            name += aName[i];
            continue;
        }
        const char next = aName[++i];
        name += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return name;
}

} // namespace

TSha256::TSha256()
{
    // The program initialises libgcrypt at its start; a library user that did not gets the default set-up.
    static const bool ready =
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) != 0 || gcry_check_version(nullptr) != nullptr;
    gcry_md_hd_t handle = nullptr;
    const gcry_error_t error = gcry_md_open(&handle, GCRY_MD_SHA256, 0);
    if (!ready || error != 0) {
        gcry_md_close(handle);
        throw EVandrel(QStringLiteral("SHA-256 is not available: %1").arg(QString::fromUtf8(gcry_strerror(error))));
    }
    FHandle = handle;
}

TSha256::~TSha256()
{
    gcry_md_close(FHandle);
}

void TSha256::Add(const char* aData, qint64 aSize) noexcept
{
    if (aSize > 0)
        gcry_md_write(FHandle, aData, static_cast<size_t>(aSize));
}

QByteArray TSha256::Digest() const
{
    // A copy is read: the sum goes on should more bytes come.
    gcry_md_hd_t copy = nullptr;
    if (gcry_md_copy(&copy, FHandle) != 0)
        throw EVandrel(QStringLiteral("SHA-256 could not be read."));
    const QByteArray digest(reinterpret_cast<const char*>(gcry_md_read(copy, GCRY_MD_SHA256)),
                            static_cast<qsizetype>(gcry_md_get_algo_dlen(GCRY_MD_SHA256)));
    gcry_md_close(copy);
    return digest;
}

QString ChecksumName(const QString& aFtpName)
{
    return aFtpName + QStringLiteral(".sha256");
}

QString LineName(const QString& aFtpName)
{
    return aFtpName.section(QLatin1Char('/'), -1);
}

QByteArray ChecksumText(const QByteArray& aDigest, const QString& aFtpName)
{
    QByteArray name = LineName(aFtpName).toUtf8();
    const bool escaped = name.contains('\\');
    if (escaped)
        name.replace("\\", "\\\\");
    return (escaped ? QByteArray("\\") : QByteArray()) + aDigest.toHex() + "  " + name + '\n';
}

QByteArray ParseChecksum(const QByteArray& aText, const QString& aFtpName, const QString& aChecksumName)
{
    const QByteArray wanted = LineName(aFtpName).toUtf8();
    bool anyLine = false;
    for (QByteArray line : aText.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        const bool escaped = line.startsWith('\\');
        if (escaped)
            line.remove(0, 1);
        const QByteArray digest = line.left(cDigestHexDigits);
        // "<hex>  <name>" (text mode) or "<hex> *<name>" (binary mode).
        if (line.size() < cDigestHexDigits + 3 || !IsHex(digest) || line[cDigestHexDigits] != ' ' ||
            (line[cDigestHexDigits + 1] != ' ' && line[cDigestHexDigits + 1] != '*'))
            continue;
        anyLine = true;
        const QByteArray name = line.mid(cDigestHexDigits + 2);
        if ((escaped ? Unescaped(name) : name) == wanted)
            return QByteArray::fromHex(digest);
    }
    throw EVandrel(
        anyLine ? QStringLiteral("The checksum file \"%1\" holds no SHA-256 checksum for \"%2\".")
                      .arg(aChecksumName, QString::fromUtf8(wanted))
                : QStringLiteral("The checksum file \"%1\" is not in the format of sha256sum.").arg(aChecksumName));
}

} // namespace VandrelChecksum
