// SPDX-License-Identifier: MIT
#include "USVCrypt.h"
#include "EVandrel.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

using namespace USVCrypt;

namespace {

const TCryptKey cZeroKey{};
const TCryptKey cSettingsKey = {0x7C, 0x15, 0xE9, 0xB2, 0xD4, 0xA8, 0x60, 0x3F};

struct TEncryptRow
{
    const char* Name;
    QString Text;
    TCryptKey Key;
    QString Stored;
};

// clang-format off
const TEncryptRow cEncryptRows[] = {
    {"Empty_GivesEmpty",            QString(),              cSettingsKey, QString()},
    {"Abc_ZeroKey",                 QStringLiteral("abc"),  cZeroKey,     QStringLiteral("tTp+")},
    {"Abc_SettingsKey",             QStringLiteral("abc"),  cSettingsKey, QStringLiteral("Z5Xp")},
    // Byte-wise feedback: appending a letter keeps the first cipher bytes.
    {"Abcd_SharesPrefixWithAbc",    QStringLiteral("abcd"), cSettingsKey, QStringLiteral("Z5XpWw==")},
};
// clang-format on

class EncryptReference : public ::testing::TestWithParam<TEncryptRow>
{
};

TEST_P(EncryptReference, MatchesIndependentImplementation_AndDecryptsBack)
{
    const TEncryptRow& row = GetParam();
    EXPECT_EQ(EncryptString(row.Text, row.Key), row.Stored);
    EXPECT_EQ(DecryptString(row.Stored, row.Key), row.Text);
    EXPECT_EQ(DecryptString(row.Stored + QStringLiteral("\r\n"), row.Key), row.Text);
}

INSTANTIATE_TEST_SUITE_P(USVCryptTest, EncryptReference, ::testing::ValuesIn(cEncryptRows), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST(USVCryptTest, StoredForm_HasBase64LengthAndPadding)
{
    // clang-format off
    const struct { QString Text; qsizetype Length; QString Tail; } rows[] = {
        {QStringLiteral("a"),       4, QStringLiteral("==")},
        {QStringLiteral("ab"),      4, QStringLiteral("=")},
        {QStringLiteral("abc"),     4, QString()},
        {QStringLiteral("abcdefg"), 12, QStringLiteral("==")},
    };
    // clang-format on
    for (const auto& row : rows) {
        const QString stored = EncryptString(row.Text, cSettingsKey);
        EXPECT_EQ(stored.size(), row.Length) << row.Text.toStdString();
        EXPECT_EQ(stored.count(u'='), row.Tail.size()) << row.Text.toStdString();
        EXPECT_TRUE(stored.endsWith(row.Tail));
    }
}

TEST(USVCryptTest, KeyLayoutAndMode_FollowTwofishKnownAnswers)
{
    // Zero key: the register is E(0) = 9F58..., so the first keystream byte is E(E(0))[0] = 0xD4
    // (the second entry of the published 128-bit table, D491DB16E7B1C39E86CB086B789F5419).
    EXPECT_EQ(CryptBytes(QByteArray(1, '\0'), cZeroKey, true).toHex(), QByteArray("d4"));
    const QByteArray plain("Provider=SQLOLEDB.1;Data Source=SRV01");
    const QByteArray cipher = CryptBytes(plain, cSettingsKey, true);
    EXPECT_EQ(cipher.size(), plain.size());
    EXPECT_NE(cipher, plain);
    EXPECT_EQ(CryptBytes(cipher, cSettingsKey, false), plain);
}

TEST(USVCryptTest, WrongKey_GivesOtherTextWithoutError)
{
    const QString stored = EncryptString(QStringLiteral("secret text"), cSettingsKey);
    QString decrypted;
    EXPECT_NO_THROW(decrypted = DecryptString(stored, cZeroKey));
    EXPECT_NE(decrypted, QStringLiteral("secret text"));
    EXPECT_EQ(decrypted.size(), 11);
}

TEST(USVCryptTest, SelfTest_AcceptsTwofishAndRefusesOtherCiphers)
{
    EXPECT_TRUE(SelfTest());
    EXPECT_FALSE(SelfTestWith(GCRY_CIPHER_AES128, GCRY_CIPHER_TWOFISH));
    EXPECT_FALSE(SelfTestWith(GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_SERPENT256));
    // A cipher that cannot be keyed with these sizes is refused, not thrown.
    EXPECT_FALSE(SelfTestWith(GCRY_CIPHER_3DES, GCRY_CIPHER_TWOFISH));
}

struct TBase64Row
{
    const char* Name;
    QByteArray Text;
    QByteArray Bytes;
};

// clang-format off
const TBase64Row cBase64Rows[] = {
    {"WholeGroups",                 "QUJDREVG",     "ABCDEF"},
    {"ShortFinalGroupIgnored",      "QUJDRA",       "ABC"},
    {"TrailingCrLfIgnored",         "QUJD\r\n",     "ABC"},
    {"ThirdEqualsGivesOneByte",     "QQ==",         "A"},
    {"FourthEqualsGivesTwoBytes",   "QUI=",         "AB"},
    {"EqualsInsideShortensOnlyItsGroup", "QQ==QUJD", "AABC"},
    {"Empty",                       "",             ""},
};
// clang-format on

class Base64Decoding : public ::testing::TestWithParam<TBase64Row>
{
};

TEST_P(Base64Decoding, FollowsGroupRules)
{
    EXPECT_EQ(DecodeBase64(GetParam().Text), GetParam().Bytes);
}

INSTANTIATE_TEST_SUITE_P(USVCryptTest, Base64Decoding, ::testing::ValuesIn(cBase64Rows), [](const auto& aInfo) {
    return std::string(aInfo.param.Name);
});

TEST(USVCryptTest, Base64_OutsideAlphabetDoesNotFail)
{
    EXPECT_EQ(DecodeBase64("Q!*#").size(), 3);
    EXPECT_EQ(EncodeBase64(QByteArray("\xFF\x00\x10", 3)), QByteArray("/wAQ"));
}

TEST(USVCryptTest, Windows1252_MapsAndReplaces)
{
    // clang-format off
    const struct { QString Text; QByteArray Ansi; QString Back; } rows[] = {
        {QStringLiteral("Ren\u00e9 \u20ac\u0160"), "Ren\xe9 \x80\x8a",  QStringLiteral("Ren\u00e9 \u20ac\u0160")},
        {QStringLiteral("a\u0100b"),               "a?b",               QStringLiteral("a?b")},
        {QStringLiteral("x\U0001F600y"),           "x?y",               QStringLiteral("x?y")},
        {QStringLiteral("\u0081\u009d"),           "\x81\x9d",          QStringLiteral("\u0081\u009d")},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(ToAnsi(row.Text), row.Ansi) << row.Text.toStdString();
        EXPECT_EQ(FromAnsi(row.Ansi), row.Back) << row.Text.toStdString();
        EXPECT_EQ(DecryptString(EncryptString(row.Text, cSettingsKey), cSettingsKey), row.Back);
    }
}

TEST(USVCryptTest, KeyFromHex_ReadsByteZeroFirst)
{
    EXPECT_EQ(KeyFromHex(QStringLiteral("7C15E9B2D4A8603F")), cSettingsKey);
    EXPECT_THROW(KeyFromHex(QStringLiteral("7C15E9B2D4A8603")), EVandrel);
    EXPECT_THROW(KeyFromHex(QStringLiteral("7C15E9B2D4A8603G")), EVandrel);
}

} // namespace
