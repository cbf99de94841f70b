#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cli_wakeups.sh CLI PLCSIM IMAGE STRACE_OUT
# How often the command line wakes while it waits for a burn: one paced
# KR2-E update (morvix-plcsim --pacing, the real line speeds) over a
# pseudo-terminal, the command line under `strace -f -c` (every thread).
# Prints the final line and the wall time; the system-call counts are in
# STRACE_OUT. A figure, not a test.
set -eu
cli=$1 plcsim=$2 image=$3 out=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$plcsim" --link "$dir/tty" --model KR2-E --image "$image" --pacing --exit-when-complete \
  --report "$dir/report.json" >"$dir/plc.out" 2>&1 &
for _ in $(seq 50); do grep -q '^ready' "$dir/plc.out" && break; sleep 0.1; done
start=$(date +%s.%N)
strace -f -c -o "$out" "$cli" --image "$image" --port "$dir/tty" --yes >"$dir/cli.out" 2>&1 || true
end=$(date +%s.%N)
wait
tail -1 "$dir/cli.out"
echo "seconds: $(echo "$end - $start" | bc)"
