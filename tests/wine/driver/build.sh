#!/bin/sh
# Builds the Wine test driver and its user-mode tools.
#   build.sh [OUTPUT_DIR]     (default: ./build next to this script)
# Produces OUTPUT_DIR/scandrv.sys, scanctl.exe and probe.exe (x86-64 only: this Wine has no
# 32-bit side, and a 32-bit exe there prints nothing and "succeeds").
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/build}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

CC=${CC:-x86_64-w64-mingw32-gcc}
DDK=$($CC -print-sysroot 2>/dev/null)/include/ddk
[ -d "$DDK" ] || DDK=/usr/x86_64-w64-mingw32/include/ddk
WARN="-Wall -Wextra -Werror"

# The three builds are independent: run them side by side.
# Kernel mode: no C runtime, no stack probes or canaries (winedevice provides neither),
# native subsystem, entry point DriverEntry, imports from ntoskrnl.exe only (importing
# ntdll.dll would make Wine's loader call DriverEntry as a DllMain).
$CC -O2 $WARN -I"$DDK" -ffreestanding -fno-stack-protector -mno-stack-arg-probe \
    -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry \
    -o "$OUT/scandrv.sys" "$HERE/scandrv.c" -lntoskrnl -lgcc &
driver=$!
$CC -O2 $WARN -static -s -o "$OUT/scanctl.exe" "$HERE/scanctl.c" -ladvapi32 &
scanctl=$!
$CC -O2 $WARN -static -s -o "$OUT/probe.exe" "$HERE/probe.c" -ladvapi32 &
probe=$!
rc=0
wait $driver || rc=1
wait $scanctl || rc=1
wait $probe || rc=1
exit $rc
