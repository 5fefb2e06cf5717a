#!/bin/sh
# Runs a Windows program of a Windows build under Wine, in the build tree's own prefix.
# Usage: wine-run.sh 32|64 PROGRAM [ARGUMENTS]. WINEPREFIX may be set by the caller; otherwise
# the prefix sits beside the program's bin folder.
#
# Wine's server kills with SIGKILL a program whose Unix process is still ending about half a
# second after its last Windows thread ended; on a loaded machine that happens to a program that
# passed, and the kill hides the exit code Windows saw. A test program so killed is judged by the
# report GoogleTest wrote at its end instead: passed when that report exists and counts no failure
# and no error. Any other end keeps Wine's own status.
bits=$1
shift
here=$(cd "$(dirname "$1")/.." 2>/dev/null && pwd)
. "$(dirname "$0")/../scripts/wine-env"
kvt_wine_env "$bits" "$here" || exit 2

report=
for argument in "$@"; do
  case $argument in
    --gtest_filter=*) report=$(mktemp "${TMPDIR:-/tmp}/kvt-gtest-XXXXXX.xml") || exit 2 ;;
  esac
done
if [ -z "$report" ]; then
  exec timeout "${KVT_WINE_TIMEOUT:-600}" "$WINELOADER" "$@"
fi

rm -f "$report"
timeout "${KVT_WINE_TIMEOUT:-600}" "$WINELOADER" "$@" "--gtest_output=xml:Z:$report"
status=$?
if [ "$status" -eq 137 ] && [ -s "$report" ] &&
  grep -q '<testsuites [^>]*failures="0"[^>]*errors="0"' "$report" &&
  grep -q '<testsuites [^>]*tests="[1-9]' "$report"; then
  echo "wine-run: killed by Wine's server after the program ended; its report counts no failure" >&2
  status=0
fi
rm -f "$report"
exit "$status"
