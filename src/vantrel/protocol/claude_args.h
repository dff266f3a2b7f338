// The claude command line.
#pragma once

#include "vantrel/protocol/args.h"

namespace vantrel {

// The "claude -p" command line with JSON-lines output. Rejects the options claude has no
// counterpart for, reads the schema file when only a path is given, and runs the agent in the
// request's dir. Creates no file.
BuildResult claude_args(const RunRequest& request);

}  // namespace vantrel
