// Program entry: the service host's main program (service/wirevane.h).
#include <cstdio>
#include <cstdlib>

#include "service/wirevane.h"

int main() {
  const int code = service::RunProgram();
  // The watch and capture threads are never stopped: they end with the
  // process. Ending it here, without the destructors of static objects and
  // the atexit clean-ups (the socket library's among them), keeps them from
  // running into objects torn down under them.
  std::fflush(nullptr);
  std::_Exit(code);
}
