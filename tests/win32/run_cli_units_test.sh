#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_cli_units_test.sh SCENARIO PLCSIM PREFIX CLI_EXE IMAGE
# The command line's Windows program under wine against morvix-plcsim on
# COM ports of the wine prefix (each dosdevices/comN a link to a simulator's
# pseudo-terminal), with a KR2-E image:
#   units    two PLCs at once, on COM5 and on COM13 (above COM9 a port opens
#            only as \\.\COM13); the one on COM13 fails to write block 3.
#            Exit status 1, each unit's last line, the summary, the --log
#            records, the simulators' reports.
#            Before it: COM5 given twice, as COM5 and \\.\com5, and a label
#            for two units are usage errors (status 2).
#   station  --station --ask-label on COM5: the label read from standard
#            input is the unit's, in its events and its record; the PLC
#            answering there is updated; the end of standard input then ends
#            the day, with its count.
#   verify   --verify on COM5: a PLC that starts the new firmware is verified
#            (exit status 0), one whose loader still answers is not (5); after
#            the update closed, only queries reached either.
set -euo pipefail
scenario=$1 plcsim=$2 prefix=$3 cli=$4 image=$5
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$wine_run" "$prefix" cmd /c exit

fail() {
  echo "FAIL ($scenario): $*"
  echo "--- standard output"; cat "$work/out.txt" 2>/dev/null || true
  echo "--- standard error"; cat "$work/err" 2>/dev/null || true
  exit 1
}

# start_plc PORT FAULTS...: a simulated KR2-E on the prefix's PORT; its pid in $plc_pid.
start_plc() {
  local port=$1 device=$prefix/dosdevices/${1,,}
  rm -f "$device"
  "$plcsim" --link "$device" --model KR2-E --image "$image" --report "$work/$port.json" \
    --timeout 120 "${@:2}" >"$work/$port.out" 2>"$work/$port.err" &
  plc_pid=$!
  pids+=("$plc_pid")
  for _ in $(seq 50); do grep -q '^ready ' "$work/$port.out" && return; sleep 0.1; done
  fail "the simulator on $port did not start: $(cat "$work/$port.err")"
}

# expect_clean PID PORT: the simulator ended on its own after a complete update
# that left the image in its flash, without a violation.
expect_clean() {
  wait "$1" || fail "the simulator on $2 ended with status $?"
  for fact in '"updateComplete": true' '"flashMatchesImage": true' '"violationCount": 0'; do
    grep -q "$fact" "$work/$2.json" || fail "$2's report lacks $fact"
  done
}

# check_records FILE EXPECTED: the --log records' units and outcomes, in the
# order of the units' names (a record is written as its unit ends).
check_records() {
  python3 - "$1" "$2" "$(basename "$image")" <<'PY' || fail "the records of --log"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
got = " ".join(sorted(r["unit"] + ":" + r["outcome"] for r in records))
assert got == sys.argv[2], got
for r in records:
    assert r["model"] == "KR2-E" and r["image"].endswith(sys.argv[3]), r
    assert r["time"].endswith("Z") and len(r["sha256"]) == 64, r
PY
}

