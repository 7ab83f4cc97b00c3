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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "rtl/Mutex.h"

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
// The file is looked at anew at every query, but read again only when it
// has changed (another file in its place, another size or another time of
// last write), and parsed again only when what it holds has changed: each
// question once per content. A file written so recently that a further
// write could still leave its time of last write as it is is read at every
// query and compared with what was read before; so an edit takes effect at
// the next query however soon it follows the last one, and a burst of
// queries after an edit parses the file once. A malformed file (any line)
// fails every query. Only a regular file of at most kMaxRegistryFileSize
// bytes is read; anything else fails every query, and LastSource() says
// why. Safe to call from several threads.
class RegistryFile : public Registry {
 public:
  explicit RegistryFile(std::string path) : path_(std::move(path)) {}
  bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override;
  // One look at the file for them all.
  void ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                   size_t count) override;
  RegistrySource LastSource() override;
  const std::string& Path() const noexcept { return path_; }
  // For tests: how often the file's content has been read, and how often a
  // question has been answered by parsing it.
  uint64_t ContentReads();
  uint64_t Parses();

 private:
  // One question answered from content_.
  struct KeptAnswer {
    RegistryRoot root;
    std::string key, name;
    bool found;
    std::string text;
  };
  // Questions remembered per content (a report asks several).
  static constexpr size_t kMaxKeptAnswers = 16;

  // Brings content_ up to date with the file; false, with source_ saying
  // why, when the file cannot be used.
  bool Refresh() REQUIRES(mu_);
  // The answer to one question of content_, parsed at its first asking.
  bool Answer(RegistryRoot root, const std::string& key, std::string_view name, std::string& out)
      REQUIRES(mu_);
  void Forget() REQUIRES(mu_);

  const std::string path_;
  rtl::Mutex mu_;
  // content_ holds the file read whole as it stood at stamp_.
  bool have_content_ GUARDED_BY(mu_) = false;
  // Whether stamp_ alone vouches for content_: any write since would have
  // changed it (see Refresh).
  bool settled_ GUARDED_BY(mu_) = false;
  FileStamp stamp_ GUARDED_BY(mu_);
  std::string content_ GUARDED_BY(mu_);
  std::vector<KeptAnswer> answers_ GUARDED_BY(mu_);
  RegistrySource source_ GUARDED_BY(mu_) = RegistrySource::kUsable;
  uint64_t content_reads_ GUARDED_BY(mu_) = 0;
  uint64_t parses_ GUARDED_BY(mu_) = 0;
};

// The lookup RegistryFile performs, on the file's content (8-bit text,
// UTF-8 or UTF-16LE with its byte order mark).
bool ReadRegistryExportString(std::string_view content, RegistryRoot root, std::string_view key,
                              std::string_view name, std::string& out);

}  // namespace platform
