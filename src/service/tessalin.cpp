// Program entry: the service host's main program (service/wirevane.h).
#include "service/wirevane.h"

int main() { return service::RunProgram(); }
