#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# readme_recipe_test.sh SOURCE_DIR
# Runs the simulator recipe of docs/simulator.md exactly as it stands, from
# the repository's folder as the page says, and checks that it updated the
# simulated PLC: a newcomer who copies it must succeed every time.
set -euo pipefail
source_dir=$1
recipe=$(awk '/<!-- recipe: the simulator/ { found = 1; next }
              found && /^```sh$/ { inside = 1; next }
              inside && /^```$/ { exit }
              inside { print }' "$source_dir/docs/simulator.md")
[ -n "$recipe" ] || { echo "no simulator recipe in docs/simulator.md"; exit 1; }
cd "$source_dir"
output=$(bash -e -c "$recipe" 2>&1) || { echo "$output"; echo "the recipe failed"; exit 1; }
echo "$output"
last=$(printf '%s\n' "$output" | tail -n 1)
[ "$last" = "INFORMATION: Firmware update is SUCCESSFUL" ] || { echo "last line: $last"; exit 1; }
grep -q '"violationCount": 0' /tmp/report.json || { echo "the simulator recorded violations"; exit 1; }
grep -q '"flashMatchesImage": true' /tmp/report.json || { echo "the flash is not the image"; exit 1; }