case $scenario in
  units)
    status=0
    "$wine_run" "$prefix" "$cli" --image "Z:$image" --port COM5 --port '\\.\com5' \
      >"$work/out" 2>"$work/err" || status=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    [ $status -eq 2 ] || fail "COM5 twice: exit status $status, not 2"
    grep -qF 'COM5 and \\.\com5 are the same port' "$work/err" || fail "COM5 twice: the message"
    status=0
    "$wine_run" "$prefix" "$cli" --image "Z:$image" --port COM5 --port COM13 --label A7 \
      >"$work/out" 2>"$work/err" || status=$?
    [ $status -eq 2 ] || fail "a label for two units: exit status $status, not 2"
    start_plc COM5 --exit-when-complete
    com5=$plc_pid
    start_plc COM13 --flash-error block@3
    com13=$plc_pid
    status=0
    "$wine_run" "$prefix" "$cli" --image "Z:$image" --port COM5 --port COM13 \
      --log "Z:$work/units.jsonl" >"$work/out" 2>"$work/err" || status=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    [ $status -eq 1 ] || fail "exit status $status, not 1"
    grep -qx '\[COM5\] INFORMATION: Firmware update is SUCCESSFUL' "$work/out.txt" ||
      fail "COM5 did not end with the success message"
    flash_error='ERROR: Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again'
    grep -qxF "[COM13] $flash_error" "$work/out.txt" || fail "COM13 did not end with the flash-write error"
    grep -Eqx 'COM5  +success +[0-9]+\.[0-9]  INFORMATION: Firmware update is SUCCESSFUL' "$work/out.txt" ||
      fail "no summary row for COM5"
    grep -qE "^COM13  +failure +[0-9]+\.[0-9]  $flash_error\$" "$work/out.txt" || fail "no summary row for COM13"
    [ "$(tail -1 "$work/out.txt")" = "1 of 2 units updated, 1 failed." ] || fail "the last line"
    check_records "$work/units.jsonl" "COM13:failure COM5:success"
    expect_clean "$com5" COM5
    kill "$com13"
    wait "$com13" || fail "the simulator on COM13 recorded violations"
    echo "units: COM5 updated, COM13 failed with its message; summary, records and reports as expected"
    ;;
  station)
    start_plc COM5 --exit-when-complete
    com5=$plc_pid
    status=0
    printf '(21)A7\0359\r\n' >"$work/labels"
    "$wine_run" "$prefix" "$cli" --station --ask-label --image "Z:$image" --port COM5 --json \
      --log "Z:$work/station.jsonl" --host-name wine-station <"$work/labels" >"$work/out" \
      2>"$work/err" || status=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    [ $status -eq 0 ] || fail "exit status $status, not 0"
    python3 - "$work/out.txt" <<'PY' || fail "the station's events"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
names = [e["event"] for e in events]
assert names[:3] == ["station", "ask", "waiting"], names
assert events[0]["schema"] == 4, events[0]
times = [e["t"] for e in events]
assert times == sorted(times), times
unit = [e for e in events if e.get("unit") == "COM5" and e["event"] != "tally"]
assert unit and all(e["label"] == "(21)A7\x1d9" for e in unit), unit
tally = next(e for e in events if e["event"] == "tally")
assert tally["unit"] == "COM5" and tally["outcome"] == "success", tally
day = events[-1]
assert day["event"] == "day" and day["succeeded"] == 1 and day["failed"] == 0, day
PY
    check_records "$work/station.jsonl" "COM5:success"
    python3 - "$work/station.jsonl" <<'PY' || fail "the station's record: label and host"
import json, sys
record = json.loads(open(sys.argv[1], encoding="utf-8").readline())
assert record["label"] == "(21)A7\x1d9" and record["host"] == "wine-station", record
PY
    expect_clean "$com5" COM5
    echo "station: the PLC on COM5 updated under its label, the day ended with the end of input: 1 succeeded"
    ;;
  verify)
    for case in verified stuck; do
      faults=()
      [ $case = stuck ] && faults=(--restart-fails)
      start_plc COM5 "${faults[@]}"
      com5=$plc_pid
      status=0
      "$wine_run" "$prefix" "$cli" --image "Z:$image" --port COM5 --verify --verify-timeout 5 \
        >"$work/out" 2>"$work/err" || status=$?
      tr -d '\r' <"$work/out" >"$work/out.txt"
      kill "$com5"
      wait "$com5" || fail "the simulator on COM5 recorded violations ($case)"
      if [ $case = verified ]; then
        [ $status -eq 0 ] || fail "exit status $status, not 0"
        last='Verified: KR2-E runs its application again (identity 0x0017)'
      else
        [ $status -eq 5 ] || fail "exit status $status, not 5"
        last='NOT verified: the PLC is still in its loader: the new firmware did not start'
        grep -q '^What to do: Switch the PLC off and on' "$work/err" || fail "no What to do"
      fi
      [ "$(tail -1 "$work/out.txt")" = "$last" ] || fail "the last line ($case)"
      grep -qx 'INFORMATION: Firmware update is SUCCESSFUL' "$work/out.txt" || fail "no success ($case)"
      python3 - "$work/COM5.json" <<'PY' || fail "a request other than a query after the update ($case)"
import json, sys
requests = [r["request"] for r in json.load(open(sys.argv[1]))["requests"]]
after = requests[requests.index("final-eot") + 1:]
assert after and set(after) <= {"wake", "check", "app-id", "d1386", "d1001", "d1148"}, after
PY
    done
    echo "verify: the PLC that starts its firmware is verified, the one stuck in its loader is not (5)"
    ;;
  *) fail "unknown scenario" ;;
esac
