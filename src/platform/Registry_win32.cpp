#include <windows.h>

#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryKey_win32.h"

namespace platform {
namespace {

class SystemRegistry : public Registry {
 public:
  bool ReadString(RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override {
    // The predefined keys are sign-extended 32-bit values.
    HKEY root_key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
    size_t skip = key.find_first_not_of('\\');
    const std::string path = skip == std::string::npos ? std::string() : key.substr(skip);
    KeyHandle handle;
    // Read access only: an account that may read but not change the key
    // still gets its configuration.
    if (::RegOpenKeyExA(root_key, path.c_str(), 0, KEY_QUERY_VALUE, handle.Receive()) !=
        ERROR_SUCCESS) {
      return false;
    }
    std::vector<char> data(256);
    for (int attempt = 0; attempt < 8; ++attempt) {
      DWORD type = 0;
      DWORD size = static_cast<DWORD>(data.size());
      LONG rc = ::RegQueryValueExA(handle.Get(), name.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(data.data()), &size);
      if (rc == ERROR_MORE_DATA) {
        // The value grew between the calls or the buffer was short.
        data.resize(static_cast<size_t>(size) + 2);
        continue;
      }
      if (rc != ERROR_SUCCESS) return false;
      if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
      size_t length = 0;
      while (length < size && data[length] != '\0') ++length;
      out.assign(data.data(), length);
      return true;
    }
    return false;
  }
};

}  // namespace

Registry& DefaultRegistry() {
  static SystemRegistry registry;
  return registry;
}

}  // namespace platform
