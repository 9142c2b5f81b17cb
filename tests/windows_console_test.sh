#!/usr/bin/env bash
# ZEILFUGE.EXE writing to a console: the names appear as typed, characters outside the ANSI
# code page included. Wine gives a program a console when it runs on a terminal, so the
# tool runs under script(1), which makes one; the name passes from this UTF-8 locale to
# Wine's UTF-16 command line unchanged.
#   windows_console_test.sh wine path/ZEILFUGE.EXE
set -u
tool=("$@")
command -v script >/dev/null || { echo "skipped: no script(1)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export LANG=C.UTF-8 LC_ALL=C.UTF-8

passed=0
failed=0

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
    if [[ $2 == *"$3"* ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL [$1] the console shows '$2', expected '$3' in it"
    fi
}

text=$(on_console 'Ωmega数据.txt' out.txt '*ins' 3)
expect "a missing name outside the code page" "$text" 'ERROR:Datei"Ωmega数据.txt"nichtgefunden'
[ ! -e out.txt ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAIL out.txt made"; }

printf 'abcdef' >'Müller.txt'
text=$(on_console 'Müller.txt' '数据＂.txt' '*ins' 3 /d)
expect "the summary names the output as typed" "$text" 'Ausgabe-Datei"数据＂.txt"geschlossen.6Datensaetzeverarbeitet'
if [ "$(cat '数据＂.txt' 2>/dev/null)" = $'abc\r\ndef' ]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAIL the output was not written under its name"
fi

echo "windows console: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
