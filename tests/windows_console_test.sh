#!/usr/bin/env bash
# ZEILFUGE.EXE writing to a console: the names appear as typed, characters outside the ANSI
# code page included. Wine gives a program a console when it runs on a terminal, so the
# tool runs under script(1), which makes one; the name passes from this UTF-8 locale to
# Wine's UTF-16 command line unchanged.
#   windows_console_test.sh wine path/ZEILFUGE.EXE
set -u
tool=("$@")
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
command -v script >/dev/null || { echo "skipped: no script(1)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export LANG=C.UTF-8 LC_ALL=C.UTF-8

# on_console ARG...: the text the console shows, without Wine's cursor sequences; the
# console may draw blanks as cursor moves, so blanks are left out.
on_console() {
    local quoted
    printf -v quoted '%q ' "${tool[@]}" "$@"
    script -qec "$quoted" /dev/null </dev/null |
        sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b\][^\x07]*\x07//g' | tr -d ' \r\n'
}

# expect TITLE TEXT EXPECTED
expect() {
    case_ "$1"
    [[ $2 == *"$3"* ]] && pass || fail "the console shows '$2', expected '$3' in it"
}

text=$(on_console 'Ωmega数据.txt' out.txt '*ins' 3)
expect "a missing name outside the code page" "$text" 'ERROR:Datei"Ωmega数据.txt"nichtgefunden'
[ ! -e out.txt ] && pass || fail "out.txt made"

printf 'abcdef' >'Müller.txt'
text=$(on_console 'Müller.txt' '数据＂.txt' '*ins' 3 /d)
expect "the summary names the output as typed" "$text" 'Ausgabe-Datei"数据＂.txt"geschlossen.6Datensaetzeverarbeitet'
[ "$(cat '数据＂.txt' 2>/dev/null)" = $'abc\r\ndef' ] && pass ||
    fail "the output was not written under its name"
finish "windows console"
