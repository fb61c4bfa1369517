// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

/// The one string-encryption transform of the program: Twofish-128 in 8-bit cipher feedback, then Base64.
namespace USVCrypt {

/// An 8-byte key; the cipher key is these bytes followed by 8 zero bytes.
using TCryptKey = std::array<std::uint8_t, 8>;

/// Encrypts aText (as Windows-1252 bytes) under aKey and returns the Base64 stored form; "" gives "".
QString EncryptString(const QString& aText, TCryptKey aKey);
/// Decrypts a stored form after running the cipher's known-answer self test; throws EVandrel when the test fails.
QString DecryptString(const QString& aText, TCryptKey aKey);
/// Decrypts a stored form like DecryptString, but without the self test (the settings file's load path).
QString DecryptStringUnchecked(const QString& aText, TCryptKey aKey);

/// Runs the Twofish known-answer chains (128 and 256 bit keys) on libgcrypt's cipher; true when both match.
bool SelfTest();
/// Runs the known-answer chains on the given libgcrypt algorithms (for 128 and 256 bit keys); true when both match.
bool SelfTestWith(int aAlgo128, int aAlgo256);

/// Twofish CFB-8 over raw bytes, with the initial register E(0); aEncrypt chooses the direction.
QByteArray CryptBytes(const QByteArray& aBytes, TCryptKey aKey, bool aEncrypt);

/// Converts text to Windows-1252 bytes; characters it cannot hold become '?'.
QByteArray ToAnsi(const QString& aText);
/// Converts Windows-1252 bytes to text (the five unassigned bytes map to the C1 controls of the same value).
QString FromAnsi(const QByteArray& aBytes);

/// Base64 with the standard alphabet and "=" padding, no line breaks.
QByteArray EncodeBase64(const QByteArray& aBytes);
/// Lenient Base64: whole groups of 4 only, each group decoded on its own, nothing rejected.
QByteArray DecodeBase64(const QByteArray& aText);

/// Parses 16 hexadecimal digits (byte 0 first) into a key; throws EVandrel on anything else.
TCryptKey KeyFromHex(const QString& aHex);

} // namespace USVCrypt
