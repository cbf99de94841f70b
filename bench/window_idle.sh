#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# window_idle.sh QT-PROGRAM WINDOWS-PROGRAM [SECONDS]
#
# The idle cost of each window: the CPU time its process (every thread)
# spends over SECONDS (default 30) at rest, once it has settled, as a share
# of one CPU. The Linux window runs on a virtual X display (Xvfb, Qt's xcb
# platform) and on Qt's offscreen platform; the Windows program under wine on
# the virtual display, in a fresh prefix. Beside each: the X server's CPU in
# the same span, and for wine its server and its own helper processes
# (explorer, services, ...), which a Windows machine would not run.
# Prints Markdown rows. Figures, not a test. Stops everything it started.
set -euo pipefail
qt=$1 windows=$2 seconds=${3:-30}
here=$(cd "$(dirname "$0")" && pwd)
title='Morvix PLC Firmware Update Program'
work=$(mktemp -d "${TMPDIR:-/tmp}/window-idle.XXXXXX")
prefix=$work/prefix
# Only wine's own commands are given the prefix: it is how wine's processes
# are told from the others below.
export WINEDEBUG=-all XDG_RUNTIME_DIR=$work
started=()
cleanup() {
  local p
  for p in "${started[@]}"; do kill "$p" 2>/dev/null || true; done
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  for p in "${started[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Nanoseconds on a CPU so far, summed over the threads of the processes.
cpu_ns() {
  local total=0 p t
  for p in "$@"; do
    for t in /proc/"$p"/task/*/schedstat; do
      [ -r "$t" ] && total=$((total + $(cut -d' ' -f1 "$t" 2>/dev/null || echo 0)))
    done
  done
  echo "$total"
}

# measure GROUP... where each GROUP is "pid pid ...": the share of one CPU
# each group used over the same $seconds, one per line, in percent.
measure() {
  local before=() after=() group
  for group in "$@"; do before+=("$(cpu_ns $group)"); done
  local t0 t1 i
  t0=$(date +%s%N)
  sleep "$seconds"
  t1=$(date +%s%N)
  for group in "$@"; do after+=("$(cpu_ns $group)"); done
  for i in "${!before[@]}"; do
    awk -v c=$((after[i] - before[i])) -v w=$((t1 - t0)) 'BEGIN { printf "%.3f\n", 100 * c / w }'
  done
}

wait_window() {
  local _
  for _ in $(seq 600); do
    xdotool search --onlyvisible --name "$title" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "window_idle: the window did not appear" >&2
  return 1
}

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
started+=("$xvfb")
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

echo "| Window | platform | its process | X server (Xvfb) | wine's server and helpers |"
echo "|---|---|---:|---:|---:|"

# The Linux window.
QT_QPA_PLATFORM=xcb "$qt" >/dev/null 2>&1 &
app=$!
started+=("$app")
wait_window
sleep 3
mapfile -t shares < <(measure "$app" "$xvfb")
echo "| \`morvix-fwupdate\` (Qt $(qmake6 -query QT_VERSION 2>/dev/null || echo 6)) | xcb on Xvfb | ${shares[0]} % | ${shares[1]} % | |"
kill "$app"
wait "$app" 2>/dev/null || true

QT_QPA_PLATFORM=offscreen "$qt" >/dev/null 2>&1 &
app=$!
started+=("$app")
sleep 5
mapfile -t shares < <(measure "$app")
echo "| \`morvix-fwupdate\` | offscreen | ${shares[0]} % | | |"
kill "$app"
wait "$app" 2>/dev/null || true

# The Windows program: the prefix is made first, so that what is measured is
# the program at rest, not wine setting up.
"$here/../scripts/wine-run" "$prefix" cmd /c exit >/dev/null 2>&1
"$here/../scripts/wine-run" "$prefix" "$windows" >/dev/null 2>&1 &
started+=("$!")
wait_window
sleep 5
# Wine's processes of this prefix: the program's, and the rest.
program= others=()
for p in $(ls /proc | grep -E '^[0-9]+$'); do
  { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" || continue
  if { tr '\0' ' ' <"/proc/$p/cmdline"; } 2>/dev/null | grep -q 'morvix-fwupdate\.exe'; then
    program="$program $p"
  else
    others+=("$p")
  fi
done
[ -n "$program" ] || { echo "window_idle: the program's process was not found" >&2; exit 1; }
mapfile -t shares < <(measure "$program" "$xvfb" "${others[*]}")
echo "| \`morvix-fwupdate.exe\` (x86_64, $(wine --version)) | wine on Xvfb | ${shares[0]} % | ${shares[1]} % | ${shares[2]} % (${#others[@]} processes) |"
