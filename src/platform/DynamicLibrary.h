// Dynamic library facility: load a library by its Windows name, look up an
// entry point by name, free it. On Linux "X.dll" is looked for as
// "libx.so", beside the executable first, then on the system's library
// path; a name registered as a built-in module (the socket library) is
// answered from inside the program. Failures set the last error
// (platform/SystemError.h): 126 for a library that cannot be loaded, 127
// for a missing entry point. Thread-safe.
#pragma once

#include <string>

namespace platform {

// Native module handle, aliased once.
using LibraryHandle = void*;

LibraryHandle LoadLibraryA(const char* name);
void* GetProcAddress(LibraryHandle library, const char* name);
bool FreeLibrary(LibraryHandle library);

// Linux: a module that LoadLibraryA answers without loading a file. lookup
// returns the entry point for a name, or null when the module lacks it.
using BuiltinLookup = void* (*)(const char* name);
void RegisterBuiltinModule(const char* name, BuiltinLookup lookup);

}  // namespace platform
