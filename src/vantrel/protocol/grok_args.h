// The grok command line.
#pragma once

#include "vantrel/protocol/args.h"

namespace vantrel {

// The grok command line with JSON-lines output. The prompt goes to a "vantrel-grok-prompt-"
// file kept in the invocation, and standard input stays empty; the sandbox mode maps to grok's
// words and the permission mode comes from the request or the approval policy.
BuildResult grok_args(const RunRequest& request, SandboxMode default_sandbox,
                      ApprovalPolicy default_approval);

}  // namespace vantrel
