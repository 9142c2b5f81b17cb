#!/usr/bin/env bash
# Builds the RPM from a build tree, twice, and checks what an RPM distribution installs: the
# program, both manuals, the README and the documents it links to, and the license, marked
# as documentation and license; no folder of the distribution's own; the header's tags; the
# same bytes from both builds; and what rpmlint finds.
#   package_rpm_test.sh BUILD-DIRECTORY SOURCE-DIRECTORY VERSION
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
version=$3
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The package is unpacked with rpm2cpio and cpio, which an RPM tool set may come without.
for needed in rpmbuild rpm2cpio cpio; do
    command -v "$needed" >/dev/null || { echo "$needed is not installed: skipped"; exit 77; }
done

# package FOLDER: builds the RPM into FOLDER; the build time is not fixed from outside.
package() {
    (cd "$build" && env -u SOURCE_DATE_EPOCH cpack -G RPM -B "$1" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; echo "FAIL cpack"; exit 1; }
}
package "$work/first"
rpm_name=zeilfuge-$version-1.$(uname -m).rpm
rpm=$work/first/$rpm_name
[ -f "$rpm" ] || { echo "FAIL no $rpm_name in: $(ls "$work/first")"; exit 1; }
# Another folder, at a later second: the same bytes.
package "$work/second/deeper"
cmp -s "$rpm" "$work/second/deeper/$rpm_name" && pass || fail "two builds differ"

# rpmlint: every error and warning fails, but two. Only a distribution's key can sign a
# package. Debian's rpmlint 2.4 notes the section of each manual page instead of its name,
# and so misses every page: its no-manual-page-for-binary passes only for a program whose
# page the package holds.
if command -v rpmlint >/dev/null; then
    reported=$(rpmlint -c "$source_dir/packaging/rpmlint.toml" "$rpm" 2>&1 |
        grep -E '^[^ ]+: [EW]: ' | { grep -v ': E: no-signature$' || true; } |
        while read -r line; do
            if [[ $(rpmlint --version) == 2.4.* && $line =~ ': W: no-manual-page-for-binary '([^ ]+)$ ]] &&
                rpm -qlp "$rpm" 2>/dev/null | grep -qx "/usr/share/man/man1/${BASH_REMATCH[1]}\.1\.gz"; then
                continue
            fi
            echo "$line"
        done)
    [ -z "$reported" ] && pass || fail "rpmlint: $reported"
else
    note "rpmlint is not installed: not run"
fi

query() { rpm -qp --queryformat "$1" "$rpm" 2>/dev/null; }

# Every file and folder the package owns, with its marks: d documentation, l license.
expected='|/usr/bin/zeilfuge
|/usr/share/doc/zeilfuge
d|/usr/share/doc/zeilfuge/README.md
|/usr/share/doc/zeilfuge/docs
d|/usr/share/doc/zeilfuge/docs/building.md
d|/usr/share/doc/zeilfuge/docs/design.md
d|/usr/share/doc/zeilfuge/docs/packaging.md
d|/usr/share/doc/zeilfuge/docs/performance.md
d|/usr/share/doc/zeilfuge/docs/testing.md
|/usr/share/licenses/zeilfuge
l|/usr/share/licenses/zeilfuge/LICENSE
d|/usr/share/man/de/man1/zeilfuge.1.gz
d|/usr/share/man/man1/zeilfuge.1.gz'
owned=$(query '[%{FILEFLAGS:fflags}|%{FILENAMES}\n]')
[ "$owned" = "$expected" ] && pass || fail "the package owns:"$'\n'"$owned"
modes=$(query '[%{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME}\n]' | LC_ALL=C sort | uniq -c |
    awk '{ printf "%s %s %s;", $1, $2, $3 }')
[ "$modes" = "9 -rw-r--r-- root:root;1 -rwxr-xr-x root:root;3 drwxr-xr-x root:root;" ] && pass ||
    fail "modes and owners: $modes"

tag() { # NAME EXPECTED
    local value
    value=$(query "%{$1}")
    [ "$value" = "$2" ] && pass || fail "$1 is '$value', expected '$2'"
}
tag NAME zeilfuge
tag VERSION "$version"
tag RELEASE 1
tag LICENSE MIT
for name in URL PACKAGER SUMMARY; do
    [ -n "$(query "%{$name}")" ] && [ "$(query "%{$name}")" != "(none)" ] && pass || fail "no $name tag"
done
# Built at the time of the latest changelog entry, on no host of ours.
changelog_time=$(query '%{CHANGELOGTIME}')
tag BUILDTIME "$changelog_time"
[ "$(query '%{BUILDHOST}')" != "$(hostname)" ] && pass || fail "the header names this host"
[[ $(query '%{CHANGELOGNAME}') == *" - $version-1" ]] && pass ||
    fail "the latest changelog entry is not for $version-1: $(query '%{CHANGELOGNAME}')"
[ "$(query '%{PREFIXES}')" = "(none)" ] && pass || fail "relocatable: $(query '%{PREFIXES}')"

# The files themselves, unpacked.
mkdir "$work/unpacked"
(cd "$work/unpacked" && rpm2cpio "$rpm" | cpio -idm --quiet) || { echo "FAIL unpacking"; exit 1; }
cd "$work/unpacked" || exit 1
same() { cmp -s "$1" "$2" && pass || fail "$1 differs from $2"; }
same usr/share/doc/zeilfuge/README.md "$source_dir/README.md"
# Every document the README links to is installed where the link leads.
for link in $(grep -o '](docs/[^)#]*' "$source_dir/README.md" | cut -c3- | sort -u); do
    same "usr/share/doc/zeilfuge/$link" "$source_dir/$link"
done
same usr/share/licenses/zeilfuge/LICENSE "$source_dir/LICENSE"
for manual in man1 de/man1; do
    gzip -dc "usr/share/man/$manual/zeilfuge.1.gz" >"$work/manual" 2>/dev/null && pass ||
        fail "$manual/zeilfuge.1.gz is no gzip file"
    same "$work/manual" "$source_dir/man/${manual%man1}zeilfuge.1"
done
symbols=$(readelf -S usr/bin/zeilfuge | grep -cE '\.symtab|\.debug' || true)
[ "$symbols" -eq 0 ] && pass || fail "the program is not stripped: $symbols symbol or debug sections"
readelf -p .zeilfuge_version usr/bin/zeilfuge 2>/dev/null | grep -q "FileVersion=$version" && pass ||
    fail "the program lacks its version record"

finish "RPM $rpm_name"
