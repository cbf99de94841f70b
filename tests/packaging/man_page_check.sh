#!/bin/sh
# SPDX-License-Identifier: MIT
# man_page_check.sh PROGRAM MANPAGE
# The man page is written by hand and drifts otherwise: fails when groff
# warns about it, when an option that PROGRAM --help lists is missing from it,
# or when it describes an option (a .TP/.TQ entry) that --help no longer lists.
set -eu
program=$1
page=$2

warnings=$(groff -t -man -ww -z -Tutf8 "$page" 2>&1)
[ -z "$warnings" ] || { echo "$page: groff warns:"; echo "$warnings"; exit 1; }

# Options of --help: the lines that begin with blanks and "--".
help_options=$("$program" --help | sed -n 's/^ \{1,\}\(--[a-z0-9][a-z0-9-]*\).*/\1/p' | sort -u)
[ -n "$help_options" ] || { echo "no options found in $program --help"; exit 1; }

# Options the man page describes: the first word of each .TP or .TQ entry,
# with roff's \- turned back into hyphens.
page_options=$(awk '/^\.(TP|TQ)/ { getline; print }' "$page" |
               sed -n 's/^\.B[IR]* \{1,\}\(\\-\\-[a-z0-9\\-]*\).*/\1/p' |
               sed 's/\\-/-/g' | sort -u)

status=0
for option in $help_options; do
  if ! printf '%s\n' "$page_options" | grep -qx -- "$option"; then
    echo "$page: '$option' from $program --help is not described"
    status=1
  fi
done
for option in $page_options; do
  if ! printf '%s\n' "$help_options" | grep -qx -- "$option"; then
    echo "$page: describes '$option', which $program --help does not list"
    status=1
  fi
done
[ $status -ne 0 ] || echo "$(printf '%s\n' "$help_options" | wc -l) options of $program --help, all described in $page"
exit $status
