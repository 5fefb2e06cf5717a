#!/bin/sh
# Runs a test program in a network namespace of its own, with loopback up, so the fixed ports
# 2002 and 2003 never collide with other tests or with anything on the machine. Where namespaces
# are not available the program runs on the machine's loopback, one at a time under a lock.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec flock /tmp/kvt-fixed-ports.lock "$@"
