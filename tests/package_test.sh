#!/usr/bin/env bash
# Builds the Windows ZIP from a build tree and checks what a Windows user unpacks: exactly
# the executable, its two texts and the samples the README's examples convert, the texts
# with CR LF line ends only (older Notepad shows a file with bare LF as one line), the
# samples as they are in examples/, and the executable without debug sections.
#   package_test.sh BUILD-DIRECTORY OBJDUMP
set -u
build=$1
objdump=$2
examples=$(cd "$(dirname "$0")/../examples" && pwd)
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G ZIP -B "$work/package" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; echo "FAIL cpack"; exit 1; }
zip=$(find "$work/package" -maxdepth 1 -name 'zeilfuge-*-windows-*.zip')
[ -n "$zip" ] || { echo "FAIL no ZIP in $work/package"; exit 1; }
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || { echo "FAIL unpacking $zip"; exit 1; }
cd "$work/unpacked" || exit 1

listed=$(find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$listed" = "BELTRA17.txt BELVOK62_crlf.txt LICENSE.txt README.txt ZEILFUGE.EXE " ] && pass ||
    fail "the ZIP holds: $listed"
for sample in BELTRA17.txt BELVOK62_crlf.txt; do
    cmp -s "$sample" "$examples/$sample" && pass || fail "$sample differs from examples/$sample"
done
# Every input README.txt's examples name is in the ZIP, or the output of an example before.
made=""
while read -r input output; do
    [ -f "$input" ] || [[ " $made " == *" $input "* ]] && pass || fail "README.txt's example reads $input"
    made+=" $output"
done < <(sed -n 's/^ *ZEILFUGE\.EXE \([^ ]*\.txt\) \([^ ]*\.txt\) .*/\1 \2/p' README.txt)

# only_crlf FILE: every LF has a CR before it, and no CR stands anywhere else.
only_crlf() {
    local lf cr pairs
    lf=$(tr -cd '\n' <"$1" | wc -c)
    cr=$(tr -cd '\r' <"$1" | wc -c)
    pairs=$(grep -c $'\r$' "$1")
    [ "$lf" -gt 0 ] || { fail "$1 has no line end"; return; }
    [ "$pairs" -eq "$lf" ] && pass || fail "$1: $((lf - pairs)) of $lf line ends are a bare LF"
    [ "$cr" -eq "$lf" ] && pass || fail "$1: $cr CR bytes for $lf line ends"
}
for text in README.txt LICENSE.txt; do
    [ -f "$text" ] && only_crlf "$text"
done

# What README.txt must tell a Windows user.
for topic in '^ *ZEILFUGE.EXE Eingabedatei Ausgabedatei \*INS RCDLEN' '^Exit codes' \
    '^ *149 ' '^Messages' '^Good to know' '^ *if errorlevel 1 ' '^Byte rules' '0x1A' \
    'LICENSE.txt'; do
    grep -q -- "$topic" README.txt 2>/dev/null && pass || fail "README.txt lacks $topic"
done

# The ZIP's name tells the processor of the executable in it: PE32 is x86, PE32+ x86-64.
format=$("$objdump" -f ZEILFUGE.EXE | sed -n 's/.*file format //p')
case $format in
pei-i386) processor=x86 ;;
pei-x86-64) processor=x86_64 ;;
*) processor="unknown ($format)" ;;
esac
[[ $(basename "$zip") == zeilfuge-*-windows-$processor.zip ]] && pass ||
    fail "$(basename "$zip") holds an executable for $processor"

debug=$("$objdump" -h ZEILFUGE.EXE | grep -c '\.debug' || true)
[ "$debug" -eq 0 ] && pass || fail "ZEILFUGE.EXE has $debug debug sections"

finish "ZIP $(basename "$zip")"
