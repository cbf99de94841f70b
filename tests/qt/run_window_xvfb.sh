#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# run_window_xvfb.sh SCENARIO ARTEFACTS PLCSIM PROGRAM [IMAGE]
#
# The Linux window on the real X11 platform, on a virtual display of its own
# (no window manager: the window is its client area), driven with xdotool and
# seen through screenshots:
#   startup   the window as it starts: size, controls, panel, logo; keeps
#             linux-window-startup.png
#   transfer  a whole update of a USB model (PROGRAM built with IMAGE, a small
#             GL30 image) against morvix-plcsim, whose pseudo-terminal is the
#             PLC's tty in a fake sysfs tree (MORVIX_SYSFS_ROOT), started with
#             the mouse, the replug box answered with Enter; keeps
#             linux-window-transfer.png, taken mid-transfer
# Every exit path stops what was started.
set -euo pipefail
scenario=$1 artefacts=$2 plcsim=$3 program=$4 image=${5:-}
title='Morvix PLC Firmware Update Program'

work=$(mktemp -d "${TMPDIR:-/tmp}/morvix-qt-window-$scenario.XXXXXX")
mkdir -p "$artefacts"
xvfb_pid= sim_pid= app_pid=
cleanup() {
  local rc=$?
  for pid in $app_pid $sim_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ $rc -ne 0 ] && [ -d "$work" ]; then
    echo "--- program ($scenario)"; tail -20 "$work/app.log" 2>/dev/null || true
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

# --- Display ------------------------------------------------------------------
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work

