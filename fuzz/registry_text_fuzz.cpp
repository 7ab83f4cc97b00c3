// The registry file's text, as the Linux program reads its configuration
// from it. Beyond not crashing: a failed lookup leaves the result alone, a
// found text holds no NUL, and the same content must give the same answer
// with CR LF line ends, behind a UTF-8 byte order mark, and re-encoded as
// UTF-16LE with its byte order mark.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Registry.h"

namespace {

constexpr char kKey[] = "\\Software\\quillmere\\harbrook\\Tessalin";
constexpr char kUntouched[] = "\x01untouched";

struct Answer {
  bool found;
  std::string text;
  bool operator==(const Answer&) const = default;
};

Answer Lookup(std::string_view content, platform::RegistryRoot root, const char* name) {
  Answer a{false, kUntouched};
  a.found = platform::ReadRegistryExportString(content, root, kKey, name, a.text);
  if (!a.found) FUZZ_CHECK(a.text == kUntouched, "a failed lookup leaves the result alone");
  if (a.found) FUZZ_CHECK(a.text.find('\0') == std::string::npos, "text ends at its NUL");
  return a;
}

bool StartsWithBom(std::string_view s) {
  return s.starts_with("\xFF\xFE") || s.starts_with("\xEF\xBB\xBF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  // The value the program reads, and one that is not there in the seeds,
  // also under another root.
  const Answer host = Lookup(content, platform::kHKeyLocalMachine, "SyslogHost");
  Lookup(content, platform::kHKeyCurrentUser, "");
  Lookup(content, 0x12345678u, "SyslogHost");

  if (StartsWithBom(content)) return 0;

  std::string crlf;
  for (char c : content) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  FUZZ_CHECK(Lookup(crlf, platform::kHKeyLocalMachine, "SyslogHost") == host, "CR LF line ends");

  const std::string utf8 = "\xEF\xBB\xBF" + std::string(content);
  FUZZ_CHECK(Lookup(utf8, platform::kHKeyLocalMachine, "SyslogHost") == host, "UTF-8 mark");

  // 7-bit text without NUL reads the same as UTF-16LE.
  bool seven_bit = true;
  for (char c : content) seven_bit = seven_bit && c != '\0' && static_cast<unsigned char>(c) < 0x80;
  if (seven_bit) {
    std::string utf16 = "\xFF\xFE";
    for (char c : content) {
      utf16 += c;
      utf16 += '\0';
    }
    FUZZ_CHECK(Lookup(utf16, platform::kHKeyLocalMachine, "SyslogHost") == host, "UTF-16LE");
  }
  return 0;
}
