#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SealTestSupport.h"
#include "seal/TunnelKey.h"

namespace {

using seal::CTunnelKey;

// 32 bytes 0x00 .. 0x1F, in the three spellings an operator may paste.
const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kBase64 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // as `base64` prints

void ExpectBytes0To31(const CTunnelKey& key) {
    ASSERT_TRUE(key.IsSet());
    for (int i = 0; i < 32; ++i) EXPECT_EQ(key.Bytes()[i], i);
}

TEST(TunnelKey, HexInEitherCaseAndBase64GiveTheSameBytes) {
    std::string error;
    CTunnelKey key;
    ASSERT_TRUE(CTunnelKey::Parse(kHex, key, error)) << error;
    ExpectBytes0To31(key);
    std::string upper = kHex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(CTunnelKey::Parse(upper, key, error)) << error;
    ExpectBytes0To31(key);
    // The base64 tool's output ends in a line break; an INI line may carry spaces or a CR.
    ASSERT_TRUE(CTunnelKey::Parse(" " + kBase64 + "\r\n", key, error)) << error;
    ExpectBytes0To31(key);
}

TEST(TunnelKey, AnythingElseIsRefusedWithoutShowingTheText) {
    const std::string bad[] = {
        "",
        "   ",
        kHex.substr(0, 63),                  // a digit short
        kHex + "0",                          // a digit over
        kHex.substr(0, 62) + "zz",           // not hexadecimal
        kBase64.substr(0, 43),               // base64 without its padding
        kBase64.substr(0, 42) + "9=",        // a trailing bit set: not exactly 32 bytes
        kBase64.substr(0, 40) + "AAAAAA==",  // 48 characters
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=AAAA",
        kBase64.substr(0, 20) + "=" + kBase64.substr(21),  // padding in the middle
        std::string(64, '0'),                              // all zeros: no key at all
        "correct horse battery staple, which is not a key",
    };
    for (const std::string& text : bad) {
        CTunnelKey key = sealtest::KeyFilledWith(0x42);
        std::string error;
        EXPECT_FALSE(CTunnelKey::Parse(text, key, error)) << "accepted: " << text;
        EXPECT_FALSE(key.IsSet());
        for (int i = 0; i < 32; ++i) EXPECT_EQ(key.Bytes()[i], 0) << "left key bytes behind";
        EXPECT_NE(error.find("[Tunnel] Key"), std::string::npos) << error;
        EXPECT_NE(error.find("head -c 32 /dev/urandom | base64"), std::string::npos) << error;
        // No piece of the text (8 characters or more) shows up in the message.
        for (std::size_t at = 0; at + 8 <= text.size(); ++at) {
            EXPECT_EQ(error.find(text.substr(at, 8)), std::string::npos) << error;
        }
    }
}

}  // namespace
