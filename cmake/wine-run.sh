#!/bin/sh
# Runs a Windows program of the win32 build under Wine, in the build tree's own prefix.
# WINEPREFIX may be set by the caller; otherwise the prefix sits beside the program's bin folder.
here=$(cd "$(dirname "$1")/.." 2>/dev/null && pwd)
: "${WINEPREFIX:=$here/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers, and no debugger that would hold a crashed test program open.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
exec timeout "${KVT_WINE_TIMEOUT:-600}" wine "$@"
