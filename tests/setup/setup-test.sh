#!/usr/bin/env bash
# The set-up's decisions against an arranged package archive: a fake apt-get, dpkg-query and dpkg
# on the PATH, whose behaviour each case sets in a state folder, run scripts/setup, and the case
# checks its exit status, what it printed and what it asked apt-get to do.
# Usage: tests/setup/setup-test.sh [SETUP_SCRIPT]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
setup=${1:-$here/../../scripts/setup}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin"
# apt-get: "update" fails while the state's update-failures counts down ("always": for ever);
# "install" fails when it is asked for a package named in the state's broken list, and otherwise
# records the packages as installed; "-s" only simulates. Every call is logged.
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
state=$FAKE_APT_STATE
echo "apt-get $*" >>"$state/calls"
case " $* " in
  *" update "*)
    left=$(cat "$state/update-failures" 2>/dev/null || echo 0)
    [ "$left" = always ] && { echo "E: Failed to fetch binary-i386/Packages.xz  Mirror sync in progress?"; exit 100; }
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) >"$state/update-failures"
      echo "E: Failed to fetch binary-i386/Packages.xz  Mirror sync in progress?"
      exit 100
    fi
    exit 0 ;;
  *" install "*)
    packages=()
    for word in "$@"; do case $word in -*|install) ;; *) packages+=("$word") ;; esac; done
    for package in "${packages[@]}"; do
      if grep -qxF "$package" "$state/broken" 2>/dev/null; then
        echo " libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 but it is not installable"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
      fi
    done
    case " $* " in *" -s "*) exit 0 ;; esac
    printf '%s\n' "${packages[@]}" >>"$state/installed"
    exit 0 ;;
esac
exit 0
FAKE
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
package=${!#}
grep -qxF "$package" "$FAKE_APT_STATE/installed" 2>/dev/null && printf 'install ok installed'
exit 0
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE_APT_STATE/calls"
case $1 in --print-foreign-architectures) cat "$FAKE_APT_STATE/foreign" 2>/dev/null ;; esac
exit 0
FAKE
printf '#!/bin/sh\ncat >/dev/null\n' >"$work/bin/debconf-set-selections"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

# run_case NAME KERNEL32 UPDATE_FAILURES BROKEN...: a fresh archive state, then scripts/setup.
run_case() {
  name=$1 kernel32=$2 update_failures=$3
  shift 3
  state=$work/$name
  mkdir -p "$state"
  echo "$update_failures" >"$state/update-failures"
  printf '%s\n' "$@" >"$state/broken"
  : >"$state/installed"
  FAKE_APT_STATE=$state KVT_KERNEL_RUNS_32BIT=$kernel32 KVT_SETUP_PAUSE=0 \
    PATH="$work/bin:$PATH" bash "$setup" >"$state/out" 2>&1
  status=$?
}

check() {  # check CONDITION-DESCRIPTION COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL [$name] $what"
    sed 's/^/    | /' "$state/out"
    failures=$((failures + 1))
  fi
}
printed() { grep -qF -- "$1" "$state/out"; }
has() { grep -qxF -- "$1" "$state/installed"; }
updates() { [ "$(grep -c 'apt-get update' "$state/calls")" -eq "$1" ]; }

run_case update-fails-once 1 1
check "exit 0" [ "$status" -eq 0 ]
check "two updates" updates 2
check "says it tries again" printed "the package index update failed (try 1 of 3)"
check "does not say it gave up" eval '! printed "could not be updated"'
check "installs the build's packages" has gcovr
check "installs the 32-bit Wine" has wine32:i386
check "adds the i386 architecture" grep -qx 'dpkg --add-architecture i386' "$state/calls"
# A second run on the same machine finds everything and asks apt-get nothing.
: >"$state/calls"
FAKE_APT_STATE=$state KVT_KERNEL_RUNS_32BIT=1 PATH="$work/bin:$PATH" bash "$setup" >"$state/out" 2>&1
status=$?
check "nothing to do: exit 0" [ "$status" -eq 0 ]
check "nothing to do: no apt-get" [ ! -s "$state/calls" ]

run_case update-fails-always 1 always
check "exit 0" [ "$status" -eq 0 ]
check "three updates" updates 3
check "goes on with the lists" printed "could not be updated in 3 tries; going on with the lists there are"
check "installs g++-mingw-w64-x86-64" has g++-mingw-w64-x86-64

run_case i386-unresolvable 1 always wine32:i386
check "exit 0" [ "$status" -eq 0 ]
check "installs the build's packages" has wine64
check "no 32-bit Wine" eval '! has wine32:i386'
check "one line with apt's reason" \
  printed "the 32-bit Wine (wine32:i386) cannot be installed now (libwine:i386 : Depends:"
check "says what the win32 stage does" printed "without its tests"
check "apt's own output of it held back" eval '! printed "held broken packages"'

run_case kernel-runs-no-32-bit 0 0
check "exit 0" [ "$status" -eq 0 ]
check "says why in one line" printed "left out: this kernel runs no 32-bit programs"
check "never asks for the 32-bit Wine" eval '! grep -q wine32 "$state/calls"'
check "no i386 architecture added" eval '! grep -q add-architecture "$state/calls"'

run_case needed-package-missing 1 0 gcovr
check "fails" [ "$status" -ne 0 ]
check "names the package" printed "cannot install gcovr, which the build needs"
check "says what to try" printed "run scripts/setup again in a few minutes"
check "names only it" eval '! printed "cannot install cmake"'

# The stage table's reason for skipping the 32-bit suite follows the real cause.
. "$here/../../scripts/wine-env"
name=skip-reason state=$work/update-fails-once
check "no kernel support" [ "$(KVT_KERNEL_RUNS_32BIT=0 kvt_win32_skip_reason)" = \
  "this kernel runs no 32-bit programs" ]
check "package missing" eval '[ "$(KVT_KERNEL_RUNS_32BIT=1 KVT_WINESERVER32=/nonexistent kvt_win32_skip_reason)" = \
  "the 32-bit Wine is not installed (scripts/setup could not install wine32:i386)" ]'
check "it runs" eval '[ -z "$(KVT_KERNEL_RUNS_32BIT=1 KVT_WINESERVER32=/bin/true kvt_win32_skip_reason)" ]'

if [ "$failures" -gt 0 ]; then
  echo "setup-test: $failures check(s) failed"
  exit 1
fi
echo "setup-test: every arranged archive fault decided as expected"
