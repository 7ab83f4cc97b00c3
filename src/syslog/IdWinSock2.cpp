#include "syslog/IdWinSock2.h"

#include <atomic>
#include <mutex>

#include "platform/SystemError.h"
#include "rtl/SysUtils.h"
#include "syslog/IdException.h"

namespace syslog {
namespace ws2 {
namespace {

constexpr int32_t kProcNotFound = 127;  // ERROR_PROC_NOT_FOUND

struct EntryPoint {
  const char* name;
  void* binder;
  std::atomic<void*> target;
};

// A row's binder: binds the row, then continues into the function with the
// caller's arguments, so that the first call returns what a direct call
// would.
template <Row R, typename Proc>
struct Binder;
template <Row R, typename Result, typename... Args>
struct Binder<R, Result(WINSOCK_API*)(Args...)> {
  static Result WINSOCK_API Run(Args... args) {
    using Proc = Result(WINSOCK_API*)(Args...);
    return reinterpret_cast<Proc>(BindEntryPoint(static_cast<int>(R)))(args...);
  }
};

// Made on first use, so that a call from another unit's start-up code
// finds the table ready.
EntryPoint* Rows() {
#define IDWS2_ROW(id, name, proc)                              \
  {name, reinterpret_cast<void*>(&Binder<Row::id, proc>::Run), \
   reinterpret_cast<void*>(&Binder<Row::id, proc>::Run)},
  static EntryPoint rows[kEntryPointCount] = {IDWS2_ENTRY_POINTS(IDWS2_ROW)};
#undef IDWS2_ROW
  return rows;
}

std::atomic<platform::LibraryHandle> g_library{nullptr};
// The library whose batch send g_many_proc holds (null: not looked up).
std::atomic<platform::LibraryHandle> g_many_library{nullptr};
std::atomic<void*> g_many_proc{nullptr};
// Whether the loaded library's start-up call has succeeded.
std::atomic<bool> g_library_started{false};
// Serialises loading and start-up; binding rows takes no lock.
std::mutex g_load_mu;

std::string& LibraryName() {
  static std::string* name = new std::string("WS2_32.DLL");
  return *name;
}

EntryPoint& RowAt(int row) {
  if (row < 0 || row >= kEntryPointCount) {
    throw rtl::EListError(rtl::Format("List index out of bounds (%d)", row));
  }
  return Rows()[row];
}

}  // namespace

const char* EntryPointName(int row) { return RowAt(row).name; }

bool EntryPointAtBinder(int row) {
  EntryPoint& e = RowAt(row);
  return e.target.load(std::memory_order_acquire) == e.binder;
}

void* EntryPointTarget(int row) { return Rows()[row].target.load(std::memory_order_acquire); }

void* BindEntryPoint(int row) {
  EntryPoint& e = RowAt(row);
  platform::LibraryHandle library = g_library.load(std::memory_order_acquire);
  if (!library) {
    throw EIdWS2StubError(static_cast<int32_t>(platform::kWsaNotInitialised),
                          rtl::Format("Error on call Winsock2 library function %s", e.name));
  }
  // On Windows the socket error is the thread's last error: the look-up
  // must leave it as the caller's call will find it.
  uint32_t saved = platform::GetLastError();
  void* proc = platform::GetProcAddress(library, e.name);
  if (!proc) {
    int32_t error = static_cast<int32_t>(platform::GetLastError());
    throw EIdWS2StubError(error != 0 ? error : kProcNotFound,
                          rtl::Format("Error on call Winsock2 library function %s", e.name));
  }
  platform::SetLastError(saved);
  e.target.store(proc, std::memory_order_release);
  return proc;
}

int StartSocketLibrary(uint16_t version, TWSAData* data) {
  std::lock_guard<std::mutex> lock(g_load_mu);
  platform::LibraryHandle library = g_library.load(std::memory_order_acquire);
  if (library && g_library_started.load()) return 0;
  if (!library) {
    // On Linux the library is a module built into the platform layer.
    platform::RegisterWinSockModule();
    library = platform::LoadLibraryA(LibraryName().c_str());
    if (!library) {
      throw EIdWS2StubError(
          static_cast<int32_t>(platform::GetLastError()),
          rtl::Format("Error on loading Winsock2 library (%s)", LibraryName().c_str()));
    }
    g_library.store(library, std::memory_order_release);
  }
  auto startup = reinterpret_cast<TWSAStartupProc>(platform::GetProcAddress(library, "WSAStartup"));
  if (!startup) {
    int32_t error = static_cast<int32_t>(platform::GetLastError());
    throw EIdWS2StubError(error != 0 ? error : kProcNotFound,
                          "Error on call Winsock2 library function WSAStartup");
  }
  int result = startup(version, data);
  if (result == 0) g_library_started.store(true);
  return result;
}

void UnloadSocketLibrary() {
  platform::LibraryHandle old = g_library.exchange(nullptr);
  if (!old) return;
  g_library_started.store(false);
  platform::FreeLibrary(old);
  ResetEntryPoints();
}

void ResetEntryPoints() {
  EntryPoint* rows = Rows();
  for (int i = 0; i < kEntryPointCount; ++i) {
    rows[i].target.store(rows[i].binder, std::memory_order_release);
  }
  g_many_library.store(nullptr, std::memory_order_release);
}

platform::LibraryHandle LibraryHandle() { return g_library.load(std::memory_order_acquire); }

platform::SendToManyProc SendToManyEntry() {
  platform::LibraryHandle library = g_library.load(std::memory_order_acquire);
  if (!library) return nullptr;
  if (g_many_library.load(std::memory_order_acquire) != library) {
    const uint32_t saved = platform::GetLastError();
    void* proc = platform::GetProcAddress(library, platform::kSendToManyExport);
    platform::SetLastError(saved);
    g_many_proc.store(proc, std::memory_order_relaxed);
    g_many_library.store(library, std::memory_order_release);
  }
  return reinterpret_cast<platform::SendToManyProc>(g_many_proc.load(std::memory_order_relaxed));
}

const std::string& SocketLibraryName() { return LibraryName(); }

void SetSocketLibraryName(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_load_mu);
  LibraryName() = name;
}

}  // namespace ws2
}  // namespace syslog
