#include <windows.h>

#include "platform/Dialogs.h"

namespace platform {
namespace {

class WindowsDialogs : public Dialogs {
 public:
  void MessageBoxA(const std::string& caption, const std::string& text, DialogIcon icon,
                   bool task_modal) override {
    UINT type = MB_OK;
    switch (icon) {
      case DialogIcon::Error:
        type |= MB_ICONERROR;
        break;
      case DialogIcon::Warning:
        type |= MB_ICONWARNING;
        break;
      case DialogIcon::Information:
        type |= MB_ICONINFORMATION;
        break;
    }
    if (task_modal) type |= MB_TASKMODAL;
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
  }
};

}  // namespace

Dialogs& DefaultDialogs() {
  static WindowsDialogs* dialogs = new WindowsDialogs;
  return *dialogs;
}

}  // namespace platform
