#include "syslog/IdBaseComponent.h"

#include "syslog/IdGlobal.h"

namespace syslog {

void TIdBaseComponent::CopyFrom(const rtl::TObject&) { RaiseCannotCopy("TIdBaseComponent"); }

}  // namespace syslog
