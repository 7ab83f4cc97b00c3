#include "platform/SystemError.h"

namespace platform {
namespace {
thread_local uint32_t t_last_error = 0;

struct Text {
  uint32_t code;
  const char* text;
};

// Windows' own texts for the codes this program can produce, already cut
// after their last word as SystemErrorMessage cuts them.
const Text kTexts[] = {
    {0, "The operation completed successfully"},
    {2, "The system cannot find the file specified"},
    {3, "The system cannot find the path specified"},
    {5, "Access is denied"},
    {6, "The handle is invalid"},
    {8, "Not enough memory resources are available to process this command"},
    {31, "A device attached to the system is not functioning"},
    {87, "The parameter is incorrect"},
    {123, "The filename, directory name, or volume label syntax is incorrect"},
    {126, "The specified module could not be found"},
    {127, "The specified procedure could not be found"},
    {1056, "An instance of the service is already running"},
    {1060, "The specified service does not exist as an installed service"},
    {1063, "The service process could not connect to the service controller"},
    {1073, "The specified service already exists"},
    {1083,
     "The executable program that this service is configured to run in does not implement the "
     "service"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed"},
};
}  // namespace

uint32_t GetLastError() noexcept { return t_last_error; }
void SetLastError(uint32_t code) noexcept { t_last_error = code; }

std::string SystemErrorMessage(uint32_t code) {
  for (const Text& t : kTexts) {
    if (t.code == code) return t.text;
  }
  return std::string();
}

}  // namespace platform
