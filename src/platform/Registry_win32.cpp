#include <windows.h>

#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryKey_win32.h"

namespace platform {
namespace {

// Opens key under root for reading only: an account that may read but not
// change the key still gets its configuration.
bool OpenForReading(RegistryRoot root, const std::string& key, KeyHandle& handle) {
  // The predefined keys are sign-extended 32-bit values.
  HKEY root_key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
  const size_t skip = key.find_first_not_of('\\');
  const char* path = skip == std::string::npos ? "" : key.c_str() + skip;
  return ::RegOpenKeyExA(root_key, path, 0, KEY_QUERY_VALUE, handle.Receive()) == ERROR_SUCCESS;
}

// The string value name of an open key, up to its first NUL.
bool QueryString(HKEY key, const char* name, std::string& out) {
  // Most values fit here; a longer one gets a buffer of its size.
  char small[256];
  std::vector<char> large;
  char* data = small;
  DWORD capacity = sizeof small;
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = 0;
    DWORD size = capacity;
    LONG rc = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    if (rc == ERROR_MORE_DATA) {
      // The value grew between the calls or the buffer was short.
      large.resize(static_cast<size_t>(size) + 2);
      data = large.data();
      capacity = static_cast<DWORD>(large.size());
      continue;
    }
    if (rc != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    size_t length = 0;
    while (length < size && data[length] != '\0') ++length;
    out.assign(data, length);
    return true;
  }
  return false;
}

class SystemRegistry : public Registry {
 public:
  bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override {
    KeyHandle handle;
    return OpenForReading(root, key, handle) && QueryString(handle.Get(), name.c_str(), out);
  }
  // The key opened once for all the values.
  void ReadStrings(RegistryRoot root, const std::string& key, RegistryQuery* queries,
                   size_t count) override {
    KeyHandle handle;
    const bool open = OpenForReading(root, key, handle);
    for (size_t i = 0; i < count; ++i) {
      queries[i].found = open && QueryString(handle.Get(), queries[i].name, *queries[i].out);
    }
  }
};

}  // namespace

Registry& DefaultRegistry() {
  static SystemRegistry registry;
  return registry;
}

}  // namespace platform
