#!/bin/sh
# A launcher, as agents are often installed: it starts the fake agent beside it as its own child
# (not in its place, so the agent is a grandchild of whoever started this) and ends with its
# status.
"$(dirname "$0")/fake_agent" "$@"
exit $?
