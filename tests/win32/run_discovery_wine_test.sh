#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_discovery_wine_test.sh PREFIX TEST_EXE
# Runs the discovery test in a wine prefix of its own: once fresh (with a
# virtual display for the combo box), then again after registering two
# serial ports and two USB devices (the PLC among them).
set -euo pipefail
prefix=$1 test_exe=$2
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$prefix" "$prefix.lock"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

MORVIX_WINE_STAGE=fresh "$wine_run" "$prefix" "$test_exe" --gtest_filter='FreshPrefix.*'

cp "$here/discovery_devices.reg" "$prefix/drive_c/discovery_devices.reg"
"$wine_run" "$prefix" regedit /S 'C:\discovery_devices.reg'
MORVIX_WINE_STAGE=registered "$wine_run" "$prefix" "$test_exe" --gtest_filter='RegisteredDevices.*'
