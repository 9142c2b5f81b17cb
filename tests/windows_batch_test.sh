#!/usr/bin/env bash
# Batch use as cmd users have it. The README's batch example, run by cmd.exe, in a folder
# where a file's short 8.3 name has the extension that the loop looks for (notes.recovery:
# NOTES~1.REC): only the .rec files may be converted; the user's own notes.txt stays. Then
# cmd's `> out.txt` and `>> log.txt` into the output itself.
#   windows_batch_test.sh README.txt wine path/ZEILFUGE.EXE
set -u
readme=$1
wine=$2
exe=$3
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# From "@echo off" to the subroutine's closing "exit /b", without the README's indent.
awk '/^  @echo off$/ { on = 1 } on { print substr($0, 3) "\r" } on && /^  exit \/b$/ { exit }' \
    "$readme" >convert.cmd
grep -q 'call :convert' convert.cmd || { fail "no batch example in $readme"; finish "windows batch"; }
cp "$exe" ZEILFUGE.EXE
head -c 160 /dev/zero | tr '\0' a >a.rec
head -c 80 /dev/zero | tr '\0' n >notes.recovery
printf 'my own notes' >notes.txt

"$wine" cmd /c convert.cmd </dev/null >stdout 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass || fail "exit code $rc: $(cat stdout)"
[ "$(cat a.txt 2>/dev/null)" = "$(printf '%080d\r\n%080d' 0 0 | tr 0 a)" ] && pass ||
    fail "a.rec was not converted into a.txt"
[ "$(cat notes.txt)" = 'my own notes' ] && pass ||
    fail "notes.txt was overwritten with a conversion of notes.recovery"

# cmd's redirection into the output itself: written through the standard handle, in order.
printf 'abcdefg' >in.txt
"$wine" cmd /c 'ZEILFUGE.EXE in.txt out.txt *ins 3 /d > out.txt' </dev/null >stdout 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass || fail "> out.txt: exit code $rc: $(cat out.txt)"
# The banner, then the data, then the summary.
tr -d '\r' <out.txt | awk 'NR == 2 && /^[*]+$/ { banner = 1 }
    /^abc$/ { a = NR } /^def$/ && a == NR - 1 { d = NR } /^gAusgabe-Datei "out.txt"  geschlossen[.]$/ && d == NR - 1 { s = 1 }
    END { exit !(banner && s) }' && pass ||
    fail "> out.txt: not banner, data and summary in order: $(cat -v out.txt)"
printf 'earlier\r\n' >log.txt
"$wine" cmd /c 'ZEILFUGE.EXE in.txt log.txt *ins 3 >> log.txt' </dev/null >stdout 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass || fail ">> log.txt: exit code $rc: $(cat log.txt)"
[ "$(cat log.txt)" = "$(printf 'earlier\r\nabc\r\ndef\r\ng')" ] && pass ||
    fail ">> log.txt: not appended: $(cat -v log.txt)"
finish "windows batch"
