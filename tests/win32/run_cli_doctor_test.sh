#!/usr/bin/env bash
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
"$plcsim" --link "$prefix/dosdevices/com5" --model KR2-E --silent --report "$work/plc.json" \
  --timeout 120 >"$work/plc.out" 2>"$work/plc.err" &
pids+=("$!")
for _ in $(seq 50); do grep -q '^ready ' "$work/plc.out" && break; sleep 0.1; done

doctor
[ "$status" -eq 0 ] || fail "no problem on the bench, but exit $status"
expect_line '^ok +port +COM5 is present$' "COM5 listed"
expect_line '^ok +port +COM7 is present$' "COM7 listed"
expect_line '^ok +holder +no program holds a COM port' "nothing held"
expect_line '^ok +usb-plc +a PLC at Port_#0002.Hub_#0001 ' "the USB PLC and its location"

# Another copy of the tool asks the silent PLC on COM5, and holds the port
# while it retries.
"$run" "$prefix" "$cli" --model KR2-E --port COM5 --info >"$work/info.out" 2>&1 &
pids+=("$!")
held=
for _ in $(seq 40); do
  sleep 0.5
  doctor --json
  if grep -q '"check":"holder","level":"problem"' "$work/out"; then held=1; break; fi
done
[ -n "$held" ] || fail "COM5 held by another program, but no holder found"
grep -qE '"detail":"COM5 is held by morvix-fwupdate-cli.exe \(pid [0-9]+\)' "$work/out" ||
  fail "the holder's name and pid"
[ "$status" -eq 1 ] || fail "a port held, but exit $status"

[ "$failures" -eq 0 ] && echo "cli_exe_doctor: every check passed"
exit "$failures"
