// Registry facility, read side: one string value under a predefined root
// key. The watch reads its only configuration value through it, anew for
// every report, so an edit takes effect without a restart.
//
// Windows: the system registry (RegOpenKeyExA for reading only,
// RegQueryValueExA, RegCloseKey). Linux: the file
// /etc/harbrook/registry.reg in the registry editor's text export format,
// looked at anew at every query and parsed again when it has changed.
// RegistryFile reads such a file on either system.
// Registry is an interface so that tests can pass a fake; every
// implementation is safe to call from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace platform {

// Predefined root keys, by their Windows values.
using RegistryRoot = uint32_t;
constexpr RegistryRoot kHKeyClassesRoot = 0x80000000u;
constexpr RegistryRoot kHKeyCurrentUser = 0x80000001u;
constexpr RegistryRoot kHKeyLocalMachine = 0x80000002u;
constexpr RegistryRoot kHKeyUsers = 0x80000003u;
constexpr RegistryRoot kHKeyCurrentConfig = 0x80000005u;

// Whether the registry itself could be used at the last query. A missing
// file is an unconfigured system, not a fault; the other kinds are what an
// administrator must hear about once.
enum class RegistrySource {
  kUsable,      // read (the value may still be missing)
  kMissing,     // the registry file does not exist
  kNotRegular,  // a FIFO, device or folder stands in the file's place
  kTooLarge,    // larger than kMaxRegistryFileSize
  kUnreadable,  // opening or reading failed
};

// Words for an event-log entry: "is not a regular file" and the like.
const char* RegistrySourceText(RegistrySource source);

// A registry file larger than this is not read at all.
constexpr uint64_t kMaxRegistryFileSize = 1024 * 1024;

// One value asked for by ReadStrings: its name, where its text goes, and
// whether it was found.
struct RegistryQuery {
  const char* name;
  std::string* out;
  bool found = false;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Reads the string value `name` of `key` under `root`. key is a path of
  // names separated by backslashes; a leading backslash (from the root) is
  // allowed. A REG_SZ or REG_EXPAND_SZ value gives its text up to the first
  // NUL, unexpanded; an empty value gives "" and true. Answers false, and
  // leaves out alone, when the key or the value is missing, the value has
  // another type, or the registry (file) cannot be read. Never throws.
  virtual bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                          std::string& out) = 0;
  // Several values of one key, each answered as ReadString answers it, in
  // one go where the registry allows (the system registry opens the key
  // once; a registry file that has not changed is looked at once). Never
  // throws. This one asks ReadString for each.
  virtual void ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                           size_t count);
  // How the registry stood at the last ReadString (the system registry:
  // always kUsable).
  virtual RegistrySource LastSource() { return RegistrySource::kUsable; }
};

// The system's registry (Linux: RegistryFile over /etc/harbrook/registry.reg).
Registry& DefaultRegistry();

// A registry held in a text file in the registry editor's export format:
//   Windows Registry Editor Version 5.00      (first line)
//   ; comment
//   [HKEY_LOCAL_MACHINE\Software\Some\Key]    (key names ignore case)
//   "Name"="text with \\ and \" escapes"
//   "Count"=dword:0000000a
//   "Path"=hex(2):41,00,42,00,00,00           (UTF-16LE; lines may go on
//     ,43,00                                    after a trailing backslash)
//   @="default value"
// The file is looked at anew at every query, but read and parsed again
// only when it has changed: another file in its place, another size or
// another time of last write. A file written within the last few seconds
// is always read, since a write in the same clock tick as the last read
// would leave the time unchanged. A malformed file (any line) fails every
// query. Only a regular file of at most kMaxRegistryFileSize bytes is read;
// anything else fails every query, and LastSource() says why. Safe to call
// from several threads.
class RegistryFile : public Registry {
 public:
  explicit RegistryFile(std::string path) : path_(std::move(path)) {}
  bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override;
  // With every answer kept for the file as it stands: one look at the file
  // system for them all.
  void ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                   size_t count) override;
  RegistrySource LastSource() override;
  const std::string& Path() const noexcept { return path_; }
  // How often the file's content has been read; for tests.
  uint64_t ContentReads();

 private:
  // The answer to the last query, kept while the file stays as it was.
  struct Answer {
    FileStamp stamp;
    RegistryRoot root;
    std::string key, name;
    bool found;
    std::string text;
  };
  // Questions remembered per state of the file.
  static constexpr size_t kMaxKeptAnswers = 16;

  // The answer kept for the same question of the file in this state, or
  // null. Under mu_.
  const Answer* Kept(const FileStamp& stamp, RegistryRoot root, const std::string& key,
                     std::string_view name) const;

  const std::string path_;
  std::mutex mu_;
  // Guarded by mu_.
  // The answers kept for the file as it stood at one stamp, one per
  // question (a report asks several).
  std::vector<Answer> kept_;
  RegistrySource source_ = RegistrySource::kUsable;
  uint64_t content_reads_ = 0;
};

// The lookup RegistryFile performs, on the file's content (8-bit text,
// UTF-8 or UTF-16LE with its byte order mark).
bool ReadRegistryExportString(std::string_view content, RegistryRoot root, std::string_view key,
                              std::string_view name, std::string& out);

}  // namespace platform
