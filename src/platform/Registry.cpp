#include "platform/Registry.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "rtl/SysUtils.h"

namespace platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

// Value types, by their Windows numbers.
// A type number has up to eight hex digits, so it is held wider than 32 bits
// and never overflows while it is read.
constexpr int64_t kRegSz = 1;
constexpr int64_t kRegExpandSz = 2;
constexpr int64_t kRegDword = 4;
constexpr int64_t kDeleted = -1;  // "Name"=- : the value is absent

const char* RootName(RegistryRoot root) {
  switch (root) {
    case kHKeyClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kHKeyCurrentUser:
      return "HKEY_CURRENT_USER";
    case kHKeyLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case kHKeyUsers:
      return "HKEY_USERS";
    case kHKeyCurrentConfig:
      return "HKEY_CURRENT_CONFIG";
  }
  return nullptr;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE bytes to UTF-8, up to the first NUL character. A trailing odd
// byte is ignored; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      uint32_t v = unit(i + 1);
      if (v >= 0xDC00 && v < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
  }
  return out;
}

// Parses a double-quoted text with \\ and \" escapes at the start of s;
// on success s is left after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string text;
  size_t i = 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return text;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return std::nullopt;
      c = s[++i];
    }
    text += c;
  }
  return std::nullopt;
}

