#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# completion_test.sh COMPLETION-FILE CLI PLCSIM REPORT
# Completes command lines with the bash completion against the built
# programs, as bash would on Tab, and compares what it offers.
set -u
completion=$1
cli=$(realpath "$2")
plcsim=$(realpath "$3")
report=$(realpath "$4")

# shellcheck source=/dev/null
source "$completion"
# Outside a real completion bash refuses compopt; what it would change is
# readline's display, not the words offered.
compopt() { :; }

failures=0
# expect "WORDS..." EXPECTED...: the last of WORDS is the one being completed.
expect() {
  local line=$1
  shift
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _morvix_complete
  local got expected
  got=$( ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' '|')
  expected=$( (($#)) && printf '%s\n' "$@" | sort | tr '\n' '|')
  if [ "$got" = "$expected" ]; then
    echo "ok: '$line' -> $got"
  else
    echo "FAILED: '$line'"
    echo "  expected: $expected"
    echo "  got:      $got"
    failures=$((failures + 1))
  fi
}

cli_options=$("$cli" --help | sed -n 's/^ \{1,\}\(--[a-z0-9-]*\).*/\1/p')
expect "$cli " $cli_options
expect "$cli --li" --list-models --list-ports
expect "$cli --yes --js" --json
expect "$cli --verify" --verify --verify-timeout
expect "$cli --station --as" --ask-label
# A label or a station's name is the operator's to type.
expect "$cli --label "
expect "$cli --host-name "
# An option without a value: the next word is an option again.
expect "$cli --doc" --doctor
expect "$cli --doctor --js" --json
expect "$cli --model KR2-C" KR2-C-V2 KR2-C-V4
expect "$cli --model GL2" GL20 GL20-AIO GL20-TO-GL30
# --model=GL20- reaches the function as three words.
expect "$cli --model = GL20-" GL20-AIO GL20-TO-GL30
expect "$cli --model = " $("$cli" --list-models --json | grep -o '"model":"[^"]*"' | cut -d'"' -f4)
# A value that cannot be completed offers nothing, not the options.
expect "$plcsim --nak "
expect "$plcsim --image-size "
expect "$plcsim --start-mode " application loader
expect "$plcsim --repeated-block " ack refuse
expect "$plcsim --stays-in-application --pac" --pacing
expect "$plcsim --restart-fails s" silent
expect "$plcsim --restart-fails --rep" --repeated-block --reply-delay --report
expect "$plcsim --flash" --flash-error --flash-out
expect "$plcsim --d1" --d1001 --d1148 --d1386
# morvix-plcsim asks the command line beside it (here: on PATH) for models.
PATH=$(dirname "$cli"):$PATH expect "$plcsim --model KR2-E" KR2-E
PATH=$(dirname "$cli"):$(dirname "$plcsim"):$PATH expect "morvix-plcsim --model = KR2-PW2" KR2-PW2-V2 KR2-PW2-V4

# Image files: folders and *.bin files only.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/old images"
touch "$work/KR2-E_v1.3.bin" "$work/GL30_V2.BIN" "$work/notes.txt" "$work/old images/x.bin"
cd "$work"
expect "$cli --image " KR2-E_v1.3.bin GL30_V2.BIN "old images"
# morvix-report: its options, and the unit records (*.jsonl) it reads.
touch "$work/line1.jsonl" "$work/old images/run2.jsonl"
expect "$report --ti" --title
expect "$report --since 2026-12-08 " line1.jsonl "old images"
expect "$report -o report.html line1.jsonl old" "old images"
expect "$report --title "
expect "$report -o "
cd - >/dev/null

# Ports: the device paths --list-ports prints, whatever this machine has.
ports=$("$cli" --list-ports | grep -o '/dev/[^ ]*')
expect "$cli --port " $ports
# USB locations: "all" and the location of every USB PLC attached now.
locations=$("$cli" --list-ports --json | grep -o '"location":"[^"]*"' | cut -d'"' -f4)
expect "$cli --usb " all $locations

[ "$failures" -eq 0 ] || { echo "$failures completion(s) wrong"; exit 1; }
