#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_cli_doctor_test.sh PLCSIM PREFIX CLI_EXE
# The command line's .exe under wine checking the bench: with the devices of
# discovery_devices.reg registered (COM5, COM7 and a USB PLC) and COM5 a
# link to a simulated PLC's pseudo-terminal, once with no program holding
# COM5 (exit 0) and once while another copy of the tool has it open for
# --info (exit 1, the holder named). --doctor opens no port: the simulator
# hears nothing from it.
set -euo pipefail
plcsim=$1 prefix=$2 cli=$3
here=$(cd "$(dirname "$0")" && pwd)
run="$here/../../scripts/wine-run"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
"$run" "$prefix" cmd /c exit
cp "$here/discovery_devices.reg" "$prefix/drive_c/doctor_devices.reg"
"$run" "$prefix" regedit /S 'C:\doctor_devices.reg'
WINEPREFIX=$prefix wineserver -w || true
"$run" "$prefix" cmd /c exit

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# doctor: runs --doctor, its output in $work/out (CR LF made LF), status in $status
doctor() {
  set +e
  "$run" "$prefix" "$cli" --doctor "$@" >"$work/out" 2>"$work/err"
  status=$?
  set -e
  tr -d '\r' <"$work/out" >"$work/out.txt" && mv "$work/out.txt" "$work/out"
  echo "--- --doctor $* (exit $status)"
  cat "$work/out"
}
expect_line() {  # expect_line REGEX WHAT
  grep -qE -- "$1" "$work/out" || fail "$2: no line matching '$1'"
}

# A simulated PLC that stays silent: whatever opens COM5 hears nothing back.
rm -f "$prefix/dosdevices/com5"
"$plcsim" --link "$prefix/dosdevices/com5" --model KR2-E --image-size 65536 --silent \
  --timeout 120 >"$work/plc.out" 2>"$work/plc.err" &
pids+=("$!")
for _ in $(seq 50); do grep -q '^ready ' "$work/plc.out" && break; sleep 0.1; done
grep -q '^ready ' "$work/plc.out" || fail "the simulator did not start: $(cat "$work/plc.err")"
pty=$(readlink -f "$prefix/dosdevices/com5")

# Every open of the simulator's terminal while --doctor runs, as the kernel
# reports it (inotify's IN_OPEN): there must be none.
python3 - "$pty" "$work/opened" "$work/watching" <<'PY' &
import ctypes, os, select, sys, time
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_NONBLOCK)
if fd < 0 or libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x20) < 0:  # IN_OPEN
    sys.exit("cannot watch " + sys.argv[1])
open(sys.argv[3], "w").close()
opens = 0
end = time.time() + 60
while time.time() < end and os.path.exists(sys.argv[3]):
    if select.select([fd], [], [], 0.1)[0]:
        opens += len(os.read(fd, 4096)) // 16  # events without names
open(sys.argv[2], "w").write(str(opens))
PY
watcher=$!
pids+=("$watcher")
for _ in $(seq 50); do [ -e "$work/watching" ] && break; sleep 0.1; done

doctor
[ "$status" -eq 0 ] || fail "no problem on the bench, but exit $status"
expect_line '^ok +port +COM5 is present$' "COM5 listed"
expect_line '^ok +port +COM7 is present$' "COM7 listed"
expect_line '^ok +holder +no program holds a COM port' "nothing held"
expect_line '^ok +usb-plc +a PLC at Port_#0002.Hub_#0001 ' "the USB PLC and its location"
doctor --json
[ "$(grep -c '^{"event":"check","t":[0-9]*,"schema":[0-9]*,"check":"[a-z-]*","level":"ok","detail":"[^"]*","fix":""}$' "$work/out")" -eq 4 ] ||
  fail "four check events"
rm -f "$work/watching"
wait "$watcher" || true
[ "$(cat "$work/opened" 2>/dev/null)" = 0 ] ||
  fail "--doctor opened COM5's terminal $(cat "$work/opened" 2>/dev/null) times"

# Another copy of the tool asks the silent PLC on COM5 and holds the port,
# a synchronous read pending, while it retries. Wine's QueryDosDevice does
# not know COM5 (Windows answers \Device\Serial0), so the holder cannot be
# named here; the check must still look at that handle and end promptly.
"$run" "$prefix" "$cli" --model KR2-E --port COM5 --info >"$work/info.out" 2>&1 &
pids+=("$!")
sleep 3
started=$(date +%s)
doctor
[ $(($(date +%s) - started)) -lt 20 ] || fail "--doctor took too long beside a pending read"
expect_line '^ok +port +COM5 is present$' "COM5 listed while held"

[ "$failures" -eq 0 ] && echo "cli_exe_doctor: every check passed"
exit "$failures"
