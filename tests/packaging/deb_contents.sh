#!/bin/sh
# SPDX-License-Identifier: MIT
# deb_contents.sh DEB EXPECTED
# Checks a built package against what the build expects of it (EXPECTED is
# written by packaging/CMakeLists.txt): its name, version and architecture, a
# changelog whose newest entry is that version, exactly the expected files,
# programs for the right machine, dependencies computed for dynamically
# linked programs and none for static ones, and the maintainer scripts that
# reload udev.
set -eu
deb=$1
expected=$2
status=0
fail() {
  echo "$deb: $*"
  status=1
}
field() { sed -n "s/^$1: //p" "$expected"; }

for name in Package Version Architecture; do
  got=$(dpkg-deb -f "$deb" "$name")
  [ "$got" = "$(field "$name")" ] || fail "$name is '$got', expected '$(field "$name")'"
done

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$deb.files"
grep -v -E '^(Package|Version|Architecture|Machine|Linkage):' "$expected" | sort >"$deb.expected"
missing=$(comm -23 "$deb.expected" "$deb.files")
extra=$(comm -13 "$deb.expected" "$deb.files")
rm -f "$deb.files" "$deb.expected"
[ -z "$missing" ] || fail "missing: $missing"
[ -z "$extra" ] || fail "not expected: $extra"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
package=$(field Package)
newest=$(gzip -dc "$tree/usr/share/doc/$package/changelog.gz" 2>/dev/null | head -1)
case $newest in
  "$package ($(field Version)) "*) ;;
  *) fail "the changelog's newest entry is '$newest', not version $(field Version): CHANGELOG.md?" ;;
esac
for program in "$tree"/usr/bin/*; do
  description=$(file -b "$program")
  case $description in
    *"$(field Machine)"*) ;;
    *) fail "${program#"$tree"} is not for $(field Machine): $description" ;;
  esac
  case "$(field Linkage),$description" in
    static,*"statically linked"* | dynamic,*"dynamically linked"*) ;;
    *) fail "${program#"$tree"} is not $(field Linkage)ally linked: $description" ;;
  esac
done
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$(field Linkage)" = dynamic ]; then
  case $depends in
    *libc6*) ;;
    *) fail "Depends '$depends' does not name the C library: not computed?" ;;
  esac
else
  [ -z "$depends" ] || fail "static programs, yet Depends: $depends"
fi

for script in postinst postrm; do
  mode=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - "./$script" 2>/dev/null | cut -c1-10)
  [ "$mode" = "-rwxr-xr-x" ] || fail "$script missing or not executable ('$mode')"
done

[ $status -ne 0 ] || echo "$deb: $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Architecture), $(grep -c '^usr/' "$expected") files as expected, Depends: ${depends:-none}"
exit $status
