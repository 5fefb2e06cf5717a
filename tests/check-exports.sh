#!/bin/sh
# Checks the plug-in's export table: the twenty names, nothing else, and on Windows the
# export directory's module name, alphabetical ordinals 1 to 20, the machine type and
# system-DLL-only imports. A third argument "faults" says the library is a fault-injection test
# build, which holds the injector.
set -eu
mode=$1
lib=$2
build=${3:-product}
expected="ButtonModeAvailable ButtonModeGet ButtonModeSet Config Connect DetectGet DetectSet
GetPluginVersion IsConnected MeasureStart MeasureStop MouseGet MouseSet Reset SensorGet
SensorGetList SensorSet SetDiameter SoundGet SoundSet"
expected=$(echo $expected | tr ' ' '\n')
fail() { echo "FAIL: $*"; exit 1; }

# A product build holds nothing of the fault runs' injection: no injector or wrapper among its
# symbols (where they are kept) and, stripped or not, not the name of the variable that arms it.
case $mode in
  win32) nm=i686-w64-mingw32-nm ;;
  win64) nm=x86_64-w64-mingw32-nm ;;
  *) nm=nm ;;
esac
if [ "$build" != faults ]; then
  if "$nm" -C "$lib" 2>/dev/null | grep -qE 'platform::faults::|platform::[a-zA-Z]+Real\(' ||
    grep -q KVT_FAULTS "$lib"; then
    fail "the fault injection of the test build is inside this library"
  fi
fi

if [ "$mode" = linux ]; then
  # Every defined dynamic symbol, functions and data alike.
  got=$(nm -D --defined-only "$lib" | awk '{print $3}' | LC_ALL=C sort)
  [ "$got" = "$expected" ] || fail "defined dynamic symbols differ:
$got"
  echo "20 exports, nothing else"
  exit 0
fi

case $mode in
  win32) objdump=i686-w64-mingw32-objdump format=pei-i386 ;;
  win64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 ;;
  *) fail "unknown mode $mode" ;;
esac
# Each DLL is read with its own toolchain's objdump, which also tells its machine type.
dump=$("$objdump" -p "$lib")
"$objdump" -f "$lib" | grep -q "file format $format" || fail "not a $format image"
echo "$dump" | grep -q '^Name .*KvtScannerMouse\.dll$' || fail "export directory name"
if [ "$mode" = win32 ]; then
  # The 32-bit exception guard registers a handler of this DLL on the thread's frame chain: an
  # image marked as having no handlers (NO_SEH), or with a load configuration whose table of
  # handlers could leave it out, would have the system refuse it. lld sets neither here.
  characteristics=$(echo "$dump" | sed -n 's/^DllCharacteristics\s*//p')
  [ $((0x$characteristics & 0x400)) -eq 0 ] || fail "marked NO_SEH: the guard's handler would be refused"
  echo "$dump" | grep -q '^Entry a [0-9a-f]* 00000000 Load Configuration Directory' ||
    fail "a load configuration directory: its SafeSEH table must hold the guard's handler"
fi
# Lines of the export table: "[ord] name" pairs after the "[Ordinal/Name Pointer] Table" head.
table=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]')
count=$(echo "$table" | wc -l)
[ "$count" -eq 20 ] || fail "expected 20 exports, found $count:
$table"
names=$(echo "$table" | sed -E 's/^\s*\[\s*([0-9]+)\]\s+(\S+).*/\2/')
[ "$names" = "$expected" ] || fail "export names or order differ:
$names"
# The ordinal of each name is its position in alphabetical order (base 1).
echo "$dump" | grep -q 'Ordinal Base.*1' || fail "ordinal base is not 1"
i=1
for name in $expected; do
  line=$(echo "$table" | grep -E "\]\s+$name$") || fail "no entry for $name"
  ord=$(echo "$line" | sed -E 's/^\s*\[\s*([0-9]+)\].*/\1/')
  # objdump lists the name table with zero-based hint indexes; the ordinal is index + base.
  [ "$((ord + 1))" -eq "$i" ] || fail "$name has ordinal $ord, expected $i"
  i=$((i + 1))
done
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  case $dll in
    kernel32.dll|user32.dll|advapi32.dll|ws2_32.dll|shell32.dll|msvcrt.dll|gdi32.dll|comctl32.dll) ;;
    *) fail "imports a DLL that is not a Windows system DLL: $dll" ;;
  esac
done
echo "$format: export directory KvtScannerMouse.dll, 20 exports in alphabetical ordinal order, imports: $(echo $imports)"
