#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_cli_diagnostics_test.sh PLCSIM PREFIX CLI_EXE IMAGE
# The command line's .exe under wine explaining itself: a COM port that does
# not exist, --info against morvix-plcsim on COM5 (in both of the PLC's
# modes, with the simulator's record showing queries only), a PLC of another
# model named by its code, and the wire's trace. Windows gives the reasons
# (a port held by another program cannot be made under wine: its COM ports
# are not exclusive).
set -euo pipefail
plcsim=$1 prefix=$2 cli=$3 image=$4
here=$(cd "$(dirname "$0")" && pwd)
run="$here/../../scripts/wine-run"
work=$(mktemp -d)
plc_pid=
trap '[ -z "$plc_pid" ] || kill "$plc_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$run" "$prefix" cmd /c exit
com5=$prefix/dosdevices/com5
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_in() {  # expect_in FILE TEXT WHAT
  grep -qF -- "$2" "$1" || fail "$3: no '$2' in: $(cat "$1")"
}
# cli ARGS...: runs the .exe, its output in $work/out, errors in $work/err, status in $status
cli() {
  set +e
  "$run" "$prefix" "$cli" "$@" >"$work/out" 2>"$work/err"
  status=$?
  set -e
  tr -d '\r' <"$work/out" >"$work/out.txt" && mv "$work/out.txt" "$work/out"
  tr -d '\r' <"$work/err" >"$work/err.txt" && mv "$work/err.txt" "$work/err"
}
start_plc() {  # start_plc ARGS...
  rm -f "$com5"
  "$plcsim" --link "$com5" --model KR2-E --image "$image" --report "$work/report.json" \
    --timeout 120 "$@" >"$work/plc.out" &
  plc_pid=$!
  for _ in $(seq 50); do grep -q ready "$work/plc.out" 2>/dev/null && break; sleep 0.1; done
}
stop_plc() {
  kill "$plc_pid"
  wait "$plc_pid" || true
  plc_pid=
}
win_image="Z:$(echo "$image" | tr / '\\')"

# A port that is not there.
cli --image "$win_image" --port COM77
[ "$status" = 4 ] || fail "COM77: exit $status, not 4"
[ "$(tail -n 1 "$work/out")" = "ERROR: CANNOT open COM77 Port!!!" ] || fail "COM77: $(cat "$work/out")"
expect_in "$work/err" "Why: COM77 does not exist" "COM77"
expect_in "$work/err" "--list-ports" "COM77"

# --info in both modes, as text and as JSON; nothing but queries reach the PLC.
for mode in application loader; do
  start_plc --start-mode "$mode"
  cli --model KR2-E --port COM5 --info
  [ "$status" = 0 ] || fail "--info ($mode): exit $status: $(cat "$work/out" "$work/err")"
  expect_in "$work/out" "identity code:  0x0017 (KR2-E)" "--info ($mode)"
  cli --model KR2-E --port COM5 --info --json
  expect_in "$work/out" "\"firmware\":\"$mode\"" "--info --json ($mode)"
  stop_plc
  python3 - "$work/report.json" <<'PY' || fail "--info ($mode) sent more than queries"
import json, sys
queries = {"wake", "check", "app-id", "d1386", "d1001", "d1148", "app-version", "id", "version"}
heard = [r["request"] for r in json.load(open(sys.argv[1]))["requests"]]
sys.exit(0 if heard and set(heard) <= queries else 1)
PY
done

# A PLC of another model: its code, in the reasons and in the JSON result.
start_plc --app-id 0x0013
cli --image "$win_image" --port COM5 --json --trace 'C:\trace.txt'
stop_plc
[ "$status" = 1 ] || fail "wrong model: exit $status"
expect_in "$work/out" '"reportedCode":19' "wrong model"
expect_in "$work/err" "Why: The PLC reported identity code 0x0013, the code of FQ2 or FQ32" "wrong model"
trace=$prefix/drive_c/trace.txt
grep -q ' TX #[0-9]* CheckID_A 3A 30 30 36 34' "$trace" || fail "the trace has no identity query"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "the command line explained itself under wine"
