// System error numbers and their texts. Error numbers are the Windows ones
// on every system: the Linux side of each facility maps its failures onto
// them and records them as the thread's last error.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The Windows error numbers that the Linux side of the facilities produces,
// by their Windows names.
constexpr uint32_t kErrorSuccess = 0;                            // ERROR_SUCCESS
constexpr uint32_t kErrorFileNotFound = 2;                       // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorPathNotFound = 3;                       // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrorAccessDenied = 5;                       // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorInvalidHandle = 6;                      // ERROR_INVALID_HANDLE
constexpr uint32_t kErrorNotEnoughMemory = 8;                    // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorGenFailure = 31;                        // ERROR_GEN_FAILURE
constexpr uint32_t kErrorInvalidParameter = 87;                  // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorInvalidName = 123;                      // ERROR_INVALID_NAME
constexpr uint32_t kErrorModNotFound = 126;                      // ERROR_MOD_NOT_FOUND
constexpr uint32_t kErrorProcNotFound = 127;                     // ERROR_PROC_NOT_FOUND
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;           // ERROR_SERVICE_ALREADY_RUNNING
constexpr uint32_t kErrorServiceDoesNotExist = 1060;             // ERROR_SERVICE_DOES_NOT_EXIST
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;  // ..._CONTROLLER_CONNECT
// Win32ExitCode of a service that ends with its own error code.
constexpr uint32_t kErrorServiceSpecificError = 1066;    // ..._SPECIFIC_ERROR
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;  // ERROR_SERVICE_MARKED_FOR_DELETE
constexpr uint32_t kErrorServiceExists = 1073;           // ERROR_SERVICE_EXISTS
constexpr uint32_t kErrorServiceNotInExe = 1083;         // ERROR_SERVICE_NOT_IN_EXE
constexpr uint32_t kWsaNotInitialised = 10093;           // WSANOTINITIALISED

// The calling thread's last error (GetLastError on Windows).
uint32_t GetLastError() noexcept;
void SetLastError(uint32_t code) noexcept;

// The system's text for an error code (FormatMessageA from the system,
// inserts ignored), with trailing spaces, control characters and periods
// cut off. On Linux: the Windows text for the codes the program can meet,
// otherwise empty.
std::string SystemErrorMessage(uint32_t code);

// The cause of a failed call into a loaded library, the capture driver's
// entry points: the error that the call left on the calling thread, as the
// system words it (Windows: GetLastError's text; Linux: errno's, as in
// "Operation not permitted"). ClearLibraryError before the call;
// LibraryErrorText after it failed is empty when the call left no error.
void ClearLibraryError() noexcept;
std::string LibraryErrorText();

}  // namespace platform
