#include <windows.h>

#include "platform/DynamicLibrary.h"

namespace platform {

LibraryHandle LoadLibraryA(const char* name) {
  return reinterpret_cast<LibraryHandle>(::LoadLibraryA(name));
}

void* GetProcAddress(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

bool FreeLibrary(LibraryHandle library) {
  return ::FreeLibrary(static_cast<HMODULE>(library)) != 0;
}

void RegisterBuiltinModule(const char*, BuiltinLookup) {}

}  // namespace platform
