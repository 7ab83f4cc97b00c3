#include "watch/AddressText.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

namespace watch {
namespace {

TEST(AddressTextTest, MacAndIpText) {
  const uint8_t a[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  const uint8_t b[] = {0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
  const uint8_t c[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(MacText(a), "00A0C9-1234EF");
  EXPECT_EQ(MacText(b), "00000C-07AC01");
  EXPECT_EQ(MacText(c), "FFFFFF-FFFFFF");
  EXPECT_EQ(IpText(0xC0A80007), "192.168.0.7");
  EXPECT_EQ(IpText(0x1000000A), "16.0.0.10");
  EXPECT_EQ(IpText(0), "0.0.0.0");
  EXPECT_EQ(IpText(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(IpText(0x0A636409), "10.99.100.9");
}

// The table file's loader keeps as integers only the texts that the
// writers give back byte for byte (ParseIp, ParsePlainMac), or that
// compare equal to such a text (ParseMac); every other text must stay a
// text, so a parser that accepts one too many loses how it was written.
TEST(AddressTextTest, ParsersTakeOnlyTheTextsTheyStandFor) {
  const struct {
    const char* text;
    std::optional<uint32_t> address;
  } ips[] = {
      {"192.168.0.7", 0xC0A80007},
      {"0.0.0.0", 0},
      {"255.255.255.255", 0xFFFFFFFF},
      {"10.99.100.9", 0x0A636409},
      {"010.0.0.1", {}},  // leading zero
      {"10.0.0.01", {}},
      {"10.0.00.1", {}},
      {"256.0.0.1", {}},
      {"1.2.3.1000", {}},
      {"1.2.3", {}},
      {"1.2.3.4.5", {}},
      {"1.2.3.4.", {}},
      {".1.2.3", {}},
      {"1..2.3", {}},
      {" 1.2.3.4", {}},
      {"1.2.3.4 ", {}},
      {"1.2.3.-4", {}},
      {"", {}},
  };
  for (const auto& c : ips) {
    SCOPED_TRACE(c.text);
    uint32_t address = 7;
    EXPECT_EQ(ParseIp(c.text, address), c.address.has_value());
    EXPECT_EQ(address, c.address.value_or(7));
  }

  const struct {
    const char* text;
    std::optional<uint64_t> any_case;  // ParseMac
    bool plain;                        // ParsePlainMac takes it too
  } macs[] = {
      {"00A0C9-1234EF", 0x00A0C91234EFull, true},
      {"FFFFFF-FFFFFF", 0xFFFFFFFFFFFFull, true},
      {"000000-000000", 0, true},
      {"00a0c9-1234ef", 0x00A0C91234EFull, false},
      {"00A0c9-1234EF", 0x00A0C91234EFull, false},
      {"00A0C91234EF", {}, false},  // no dash
      {"00A0C9:1234EF", {}, false},
      {"00A0C-91234EF", {}, false},
      {"00A0C9-1234EG", {}, false},
      {"00A0C9-1234E", {}, false},
      {"00A0C9-1234EF0", {}, false},
      {" 00A0C9-1234E", {}, false},
      {"", {}, false},
  };
  for (const auto& c : macs) {
    SCOPED_TRACE(c.text);
    uint64_t any = 7, plain = 7;
    EXPECT_EQ(ParseMac(c.text, any), c.any_case.has_value());
    EXPECT_EQ(any, c.any_case.value_or(7));
    EXPECT_EQ(ParsePlainMac(c.text, plain), c.plain);
    EXPECT_EQ(plain, c.plain ? *c.any_case : 7);
  }
}

// Every address comes back from its own text.
TEST(AddressTextTest, TextsParseBackToTheirAddresses) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 10000; ++i) {
    const uint64_t mac = rng() & 0xFFFFFFFFFFFFull;
    uint8_t bytes[6];
    for (int b = 0; b < 6; ++b) bytes[b] = static_cast<uint8_t>(mac >> (40 - 8 * b));
    ASSERT_EQ(MacValue(bytes), mac);
    const std::string mac_text = MacText(bytes);
    uint64_t any = 0, plain = 0;
    ASSERT_TRUE(ParseMac(mac_text, any) && ParsePlainMac(mac_text, plain)) << mac_text;
    ASSERT_EQ(any, mac);
    ASSERT_EQ(plain, mac);

    // Numbers of one, two and three digits alike.
    const auto ip = static_cast<uint32_t>(i < 256 ? i * 0x01010101u : rng());
    uint32_t back = 0;
    ASSERT_TRUE(ParseIp(IpText(ip), back)) << IpText(ip);
    ASSERT_EQ(back, ip);
  }
}

}  // namespace
}  // namespace watch
