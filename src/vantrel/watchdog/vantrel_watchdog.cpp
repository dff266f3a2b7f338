// vantrel-watchdog: started by a host of the module with the host's socket as its standard
// input; ends the host's agents once the host is gone (see runtime/watchdog.h).
#include <unistd.h>

#include "vantrel/runtime/watchdog.h"

int main() { return vantrel::runtime::serve_as_watchdog(STDIN_FILENO); }
