#!/bin/sh
# Runs a test program in network and process namespaces of its own, with loopback up, so the
# fixed ports 2002 and 2003 never collide with other tests or with anything on the machine, and
# the plug-in's search for the console's programs sees only this test's programs, not those of
# another run on the same machine. The shell stays the namespace's first process, so the test
# program is an ordinary one (its signals behave as anywhere else) and ending the shell ends
# whatever the test left behind. Where namespaces are not available the program runs on the
# machine's loopback, one at a time under a lock.
if unshare -n -p -f --mount-proc --kill-child true 2>/dev/null; then
  exec unshare -n -p -f --mount-proc --kill-child sh -c 'ip link set lo up && "$@"' sh "$@"
fi
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec flock /tmp/kvt-fixed-ports.lock "$@"
