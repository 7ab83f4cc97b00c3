// A small service controller for the end-to-end test under Wine, whose own
// sc lacks qc, pause and interrogate. Prints one "key=value" per line.
//
//   svcctl qc NAME                   the service's configuration
//   svcctl status NAME               its current status
//   svcctl control NAME CODE         sends a control code, prints the status
//                                    that the call returned
//   svcctl start NAME SECONDS        starts the service and follows it as
//                                    net start does, until it leaves start
//                                    pending: every state seen
//                                    (states=2,4), then its status; exit 1
//                                    unless it runs
//   svcctl wait NAME STATE SECONDS   polls until the state (a number) is
//                                    reported, prints the status
//   svcctl message CODE              the system's message text for an error
//                                    code, as FormatMessageA gives it
//   svcctl qc2 NAME                  the service's description and failure
//                                    actions (QueryServiceConfig2A); a
//                                    level the manager lacks gives
//                                    actionserror=<code>
//   svcctl source NAME               the Application log's registration of
//                                    the event source NAME
//   svcctl format FILE ID TEXT       the message ID of the message table in
//                                    the module FILE, with TEXT as its one
//                                    insertion string, as Event Viewer
//                                    builds an entry's text
//
// Exit code 0 on success; otherwise 1, with "error=<code>" on stdout.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Fail(const char* call) {
  const DWORD code = GetLastError();
  std::printf("error=%lu\ncall=%s\n", static_cast<unsigned long>(code), call);
  return 1;
}

