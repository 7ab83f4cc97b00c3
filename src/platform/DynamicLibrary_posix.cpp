#include <dlfcn.h>
#include <link.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "rtl/Mutex.h"
#include "rtl/SysUtils.h"

namespace platform {
namespace {

// A built-in module's handle is its entry in this table.
struct Builtin {
  BuiltinLookup lookup;
};

struct Builtins {
  rtl::Mutex mu;
  std::map<std::string, Builtin*> by_name GUARDED_BY(mu);  // upper-case name
};

Builtins& Table() {
  static Builtins* t = new Builtins;
  return *t;
}

Builtin* FindBuiltin(LibraryHandle h) {
  Builtins& t = Table();
  rtl::MutexLock lock(t.mu);
  for (auto& [name, b] : t.by_name) {
    if (b == h) return b;
  }
  return nullptr;
}

// "Packet.dll" -> "libpacket.so"; other names stay as they are.
std::string SharedObjectName(const std::string& name) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dll") == 0) {
    return "lib" + lower.substr(0, lower.size() - 4) + ".so";
  }
  return name;
}

}  // namespace

void RegisterBuiltinModule(const char* name, BuiltinLookup lookup) {
  Builtins& t = Table();
  rtl::MutexLock lock(t.mu);
  Builtin*& b = t.by_name[rtl::UpperCase(name)];
  if (!b) b = new Builtin{lookup};
  b->lookup = lookup;
}

LibraryHandle LoadLibraryA(const char* name) {
  {
    Builtins& t = Table();
    rtl::MutexLock lock(t.mu);
    auto it = t.by_name.find(rtl::UpperCase(name));
    if (it != t.by_name.end()) return it->second;
  }
  std::string file = SharedObjectName(name);
  void* h = nullptr;
  if (file.find('/') == std::string::npos) {
    std::string exe = ExecutablePath();
    std::string beside = exe.substr(0, exe.find_last_of('/') + 1) + file;
    h = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!h) h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) SetLastError(kErrorModNotFound);
  return h;
}

void* GetProcAddress(LibraryHandle library, const char* name) {
  if (!library) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  void* p = nullptr;
  if (Builtin* b = FindBuiltin(library)) {
    p = b->lookup(name);
  } else {
    p = ::dlsym(library, name);
    // dlsym also searches the library's dependencies (libc among them); a
    // Windows library answers only for its own exports.
    struct link_map* map = nullptr;
    Dl_info info;
    if (p && ::dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map && ::dladdr(p, &info) &&
        info.dli_fname && map->l_name && std::strcmp(info.dli_fname, map->l_name) != 0) {
      p = nullptr;
    }
  }
  if (!p) SetLastError(kErrorProcNotFound);
  return p;
}

bool FreeLibrary(LibraryHandle library) {
  if (!library) return false;
  if (FindBuiltin(library)) return true;
  return ::dlclose(library) == 0;
}

}  // namespace platform
