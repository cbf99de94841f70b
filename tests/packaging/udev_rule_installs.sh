#!/bin/sh
# SPDX-License-Identifier: MIT
# udev_rule_installs.sh BUILD STAGING PREFIX FOLDER RULE
# Installs the udev component of BUILD for PREFIX into STAGING (as DESTDIR)
# and checks that it is RULE, in FOLDER, and nothing else.
set -eu
build=$1 staging=$2 prefix=$3 folder=$4 rule=$5
rm -rf "$staging"
DESTDIR=$staging cmake --install "$build" --prefix "$prefix" --component udev >/dev/null
installed=$(cd "$staging" && find . -type f | sed 's|^\./||')
if [ "$installed" != "$folder/60-morvix-plc.rules" ]; then
  echo "--prefix $prefix installed [$installed], expected [$folder/60-morvix-plc.rules]"
  exit 1
fi
cmp "$rule" "$staging/$folder/60-morvix-plc.rules"
echo "--prefix $prefix: $folder/60-morvix-plc.rules"
