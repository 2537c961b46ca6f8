#include "protocol/text_format.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "protocol/decimal_text.h"

namespace {

using namespace protocol;
using Address = std::array<std::uint8_t, 4>;

TEST(TextFormat, DottedAndEndpointTextHaveNoLeadingZeros) {
  EXPECT_EQ(DottedText(Address{10, 0, 0, 5}), "10.0.0.5");
  EXPECT_EQ(DottedText(Address{255, 255, 255, 255}), "255.255.255.255");
  EXPECT_EQ(DottedText(std::vector<std::uint8_t>{0, 80, 194, 1, 2, 255}), "0.80.194.1.2.255");
  EXPECT_EQ(DottedText(std::vector<std::uint8_t>{}), "");
  EXPECT_EQ(EndpointText(Address{192, 168, 10, 200}, 20000), "192.168.10.200:20000");
}

TEST(TextFormat, HexBytesAreUpperCasePairs) {
  EXPECT_EQ(HexBytes(std::vector<std::uint8_t>{0x57, 0x00, 0x01, 0xAB, 0xFF}), "57 00 01 AB FF");
  EXPECT_EQ(HexBytes(std::vector<std::uint8_t>{}), "");
}

TEST(TextFormat, FormatTextTakesWhateverLengthItNeeds) {
  EXPECT_EQ(FormatText("Lamp %d ON ", 5), "Lamp 5 ON ");
  const std::string longAddress(300, '9');
  EXPECT_EQ(FormatText("IP_Address[ %s ]", longAddress.c_str()),
            "IP_Address[ " + longAddress + " ]");
}

TEST(TextFormat, Ipv4ParsingIsStrict) {
  Address parsed{};
  EXPECT_TRUE(ParseIpv4("192.168.10.200", parsed));
  EXPECT_EQ(parsed, (Address{192, 168, 10, 200}));
  EXPECT_TRUE(ParseIpv4("0.0.0.0", parsed));
  EXPECT_EQ(parsed, (Address{0, 0, 0, 0}));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1..3.4",
                          "01.2.3.4", "+1.2.3.4", "1.2.3.4a", "1.2.3.1000", "a.b.c.d"}) {
    Address untouched = {9, 9, 9, 9};
    EXPECT_FALSE(ParseIpv4(bad, untouched)) << '"' << bad << '"';
    EXPECT_EQ(untouched, (Address{9, 9, 9, 9})) << bad;
  }
}

TEST(TextFormat, MacAddressesInEveryFormPeopleWrite) {
  using Mac = std::array<std::uint8_t, 6>;
  const Mac expected = {0x00, 0x50, 0xC2, 0x01, 0x02, 0x0A};
  for (const char* text : {"00:50:c2:01:02:0a", "00-50-C2-01-02-0A", "0.80.194.1.2.10"}) {
    Mac parsed{};
    EXPECT_TRUE(ParseMac(text, parsed)) << text;
    EXPECT_EQ(parsed, expected) << text;
  }
  EXPECT_EQ(MacColonText(expected), "00:50:c2:01:02:0a");
  for (const char* bad :
       {"", "00:50:c2:01:02", "00:50:c2:01:02:0a:0b", "0:50:c2:01:02:0a", "00:50-c2:01:02:0a",
        "00:50:c2:01:02:0g", "0.80.194.1.2.256", "0.80.194.1.2", "0.080.194.1.2.10"}) {
    Mac untouched = {9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ParseMac(bad, untouched)) << '"' << bad << '"';
    EXPECT_EQ(untouched, (Mac{9, 9, 9, 9, 9, 9})) << bad;
  }
}

TEST(DecimalText, ReadsLikeTheToolsReadEveryNumber) {
  EXPECT_EQ(DecimalTextToInt("  20000abc"), 20000);
  EXPECT_EQ(DecimalTextToInt("-1"), -1);
  EXPECT_EQ(DecimalTextToInt("+7"), 7);
  EXPECT_EQ(DecimalTextToInt(""), 0);
  EXPECT_EQ(DecimalTextToInt("x12"), 0);
  EXPECT_EQ(DecimalTextToInt("4294967296") & 0xFFFF, 0);  // wraps, never overflows
}

}  // namespace
