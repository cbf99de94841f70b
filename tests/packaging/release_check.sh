#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# release_check.sh FOLDER VERSION
# Checks the release folder scripts/release made, as a user would take it:
# exactly the two Windows zips, the two Debian packages and SHA256SUMS, whose
# sums hold; each zip one folder with exactly its six files, whose own
# SHA256SUMS holds, programs for the right Windows, the license and the
# notices; and the 64-bit command line, unpacked from its zip, runs
# --version under wine, names this version and carries the demo image, not
# firmware.
set -uo pipefail
folder=$1
version=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
status=0
fail() {
  echo "release: $*"
  status=1
}
work=$(mktemp -d)
trap 'WINEPREFIX=$work/wineprefix wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

zips=("morvix-fwupdate-$version-windows-x64.zip" "morvix-fwupdate-$version-windows-x86.zip")
debs=("morvix-fwupdate_${version}_amd64.deb" "morvix-fwupdate-cli_${version}_arm64.deb")
expected=$(printf '%s\n' "${zips[@]}" "${debs[@]}" SHA256SUMS | sort)
[ "$(ls "$folder" | sort)" = "$expected" ] || fail "the folder holds $(ls "$folder" | tr '\n' ' '), not $(echo $expected)"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"
listed=$(awk '{ print $2 }' "$folder/SHA256SUMS" | sort)
[ "$listed" = "$(printf '%s\n' "${zips[@]}" "${debs[@]}" | sort)" ] ||
  fail "SHA256SUMS lists $(echo $listed), not every zip and package once"

for zip in "${zips[@]}"; do
  name=${zip%.zip}
  case $zip in
    *-x64.zip) machine="PE32+ executable (%s) x86-64" ;;
    *) machine="PE32 executable (%s) Intel 80386" ;;
  esac
  files="SHA256SUMS LICENSE.txt NOTICES.txt README.txt morvix-fwupdate-cli.exe morvix-fwupdate-demo.exe"
  want=$(for f in $files; do echo "$name/$f"; done | sort)
  got=$(unzip -Z1 "$folder/$zip" | sort)
  [ "$got" = "$want" ] || { fail "$zip holds $(echo $got), not $(echo $want)"; continue; }
  unzip -q "$folder/$zip" -d "$work"
  (cd "$work/$name" && sha256sum --quiet -c SHA256SUMS) || fail "$zip: its SHA256SUMS does not hold"
  [ "$(awk '{ print $2 }' "$work/$name/SHA256SUMS" | sort)" = "$(for f in $files; do echo "$f"; done | grep -vx SHA256SUMS | sort)" ] ||
    fail "$zip: its SHA256SUMS does not list every other file once"
  for program in morvix-fwupdate-cli.exe:console morvix-fwupdate-demo.exe:GUI; do
    description=$(file -b "$work/$name/${program%%:*}")
    # shellcheck disable=SC2059
    case $description in
      "$(printf "$machine" "${program#*:}")"*) ;;
      *) fail "$zip: ${program%%:*} is $description" ;;
    esac
  done
  cmp -s <(tr -d '\r' <"$work/$name/LICENSE.txt") "$source_dir/LICENSE" ||
    fail "$zip: LICENSE.txt is not the project's LICENSE"
  grep -q "mingw-w64" "$work/$name/NOTICES.txt" && grep -q "GCC RUNTIME LIBRARY EXCEPTION" "$work/$name/NOTICES.txt" &&
    grep -q "GNU GENERAL PUBLIC LICENSE" "$work/$name/NOTICES.txt" ||
    fail "$zip: NOTICES.txt lacks the mingw-w64, GCC exception or GPL notice"
  grep -q "firmware update $version for" "$work/$name/README.txt" && grep -q $'\r$' "$work/$name/README.txt" ||
    fail "$zip: README.txt does not name $version, or has no Windows line ends"
done

# What a Windows user runs first, from the folder the zip unpacked to.
cli=$work/morvix-fwupdate-$version-windows-x64/morvix-fwupdate-cli.exe
if [ -f "$cli" ]; then
  output=$("$source_dir/scripts/wine-run" "$work/wineprefix" "$cli" --version 2>&1 | tr -d '\r')
  echo "$output" | grep -qx "morvix-fwupdate-cli $version" || fail "the x64 .exe --version under wine said: $output"
  echo "$output" | grep -q "the DEMO image" || fail "the x64 .exe carries no demo image: $output"
fi
[ $status -ne 0 ] || echo "release $version: ${#zips[@]} zips and ${#debs[@]} packages, every sum holds; the x64 command line from its zip says $(echo "$output" | head -1)"
exit $status
