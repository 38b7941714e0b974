// The address control: dotted text in and out, the host-order value, blank and refused fields,
// and what the operator can type.
#include <gtest/gtest.h>

#include <QTest>

#include "ui/IpAddressCtrl.h"

namespace {

std::uint32_t Value(const CIpAddressCtrl& control, int* filled = nullptr) {
    std::uint32_t address = 0xDEADBEEF;
    const int count = control.GetAddress(&address);
    if (filled != nullptr) *filled = count;
    return address;
}

TEST(IpAddressCtrl, TextInAndOutAndHostOrderValue) {
    CIpAddressCtrl control;
    control.SetWindowText("192.168.0.1");
    EXPECT_EQ(control.text(), "192.168.0.1");
    EXPECT_EQ(control.GetWindowText(), "192.168.0.1");
    int filled = 0;
    EXPECT_EQ(Value(control, &filled), 0xC0A80001u);  // first field in the top byte
    EXPECT_EQ(filled, 4);

    control.SetWindowText("255.255.255.0");
    EXPECT_EQ(Value(control), 0xFFFFFF00u);
    control.SetWindowText("010.001.000.007");  // leading zeros are decimal, not octal
    EXPECT_EQ(Value(control), 0x0A010007u);
    EXPECT_EQ(control.GetWindowText(), "10.1.0.7");
}

TEST(IpAddressCtrl, BlankFieldsReadAsZero) {
    CIpAddressCtrl control;
    int filled = -1;
    EXPECT_EQ(Value(control, &filled), 0u);
    EXPECT_EQ(filled, 0);
    EXPECT_EQ(control.GetWindowText(), "0.0.0.0");

    control.SetWindowText("10..3");
    EXPECT_EQ(Value(control, &filled), 0x0A000300u);
    EXPECT_EQ(filled, 2);
    EXPECT_EQ(control.GetWindowText(), "10.0.3.0");

    control.SetWindowText("");
    EXPECT_EQ(Value(control, &filled), 0u);
    EXPECT_EQ(filled, 0);
    EXPECT_EQ(control.text(), "");
}

TEST(IpAddressCtrl, RefusesFieldsAbove255AndNonNumbers) {
    CIpAddressCtrl control;
    int filled = 0;
    control.SetWindowText("256.1.2.3");
    EXPECT_EQ(Value(control, &filled), 0x00010203u);
    EXPECT_EQ(filled, 3);
    control.SetWindowText("1.2.3.999");
    EXPECT_EQ(Value(control, &filled), 0x01020300u);
    EXPECT_EQ(filled, 3);
    control.SetWindowText("a.b.c.d");
    EXPECT_EQ(Value(control, &filled), 0u);
    EXPECT_EQ(filled, 0);
    control.SetWindowText("1.2.3.4.5");  // a fifth field is not part of the address
    EXPECT_EQ(Value(control), 0x01020304u);
    control.SetWindowText("1234.1.1.1");
    EXPECT_EQ(Value(control, &filled), 0x00010101u);
    EXPECT_EQ(filled, 3);
}

TEST(IpAddressCtrl, TypingKeepsEveryFieldWithinRange) {
    CIpAddressCtrl control;
    QTest::keyClicks(&control, "192.168.300");  // the last "0" would make the field 300
    EXPECT_EQ(control.text(), "192.168.30");
    QTest::keyClicks(&control, ".7.");  // a fourth dot would open a fifth field
    EXPECT_EQ(control.text(), "192.168.30.7");
    QTest::keyClicks(&control, "x 5-");  // only the digit goes in
    EXPECT_EQ(control.text(), "192.168.30.75");
    QTest::keyClicks(&control, "1");  // 751
    EXPECT_EQ(control.text(), "192.168.30.75");
    EXPECT_EQ(Value(control), 0xC0A81E4Bu);
}

}  // namespace
