#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_window_test.sh SCENARIO ARTEFACTS PLCSIM PROGRAM [IMAGE] [DRIVER]
#
# The Windows program's window under wine, on a virtual display of its own,
# in a fresh wine prefix, driven with xdotool and seen through screenshots:
#   startup  the window as it starts: controls, panel, logo, colours
#   com      a complete update of a COM model (the program built with
#            KR2-E_test.bin) against morvix-plcsim on COM5, started with the
#            mouse, with a screenshot taken mid-transfer
#   keys     Escape starts nothing wherever the focus is (the window, the
#            button, the port list, its open drop-down list, which it
#            closes); the same update started with the space bar; Escape
#            during and after it starts nothing, Enter on the button starts
#            the next; closing the window during a transfer
#   usb      a complete update of the default GL30 program over its USB path:
#            a fake USB device and a test-only pass-through driver (DRIVER)
#            that forwards it to COM7, where morvix-plcsim waits
#   unit     PROGRAM is a test program that makes the window itself
# Screenshots are kept in ARTEFACTS. Every exit path stops what was started.
set -euo pipefail
scenario=$1 artefacts=$2 plcsim=$3 program=$4 image=${5:-} driver=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run
title='Morvix PLC Firmware Update Program'

work=$(mktemp -d "${TMPDIR:-/tmp}/morvix-window-$scenario.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# The demo image goes only into simulated PLCs here.
export MORVIX_ALLOW_DEMO_IMAGE=1
mkdir -p "$artefacts"
xvfb_pid= sim_pid= app_pid=
cleanup() {
  local rc=$?
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  if [ $rc -ne 0 ] && [ -d "$work" ]; then
    echo "--- simulator ($scenario)"; tail -20 "$work/sim.err" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL ($scenario): $*" >&2
  exit 1
}
note() { echo "[$scenario] $*"; }

# --- Display and prefix -------------------------------------------------------
# Xvfb picks a free display itself and tells its number.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
"$wine_run" "$WINEPREFIX" cmd /c exit

# The window's own tests, in this process's display and fresh prefix.
if [ "$scenario" = unit ]; then
  "$wine_run" "$WINEPREFIX" "$program"
  exit 0
fi

# import_reg NAME FILE: the registry file under a name that is no device name
# (a file called com5.reg would open the port COM5).
import_reg() {
  cp "$2" "$WINEPREFIX/drive_c/$1"
  wine regedit /S "C:\\$1"
}

# --- Windows and pictures -----------------------------------------------------
# wait_window REGEX SECONDS: the first X window whose name matches, or "".
wait_window() {
  local deadline=$((SECONDS + $2)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --name "$1" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}
# wait_gone ID SECONDS
wait_gone() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
shot() { import -window "$1" "$2" 2>/dev/null; }
# press ID KEY: the key through the X server's test extension, to the focused window.
press() {
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  xdotool key --clearmodifiers "$2" 2>/dev/null
}

# pixel PNG X Y: the colour as #RRGGBB
pixel() {
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 txt:- | awk 'NR == 2 { print $3 }'
}
expect_pixel() {
  local got
  got=$(pixel "$1" "$2" "$3")
  [ "$got" = "$4" ] || fail "$(basename "$1"): pixel ($2,$3) is $got, expected $4 ($5)"
}
# ink PNG X0 Y0 X1 Y1: "left right top bottom darkest" of what is drawn on
# white within the rectangle (darkest: the lowest r+g+b), or "none".
ink() {
  local w=$(($4 - $2 + 1)) h=$(($5 - $3 + 1))
  convert "$1" -crop "${w}x${h}+$2+$3" +repage -depth 8 txt:- | awk -v ox="$2" -v oy="$3" -F'[,:() ]+' '
    NR > 1 { s = $3 + $4 + $5; if (s < 600) { x = $1 + ox; y = $2 + oy;
      if (l == "" || x < l) l = x; if (x > r) r = x;
      if (t == "" || y < t) t = y; if (y > b) b = y;
      if (d == "" || s < d) d = s } }
    END { if (l == "") print "none"; else print l, r, t, b, d }'
}
# expect_text PNG X0 Y0 X1 Y1 LEFT RIGHT WHAT: the text drawn in the rectangle
# spans LEFT..RIGHT (±1 pixel): a text of another length or place fails.
expect_text() {
  local got l r
  got=$(ink "$1" "$2" "$3" "$4" "$5")
  [ "$got" != none ] || fail "$(basename "$1"): nothing drawn where $8 belongs"
  read -r l r _ <<<"$got"
  if [ $((l - $6)) -lt -1 ] || [ $((l - $6)) -gt 1 ] || [ $((r - $7)) -lt -1 ] || [ $((r - $7)) -gt 1 ]; then
    fail "$(basename "$1"): $8 spans x $l..$r, expected $6..$7"
  fi
}
expect_nothing() {
  local got
  got=$(ink "$1" "$2" "$3" "$4" "$5")
  [ "$got" = none ] || fail "$(basename "$1"): something drawn in ($2,$3)-($4,$5): $got ($6)"
}

# The panel at rest, as after start-up and after every burn: no red in the
# bar, "Idle", 0 %, 0 s and 0/0. The extents are those of wine's default
# font; a longer phase word, a wider count or a number not 0 shows in them.
expect_idle_panel() {
  local png=$1
  expect_pixel "$png" 10 105 '#FFFFFF' "bar, left edge"
  expect_pixel "$png" 519 124 '#FFFFFF' "bar, bottom right"
  expect_nothing "$png" 10 100 537 134 "the bar holds no red at progress 0"
  expect_text "$png" 160 140 300 158 160 229 '"Status: Idle"'
  expect_text "$png" 209 140 300 158 210 229 '"Idle"'
  expect_text "$png" 320 140 537 158 320 459 '"# of Error/Total Error: 0/0"'
  expect_text "$png" 10 140 130 158 11 120 '"Progress:   0 %"'
  expect_text "$png" 80 140 105 158 93 98 'the 0 of the percentage'
  expect_text "$png" 160 70 335 90 161 317 '"Elapsed Time:   0 sec"'
  expect_text "$png" 265 70 290 90 278 283 'the 0 of the seconds'
}

# Whether a screenshot shows the transfer under way: the phase word
# "Programming" (longer than "Erasing"), the bar red from its left edge (up
# to x = REACH at least) and white at its right end.
shows_programming() {
  local png=$1 reach=${2:-10} word
  [ "$(pixel "$png" 10 110)" = '#FF0000' ] || return 1
  [ "$(pixel "$png" "$reach" 110)" = '#FF0000' ] || return 1
  [ "$(pixel "$png" 519 110)" = '#FFFFFF' ] || return 1
  word=$(ink "$png" 209 140 300 158)
  [ "$word" != none ] || return 1
  read -r _ r _ <<<"$word"
  [ "$r" -ge 270 ]
}

# wait_programming [REACH]: the first screenshot that shows "Programming"
# with the bar partly red (at least up to x = REACH); fails when a box comes
# first or a minute passes.
wait_programming() {
  local deadline=$((SECONDS + 60))
  while [ $SECONDS -lt $deadline ]; do
    shot "$window" "$work/poll.png" || continue
    if shows_programming "$work/poll.png" "${1:-10}"; then
      echo "$work/poll.png"
      return 0
    fi
    xdotool search --name '^(ERROR|INFORMATION|Information)$' >/dev/null 2>&1 && return 1
  done
  return 1
}

start_program() {
  "$wine_run" "$WINEPREFIX" "$program" >"$work/app.log" 2>&1 &
  app_pid=$!
  window=$(wait_window "^$title\$" 60) || fail "the main window did not appear"
}

# --- Simulated PLC ------------------------------------------------------------
# start_sim PORT MODEL [OPTIONS...]: morvix-plcsim on a fresh pseudo-terminal
# that dosdevices/PORT points at.
start_sim() {
  local port=$1 model=$2
  shift 2
  "$plcsim" --link "$WINEPREFIX/dosdevices/$port" --model "$model" --image "$image" \
    --report "$work/report.json" --flash-out "$work/flash.bin" --exit-when-complete \
    --timeout 240 "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" 2>/dev/null && return 0; sleep 0.05; done
  fail "morvix-plcsim did not come up"
}
# The simulator ends by itself once the update is complete and the link closed.
wait_sim() {
  local deadline=$((SECONDS + 30)) rc=0
  while kill -0 "$sim_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "morvix-plcsim did not end after the update"
    sleep 0.1
  done
  wait "$sim_pid" || rc=$?
  sim_pid=
  [ $rc -eq 0 ] || fail "morvix-plcsim recorded violations (exit $rc): $(grep -A3 '"violations"' "$work/report.json")"
}
report_field() { sed -n "s/^  \"$1\": \\(.*\\),\$/\\1/p" "$work/report.json"; }
expect_report() {
  local got
  got=$(report_field "$1")
  [ "$got" = "$2" ] || fail "simulator report: $1 is $got, expected $2"
}
# The flash holds the image bytes that were sent (SENT of them), then 0x1A up
# to the end of the last block.
expect_flash() {
  local sent=$1 size
  cmp -n "$sent" "$work/flash.bin" "$image" || fail "the flash differs from the image"
  size=$(stat -c %s "$work/flash.bin")
  if [ "$size" -gt "$sent" ]; then
    [ -z "$(tail -c +$((sent + 1)) "$work/flash.bin" | tr -d '\032')" ] ||
      fail "the fill after the image is not 0x1A"
  fi
  note "flash: $sent image bytes and $((size - sent)) bytes of fill, as sent"
}
expect_clean_update() {
  expect_report updateComplete true
  expect_report flashMatchesImage true
  expect_report violationCount 0
  expect_report connections "$1"
  expect_report eraseSteps "$(report_field expectedEraseSteps)"
  expect_report blocksWritten "$(report_field expectedBlocks)"
}

# dismiss CAPTION: waits for a box with that caption, keeps its picture, and
# presses Enter on it (its OK button).
dismiss() {
  local box
  box=$(wait_window "^$1\$" "$2") || fail "no \"$1\" box within $2 s"
  sleep 0.2
  shot "$box" "$work/box.png"
  press "$box" Return
  wait_gone "$box" 10 || fail "the \"$1\" box did not close on Enter"
}
no_box_for() {
  if wait_window '^(ERROR|INFORMATION|Information)$' "$1" >/dev/null; then
    fail "an unexpected box appeared"
  fi
}

# focus_in PNG: the control that shows the focus: "button" (its dotted focus
# rectangle, dark at x = 12 or 13 as the button is drawn as the default one
# or not), "ports" (the port list's entry highlighted) or "none".
focus_in() {
  local d
  read -r _ _ _ _ d <<<"$(ink "$1" 12 62 14 87)"
  if [ "${d:-999}" -lt 100 ]; then
    echo button
  elif [ "$(pixel "$1" 190 25)" = '#3096FA' ]; then
    echo ports
  else
    echo none
  fi
}
expect_focus() {
  local got
  sleep 0.3
  shot "$window" "$work/focus.png"
  got=$(focus_in "$work/focus.png")
  [ "$got" = "$1" ] || fail "the focus is on $got, expected $1"
}
# The port list's drop-down part, below it, is open.
drop_down_open() { [ "$(pixel "$1" 200 50)" != '#FFFFFF' ]; }

# escape_starts_nothing WHERE: Escape leaves the window idle: no burn (the
# button enabled, the panel at rest) and no box.
escape_starts_nothing() {
  local d
  press "$window" Escape
  no_box_for 1
  shot "$window" "$work/escape.png"
  read -r _ _ _ _ d <<<"$(ink "$work/escape.png" 14 64 106 86)"
  [ "$d" -lt 100 ] || fail "Escape $1 started a burn: the button is disabled"
  expect_idle_panel "$work/escape.png"
  note "Escape $1 started nothing"
}

# --- Scenarios ----------------------------------------------------------------
com_registry() {
  cat >"$work/ports.reg" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+MORVIX01\0000]
"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"
"FriendlyName"="USB Serial Port (COM5)"
EOF
  import_reg ports.reg "$work/ports.reg"
  wineserver -w
}

case "$scenario" in
  startup)
    started=$(date +%s%N)
    start_program
    mapped=$(date +%s%N)
    # The logo comes with the first repaint tick, 100 ms after start-up.
    logo_at=
    for i in $(seq 40); do
      # A window that is not mapped yet cannot be captured: try again.
      shot "$window" "$work/poll.png" || { sleep 0.05; continue; }
      if [ "$(ink "$work/poll.png" 435 15 521 42)" != none ]; then
        logo_at=$(($(date +%s%N) - mapped))
        break
      fi
    done
    [ -n "$logo_at" ] || fail "the logo did not appear"
    note "window after $(((mapped - started) / 1000000)) ms; logo seen $((logo_at / 1000000)) ms after the window (one screenshot takes about 100 ms)"
    sleep 0.3
    png=$artefacts/window-startup.png
    shot "$window" "$png"
    read -r w h <<<"$(identify -format '%w %h' "$png")"
    [ "$w" = 538 ] && [ "$h" = 180 ] || fail "client area is ${w}x$h, expected 538x180 (outer 544 x 205)"
    # Background: the window colour, white in wine's theme.
    expect_pixel "$png" 5 5 '#FFFFFF' "window background"
    expect_pixel "$png" 300 60 '#FFFFFF' "window background"
    expect_pixel "$png" 530 170 '#FFFFFF' "window background"
    # The model list shows GL30 greyed (disabled), the port list USB in black.
    read -r l r _ _ d <<<"$(ink "$png" 12 22 110 38)"
    [ "$l" = 15 ] && [ "$r" = 41 ] || fail "model list text spans $l..$r, expected GL30 at 15..41"
    [ "$d" -gt 300 ] || fail "model list text is dark ($d): the list should be disabled"
    read -r l r _ _ d <<<"$(ink "$png" 162 22 240 38)"
    [ "$l" = 165 ] && [ "$r" = 185 ] || fail "port list text spans $l..$r, expected USB at 165..185"
    [ "$d" -lt 100 ] || fail "port list text is grey ($d): the list should be enabled"
    expect_text "$png" 14 64 106 86 32 86 '"Start Burn" on the button'
    expect_text "$png" 300 20 430 42 300 407 '"Date: 2023/02/13-2"'
    expect_idle_panel "$png"
    # The logo: 87 x 28 at (435,15), nothing drawn around it.
    read -r l r t b _ <<<"$(ink "$png" 425 5 537 55)"
    [ "$l" -ge 435 ] && [ "$r" -le 521 ] && [ "$t" -ge 15 ] && [ "$b" -le 42 ] ||
      fail "logo drawn at x $l..$r, y $t..$b, outside (435,15)-(521,42)"
    [ $((r - l)) -ge 70 ] || fail "logo only $((r - l + 1)) pixels wide"
    note "start-up screenshot: $png"
    ;;

  com | keys)
    com_registry
    # Paced at the line's speed and held back a little, so the transfer of
    # the small image lasts long enough to be seen.
    start_sim com5 KR2-E --pacing --reply-delay 150
    start_program
    sleep 0.5
    shot "$window" "$work/start.png"
    read -r l r _ <<<"$(ink "$work/start.png" 162 22 240 38)"
    [ "$l" = 164 ] && [ "$r" = 196 ] || fail "port list text spans $l..$r, expected COM5 at 164..196"
    if [ "$scenario" = com ]; then
      xdotool mousemove --window "$window" 60 75 click 1
    else
      # Escape dismisses things: wherever the focus is, it starts no erase.
      expect_focus none
      escape_starts_nothing "on the window"
      press "$window" Tab
      expect_focus button
      escape_starts_nothing "on the button"
      press "$window" Tab
      expect_focus ports
      escape_starts_nothing "on the port list"
      press "$window" F4
      sleep 0.3
      shot "$window" "$work/dropped.png"
      drop_down_open "$work/dropped.png" || fail "F4 did not open the port list"
      escape_starts_nothing "on the open port list"
      drop_down_open "$work/escape.png" && fail "Escape did not close the port list"
      expect_focus ports
      # The space bar on the button starts the update.
      press "$window" shift+Tab
      expect_focus button
      press "$window" space
    fi
    # For the picture, a bar some way along: 40 % of it is x = 214.
    reach=10
    [ "$scenario" = keys ] || reach=214
    mid=$(wait_programming $reach) || fail "no screenshot showed the transfer under way"
    if [ "$scenario" = com ]; then
      cp "$mid" "$artefacts/window-transfer.png"
      # The button is disabled during the burn: its text is greyed.
      read -r _ _ _ _ d <<<"$(ink "$mid" 14 64 106 86)"
      [ "$d" -gt 300 ] || fail "the Start Burn button is not disabled during the burn"
      note "mid-transfer screenshot: $artefacts/window-transfer.png"
    else
      press "$window" Escape
      note "Escape pressed during the transfer"
    fi
    dismiss INFORMATION 90
    cp "$work/box.png" "$artefacts/window-$scenario-success.png"
    wait_sim
    # One connection: no Escape started a burn of its own.
    expect_clean_update 1
    expect_report blocksWritten 11
    expect_flash "$(stat -c %s "$image")"
    # Idle again: the panel is back at rest and the button enabled.
    sleep 0.5
    shot "$window" "$work/after.png"
    expect_idle_panel "$work/after.png"
    read -r _ _ _ _ d <<<"$(ink "$work/after.png" 14 64 106 86)"
    [ "$d" -lt 100 ] || fail "the Start Burn button is not enabled again after the burn"
    if [ "$scenario" = keys ]; then
      # The button by way of the port list: wine's dialog keys make it the
      # default button only when the focus comes from another control.
      press "$window" Tab
      press "$window" Tab
      expect_focus ports
      press "$window" shift+Tab
      expect_focus button
      escape_starts_nothing "after the update, on the button"
      # Enter on the button starts the next; no PLC answers on COM5 any
      # more, so it fails and says so.
      press "$window" Return
      dismiss ERROR 60
      note "Enter on the button started the next burn, which reported its failure"
      # A burn under way ends with the program when the window is closed.
      start_sim com5 KR2-E --pacing --reply-delay 150
      xdotool mousemove --window "$window" 60 75 click 1
      wait_programming >/dev/null || fail "the burn to be cut short did not reach its transfer"
      note "closing the window during a transfer"
    fi
    ;;

  usb)
    [ -n "$driver" ] || fail "no pass-through driver given"
    cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/morvixusbpt.sys"
    import_reg usb.reg "$here/usb_passthrough/usb_passthrough.reg"
    # The service manager reads its services when it starts: restart the
    # prefix's server so that the driver is loaded.
    wineserver -w
    wineserver -k 2>/dev/null || true
    "$wine_run" "$WINEPREFIX" cmd /c exit
    start_sim com7 GL30
    start_program
    sleep 0.3
    shot "$window" "$work/start.png"
    read -r l r _ <<<"$(ink "$work/start.png" 162 22 240 38)"
    [ "$l" = 165 ] && [ "$r" = 185 ] || fail "port list text spans $l..$r, expected USB"
    xdotool mousemove --window "$window" 60 75 click 1
    # Phase 1 over the USB link ends with the replug request; closing the
    # link and opening it again is the replug the simulated PLC sees.
    dismiss Information 60
    cp "$work/box.png" "$artefacts/window-usb-replug.png"
    dismiss Information 120
    cp "$work/box.png" "$artefacts/window-usb-success.png"
    wait_sim
    expect_clean_update 2
    size=$(stat -c %s "$image")
    expect_flash $((size - 4096))
    sleep 0.3
    shot "$window" "$work/after.png"
    expect_idle_panel "$work/after.png"
    ;;

  *) fail "unknown scenario" ;;
esac

# Alt+F4 closes the window, and the program ends with it, with 0.
press "$window" alt+F4
deadline=$((SECONDS + 20))
while kill -0 "$app_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the program did not end when its window was closed"
rc=0
wait "$app_pid" || rc=$?
app_pid=
[ $rc -eq 0 ] || fail "the program ended with $rc, expected 0"
note "passed"
