#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_serial_test.sh PEER PREFIX TEST_EXE
# Runs the Win32 serial link test on COM9 and on COM12 of the wine prefix
# (above COM9 the system opens a port only in the "\\.\" form), each put on a
# fresh pseudo-terminal held by PEER, and checks from the far end that the
# line ran at 115200, then 9600, then 115200 baud.
set -euo pipefail
peer=$1 prefix=$2 test_exe=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
peer_pid=
trap '[ -z "$peer_pid" ] || kill "$peer_pid" 2>/dev/null || true; rm -rf "$work"' EXIT

# Make sure the prefix exists before its dosdevices folder is used.
"$here/../../scripts/wine-run" "$prefix" cmd /c exit

for port in COM9 COM12; do
  device=$prefix/dosdevices/${port,,}
  "$peer" "$device" "$work/$port.log" >"$work/$port.out" &
  peer_pid=$!
  for _ in $(seq 50); do grep -q ready "$work/$port.out" 2>/dev/null && break; sleep 0.1; done

  MORVIX_TEST_COM_PORT=$port "$here/../../scripts/wine-run" "$prefix" "$test_exe"

  kill "$peer_pid"
  wait "$peer_pid" || true
  peer_pid=
  rm -f "$device"
  speeds=$(awk '{print $1}' "$work/$port.log" | uniq | tr '\n' ' ')
  echo "$port: line speeds seen by the far end: $speeds"
  case "$speeds" in
    "115200 9600 115200 "*) ;;
    *) echo "$port: expected 115200, then 9600, then 115200"; exit 1 ;;
  esac
done
