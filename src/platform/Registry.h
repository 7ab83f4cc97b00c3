// Registry facility, read side: one string value under a predefined root
// key. The watch reads its only configuration value through it, anew for
// every report, so an edit takes effect without a restart.
//
// Windows: the system registry (RegOpenKeyExA for reading only,
// RegQueryValueExA, RegCloseKey). Linux: the file
// /etc/harbrook/registry.reg in the registry editor's text export format,
// read anew at every query. RegistryFile reads such a file on either system.
// Registry is an interface so that tests can pass a fake; every
// implementation is safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Predefined root keys, by their Windows values.
using RegistryRoot = uint32_t;
constexpr RegistryRoot kHKeyClassesRoot = 0x80000000u;
constexpr RegistryRoot kHKeyCurrentUser = 0x80000001u;
constexpr RegistryRoot kHKeyLocalMachine = 0x80000002u;
constexpr RegistryRoot kHKeyUsers = 0x80000003u;
constexpr RegistryRoot kHKeyCurrentConfig = 0x80000005u;

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
// The file is read anew at every query. A malformed file (any line) fails
// every query.
class RegistryFile : public Registry {
 public:
  explicit RegistryFile(std::string path) : path_(std::move(path)) {}
  bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override;
  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
};

// The lookup RegistryFile performs, on the file's content (8-bit text,
// UTF-8 or UTF-16LE with its byte order mark).
bool ReadRegistryExportString(std::string_view content, RegistryRoot root, std::string_view key,
                              std::string_view name, std::string& out);

}  // namespace platform
