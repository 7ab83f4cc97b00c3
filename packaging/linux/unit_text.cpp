// Prints the systemd unit that "tessalin /install" would write for the
// program at PATH, without writing anything: the install runs as the
// program runs it, against a service manager that prints the unit instead
// of writing it. The packages ship this text, so the unit a package
// installs and the one /install writes come from one place.
//   tessalin_unit_text /usr/sbin/tessalin > Wirevane.service
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"
#include "platform/SystemError.h"
#include "platform/SystemdUnit_posix.h"
#include "service/wirevane.h"

namespace {

class PrintingServiceManager : public platform::ServiceManager {
 public:
  std::string unit;  // the text of the one service created

  platform::ScHandle OpenSCManagerA(const char*, const char*, uint32_t) override { return 1; }
  platform::ScHandle CreateServiceA(platform::ScHandle, const char* name, const char* display_name,
                                    uint32_t, uint32_t, uint32_t start_type, uint32_t,
                                    const char* binary_path, const char*, uint32_t* tag_id,
                                    const char* dependencies, const char* start_name,
                                    const char*) override {
    // The command line's program, as the Linux manager takes it.
    std::string program = binary_path ? binary_path : "";
    if (program.size() >= 2 && program.front() == '"' && program.back() == '"') {
      program = program.substr(1, program.size() - 2);
    }
    if (tag_id) *tag_id = 0;
    if (!unit.empty()) {
      platform::SetLastError(platform::kErrorServiceExists);
      return 0;
    }
    unit = platform::SystemdUnitText(name, display_name, start_type, program.c_str(), dependencies,
                                     start_name);
    return 2;
  }
  platform::ScHandle OpenServiceA(platform::ScHandle, const char*, uint32_t) override { return 0; }
  bool DeleteService(platform::ScHandle) override { return false; }
  bool ChangeServiceConfig2A(platform::ScHandle, const platform::ServiceDescription&) override {
    return true;
  }
  bool ChangeServiceConfig2A(platform::ScHandle, const platform::ServiceFailureActions&) override {
    return true;
  }
  bool InstallEventSource(const char*, const char*, uint32_t) override { return true; }
  bool UninstallEventSource(const char*) override { return true; }
  bool CloseServiceHandle(platform::ScHandle) override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] != '/') {
    std::fprintf(stderr, "usage: tessalin_unit_text /ABSOLUTE/PATH/OF/tessalin\n");
    return 2;
  }
  PrintingServiceManager manager;
  service::THostFacilities facilities;
  facilities.Manager = &manager;
  facilities.Arguments = std::vector<std::string>{"/install", "/silent"};
  facilities.ExecutablePath = argv[1];
  const int code = service::RunProgram(facilities);
  if (code != 0 || manager.unit.empty()) {
    std::fprintf(stderr, "tessalin_unit_text: the install made no unit (exit code %d)\n", code);
    return 1;
  }
  std::fputs(manager.unit.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