// "41,00,42,00" (a trailing comma allowed) to bytes.
std::optional<std::string> ParseHexBytes(std::string_view s) {
  std::string bytes;
  s = rtl::TrimView(s);
  while (!s.empty()) {
    if (s.size() < 2) return std::nullopt;
    int hi = rtl::HexDigit(s[0]), lo = rtl::HexDigit(s[1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes += static_cast<char>(hi * 16 + lo);
    s.remove_prefix(2);
    s = rtl::TrimView(s);
    if (s.empty()) break;
    if (s.front() != ',') return std::nullopt;
    s.remove_prefix(1);
    s = rtl::TrimView(s);
  }
  return bytes;
}

struct Value {
  int64_t type = 0;
  std::string data;  // text for kRegSz from quotes, raw bytes otherwise
  bool quoted = false;
};

// The data part of a value line (after '='). Continuation lines of hex data
// have been joined already.
std::optional<Value> ParseData(std::string_view s) {
  Value v;
  if (s.starts_with('"')) {
    auto text = ParseQuoted(s);
    if (!text || !rtl::TrimView(s).empty()) return std::nullopt;
    v.type = kRegSz;
    v.data = std::move(*text);
    v.quoted = true;
    return v;
  }
  if (s == "-") {
    v.type = kDeleted;
    return v;
  }
  if (s.starts_with("dword:")) {
    s.remove_prefix(6);
    if (s.empty() || s.size() > 8) return std::nullopt;
    for (char c : s) {
      if (rtl::HexDigit(c) < 0) return std::nullopt;
    }
    v.type = kRegDword;
    return v;
  }
  if (s.starts_with("hex:")) {
    s.remove_prefix(4);
    v.type = 3;  // REG_BINARY
  } else if (s.starts_with("hex(")) {
    s.remove_prefix(4);
    size_t close = s.find("):");
    if (close == std::string_view::npos || close == 0 || close > 8) return std::nullopt;
    int64_t type = 0;
    for (char c : s.substr(0, close)) {
      int d = rtl::HexDigit(c);
      if (d < 0) return std::nullopt;
      type = type * 16 + d;
    }
    v.type = type;
    s.remove_prefix(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = ParseHexBytes(s);
  if (!bytes) return std::nullopt;
  v.data = std::move(*bytes);
  return v;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

bool ReadRegistryExportString(std::string_view content, RegistryRoot root, std::string_view key,
                              std::string_view name, std::string& out) {
  const char* root_name = RootName(root);
  if (!root_name) return false;
  std::string decoded;
  if (content.starts_with("\xFF\xFE")) {
    decoded = Utf16LeToUtf8(content.substr(2));
    content = decoded;
  } else if (content.starts_with("\xEF\xBB\xBF")) {
    content.remove_prefix(3);
  }
  while (key.starts_with('\\')) key.remove_prefix(1);
  const std::string wanted_key = std::string(root_name) + "\\" + std::string(key);

  std::vector<std::string_view> lines = SplitLines(content);
  if (lines.empty() || rtl::TrimView(lines[0]) != kHeader) return false;

  bool in_key = false;
  std::optional<Value> found;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = rtl::TrimView(lines[i]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return false;
      std::string_view section = line.substr(1, line.size() - 2);
      if (section.front() == '-') {
        // A removed key: nothing read from it before counts.
        if (rtl::SameText(section.substr(1), wanted_key)) found.reset();
        in_key = false;
        continue;
      }
      in_key = rtl::SameText(section, wanted_key);
      continue;
    }
    std::string value_name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else {
      auto quoted = ParseQuoted(line);
      if (!quoted) return false;
      value_name = std::move(*quoted);
    }
    line = rtl::TrimView(line);
    if (!line.starts_with('=')) return false;
    line = rtl::TrimView(line.substr(1));
    // Hex data may go on over lines that end in a backslash.
    std::string joined;
    if (line.starts_with("hex")) {
      joined.assign(line);
      while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        if (++i >= lines.size()) return false;
        joined.append(rtl::TrimView(lines[i]));
      }
      line = joined;
    }
    std::optional<Value> value = ParseData(line);
    if (!value) return false;
    if (in_key && rtl::SameText(value_name, name)) found = std::move(value);
  }
  if (!found) return false;
  switch (found->type) {
    case kRegSz:
      if (found->quoted) {
        out = found->data.substr(0, found->data.find('\0'));
        return true;
      }
      [[fallthrough]];
    case kRegExpandSz:
      out = Utf16LeToUtf8(found->data);
      return true;
    default:
      return false;
  }
}

const char* RegistrySourceText(RegistrySource source) {
  switch (source) {
    case RegistrySource::kUsable:
      return "is usable";
    case RegistrySource::kMissing:
      return "does not exist";
    case RegistrySource::kNotRegular:
      return "is not a regular file";
    case RegistrySource::kTooLarge:
      return "is larger than 1 MB";
    case RegistrySource::kUnreadable:
      return "cannot be read";
  }
  return "cannot be used";
}

void Registry::ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                           size_t count) {
  for (size_t i = 0; i < count; ++i) {
    queries[i].found = ReadString(root, key, queries[i].name, *queries[i].out);
  }
}

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// How long after a file's time of last write its stamp alone tells every
// later change. A write shows as a new time of last write, but that time
// is only as fine as the clock the file system takes it from: Linux stamps
// a write from a clock that moves once per kernel tick (1 to 10 ms, though
// the field has nanoseconds), Windows from one that moves every 15.6 ms,
// exFAT keeps steps of 10 ms and FAT of two seconds. Two in-place writes of
// the same size within one step leave size and time as they were, and the
// second may come after a read of the first; the change time moves by the
// same clock, so it tells no more. Once a file's time lies further behind
// the moment it is looked at than one step, a write after that moment must
// carry a later time, and from then on the stamp vouches for what was read.
// Until then (a file written just now) the file is read at every query and
// compared with what was read before: a read, but no parse, so a burst of
// reports after an edit parses it once, and a second edit within the same
// step is still seen at the next query. A time with a fraction of a second
// comes from a file system that keeps fine times: 100 ms covers its step
// with room. A time of whole seconds may come from one that keeps only
// seconds, or two: 3 s. A file replaced by a rename shows by its file
// number, whatever its times. The file's times are taken to be this
// machine's clock, as they are for a local file system.
int64_t SettleNs(const FileStamp& stamp) {
  constexpr int64_t kSecond = 1'000'000'000;
  return stamp.modified_ns % kSecond != 0 ? kSecond / 10 : 3 * kSecond;
}

}  // namespace

void RegistryFile::Forget() {
  have_content_ = false;
  settled_ = false;
  content_.clear();
  answers_.clear();
}

bool RegistryFile::Refresh() {
  // A file whose stamp vouches for it and has not changed: one look at the
  // file system, no opening or reading (every report asks).
  FileStamp now;
  if (settled_ && RegularFileStamp(path_, now) && now == stamp_) {
    source_ = RegistrySource::kUsable;
    return true;
  }
  // Taken before the file is opened: a write after this moment carries a
  // time later than this less one step of the file system's clock.
  const int64_t looked_ns = NowNs();
  OpenProblem problem = OpenProblem::kNone;
  std::string error;
  std::unique_ptr<RegularFile> file = OpenRegularFile(path_, problem, error);
  if (!file) {
    Forget();
    source_ = problem == OpenProblem::kMissing      ? RegistrySource::kMissing
              : problem == OpenProblem::kNotRegular ? RegistrySource::kNotRegular
                                                    : RegistrySource::kUnreadable;
    return false;
  }
  const FileStamp stamp = file->Stamp();
  if (stamp.size > kMaxRegistryFileSize) {
    Forget();
    source_ = RegistrySource::kTooLarge;
    return false;
  }
  // Where a look needs the file open (Windows), the open file's stamp.
  if (settled_ && stamp == stamp_) {
    source_ = RegistrySource::kUsable;
    return true;
  }
  ++content_reads_;
  std::string content;
  content.reserve(static_cast<size_t>(stamp.size) + 1);
  char buffer[4096];
  // One byte more than the limit tells a file that grew since it was
  // opened.
  while (content.size() <= kMaxRegistryFileSize) {
    const size_t n = file->Read(buffer, sizeof buffer);
    if (n == 0) break;
    content.append(buffer, n);
  }
  if (content.size() > kMaxRegistryFileSize) {
    Forget();
    source_ = RegistrySource::kTooLarge;
    return false;
  }
  if (!have_content_ || content != content_) {
    content_.swap(content);
    answers_.clear();
    have_content_ = true;
  }
  stamp_ = stamp;
  // Only a file read whole, exactly as it was opened, and whose time is
  // old enough, is vouched for by its stamp from now on.
  settled_ = content_.size() == stamp.size && looked_ns - stamp.modified_ns > SettleNs(stamp);
  source_ = RegistrySource::kUsable;
  return true;
}

bool RegistryFile::Answer(RegistryRoot root, const std::string& key, std::string_view name,
                          std::string& out) {
  for (const KeptAnswer& a : answers_) {
    if (a.root == root && a.key == key && a.name == name) {
      if (a.found) out = a.text;
      return a.found;
    }
  }
  ++parses_;
  KeptAnswer answer{root, key, std::string(name), false, {}};
  answer.found = ReadRegistryExportString(content_, root, key, name, answer.text);
  const bool found = answer.found;
  if (found) out = answer.text;
  if (answers_.size() < kMaxKeptAnswers) answers_.push_back(std::move(answer));
  return found;
}

void RegistryFile::ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                               size_t count) {
  try {
    rtl::MutexLock lock(mu_);
    const bool usable = Refresh();
    for (size_t i = 0; i < count; ++i) {
      queries[i].found = usable && Answer(root, key, queries[i].name, *queries[i].out);
    }
    return;
  } catch (...) {
    // Answered below as a file that cannot be read.
  }
  rtl::MutexLock lock(mu_);
  Forget();
  source_ = RegistrySource::kUnreadable;
  for (size_t i = 0; i < count; ++i) queries[i].found = false;
}

bool RegistryFile::ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                              std::string& out) {
  try {
    rtl::MutexLock lock(mu_);
    return Refresh() && Answer(root, key, name, out);
  } catch (...) {
    // Answered below as a file that cannot be read.
  }
  rtl::MutexLock lock(mu_);
  Forget();
  source_ = RegistrySource::kUnreadable;
  return false;
}

RegistrySource RegistryFile::LastSource() {
  rtl::MutexLock lock(mu_);
  return source_;
}

uint64_t RegistryFile::ContentReads() {
  rtl::MutexLock lock(mu_);
  return content_reads_;
}

uint64_t RegistryFile::Parses() {
  rtl::MutexLock lock(mu_);
  return parses_;
}

}  // namespace platform
