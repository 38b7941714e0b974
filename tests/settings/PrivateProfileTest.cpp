// The INI text rules, on strings: lookup and in-place editing.
#include <gtest/gtest.h>

#include <string>

#include "platform/PrivateProfile.h"

using platform::ProfileLookup;
using platform::ProfileUpdate;

namespace {

TEST(ProfileLookup, NamesIgnoreCaseAndBlanksValuesLoseBlanksAndMatchingQuotes) {
    const std::string text =
        "  [ Tunnel ]  \r\n"
        "#Comment=not a key\r\n"
        "\tport\t=  27660  \r\n"
        "IP=\"10.0.0.1\"\r\n"
        "Quoted Blank=' spaced '\r\n"
        "Half=\"open\r\n"
        "Mixed=\"a'\r\n"
        "One='\r\n"
        "Url=http://h/?a=b\r\n"
        "Bare Line Without Equals\r\n"
        "Empty=\r\n";
    EXPECT_EQ(ProfileLookup(text, "TUNNEL", "PORT"), "27660");
    EXPECT_EQ(ProfileLookup(text, " tunnel ", " Port "), "27660");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "ip"), "10.0.0.1");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Quoted Blank"), " spaced ");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Half"), "\"open");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Mixed"), "\"a'");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "One"), "'");  // one character: not a quoted value
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Url"), "http://h/?a=b");  // the first '=' ends the key
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Empty"), "");
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Bare Line Without Equals"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "Missing"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "Missing", "Port"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "Tunnel", "#Comment"), std::nullopt);
}

TEST(ProfileLookup, FirstSectionAndFirstKeyWinAndKeysStayInTheirSection) {
    const std::string text =
        "\xEF\xBB\xBF[A]\n"
        "K=1\n"
        "k=2\n"
        "[B]\n"
        "Only=b\n"
        "[a]\n"
        "K=3\n"
        "Later=4";  // no line end on the last line
    EXPECT_EQ(ProfileLookup(text, "A", "K"), "1");
    EXPECT_EQ(ProfileLookup(text, "A", "Later"), std::nullopt);  // second [a] is not looked at
    EXPECT_EQ(ProfileLookup(text, "A", "Only"), std::nullopt);
    EXPECT_EQ(ProfileLookup(text, "B", "Only"), "b");
}

TEST(ProfileUpdate, NewFileNewSectionsAndNewKeysUseCrLfWithoutBlankLines) {
    std::string text = ProfileUpdate("", "This End", "IP", "0.0.0.0");
    text = ProfileUpdate(text, "Other End", "IP", "1.2.3.4");
    text = ProfileUpdate(text, "this end", "Mask", "255.255.255.0");
    EXPECT_EQ(text,
              "[This End]\r\nIP=0.0.0.0\r\nMask=255.255.255.0\r\n"
              "[Other End]\r\nIP=1.2.3.4\r\n");
}

TEST(ProfileUpdate, RewritesInPlaceKeepingSpellingLineEndAndEveryOtherLine) {
    const std::string text =
        "; top comment\n"
        "[Tunnel]\n"
        "  tcp = yes   \n"
        "Unknown=kept\n"
        "\n"
        "; about the next section\n"
        "[Listen]\n"
        "Port=1";
    EXPECT_EQ(ProfileUpdate(text, "TUNNEL", "TCP", "No"),
              "; top comment\n[Tunnel]\ntcp=No\nUnknown=kept\n\n; about the next section\n"
              "[Listen]\nPort=1");
    // A new key goes after the section's last key line: before the blank line and before the
    // comment that introduces the next section. The file's LF line ends are kept.
    EXPECT_EQ(ProfileUpdate(text, "Tunnel", "TCP Initiate", "No"),
              "; top comment\n[Tunnel]\n  tcp = yes   \nUnknown=kept\nTCP Initiate=No\n\n"
              "; about the next section\n[Listen]\nPort=1");
    // An unterminated last line is ended before anything is added after it.
    EXPECT_EQ(ProfileUpdate(text, "Listen", "Extra", "x"),
              "; top comment\n[Tunnel]\n  tcp = yes   \nUnknown=kept\n\n"
              "; about the next section\n[Listen]\nPort=1\nExtra=x\n");
    EXPECT_EQ(ProfileUpdate(text, "Start", "Hide", "No"), text + "\n[Start]\nHide=No\n");
}

TEST(ProfileUpdate, EmptySectionGetsItsKeyRightAfterTheHeader) {
    EXPECT_EQ(ProfileUpdate("[A]\r\n\r\n[B]\r\nX=1\r\n", "a", "K", "v"),
              "[A]\r\nK=v\r\n\r\n[B]\r\nX=1\r\n");
}

TEST(ProfileUpdate, ValueIsCutAtALineEndSoItCannotAddLines) {
    EXPECT_EQ(ProfileUpdate("", "S", "K", "first\r\n[Evil]\r\nX=1"), "[S]\r\nK=first\r\n");
    EXPECT_EQ(ProfileUpdate("", "S", "K", "a\nb"), "[S]\r\nK=a\r\n");
}

TEST(ProfileUpdate, NullValueDeletesTheKeyAndNullKeyTheSection) {
    const std::string text = "[A]\r\nK=1\r\nL=2\r\n[B]\r\nM=3\r\n";
    EXPECT_EQ(ProfileUpdate(text, "a", "k", nullptr), "[A]\r\nL=2\r\n[B]\r\nM=3\r\n");
    EXPECT_EQ(ProfileUpdate(text, "A", nullptr, nullptr), "[B]\r\nM=3\r\n");
    EXPECT_EQ(ProfileUpdate(text, "C", "K", nullptr), text);
    EXPECT_EQ(ProfileUpdate(text, "A", "Z", nullptr), text);
}

}  // namespace
