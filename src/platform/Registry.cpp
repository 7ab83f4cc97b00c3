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

const RegistryFile::Answer* RegistryFile::Kept(const FileStamp& stamp, RegistryRoot root,
                                               const std::string& key,
                                               std::string_view name) const {
  for (const Answer& a : kept_) {
    if (a.stamp == stamp && a.root == root && a.key == key && a.name == name) return &a;
  }
  return nullptr;
}

void RegistryFile::ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                               size_t count) {
  try {
    std::lock_guard<std::mutex> lock(mu_);
    const Answer* answers[kMaxKeptAnswers];
    FileStamp now;
    if (count <= kMaxKeptAnswers && !kept_.empty() && RegularFileStamp(path_, now)) {
      size_t i = 0;
      while (i < count && (answers[i] = Kept(now, root, key, queries[i].name)) != nullptr) ++i;
      if (i == count) {
        source_ = RegistrySource::kUsable;
        for (i = 0; i < count; ++i) {
          queries[i].found = answers[i]->found;
          if (answers[i]->found) *queries[i].out = answers[i]->text;
        }
        return;
      }
    }
  } catch (...) {
    // Answered below, one by one, as ReadString answers a failure.
  }
  Registry::ReadStrings(root, key, queries, count);
}

bool RegistryFile::ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                              std::string& out) {
  // A file written this recently may change again within the same tick of
  // the file system's clock, unseen; its answer is not kept.
  constexpr int64_t kSettledNs = 3'000'000'000;
  try {
    std::lock_guard<std::mutex> lock(mu_);
    // The answer kept for the same question of the file in this state.
    auto kept = [&](const FileStamp& stamp) { return Kept(stamp, root, key, name); };
    auto answer_kept = [&](const Answer* a) {
      source_ = RegistrySource::kUsable;
      if (a->found) out = a->text;
      return a->found;
    };
    // A file that has not changed: one look at the file system, no opening
    // or reading (every report asks).
    FileStamp now;
    if (!kept_.empty() && RegularFileStamp(path_, now)) {
      if (const Answer* a = kept(now)) return answer_kept(a);
    }
    OpenProblem problem = OpenProblem::kNone;
    std::string error;
    std::unique_ptr<RegularFile> file = OpenRegularFile(path_, problem, error);
    if (!file) {
      kept_.clear();
      source_ = problem == OpenProblem::kMissing      ? RegistrySource::kMissing
                : problem == OpenProblem::kNotRegular ? RegistrySource::kNotRegular
                                                      : RegistrySource::kUnreadable;
      return false;
    }
    const FileStamp stamp = file->Stamp();
    if (stamp.size > kMaxRegistryFileSize) {
      kept_.clear();
      source_ = RegistrySource::kTooLarge;
      return false;
    }
    if (const Answer* a = kept(stamp)) return answer_kept(a);
    source_ = RegistrySource::kUsable;
    if (!kept_.empty() && !(kept_.front().stamp == stamp)) kept_.clear();

    ++content_reads_;
    std::string content;
    char buffer[4096];
    // One byte more than the limit tells a file that grew since it was
    // opened.
    while (content.size() <= kMaxRegistryFileSize) {
      const size_t n = file->Read(buffer, sizeof buffer);
      if (n == 0) break;
      content.append(buffer, n);
    }
    if (content.size() > kMaxRegistryFileSize) {
      source_ = RegistrySource::kTooLarge;
      return false;
    }
    Answer answer{stamp, root, key, name, false, {}};
    answer.found = ReadRegistryExportString(content, root, key, name, answer.text);
    const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    // Only a file read whole, exactly as it was opened, and not written
    // lately, is remembered.
    if (content.size() == stamp.size && now_ns - stamp.modified_ns > kSettledNs) {
      if (!kept_.empty() && !(kept_.front().stamp == stamp)) kept_.clear();
      if (kept_.size() < kMaxKeptAnswers) kept_.push_back(answer);
    }
    if (answer.found) out = std::move(answer.text);
    return answer.found;
  } catch (...) {
    std::lock_guard<std::mutex> lock(mu_);
    kept_.clear();
    source_ = RegistrySource::kUnreadable;
    return false;
  }
}

RegistrySource RegistryFile::LastSource() {
  std::lock_guard<std::mutex> lock(mu_);
  return source_;
}

uint64_t RegistryFile::ContentReads() {
  std::lock_guard<std::mutex> lock(mu_);
  return content_reads_;
}

}  // namespace platform
