#include "watch/AddressText.h"

#include "rtl/SysUtils.h"

namespace watch {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

char* PutIp(char* p, uint32_t address) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned n = (address >> shift) & 0xFF;
    if (n >= 100) {
      *p++ = static_cast<char>('0' + n / 100);
      *p++ = static_cast<char>('0' + n / 10 % 10);
    } else if (n >= 10) {
      *p++ = static_cast<char>('0' + n / 10);
    }
    *p++ = static_cast<char>('0' + n % 10);
    if (shift) *p++ = '.';
  }
  return p;
}

// A MAC text's twelve digits, each read by digit (-1 for no digit), with
// "-" after the sixth.
template <class Digit>
bool ParseMacDigits(std::string_view text, uint64_t& value, Digit digit) {
  if (text.size() != kMacTextSize || text[6] != '-') return false;
  uint64_t v = 0;
  for (size_t i = 0; i < kMacTextSize; ++i) {
    if (i == 6) continue;
    const int d = digit(text[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<unsigned>(d);
  }
  value = v;
  return true;
}

int UpperHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string MacText(const uint8_t* bytes) {
  char text[kMacTextSize];
  PutMac(text, MacValue(bytes));
  return std::string(text, sizeof text);
}

std::string IpText(uint32_t address) {
  std::string text;
  AppendIp(address, text);
  return text;
}

char* PutMac(char* p, uint64_t value) {
  for (int shift = 40; shift >= 0; shift -= 8) {
    const unsigned byte = (value >> shift) & 0xFF;
    *p++ = kHexDigits[byte >> 4];
    *p++ = kHexDigits[byte & 0x0F];
    if (shift == 24) *p++ = '-';
  }
  return p;
}

void AppendIp(uint32_t address, std::string& out) {
  char text[kIpTextMax];
  out.append(text, static_cast<size_t>(PutIp(text, address) - text));
}

bool ParseMac(std::string_view text, uint64_t& value) {
  return ParseMacDigits(text, value, rtl::HexDigit);
}

bool ParsePlainMac(std::string_view text, uint64_t& value) {
  return ParseMacDigits(text, value, UpperHexDigit);
}

bool ParseIp(std::string_view text, uint32_t& address) {
  if (text.empty() || text.size() > kIpTextMax) return false;
  uint32_t value = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    unsigned n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      n = n * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == start || n > 255 || (text[start] == '0' && i - start > 1)) return false;
    value = (value << 8) | n;
  }
  if (i != text.size()) return false;
  address = value;
  return true;
}

bool IsTableText(std::string_view line) {
  for (size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t more;
    uint32_t code;
    if ((c & 0xE0) == 0xC0) {
      more = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= line.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(line[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      code = code << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point.
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[more] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace watch
