#include <cstdio>

#include "platform/Dialogs.h"

namespace platform {
namespace {

class TerminalDialogs : public Dialogs {
 public:
  void MessageBoxA(const std::string& caption, const std::string& text, DialogIcon icon,
                   bool /*task_modal*/) override {
    std::FILE* out = icon == DialogIcon::Error ? stderr : stdout;
    std::fprintf(out, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(out);
  }
};

}  // namespace

Dialogs& DefaultDialogs() {
  static TerminalDialogs* dialogs = new TerminalDialogs;
  return *dialogs;
}

}  // namespace platform
