#include "syslog/IdComponent.h"

#include "syslog/IdStack.h"

namespace syslog {

TIdComponent::TIdComponent(rtl::TComponent* owner) : TIdBaseComponent(owner) {
  AcquireSharedStack();
}

TIdComponent::~TIdComponent() { ReleaseSharedStack(); }

}  // namespace syslog
