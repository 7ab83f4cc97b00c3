// Base of the syslog client's components: a framework component with an
// optional owner that frees it.
#pragma once

#include "rtl/Classes.h"

namespace syslog {

class TIdBaseComponent : public rtl::TComponent {
 public:
  explicit TIdBaseComponent(rtl::TComponent* owner) : rtl::TComponent(owner) {}

  // Copies the published state of another object of the same class; the
  // framework's default (here) raises rtl::EConvertError.
  virtual void CopyFrom(const rtl::TObject& source);
};

}  // namespace syslog
