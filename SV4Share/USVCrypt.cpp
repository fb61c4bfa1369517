// SPDX-License-Identifier: MIT
#include "USVCrypt.h"

#include "EVandrel.h"
#include "UHandles.h"

#include <gcrypt.h>

#include <string.h>

#include <algorithm>
#include <type_traits>

namespace USVCrypt {
namespace {

using TCipher = THandle<std::remove_pointer_t<gcry_cipher_hd_t>, &gcry_cipher_close>;

constexpr std::size_t cBlockSize = 16;
using TBlock = std::array<std::uint8_t, cBlockSize>;

/// Key bytes or a feedback register that are wiped when they go out of scope, on every path.
template <std::size_t N> struct TSecret
{
    std::array<std::uint8_t, N> Bytes{};
    TSecret() = default;
    TSecret(const TSecret&) = delete;
    TSecret& operator=(const TSecret&) = delete;
    ~TSecret() { explicit_bzero(Bytes.data(), Bytes.size()); }
};

// Unicode code points of Windows-1252's bytes 0x80..0x9F; the five unassigned bytes keep their own value,
// as the system's conversion does.
constexpr char16_t cHighTable[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                     0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char cDefaultChar = '?';

[[noreturn]] void ThrowGcrypt(const char* aWhat, gcry_error_t aError)
{
    throw EVandrel(QStringLiteral("%1: %2").arg(QString::fromLatin1(aWhat), QString::fromUtf8(gcry_strerror(aError))));
}

void Check(const char* aWhat, gcry_error_t aError)
{
    if (aError != 0)
        ThrowGcrypt(aWhat, aError);
}

TCipher OpenCipher(int aAlgo, int aMode, const std::uint8_t* aKey, std::size_t aKeyLength)
{
    gcry_cipher_hd_t raw = nullptr;
    Check("gcry_cipher_open", gcry_cipher_open(&raw, aAlgo, aMode, 0));
    TCipher cipher(raw);
    Check("gcry_cipher_setkey", gcry_cipher_setkey(cipher.get(), aKey, aKeyLength));
    return cipher;
}

bool RunChain(int aAlgo, std::size_t aKeyLength, const TBlock& aExpected)
{
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 32> nextKey{};
    TBlock block{};
    for (int step = 0; step < 49; ++step) {
        TCipher cipher = OpenCipher(aAlgo, GCRY_CIPHER_MODE_ECB, key.data(), aKeyLength);
        std::copy(block.begin(), block.end(), nextKey.begin());
        std::copy_n(key.begin(), aKeyLength - cBlockSize, nextKey.begin() + cBlockSize);
        Check("gcry_cipher_encrypt", gcry_cipher_encrypt(cipher.get(), block.data(), block.size(), nullptr, 0));
        key = nextKey;
    }
    return block == aExpected;
}

TBlock BlockFromHex(const char* aHex)
{
    const QByteArray bytes = QByteArray::fromHex(QByteArray(aHex));
    TBlock block{};
    std::copy_n(bytes.constData(), std::min<qsizetype>(bytes.size(), cBlockSize), block.begin());
    return block;
}

int Base64Value(char aChar)
{
    if (aChar >= 'A' && aChar <= 'Z')
        return aChar - 'A';
    if (aChar >= 'a' && aChar <= 'z')
        return aChar - 'a' + 26;
    if (aChar >= '0' && aChar <= '9')
        return aChar - '0' + 52;
    if (aChar == '+')
        return 62;
    if (aChar == '/')
        return 63;
    return 0; // "=" and characters outside the alphabet
}

QString Decrypt(const QString& aText, TCryptKey aKey)
{
    const QByteArray cipherBytes = DecodeBase64(ToAnsi(aText));
    QByteArray plain = CryptBytes(cipherBytes, aKey, false);
    const QString text = FromAnsi(plain);
    explicit_bzero(plain.data(), plain.size());
    return text;
}

} // namespace

QByteArray CryptBytes(const QByteArray& aBytes, TCryptKey aKey, bool aEncrypt)
{
    QByteArray result = aBytes;
    if (result.isEmpty())
        return result;
    TSecret<cBlockSize> key;
    std::copy(aKey.begin(), aKey.end(), key.Bytes.begin());
    TSecret<cBlockSize> registerBlock;
    {
        TCipher ecb = OpenCipher(GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_MODE_ECB, key.Bytes.data(), key.Bytes.size());
        Check("gcry_cipher_encrypt",
              gcry_cipher_encrypt(ecb.get(), registerBlock.Bytes.data(), registerBlock.Bytes.size(), nullptr, 0));
    }
    TCipher cfb = OpenCipher(GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_MODE_CFB8, key.Bytes.data(), key.Bytes.size());
    Check("gcry_cipher_setiv", gcry_cipher_setiv(cfb.get(), registerBlock.Bytes.data(), registerBlock.Bytes.size()));
    auto* data = reinterpret_cast<unsigned char*>(result.data());
    const gcry_error_t error = aEncrypt ? gcry_cipher_encrypt(cfb.get(), data, result.size(), nullptr, 0)
                                        : gcry_cipher_decrypt(cfb.get(), data, result.size(), nullptr, 0);
    Check(aEncrypt ? "gcry_cipher_encrypt" : "gcry_cipher_decrypt", error);
    return result;
}

bool SelfTestWith(int aAlgo128, int aAlgo256)
{
    try {
        return RunChain(aAlgo128, 16, BlockFromHex("5D9D4EEFFA9151575524F115815A12E0")) &&
               RunChain(aAlgo256, 32, BlockFromHex("37FE26FF1CF66175F5DDF4C33B97A205"));
    } catch (const EVandrel&) {
        return false; // a cipher that cannot even be keyed with these sizes is refused as well
    }
}

bool SelfTest()
{
    // libgcrypt keys Twofish with 128 or 256 bits only, so the 192-bit chain cannot run on this cipher.
    return SelfTestWith(GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_TWOFISH);
}

QString EncryptString(const QString& aText, TCryptKey aKey)
{
    QByteArray plain = ToAnsi(aText);
    const QByteArray cipherBytes = CryptBytes(plain, aKey, true);
    explicit_bzero(plain.data(), plain.size());
    return QString::fromLatin1(EncodeBase64(cipherBytes));
}

QString DecryptString(const QString& aText, TCryptKey aKey)
{
    if (aText.isEmpty())
        return QString();
    if (!SelfTest())
        throw EVandrel(
            QStringLiteral("Assertion failure: the Twofish cipher failed its known-answer self test (USVCrypt)"));
    return Decrypt(aText, aKey);
}

QString DecryptStringUnchecked(const QString& aText, TCryptKey aKey)
{
    if (aText.isEmpty())
        return QString();
    return Decrypt(aText, aKey);
}

QByteArray ToAnsi(const QString& aText)
{
    QByteArray bytes;
    bytes.reserve(aText.size());
    for (qsizetype i = 0; i < aText.size(); ++i) {
        const char16_t unit = aText.at(i).unicode();
        if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
            bytes.append(static_cast<char>(unit));
            continue;
        }
        const auto* found = std::find(std::begin(cHighTable), std::end(cHighTable), unit);
        if (found != std::end(cHighTable)) {
            bytes.append(static_cast<char>(0x80 + (found - std::begin(cHighTable))));
            continue;
        }
        // A surrogate pair is one character, so it becomes one default character.
        if (QChar::isHighSurrogate(unit) && i + 1 < aText.size() && aText.at(i + 1).isLowSurrogate())
            ++i;
        bytes.append(cDefaultChar);
    }
    return bytes;
}

QString FromAnsi(const QByteArray& aBytes)
{
    QString text;
    text.reserve(aBytes.size());
    for (const char c : aBytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        text.append(byte >= 0x80 && byte < 0xA0 ? QChar(cHighTable[byte - 0x80]) : QChar(char16_t(byte)));
    }
    return text;
}

QByteArray EncodeBase64(const QByteArray& aBytes)
{
    return aBytes.toBase64(QByteArray::Base64Encoding);
}

QByteArray DecodeBase64(const QByteArray& aText)
{
    QByteArray bytes;
    bytes.reserve(aText.size() / 4 * 3);
    for (qsizetype g = 0; g + 4 <= aText.size(); g += 4) {
        const int w = Base64Value(aText.at(g));
        const int x = Base64Value(aText.at(g + 1));
        const int y = Base64Value(aText.at(g + 2));
        const int z = Base64Value(aText.at(g + 3));
        bytes.append(static_cast<char>(((w << 2) | (x >> 4)) & 0xFF));
        if (aText.at(g + 2) == '=')
            continue;
        bytes.append(static_cast<char>(((x << 4) | (y >> 2)) & 0xFF));
        if (aText.at(g + 3) == '=')
            continue;
        bytes.append(static_cast<char>(((y << 6) | z) & 0xFF));
    }
    return bytes;
}

TCryptKey KeyFromHex(const QString& aHex)
{
    static const QString cHexDigits = QStringLiteral("0123456789abcdefABCDEF");
    const bool wellFormed =
        aHex.size() == 16 && std::all_of(aHex.begin(), aHex.end(), [](QChar c) { return cHexDigits.contains(c); });
    if (!wellFormed)
        throw EVandrel(QStringLiteral("Not a key of 16 hexadecimal digits: %1").arg(aHex));
    const QByteArray bytes = QByteArray::fromHex(aHex.toLatin1());
    TCryptKey key{};
    std::copy_n(bytes.constData(), key.size(), key.begin());
    return key;
}

} // namespace USVCrypt
