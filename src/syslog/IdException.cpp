#include "syslog/IdException.h"

#include "platform/SystemError.h"

namespace syslog {
namespace {

std::string StubMessage(int32_t code, const std::string& summary, const std::string& text) {
  return code != 0 ? summary + ": " + text : summary;
}

}  // namespace

EIdWS2StubError::EIdWS2StubError(int32_t system_error, std::string summary)
    : EIdException(std::string()),
      system_error_(system_error),
      system_error_text_(platform::SystemErrorMessage(static_cast<uint32_t>(system_error))),
      summary_(std::move(summary)) {
  SetMessage(StubMessage(system_error_, summary_, system_error_text_));
}

}  // namespace syslog
