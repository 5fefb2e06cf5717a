#!/bin/sh
# Checks the MSVC-ABI example host's image without running it: the machine of its width, a
# console program, and kernel32.dll as its only import (no C or C++ runtime of any compiler).
# Usage: check-image.sh win32|win64 EXE
set -eu
mode=$1 exe=$2
llvm=/usr/lib/llvm-14/bin
fail() { echo "FAIL: $exe: $*"; exit 1; }
case $mode in
  win32) machine=IMAGE_FILE_MACHINE_I386 ;;
  win64) machine=IMAGE_FILE_MACHINE_AMD64 ;;
  *) fail "win32 or win64, not '$mode'" ;;
esac
headers=$("$llvm/llvm-readobj" --file-headers "$exe")
echo "$headers" | grep -q "Machine: $machine " || fail "not $machine"
echo "$headers" | grep -q 'Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI ' || fail "not a console program"
imports=$("$llvm/llvm-readobj" --coff-imports "$exe" | sed -n 's/^ *Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ "$imports" = kernel32.dll ] || fail "imports $(echo $imports), not kernel32.dll alone"
echo "$mode: msvc-host.exe is a $machine console program that imports kernel32.dll alone"
