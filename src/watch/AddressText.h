// MAC and IPv4 address texts: how reports and the table file write an
// address, and how the table file's loader reads one back.
//
// A MAC address is kept as a number, its first byte in the most
// significant place of the low 48 bits; its text is 13 characters, two
// upper-case hex digits per byte and "-" after the third ("00A0C9-1234EF").
// An IPv4 address is kept with its first number in the most significant
// byte; its text is dotted decimal without padding ("192.168.0.7"). The
// parsers say which texts stand for an address; any other text is the
// caller's to keep as it is. Plain functions of their arguments: any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace watch {

// Characters of a MAC text, and the most of an IPv4 text.
constexpr size_t kMacTextSize = 13;
constexpr size_t kIpTextMax = 15;

// "00A0C9-1234EF": two upper-case hex digits per byte, "-" after the third.
std::string MacText(const uint8_t* bytes);
// "192.168.0.7" from 0xC0A80007 (first number in the most significant byte).
std::string IpText(uint32_t address);

// The six bytes of a MAC address as one number, the first byte most
// significant.
inline uint64_t MacValue(const uint8_t* bytes) {
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | bytes[i];
  return v;
}

// Writes the MAC text of the low 48 bits of value at p, kMacTextSize
// characters without a terminator, and returns the end.
char* PutMac(char* p, uint64_t value);
// Appends IpText(address) to out.
void AppendIp(uint32_t address, std::string& out);

// The address a MAC text stands for, in either letter case: the texts that
// compare equal to a MacText (rtl::CompareText). Other texts give no
// address: false, and value as it was.
bool ParseMac(std::string_view text, uint64_t& value);
// The address of a MAC text exactly as MacText writes it (upper case).
bool ParsePlainMac(std::string_view text, uint64_t& value);
// The address of an IPv4 text exactly as IpText writes it; other texts
// (leading zeros, blanks, fewer or more numbers) give none.
bool ParseIp(std::string_view text, uint32_t& address);

// Whether a line of the table file could have come from a frame or an
// earlier table: no NUL byte, and valid UTF-8 (no overlong form, no
// surrogate, nothing past U+10FFFF). A frame's texts are ASCII; a
// hand-edited table may hold other text, which loads as it always has.
bool IsTableText(std::string_view line);

}  // namespace watch
