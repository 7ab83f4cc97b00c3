// Dialog facility: modal messages with a caption, an icon kind and one OK
// button, for the install and remove switches and for errors that end the
// program. Windows: MessageBoxA. Linux: caption and text on the terminal,
// error dialogs on standard error, the others on standard output.
//
// Dialogs is an interface so that tests can read what would be shown (a
// modal box waits for a click); DefaultDialogs() is the system's.
#pragma once

#include <string>

namespace platform {

enum class DialogIcon { Error, Warning, Information };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Returns when the user has closed the dialog. A task-modal dialog keeps
  // every window of the program's thread disabled while it shows.
  virtual void MessageBoxA(const std::string& caption, const std::string& text, DialogIcon icon,
                           bool task_modal = false) = 0;
};

Dialogs& DefaultDialogs();

}  // namespace platform
