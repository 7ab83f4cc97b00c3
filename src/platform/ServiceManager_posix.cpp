#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "platform/SystemError.h"
#include "platform/SystemdUnit_posix.h"

extern char** environ;

namespace platform {
namespace {

const char kUnitFolder[] = "/etc/systemd/system/";
const char kWantsFolder[] = "/etc/systemd/system/multi-user.target.wants/";

struct Handle {
  bool manager;
  std::string name;  // services only
};

uint32_t ErrorFromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorPathNotFound;  // the path (the systemd folder) is missing
    case ENOMEM:
      return kErrorNotEnoughMemory;
    default:
      return kErrorGenFailure;
  }
}

// Unit names are file names: no separators, nothing systemd would read as
// a template or a hidden file.
bool ValidName(const char* name) {
  if (!name || !*name || name[0] == '.') return false;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == '/' || c == '\\' || c == '@' || c >= 0x7f) return false;
  }
  return true;
}

// One word of an ExecStart= line: the path as given, quoted when it holds
// spaces or quotes, with systemd's specifier and variable signs doubled.
std::string ExecWord(const std::string& path) {
  std::string escaped;
  bool quote = false;
  for (char c : path) {
    if (c == '%' || c == '$') escaped += c;
    if (c == '"' || c == '\\') {
      escaped += '\\';
      quote = true;
    }
    if (static_cast<unsigned char>(c) <= ' ') quote = true;
    escaped += c;
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

// The program of a service's command line: a path in quotes is taken
// without them, as the Windows service manager takes it.
std::string ProgramOf(const char* command) {
  std::string s = command ? command : "";
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// A one-line value: line breaks would start new settings.
std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return s;
}

}  // namespace

std::string SystemdUnitText(const char* name, const char* display_name, uint32_t start_type,
                            const char* binary_path, const char* dependencies,
                            const char* start_name) {
  std::string unit;
  unit += "[Unit]\n";
  unit += "Description=" + OneLine(display_name && *display_name ? display_name : name) + "\n";
  // The interface is up and has its addresses, and the local syslog server
  // takes the "starting up" report (no harm where there is none).
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target syslog.service\n";
  // Dependencies on other services (groups have no systemd counterpart).
  for (const char* d = dependencies; d && *d; d += std::string(d).size() + 1) {
    if (d[0] == '+' || !ValidName(d)) continue;
    unit += std::string("Requires=") + d + ".service\n";
    unit += std::string("After=") + d + ".service\n";
  }
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + ExecWord(binary_path ? binary_path : "") + "\n";
  // A watch that failed or stopped its heartbeat (a hung capture) is
  // started again.
  unit += "Restart=on-failure\n";
  unit += "RestartSec=10\n";
  unit += "WatchdogSec=30\n";
  // The data folder; systemd makes it when it is missing.
  unit += "StateDirectory=harbrook\n";
  // Capture, promiscuous mode included, needs CAP_NET_RAW and nothing more.
  // Root keeps it from the bounding set; another account is given it.
  unit += "CapabilityBoundingSet=CAP_NET_RAW\n";
  if (start_name && *start_name) {
    unit += "User=" + OneLine(start_name) + "\n";
    unit += "AmbientCapabilities=CAP_NET_RAW\n";
  }
  unit += "NoNewPrivileges=yes\n";
  unit += "ProtectSystem=strict\n";
  unit += "ProtectHome=yes\n";
  unit += "PrivateTmp=yes\n";
  unit += "PrivateDevices=yes\n";
  unit += "ProtectKernelTunables=yes\n";
  unit += "ProtectKernelModules=yes\n";
  unit += "ProtectKernelLogs=yes\n";
  unit += "ProtectControlGroups=yes\n";
  unit += "ProtectClock=yes\n";
  unit += "ProtectHostname=yes\n";
  unit += "ProtectProc=invisible\n";
  unit += "ProcSubset=pid\n";
  unit += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_PACKET AF_NETLINK\n";
  unit += "RestrictNamespaces=yes\n";
  unit += "RestrictRealtime=yes\n";
  unit += "RestrictSUIDSGID=yes\n";
  unit += "LockPersonality=yes\n";
  unit += "MemoryDenyWriteExecute=yes\n";
  unit += "RemoveIPC=yes\n";
  unit += "SystemCallArchitectures=native\n";
  unit += "SystemCallFilter=@system-service\n";
  unit += "SystemCallFilter=~@privileged @resources\n";
  unit += "UMask=0077\n";
  if (start_type == kServiceBootStart || start_type == kServiceSystemStart ||
      start_type == kServiceAutoStart) {
    unit += "\n[Install]\n";
    unit += "WantedBy=multi-user.target\n";
  }
  return unit;
}

namespace {

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Writes the unit through a temporary file so that systemd never reads half
// a unit.
bool WriteUnit(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      errno = e;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return false;
  }
  return true;
}

// Asks systemd to read the unit files again, where it runs. Its answer does
// not change the outcome: the unit files are what was asked for.
void ReloadSystemd() {
  struct stat st;
  if (::stat("/run/systemd/system", &st) != 0) return;
  const char* argv[] = {"systemctl", "daemon-reload", nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return;
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

Handle* FromHandle(ScHandle h, bool manager) {
  auto* p = reinterpret_cast<Handle*>(h);
  if (!p || p->manager != manager) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return p;
}

class SystemdServiceManager : public ServiceManager {
 public:
  ScHandle OpenSCManagerA(const char* machine, const char* database,
                          uint32_t /*desired_access*/) override {
    if ((machine && *machine) || (database && *database)) {
      SetLastError(kErrorInvalidParameter);
      return 0;
    }
    if (::geteuid() != 0) {
      SetLastError(kErrorAccessDenied);
      return 0;
    }
    return reinterpret_cast<ScHandle>(new Handle{true, std::string()});
  }

  std::string HiddenFromServices(const std::string& binary_path) const override {
    static const struct {
      const char* folder;
      const char* setting;
    } kHidden[] = {{"/home", "ProtectHome=yes"},
                   {"/root", "ProtectHome=yes"},
                   {"/run/user", "ProtectHome=yes"},
                   {"/tmp", "PrivateTmp=yes"},
                   {"/var/tmp", "PrivateTmp=yes"}};
    for (const auto& h : kHidden) {
      const size_t n = std::strlen(h.folder);
      if (binary_path.compare(0, n, h.folder) == 0 &&
          (binary_path.size() == n || binary_path[n] == '/')) {
        return "the service could not start " + binary_path + ": its sandbox (" + h.setting +
               ") hides " + h.folder +
               "; put the program in a folder such as /opt/tessalin "
               "and install from there";
      }
    }
    return std::string();
  }

  ScHandle CreateServiceA(ScHandle manager, const char* service_name, const char* display_name,
                          uint32_t /*desired_access*/, uint32_t /*service_type*/,
                          uint32_t start_type, uint32_t /*error_control*/, const char* binary_path,
                          const char* /*load_order_group*/, uint32_t* tag_id,
                          const char* dependencies, const char* start_name,
                          const char* /*password*/) override {
    if (!FromHandle(manager, true)) return 0;
    if (!ValidName(service_name)) {
      SetLastError(kErrorInvalidName);
      return 0;
    }
    const std::string program = ProgramOf(binary_path);
    if (program.empty() || program[0] != '/') {
      SetLastError(kErrorInvalidParameter);
      return 0;
    }
    if (tag_id) *tag_id = 0;
    const std::string unit = std::string(kUnitFolder) + service_name + ".service";
    if (FileExists(unit)) {
      SetLastError(kErrorServiceExists);
      return 0;
    }
    if (!WriteUnit(unit, SystemdUnitText(service_name, display_name, start_type, program.c_str(),
                                         dependencies, start_name))) {
      SetLastError(ErrorFromErrno(errno));
      return 0;
    }
    if (start_type == kServiceBootStart || start_type == kServiceSystemStart ||
        start_type == kServiceAutoStart) {
      const std::string link = std::string(kWantsFolder) + service_name + ".service";
      ::mkdir(kWantsFolder, 0755);
      ::unlink(link.c_str());
      if (::symlink(unit.c_str(), link.c_str()) != 0) {
        const uint32_t error = ErrorFromErrno(errno);
        ::unlink(unit.c_str());
        SetLastError(error);
        return 0;
      }
    }
    ReloadSystemd();
    return reinterpret_cast<ScHandle>(new Handle{false, service_name});
  }

  ScHandle OpenServiceA(ScHandle manager, const char* service_name,
                        uint32_t /*desired_access*/) override {
    if (!FromHandle(manager, true)) return 0;
    if (!ValidName(service_name)) {
      SetLastError(kErrorInvalidName);
      return 0;
    }
    if (!FileExists(std::string(kUnitFolder) + service_name + ".service")) {
      SetLastError(kErrorServiceDoesNotExist);
      return 0;
    }
    return reinterpret_cast<ScHandle>(new Handle{false, service_name});
  }

  bool DeleteService(ScHandle service) override {
    Handle* h = FromHandle(service, false);
    if (!h) return false;
    const std::string unit = std::string(kUnitFolder) + h->name + ".service";
    const std::string link = std::string(kWantsFolder) + h->name + ".service";
    ::unlink(link.c_str());
    if (::unlink(unit.c_str()) != 0) {
      SetLastError(errno == ENOENT ? kErrorServiceDoesNotExist : ErrorFromErrno(errno));
      return false;
    }
    ReloadSystemd();
    return true;
  }

  // The unit's text is fixed when it is written; restarts are the unit's
  // own policy.
  bool ChangeServiceConfig2A(ScHandle service, const ServiceDescription& /*info*/) override {
    return FromHandle(service, false) != nullptr;
  }
  bool ChangeServiceConfig2A(ScHandle service, const ServiceFailureActions& /*info*/) override {
    return FromHandle(service, false) != nullptr;
  }

  // The journal takes the entries' text as it is.
  bool InstallEventSource(const char* /*source*/, const char* /*message_file*/,
                          uint32_t /*types_supported*/) override {
    return true;
  }
  bool UninstallEventSource(const char* /*source*/) override { return true; }

  bool CloseServiceHandle(ScHandle handle) override {
    if (!handle) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    delete reinterpret_cast<Handle*>(handle);
    return true;
  }
};

}  // namespace

ServiceManager& DefaultServiceManager() {
  static SystemdServiceManager* manager = new SystemdServiceManager;
  return *manager;
}

}  // namespace platform
