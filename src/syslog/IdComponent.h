// A socket component: while any lives, the process-wide socket stack
// (SharedStack) exists. Construction counts the component in (creating the
// stack for the first) under StackLock; destruction counts it out (freeing
// the stack after the last). Construct and free from any thread.
#pragma once

#include "syslog/IdBaseComponent.h"

namespace syslog {

class TIdComponent : public TIdBaseComponent {
 public:
  // Raises what creating the first stack raises (EIdWS2StubError,
  // EIdStackInitializationFailed); the component then does not count.
  explicit TIdComponent(rtl::TComponent* owner);
  ~TIdComponent() override;
};

}  // namespace syslog