# --- Windows and pictures -----------------------------------------------------
# wait_window REGEX SECONDS: the first X window whose name matches.
wait_window() {
  local deadline=$((SECONDS + $2)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}
wait_gone() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
shot() { import -window "$1" "$2" 2>/dev/null; }
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
# ink PNG X0 Y0 X1 Y1 [LIMIT]: "left right top bottom darkest" of what is
# drawn within the rectangle with r+g+b below LIMIT (default 500: text, not
# the light grounds; darkest: the lowest r+g+b), or "none".
ink() {
  local w=$(($4 - $2 + 1)) h=$(($5 - $3 + 1))
  convert "$1" -crop "${w}x${h}+$2+$3" +repage -depth 8 txt:- | awk -v ox="$2" -v oy="$3" -v limit="${6:-500}" -F'[,:() ]+' '
    NR > 1 { s = $3 + $4 + $5; if (s < limit) { x = $1 + ox; y = $2 + oy;
      if (l == "" || x < l) l = x; if (x > r) r = x;
      if (t == "" || y < t) t = y; if (y > b) b = y;
      if (d == "" || s < d) d = s } }
    END { if (l == "") print "none"; else print l, r, t, b, d }'
}
# expect_ink PNG X0 Y0 X1 Y1 WHAT: something is drawn there, and it lies
# within the rectangle's rows (a text placed by its base line would not).
expect_ink() {
  [ "$(ink "$1" "$2" "$3" "$4" "$5")" != none ] || fail "$(basename "$1"): nothing drawn where $6 belongs"
}
# The darkest r+g+b of the text in a control: below 100 for an enabled
# control's black text, 300 to 660 for a disabled one's grey; "none" when
# nothing but the control's ground (r+g+b 660 and up) is there.
text_darkness() {
  local got
  got=$(ink "$1" "$2" "$3" "$4" "$5" 660)
  [ "$got" != none ] || { echo none; return; }
  echo "$got" | awk '{ print $5 }'
}

# The panel at rest: the bar white end to end, the texts in their places.
expect_idle_panel() {
  local png=$1
  expect_pixel "$png" 10 105 '#FFFFFF' "bar, top left"
  expect_pixel "$png" 519 124 '#FFFFFF' "bar, bottom right"
  expect_pixel "$png" 264 115 '#FFFFFF' "bar, middle"
  expect_ink "$png" 160 70 335 89 '"Elapsed Time:   0 sec"'
  expect_ink "$png" 10 140 129 159 '"Progress:   0 %"'
  expect_ink "$png" 209 140 299 159 '"Idle"'
  expect_ink "$png" 320 140 537 159 '"# of Error/Total Error: 0/0"'
}

# Whether a screenshot shows the transfer: the bar red from its left edge up
# to x = REACH at least and white at its right end, and the long phase word
# "Programming" (it reaches past x = 260; "Erasing" and "Idle" do not).
shows_programming() {
  local png=$1 reach=$2 word
  [ "$(pixel "$png" 10 110)" = '#FF0000' ] || return 1
  [ "$(pixel "$png" "$reach" 110)" = '#FF0000' ] || return 1
  [ "$(pixel "$png" 519 110)" = '#FFFFFF' ] || return 1
  word=$(ink "$png" 209 140 299 159)
  [ "$word" != none ] || return 1
  read -r _ r _ <<<"$word"
  [ "$r" -ge 260 ]
}

start_program() {
  "$program" >"$work/app.log" 2>&1 &
  app_pid=$!
  window=$(wait_window "^$title\$" 30) || fail "the main window did not appear"
  sleep 0.5
}

# dismiss CAPTION SECONDS: waits for a box with that caption and presses
# Enter on it (its OK button).
dismiss() {
  local box
  box=$(wait_window "^$1\$" "$2") || fail "no \"$1\" box within $2 s"
  sleep 0.2
  press "$box" Return
  wait_gone "^$1\$" 10 || fail "the \"$1\" box did not close on Enter"
}

case "$scenario" in
  startup)
    start_program
    png=$artefacts/linux-window-startup.png
    shot "$window" "$png"
    read -r w h <<<"$(identify -format '%w %h' "$png")"
    [ "$w" = 544 ] && [ "$h" = 205 ] || fail "window is ${w}x$h, expected 544x205 (no frame without a window manager)"
    background=$(pixel "$png" 300 60)
    expect_pixel "$png" 530 190 "$background" "window background"
    expect_pixel "$png" 5 100 "$background" "window background"
    # The model list shows the model greyed, the port list USB in black, the
    # button its label.
    model=$(text_darkness "$png" 14 24 110 42)
    port=$(text_darkness "$png" 164 24 236 42)
    label=$(text_darkness "$png" 20 66 100 84)
    [ "$model" != none ] && [ "$model" -gt 300 ] || fail "model list text: $model (expected greyed text)"
    [ "$port" != none ] && [ "$port" -lt 100 ] || fail "port list text: $port (expected black text)"
    [ "$label" != none ] && [ "$label" -lt 100 ] || fail "button label: $label (expected black text)"
    expect_ink "$png" 300 25 430 44 '"Date: 2023/02/13-2"'
    expect_idle_panel "$png"
    # The logo: 87 x 28 at (435,15), nothing drawn around it.
    read -r l r t b _ <<<"$(ink "$png" 425 5 540 60)"
    [ "$l" -ge 435 ] && [ "$r" -le 521 ] && [ "$t" -ge 15 ] && [ "$b" -le 42 ] ||
      fail "logo drawn at x $l..$r, y $t..$b, outside (435,15)-(521,42)"
    [ $((r - l)) -ge 70 ] || fail "logo only $((r - l + 1)) pixels wide"
    note "start-up screenshot: $png"
    ;;

  transfer)
    # The PLC's USB device and its cdc_acm tty; the simulator makes dev/ttyACM0.
    usb=$work/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2
    mkdir -p "$usb/1-2:1.0/tty/ttyACM0" "$work/sys/class/tty" "$work/dev"
    echo 3e9a >"$usb/idVendor"
    echo 0001 >"$usb/idProduct"
    echo 166:0 >"$usb/1-2:1.0/tty/ttyACM0/dev"
    ln -s ../.. "$usb/1-2:1.0/tty/ttyACM0/device"
    ln -s "$usb/1-2:1.0/tty/ttyACM0" "$work/sys/class/tty/ttyACM0"
    export MORVIX_SYSFS_ROOT=$work/sys
    # Paced at the line's speed and held back a little, so that the
    # transfer lasts long enough to be seen.
    "$plcsim" --link "$work/dev/ttyACM0" --model GL30 --image "$image" --pacing --reply-delay 100 \
      --report "$work/report.json" --exit-when-complete --timeout 120 \
      >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
    grep -q '^ready' "$work/sim.out" || fail "morvix-plcsim did not come up"

    start_program
    xdotool mousemove --window "$window" 60 75 click 1
    dismiss Information 30
    note "replug box answered"
    # A bar some way along: 40 % of it is x = 214.
    deadline=$((SECONDS + 60)) mid=
    while [ $SECONDS -lt $deadline ]; do
      shot "$window" "$work/poll.png" || continue
      if shows_programming "$work/poll.png" 214; then
        mid=$work/poll.png
        break
      fi
    done
    [ -n "$mid" ] || fail "no screenshot showed the transfer under way"
    # The button is disabled during the burn: its label is greyed.
    label=$(text_darkness "$mid" 20 66 100 84)
    [ "$label" != none ] && [ "$label" -gt 300 ] || fail "the Start Burn button is not disabled during the burn ($label)"
    cp "$mid" "$artefacts/linux-window-transfer.png"
    note "mid-transfer screenshot: $artefacts/linux-window-transfer.png"

    dismiss Information 60
    deadline=$((SECONDS + 30))
    while kill -0 "$sim_pid" 2>/dev/null; do
      [ $SECONDS -lt $deadline ] || fail "morvix-plcsim did not end after the update"
      sleep 0.1
    done
    rc=0
    wait "$sim_pid" || rc=$?
    sim_pid=
    [ $rc -eq 0 ] || fail "morvix-plcsim recorded violations (exit $rc)"
    for field in '"updateComplete": true' '"flashMatchesImage": true' '"violationCount": 0'; do
      grep -q "$field" "$work/report.json" || fail "simulator report lacks $field"
    done
    sleep 0.3
    shot "$window" "$work/after.png"
    expect_idle_panel "$work/after.png"
    label=$(text_darkness "$work/after.png" 20 66 100 84)
    [ "$label" -lt 100 ] || fail "the Start Burn button is not enabled again after the burn"
    ;;

  *) fail "unknown scenario" ;;
esac
note "passed"
