#!/bin/sh
# Runs a Windows program of a Windows build under Wine, in the build tree's own prefix.
# Usage: wine-run.sh 32|64 PROGRAM [ARGUMENTS]. WINEPREFIX may be set by the caller; otherwise
# the prefix sits beside the program's bin folder.
bits=$1
shift
here=$(cd "$(dirname "$1")/.." 2>/dev/null && pwd)
. "$(dirname "$0")/../scripts/wine-env"
kvt_wine_env "$bits" "$here" || exit 2
exec timeout "${KVT_WINE_TIMEOUT:-600}" "$WINELOADER" "$@"
