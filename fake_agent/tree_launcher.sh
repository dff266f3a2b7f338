#!/bin/sh
# A launcher that starts the fake agent beside it as its child, as launcher.sh does, after leaving
# helpers of every shape around it: one in a session of its own, one in a process group of its
# own, a grandchild, and a loop that starts a new process every 10 ms. Each writes
# "<shape> <pid>" to the fake agent's record (VANTREL_FAKE_RECORD), as does the launcher itself.
record=$VANTREL_FAKE_RECORD
note() { echo "$1 $2" >>"$record"; }
note launcher $$
setsid sleep 3001 &
note session $!
perl -e 'setpgrp(0, 0); exec @ARGV' sleep 3002 &
note group $!
sh -c 'sleep 3003 & echo "grandchild $!" >>"$0"; wait' "$record" &
note parent $!
sh -c 'while :; do sleep 3004 & echo "loop $!" >>"$0"; sleep 0.01; done' "$record" &
note parent $!
"$(dirname "$0")/fake_agent" "$@"
exit $?
