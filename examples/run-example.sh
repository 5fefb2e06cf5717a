#!/bin/sh
# Runs one example host against the console simulator that the plug-in starts from the bin
# folder beside the library, in an empty working folder, and checks that it measured points.
# Each host measures for three seconds; with SCRIPT the console presses its digitizer button as
# that script says and stamps its stripes, and the host measures until the script's pass has
# ended and checks each stripe.
# Usage: run-example.sh native|32|64 HOST LIBRARY [SCRIPT]
run=$1 host=$2 library=$3 script=${4:-}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$(dirname "$library")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KVT_SIM_ARGS="--stream scan --quit-on-disconnect"
if [ -n "$script" ]; then
  case $run in
    native) path=$script ;;
    *) path="Z:$(echo "$script" | tr / '\\')" ;;
  esac
  KVT_SIM_ARGS="$KVT_SIM_ARGS --stamped --script $path"
  seconds=""
else
  seconds=3
fi
cd "$work" || exit 1
case $run in
  native)
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config]\n"AppDir"="%s/"\n' \
      "$bin" >registry.reg
    # A namespace of its own where the machine allows one, for the fixed ports.
    KVT_REGISTRY=$work/registry.reg sh "$root/tests/netns.sh" "$host" "$library" $seconds >out 2>&1
    status=$?
    ;;
  32 | 64)
    . "$root/scripts/wine-env"
    kvt_wine_env "$run" "$bin/.."
    key='HKLM\Software\Lumora\Linestudio\config'
    "$WINELOADER" reg add "$key" /v AppDir /d "Z:$(echo "$bin/" | tr / '\\')" /f /reg:"$run" \
      >/dev/null 2>&1
    timeout 90 "$WINELOADER" "$host" "Z:$(echo "$library" | tr / '\\')" $seconds >out 2>&1
    status=$?
    "$WINELOADER" reg delete "$key" /f /reg:"$run" >/dev/null 2>&1
    ;;
  *) echo "run-example.sh: native, 32 or 64, not '$run'"; exit 2 ;;
esac
cat out
[ "$status" -eq 0 ] && grep -q '^records [1-9][0-9]* points [1-9]' out
