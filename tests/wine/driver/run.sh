#!/bin/bash
# Builds the emulated scanner driver and its tools, then checks them in a fresh Wine prefix.
#   run.sh [OUTPUT_DIR]     (default: ./build next to this script)
# Exit status 0 when every check passed. The prefix is OUTPUT_DIR/prefix; logs and the
# expected/actual records land in OUTPUT_DIR/run.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/build}
mkdir -p "$OUT" || exit 1
OUT=$(cd "$OUT" && pwd)

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINELOADER=$WINE              # Debian's wrapper would look for a 32-bit Wine otherwise
export WINEPREFIX=$OUT/prefix
export WINEDEBUG=${WINEDEBUG:--all}
KEY='HKLM\System\CurrentControlSet\Services\scandrv'
RUN=$OUT/run
fails=0

ms() { date +%s%3N; }
T0=$(ms)
note() { printf '\n=== %s (%d ms)\n' "$*" $(( $(ms) - T0 )); }
ok() { echo "ok - $*"; }
bad() { echo "not ok - $*"; fails=$((fails + 1)); }

# Every Wine process gets stdin from /dev/null and its output in a file: the services Wine
# starts on demand inherit the first client's descriptors and would hold a caller's pipe.
w() { timeout 300 "$WINE" "$@" </dev/null; }

note "build"
"$HERE/build.sh" "$OUT" || exit 1

note "fresh prefix"
if [ -d "$WINEPREFIX" ]; then
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w
    rm -rf "$WINEPREFIX"
fi
rm -rf "$RUN"
mkdir -p "$RUN/expect"
cd "$OUT" || exit 1
t=$(ms)
"$WINE" wineboot -i </dev/null >/dev/null 2>&1
# let that server finish and exit: with a server kept alive through wineboot, the service
# manager stayed locked (StartService: 1055) for over 30 s
"$WINESERVER" -w
echo "wineboot -i: $(( $(ms) - t )) ms"
# a persistent server keeps the driver's service alive between our Wine processes
"$WINESERVER" -p60 </dev/null >/dev/null 2>&1

note "configure and install"
w probe.exe config >"$RUN/config.reg" 2>"$RUN/probe-config.err" || bad "probe config"
if w reg import run/config.reg >"$RUN/reg-import.log" 2>&1; then ok "reg import of the configuration"
else bad "reg import of the configuration"; fi
if w scanctl.exe install scandrv.sys >"$RUN/install.log" 2>&1 && grep -qx 'devices 0 1 2 3 4 5 6 255' "$RUN/install.log"
then ok "scanctl install: $(head -1 "$RUN/install.log")"
else bad "scanctl install"; cat "$RUN/install.log"; fi

note "probe"
t=$(ms)
w probe.exe run run\\expect >"$RUN/probe.log" 2>&1
rc=$?
grep -v '^#' "$RUN/probe.log"
echo "probe: exit $rc, $(( $(ms) - t )) ms"
[ $rc -eq 0 ] || bad "probe checks (see $RUN/probe.log)"

note "received records (scanctl dump against what probe sent)"
for n in 0 1 2 3 4 5 6 255; do
    if ! w scanctl.exe dump $n >"$RUN/dump-$n.txt" 2>"$RUN/dump-$n.err"; then
        bad "scanctl dump $n: $(cat "$RUN/dump-$n.err")"
    elif diff -u "$RUN/expect/dump-$n.txt" "$RUN/dump-$n.txt" >"$RUN/dump-$n.diff"; then
        ok "dump $n matches ($(grep -c -E '^(command|image) ' "$RUN/dump-$n.txt") entries)"
    else
        bad "dump $n differs"; cat "$RUN/dump-$n.diff"
    fi
done
grep '^image 13633428 ' "$RUN/dump-0.txt" | sed 's/^/    /'

note "configuration through reg.exe and scanctl"
w reg add "$KEY\\Device3" /v Open /t REG_SZ /d busy /f >/dev/null 2>&1
if w scanctl.exe reload 3 >/dev/null 2>&1 && w probe.exe open 3 32 >"$RUN/open.log" 2>&1; then ok "reg add Open=busy + reload: error 32"
else bad "reg add Open=busy + reload"; cat "$RUN/open.log"; fi
w reg add "$KEY\\Device3" /v Open /t REG_SZ /d denied /f >/dev/null 2>&1
if w scanctl.exe reload 3 >/dev/null 2>&1 && w probe.exe open 3 5 >"$RUN/open.log" 2>&1; then ok "reg add Open=denied + reload: error 5"
else bad "reg add Open=denied + reload"; cat "$RUN/open.log"; fi
w reg add "$KEY\\Device3" /v Open /t REG_SZ /d ok /f >/dev/null 2>&1
if w scanctl.exe reload 3 >/dev/null 2>&1 && w probe.exe open 3 0 >"$RUN/open.log" 2>&1; then ok "reg add Open=ok + reload: opens"
else bad "reg add Open=ok + reload"; cat "$RUN/open.log"; fi

