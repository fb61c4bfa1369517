// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

/// The SHA-256 checksum file that travels beside an archive on the FTP server: "<FTP name>.sha256", one line in the
/// format of sha256sum naming the archive's last name component, so that `sha256sum -c` run in the archive's
/// folder checks the pair.
struct gcry_md_handle;

namespace VandrelChecksum {

/// A SHA-256 computed piece by piece (libgcrypt, which uses the processor's SHA instructions where it has them).
class TSha256
{
public:
    TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    ~TSha256();
    /// Adds the next aSize bytes.
    void Add(const char* aData, qint64 aSize) noexcept;
    /// The digest (32 bytes) of everything added so far.
    QByteArray Digest() const;

private:
    gcry_md_handle* FHandle = nullptr;
};

/// The largest checksum file a download reads.
constexpr qint64 cMaxChecksumFileBytes = 64 * 1024;

/// The checksum file's name beside aFtpName: "<aFtpName>.sha256".
QString ChecksumName(const QString& aFtpName);
/// The last "/"-separated component of aFtpName, the name the checksum line gives.
QString LineName(const QString& aFtpName);
/// The checksum file's text for aDigest (32 bytes): "<64 lower-case hex digits>  <LineName>\n", with sha256sum's
/// escape when the name holds a backslash.
QByteArray ChecksumText(const QByteArray& aDigest, const QString& aFtpName);
/// The digest (32 bytes) the checksum file aText gives for LineName(aFtpName). Throws EVandrel naming
/// aChecksumName when the text is not in the format or names no such file.
QByteArray ParseChecksum(const QByteArray& aText, const QString& aFtpName, const QString& aChecksumName);

} // namespace VandrelChecksum
