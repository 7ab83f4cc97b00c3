// The syslog client's exception classes. Every failure of the client is
// one of these (or a framework error passed on), carrying its message text.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/SysUtils.h"

namespace syslog {

class EIdException : public rtl::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EIdException"; }
};

// A socket call failed; ErrorCode is the Windows Sockets error number.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int error_code, std::string message)
      : EIdException(std::move(message)), error_code_(error_code) {}
  int ErrorCode() const noexcept { return error_code_; }
  // A host name look-up that found nothing or got no answer (11001 to
  // 11004: host not found, try again, no recovery, no data).
  bool IsLookupFailure() const noexcept { return error_code_ >= 11001 && error_code_ <= 11004; }
  const char* ClassName() const noexcept override { return "EIdSocketError"; }

 private:
  int error_code_;
};

RTL_DECLARE_EXCEPTION(EIdInvalidSocket, EIdException);

// The socket library could not be loaded, or one of its functions could not
// be reached. The message is Summary, followed by ": " and SystemErrorText
// when SystemError is not 0.
class EIdWS2StubError : public EIdException {
 public:
  EIdWS2StubError(int32_t system_error, std::string summary);
  int32_t SystemError() const noexcept { return system_error_; }
  const std::string& SystemErrorText() const noexcept { return system_error_text_; }
  const std::string& Summary() const noexcept { return summary_; }
  const char* ClassName() const noexcept override { return "EIdWS2StubError"; }

 private:
  int32_t system_error_;
  std::string system_error_text_;
  std::string summary_;
};

RTL_DECLARE_EXCEPTION(EIdInvalidServiceName, EIdException);
RTL_DECLARE_EXCEPTION(EInvalidSyslogMessage, EIdException);
RTL_DECLARE_EXCEPTION(EIdStackError, EIdException);
RTL_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
RTL_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
RTL_DECLARE_EXCEPTION(EIdSocketHandleError, EIdException);
RTL_DECLARE_EXCEPTION(EIdPackageSizeTooBig, EIdSocketHandleError);
RTL_DECLARE_EXCEPTION(EIdNotAllBytesSent, EIdSocketHandleError);

}  // namespace syslog