w reg add "$KEY\\Device255" /v Faults /t REG_SZ /d "write 1 sideways" /f >/dev/null 2>&1
w scanctl.exe reload 255 >"$RUN/reload.log" 2>&1
rc=$?
if [ $rc -eq 1 ] && grep -q '^device 255 config error Faults: bad entry' "$RUN/reload.log"; then ok "reload names a bad Faults entry"
else bad "reload with a bad Faults entry (exit $rc)"; cat "$RUN/reload.log"; fi
w reg delete "$KEY\\Device255" /v Faults /f >/dev/null 2>&1
if w scanctl.exe reload 255 >"$RUN/reload.log" 2>&1; then ok "reload after removing it"
else bad "reload after removing the bad entry"; cat "$RUN/reload.log"; fi

w scanctl.exe status >"$RUN/status.log" 2>&1
rc=$?
if [ $rc -eq 1 ] && grep -qx 'device 6 config error Ready: length must be a multiple of 32' "$RUN/status.log"
then ok "status reports the device the probe left broken"
else bad "status (exit $rc)"; cat "$RUN/status.log"; fi

note "reset and absent devices"
w scanctl.exe reset 0 >/dev/null 2>&1 || bad "scanctl reset 0"
w scanctl.exe dump 0 >"$RUN/dump-0-reset.txt" 2>&1
printf 'device 0\nconfig ok\nopen ok\nopens 0\nwrites 0\nreads 0\nioctls 0\ndropped 0\n' >"$RUN/expect/dump-0-reset.txt"
if diff -u "$RUN/expect/dump-0-reset.txt" "$RUN/dump-0-reset.txt"; then ok "reset clears device 0's record"
else bad "reset"; fi
if w scanctl.exe dump 7 >/dev/null 2>"$RUN/dump-7.err"; then bad "dump of an absent device succeeded"
else ok "dump 7: $(cat "$RUN/dump-7.err")"; fi

note "stop and start"
if w scanctl.exe stop >"$RUN/stop.log" 2>&1 && w probe.exe open 0 2 >"$RUN/open.log" 2>&1 &&
    w probe.exe open 1 2 >>"$RUN/open.log" 2>&1; then ok "stopped: usbscan0 and usbscan1 are gone"
else bad "stop"; cat "$RUN/stop.log" "$RUN/open.log"; fi
w reg add "$KEY" /v Devices /t REG_SZ /d "0,1,2,x" /f >/dev/null 2>&1
w scanctl.exe start >"$RUN/start.log" 2>&1
w scanctl.exe status >"$RUN/status.log" 2>&1
rc=$?
if [ $rc -eq 1 ] && grep -q '^load error 0x.* Devices: want decimal numbers 0..255' "$RUN/status.log" &&
    grep -qx 'devices' "$RUN/status.log"; then ok "a bad Devices value: no devices, status says why"
else bad "start with a bad Devices value (exit $rc)"; cat "$RUN/start.log" "$RUN/status.log"; fi
w scanctl.exe stop >>"$RUN/start.log" 2>&1
w reg add "$KEY" /v Devices /t REG_SZ /d "0,1,2,3,4,5,6,255" /f >/dev/null 2>&1
w scanctl.exe start >>"$RUN/start.log" 2>&1
if w probe.exe open 0 0 >"$RUN/open.log" 2>&1 && w probe.exe open 1 5 >>"$RUN/open.log" 2>&1 &&
    w probe.exe open 2 32 >>"$RUN/open.log" 2>&1; then ok "started again: usbscan0 opens, 1 denied, 2 busy"
else bad "start"; cat "$RUN/start.log" "$RUN/open.log"; fi

note "shut down"
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w
note "RESULT: $([ $fails -eq 0 ] && echo PASS || echo "FAIL ($fails)")"
[ $fails -eq 0 ]
