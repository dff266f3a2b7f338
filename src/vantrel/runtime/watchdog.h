// The watchdog: a small process of our own that outlives the host only to end what the host
// started. The host tells it of each agent it starts (and each temporary file an agent is given)
// over a socket; when the host's end closes (the host exited or was killed, by any signal), the
// watchdog kills the process tree of every agent still alive, removes the files and exits.
//
// The program is `vantrel-watchdog`, found next to the binary that holds this code (the Python
// module, in a wheel or a build tree), else at the path of the build tree it was built in. No
// signal handler is installed in the host: the watchdog learns of the host's end from the kernel,
// which closes the host's descriptors however it ends.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace vantrel::runtime {

// Tells the watchdog (started on first use, anew in the child of a fork) of the agent `pid`, a
// child of this process just started and not yet reaped. Without a watchdog (the program is
// missing) the agent is only ended by the host itself.
void watch_agent(pid_t pid);

// Tells the watchdog of a temporary file to remove when the host ends, and that it is removed.
void watch_file(std::string_view path);
void unwatch_file(std::string_view path);

// The watchdog's own work, run by its program with the host's socket as `socket`: leaves the
// host's process and session, reads the host's word until the socket closes, then ends every
// agent still alive and removes the files. Returns the program's exit code.
int serve_as_watchdog(int socket);

}  // namespace vantrel::runtime
