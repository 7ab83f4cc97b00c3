#include <cerrno>
#include <cstring>

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
    {kErrorSuccess, "The operation completed successfully"},
    {kErrorFileNotFound, "The system cannot find the file specified"},
    {kErrorPathNotFound, "The system cannot find the path specified"},
    {kErrorAccessDenied, "Access is denied"},
    {kErrorInvalidHandle, "The handle is invalid"},
    {kErrorNotEnoughMemory, "Not enough memory resources are available to process this command"},
    {kErrorGenFailure, "A device attached to the system is not functioning"},
    {kErrorInvalidParameter, "The parameter is incorrect"},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect"},
    {kErrorModNotFound, "The specified module could not be found"},
    {kErrorProcNotFound, "The specified procedure could not be found"},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running"},
    {kErrorServiceDoesNotExist, "The specified service does not exist as an installed service"},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller"},
    {kErrorServiceExists, "The specified service already exists"},
    {kErrorServiceNotInExe,
     "The executable program that this service is configured to run in does not implement the "
     "service"},
    {kWsaNotInitialised, "Either the application has not called WSAStartup, or WSAStartup failed"},
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

void ClearLibraryError() noexcept { errno = 0; }

std::string LibraryErrorText() {
  const int error = errno;
  if (error == 0) return std::string();
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // the GNU variant
}

}  // namespace platform
