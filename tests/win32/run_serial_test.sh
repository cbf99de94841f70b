#!/usr/bin/env bash
# run_serial_test.sh PEER PREFIX TEST_EXE
# Puts COM9 of the wine prefix on a pseudo-terminal held by PEER, runs the
# Win32 serial link test on it, and checks from the far end that the line
# ran at 115200, then 9600, then 115200 baud.
set -euo pipefail
peer=$1 prefix=$2 test_exe=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'kill "$peer_pid" 2>/dev/null || true; rm -rf "$work"' EXIT

# Make sure the prefix exists before its dosdevices folder is used.
"$here/../../scripts/wine-run" "$prefix" cmd /c exit
"$peer" "$prefix/dosdevices/com9" "$work/speeds.log" > "$work/peer.out" &
peer_pid=$!
for _ in $(seq 50); do grep -q ready "$work/peer.out" 2>/dev/null && break; sleep 0.1; done

MORVIX_TEST_COM_PORT=COM9 "$here/../../scripts/wine-run" "$prefix" "$test_exe"

speeds=$(awk '{print $1}' "$work/speeds.log" | uniq | tr '\n' ' ')
echo "line speeds seen by the far end: $speeds"
case "$speeds" in
  "115200 9600 115200 "*) ;;
  *) echo "expected 115200, then 9600, then 115200"; exit 1 ;;
esac
