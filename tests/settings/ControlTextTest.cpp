// What the controls make of a setting's text, as the daemon models them: the address box's
// fields, an edit box's hold on bytes that are not UTF-8, and cuts at a character boundary. The
// dialog's own controls run the same functions; the daemon test compares whole files with the
// dialog's.
#include <gtest/gtest.h>

#include <string>

#include "panel/ControlText.h"

using namespace panel;

TEST(ControlText, AddressFieldsAreOneToThreeDigitsUpTo255WithBlanksAround) {
    EXPECT_EQ(AddressField("7"), 7);
    EXPECT_EQ(AddressField(" 012\t"), 12);
    EXPECT_EQ(AddressField("\xc2\xa0"
                           "255\xe3\x80\x80"),
              255);  // no-break and ideographic space
    for (const char* bad : {"", " ", "256", "0012", "1a", "+1",
                            "\xc2"
                            "1",
                            "1 2"})
        EXPECT_EQ(AddressField(bad), -1) << bad;

    int filled = 0;
    EXPECT_EQ(AddressValue("10.2..x.9", &filled), 0x0A020000u);  // a fifth field is not read
    EXPECT_EQ(filled, 2);
    EXPECT_EQ(ShownAddress("10..3"), "10..3.");
    EXPECT_EQ(ShownAddress("a.b"), "");
    EXPECT_EQ(AddressText(AddressValue(ShownAddress(" 10.01.0.300 "))), "10.1.0.0");
}

TEST(ControlText, EditTextReplacesEachBadByteAndCutsKeepWholeCharacters) {
    EXPECT_EQ(EditText("caf\xc3\xa9 \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xf0\x9f\x98\x80");
    const std::string bad = "\xef\xbf\xbd";
    EXPECT_EQ(EditText("a\xe9z"), "a" + bad + "z");
    EXPECT_EQ(EditText("\xe2\x82"), bad + bad);                      // a sequence cut short
    EXPECT_EQ(EditText("\xc0\xaf"), bad + bad);                      // overlong
    EXPECT_EQ(EditText("\xe0\x80\xaf"), bad + bad + bad);            // overlong in three bytes
    EXPECT_EQ(EditText("\xed\xa0\x80"), bad + bad + bad);            // a surrogate
    EXPECT_EQ(EditText("\xf4\x90\x80\x80"), bad + bad + bad + bad);  // beyond U+10FFFF

    EXPECT_EQ(CutText(std::string(400, 'x')).size(), 299u);
    EXPECT_EQ(CutText("ab\xc3\xa9", 4), "ab");  // 3 bytes fit, the 2-byte character does not
    EXPECT_EQ(CutText("02:00:00:0a:00:01", kMacBufferSize), "02:00:00:0a:00:01");
}
