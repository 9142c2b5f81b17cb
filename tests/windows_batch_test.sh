#!/usr/bin/env bash
# The README's batch example, run by cmd.exe, in a folder where a file's short 8.3 name has
# the extension that the loop looks for (notes.recovery: NOTES~1.REC). Only the .rec files
# may be converted; the user's own notes.txt stays.
#   windows_batch_test.sh README.txt wine path/ZEILFUGE.EXE
set -u
readme=$1
wine=$2
exe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# From "@echo off" to the subroutine's closing "exit /b", without the README's indent.
awk '/^  @echo off$/ { on = 1 } on { print substr($0, 3) "\r" } on && /^  exit \/b$/ { exit }' \
    "$readme" >convert.cmd
grep -q 'call :convert' convert.cmd || { echo "FAIL no batch example in $readme"; exit 1; }
cp "$exe" ZEILFUGE.EXE
head -c 160 /dev/zero | tr '\0' a >a.rec
head -c 80 /dev/zero | tr '\0' n >notes.recovery
printf 'my own notes' >notes.txt

"$wine" cmd /c convert.cmd </dev/null >stdout 2>&1
rc=$?
failed=0
[ "$rc" -eq 0 ] || { failed=1; echo "FAIL exit code $rc: $(cat stdout)"; }
[ "$(cat a.txt 2>/dev/null)" = "$(printf '%080d\r\n%080d' 0 0 | tr 0 a)" ] ||
    { failed=1; echo "FAIL a.rec was not converted into a.txt"; }
[ "$(cat notes.txt)" = 'my own notes' ] ||
    { failed=1; echo "FAIL notes.txt was overwritten with a conversion of notes.recovery"; }
[ "$failed" -eq 0 ] && echo "windows batch: passed"
exit "$failed"