void PrintStatus(const SERVICE_STATUS& s) {
  std::printf(
      "type=0x%lx\nstate=%lu\naccepted=%lu\nexitcode=%lu\nspecific=%lu\ncheckpoint=%lu\n"
      "waithint=%lu\n",
      s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
      s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
}

// Owns a service-manager handle.
struct Handle {
  SC_HANDLE h;
  explicit Handle(SC_HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h) CloseServiceHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

int Usage() {
  std::fprintf(stderr,
               "usage: svcctl qc NAME | status NAME | control NAME CODE | "
               "wait NAME STATE SECONDS | message CODE | qc2 NAME | source NAME | "
               "format FILE ID TEXT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const char* name = argv[2];

  if (command == "format" && argc == 5) {
    HMODULE module = LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return Fail("LoadLibraryExA");
    DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(argv[4])};
    char text[1024] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   module, DWORD(std::strtoul(argv[3], nullptr, 0)), 0, text,
                                   sizeof text, reinterpret_cast<va_list*>(inserts));
    if (n == 0) return Fail("FormatMessageA");
    std::printf("text=%s\n", text);
    FreeLibrary(module);
    return 0;
  }
  if (command == "source" && argc == 3) {
    const std::string key =
        std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + name;
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h);
    if (rc != ERROR_SUCCESS) {
      SetLastError(DWORD(rc));
      return Fail("RegOpenKeyExA");
    }
    char file[1024] = {};
    DWORD type = 0, size = sizeof file - 1;
    rc = RegQueryValueExA(h, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file),
                          &size);
    DWORD types = 0, types_type = 0, types_size = sizeof types;
    LONG rc2 = RegQueryValueExA(h, "TypesSupported", nullptr, &types_type,
                                reinterpret_cast<BYTE*>(&types), &types_size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS || rc2 != ERROR_SUCCESS) {
      SetLastError(DWORD(rc != ERROR_SUCCESS ? rc : rc2));
      return Fail("RegQueryValueExA");
    }
    std::printf("file=%s\nfiletype=%lu\ntypes=%lu\ntypestype=%lu\n", file,
                static_cast<unsigned long>(type), static_cast<unsigned long>(types),
                static_cast<unsigned long>(types_type));
    return 0;
  }
  if (command == "message" && argc == 3) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   DWORD(std::strtoul(argv[2], nullptr, 0)), 0, text, sizeof text, nullptr);
    std::printf("%s", text);
    return 0;
  }

  Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.h) return Fail("OpenSCManagerA");
  Handle service(OpenServiceA(manager.h, name, SERVICE_ALL_ACCESS));
  if (!service.h) return Fail("OpenServiceA");

  if (command == "qc" && argc == 3) {
    DWORD needed = 0;
    QueryServiceConfigA(service.h, nullptr, 0, &needed);
    std::string buffer(needed + 1, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.h, config, needed, &needed)) {
      return Fail("QueryServiceConfigA");
    }
    std::printf(
        "type=0x%lx\nstart=%lu\nerrorcontrol=%lu\nbinary=%s\ngroup=%s\ntag=%lu\naccount=%s\n"
        "display=%s\n",
        config->dwServiceType, config->dwStartType, config->dwErrorControl,
        config->lpBinaryPathName ? config->lpBinaryPathName : "",
        config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "", config->dwTagId,
        config->lpServiceStartName ? config->lpServiceStartName : "",
        config->lpDisplayName ? config->lpDisplayName : "");
    // Dependencies: a list of NUL-ended names, ended by a second NUL.
    std::string deps;
    for (const char* d = config->lpDependencies; d && *d; d += std::strlen(d) + 1) {
      if (!deps.empty()) deps += ",";
      deps += d;
    }
    std::printf("dependencies=%s\n", deps.c_str());
    return 0;
  }
  if (command == "qc2" && argc == 3) {
    BYTE buffer[8192];
    DWORD needed = 0;
    if (!QueryServiceConfig2A(service.h, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer,
                              &needed)) {
      return Fail("QueryServiceConfig2A(SERVICE_CONFIG_DESCRIPTION)");
    }
    const auto* d = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer);
    std::printf("description=%s\n", d->lpDescription ? d->lpDescription : "");
    // A manager without this level (Wine's) says so in actionserror.
    if (!QueryServiceConfig2A(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer,
                              &needed)) {
      std::printf("actionserror=%lu\n", static_cast<unsigned long>(GetLastError()));
      return 0;
    }
    const auto* f = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
    std::string actions;
    for (DWORD i = 0; i < f->cActions; ++i) {
      if (!actions.empty()) actions += ",";
      actions +=
          std::to_string(f->lpsaActions[i].Type) + ":" + std::to_string(f->lpsaActions[i].Delay);
    }
    std::printf("resetperiod=%lu\nactions=%s\n", static_cast<unsigned long>(f->dwResetPeriod),
                actions.c_str());
    return 0;
  }
  if (command == "status" && argc == 3) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.h, &status)) return Fail("QueryServiceStatus");
    PrintStatus(status);
    return 0;
  }
  if (command == "control" && argc == 4) {
    SERVICE_STATUS status{};
    if (!ControlService(service.h, DWORD(std::strtoul(argv[3], nullptr, 0)), &status)) {
      return Fail("ControlService");
    }
    PrintStatus(status);
    return 0;
  }
  if (command == "start" && argc == 4) {
    if (!StartServiceA(service.h, 0, nullptr)) return Fail("StartServiceA");
    const ULONGLONG deadline = GetTickCount64() + 1000ull * std::strtoul(argv[3], nullptr, 0);
    SERVICE_STATUS status{};
    std::string states;
    DWORD last = 0;
    for (;;) {
      if (!QueryServiceStatus(service.h, &status)) return Fail("QueryServiceStatus");
      if (status.dwCurrentState != last) {
        last = status.dwCurrentState;
        states += (states.empty() ? "" : ",") + std::to_string(last);
      }
      if (last != SERVICE_START_PENDING || GetTickCount64() >= deadline) break;
      Sleep(5);
    }
    std::printf("states=%s\n", states.c_str());
    PrintStatus(status);
    return last == SERVICE_RUNNING ? 0 : 1;
  }
  if (command == "wait" && argc == 5) {
    const DWORD want = DWORD(std::strtoul(argv[3], nullptr, 0));
    const ULONGLONG deadline = GetTickCount64() + 1000ull * std::strtoul(argv[4], nullptr, 0);
    SERVICE_STATUS status{};
    for (;;) {
      if (!QueryServiceStatus(service.h, &status)) return Fail("QueryServiceStatus");
      if (status.dwCurrentState == want) break;
      if (GetTickCount64() >= deadline) {
        PrintStatus(status);
        std::printf("error=%lu\ncall=wait\n", static_cast<unsigned long>(WAIT_TIMEOUT));
        return 1;
      }
      Sleep(100);
    }
    PrintStatus(status);
    return 0;
  }
  return Usage();
}
