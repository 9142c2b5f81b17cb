#!/usr/bin/env bash
# Runs the built executable the way a user does: files on disk, exit codes and the exact
# bytes on standard output.
#   cli_test.sh GROUP COMMAND...     e.g. cli_test.sh refusals build/zeilfuge
# COMMAND may start with an emulator (wine path/ZEILFUGE.EXE). Set ZEILFUGE_WINDOWS=1 for a
# Windows build: the cases that need POSIX devices, links or limits are then skipped.
set -u
group=$1
shift
# A job started with & in a script has SIGINT and SIGQUIT ignored, and the tool keeps a
# signal ignored: its runs here start with every signal at its default.
tool=(env --default-signal "$@")
examples=$(cd "$(dirname "$0")/../examples" && pwd)
windows=${ZEILFUGE_WINDOWS:-0}
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The banner, the usage and the summary as the tool's library has them (print_texts, named by
# TEXTS, run as the tool is), in the form of printf formats.
texts() { "${tool[@]:0:${#tool[@]}-1}" "${TEXTS:?the print_texts helper}" "$@"; }
BANNER=$(texts banner) && USAGE=$(texts usage) || { echo "FAIL print_texts"; exit 1; }
# summary NAME COUNT: the three closing lines.
summary() { texts summary "$1" "$2"; }

group_refusals() {
    printf 'keep' >out
    # The exit codes and the streams of each refusal; which words are refused is the unit
    # tests' (arguments_test.cpp).
    for args in "" "in out *del"; do
        case_ "too few: '$args'"
        # shellcheck disable=SC2086
        run $args
        expect_rc 99
        expect_stdout "$BANNER$USAGE"
        expect_no_stderr
    done
    printf 'data' >in
    for mode in '*ins ' ''; do
        case_ "invalid mode '$mode'"
        run in out "$mode" 11 /d
        expect_rc 98
        expect_stdout "$BANNER${USAGE}ERROR: Modus \"%s\" ungueltig" "$mode"
        expect_bytes out 'keep'
    done
    # *INS would cut no line with RCDLEN 0, which every fourth argument without a leading
    # number gives. *DEL takes it: pad nothing.
    local rcdlen
    for rcdlen in abc 4294967296; do
        case_ "*ins with RCDLEN '$rcdlen'"
        printf 'keep' >out
        run in out '*ins' "$rcdlen"
        expect_rc 98
        expect_stdout "$BANNER${USAGE}ERROR: Satzlaenge \"%s\" ungueltig" "$rcdlen"
        expect_bytes out 'keep'
        expect_no_stderr
        run in out '*del' "$rcdlen"
        expect_rc 0
        expect_bytes out 'data'
    done
    case_ "refusal creates no output"
    run in new '*xyz' 11
    expect_rc 98
    expect_absent new
    run in new '*ins'
    expect_rc 99
    expect_absent new
    run in new '*INS' 0
    expect_rc 98
    expect_absent new
    case_ "the record length is refused before the input is opened"
    run missing out '*ins' x /D
    expect_rc 98
    expect_stdout "$BANNER${USAGE}ERROR: Satzlaenge \"x\" ungueltig"
    expect_bytes out 'data'
}

group_convert() {
    case_ "usage example"
    cp "$examples/BELTRA17.txt" .
    run BELTRA17.txt BELTRA17_crlf.txt '*ins' 11 /d
    expect_rc 0
    expect_stdout "$BANNER$(summary BELTRA17_crlf.txt 110)"
    local records
    printf -v records '%s\r\n' 0001MUELLER 0002SCHMIDT 0003SCHNEID 0004FISCHER '0005WEBER  ' \
        '0006MEYER  ' '0007WAGNER ' '0008BECKER ' '0009SCHULZ '
    expect_bytes BELTRA17_crlf.txt '%s' "${records}0010HOFFMAN"
    expect_no_stderr

    case_ "back again, silently"
    run BELTRA17_crlf.txt BELTRA17_back.txt '*DEL' 11
    expect_rc 0
    expect_stdout ''
    expect_same BELTRA17_back.txt BELTRA17.txt

    case_ "delete example with the switch as RCDLEN"
    cp "$examples/BELVOK62_crlf.txt" .
    run BELVOK62_crlf.txt BELVOK62.txt '*del' /d
    expect_rc 0
    expect_bytes BELVOK62.txt 'KONTO 4711 OFFENKONTO 4712 GESCHLOSSENKONTO 4713'
    expect_stdout "$BANNER$(summary BELVOK62.txt 48)"

    # The record length as a command line gives it, and bytes that only files carry: the rules
    # themselves are the unit tests' (conversion_test.cpp).
    local cases=(
        # mode rcdlen input-format output-format count
        '*ins|3|ab\nc\rd|ab\r\nc\r\n\rd|5'
        '*ins|3|a\0b\032cd|ab|2'
        '*ins|-2147483648|abcdef|abcdef|6'
        '*ins|2147483647|ab\ncd|ab\r\ncd|4'
        '*ins|4294967299|abcdefg|abc\r\ndef\r\ng|7'
        '*del|0|ab\r\ncd\ne|abcde|5'
    )
    local line mode rcdlen input output count
    for line in "${cases[@]}"; do
        IFS='|' read -r mode rcdlen input output count <<<"$line"
        case_ "$mode $rcdlen on '$input'"
        printf -- "$input" >in
        printf 'old contents' >out
        run in out "$mode" "$rcdlen" -D
        expect_rc 0
        expect_bytes out "$output"
        expect_stdout "$BANNER$(summary out "$count")"
    done

    case_ "the mode word is not a file pattern"
    printf 'abcd' >in
    printf 'x' >bins
    printf 'x' >bdel
    run in out '*ins' 3
    expect_rc 0
    expect_bytes out 'abc\r\nd'
    run in out '*del' 3
    expect_rc 0
    expect_bytes out 'abcd'

    case_ "names with blanks, percent signs and bytes above 0x7F"
    local name=$'a b %s \xe4\xf6\xfc.txt'
    # Wine makes UTF-16 of the names by the locale, in which these bytes are no characters;
    # windows_names_test.cpp covers names outside ASCII on Windows.
    posix_only || name='a b %s.txt'
    printf 'abcd' >"$name"
    run "$name" "$name.out" '*ins' 2 /d
    expect_rc 0
    expect_bytes "$name.out" 'ab\r\ncd'
    expect_stdout "$BANNER$(summary "$name.out" 4)"

    case_ "names longer than 255 bytes"
    local folder=.
    while [ ${#folder} -lt 300 ]; do folder+=/abcdefghijklmnopqrstuvwxyz; done
    mkdir -p "$folder"
    local long_in="$folder/$(printf 'i%.0s' {1..200})" long_out="$folder/$(printf 'o%.0s' {1..200})"
    printf 'abcdef' >"$long_in"
    run "$long_in" "$long_out" '*ins' 3 /d
    expect_rc 0
    expect_bytes "$long_out" 'abc\r\ndef'
    expect_stdout "$BANNER$(summary "$long_out" 6)"

    if posix_only; then
        case_ "a pipe in, a pipe out"
        printf 'abcdefg' | "${tool[@]}" /dev/stdin /dev/stdout '*ins' 3 >piped
        rc=$?
        expect_rc 0
        expect_bytes piped 'abc\r\ndef\r\ng'

        case_ "a large file through many blocks"
        head -c 3000000 /dev/urandom | tr -d '\000\n\r\032' >big
        run big big.crlf '*ins' 80
        expect_rc 0
        run big.crlf big.back '*del' 80
        expect_rc 0
        local size padded
        size=$(wc -c <big)
        padded=$(((size + 79) / 80 * 80))
        head -c "$size" big.back >big.head
        expect_same big.head big
        [ "$(wc -c <big.back)" -eq "$size" ] && pass || fail "the last record was padded"
        [ "$(wc -l <big.crlf)" -eq $((padded / 80 - 1)) ] && pass || fail "wrong line count"
    fi
}

group_failures() {
    case_ "input missing"
    printf 'keep' >out
    run missing out '*ins' 11
    expect_rc 99
    expect_stdout 'ERROR: Datei "missing" nicht gefunden'
    expect_bytes out 'keep'
    run missing absent '*del' 11 /d
    expect_rc 99
    expect_stdout "${BANNER}ERROR: Datei \"missing\" nicht gefunden"
    expect_absent absent
    expect_no_stderr

    case_ "input a directory"
    mkdir folder
    run folder out '*ins' 11
    expect_rc 99
    expect_stdout 'ERROR: Datei "folder" nicht gefunden'
    expect_bytes out 'keep'

    case_ "output folder missing"
    printf 'abcdef' >in
    run in nowhere/out '*ins' 3
    expect_rc 97
    expect_stdout 'ERROR: Datei "nowhere/out" kann nicht geschrieben werden: Verzeichnis fehlt'
    expect_bytes in 'abcdef'

    case_ "output a directory"
    run in folder '*ins' 3 /d
    expect_rc 97
    expect_stdout "${BANNER}ERROR: Datei \"folder\" kann nicht geschrieben werden: ist ein Verzeichnis"
    [ -d folder ] && pass || fail "the folder is gone"

    case_ "empty names"
    run '' out '*ins' 3
    expect_rc 99
    expect_stdout 'ERROR: Datei "" nicht gefunden'
    run in '' '*ins' 3
    expect_rc 97
    expect_stdout 'ERROR: Datei "" kann nicht geschrieben werden: Name ungueltig'

    if posix_only && [ "$(id -u)" != 0 ]; then
        case_ "output without permission"
        printf 'keep' >locked
        chmod 444 locked
        run in locked '*ins' 3
        expect_rc 97
        expect_bytes locked 'keep'
    fi

    posix_only || return 0

    case_ "read error"
    printf 'old contents' >out
    run /proc/self/mem out '*ins' 3 /d
    expect_rc 97
    expect_stdout "${BANNER}ERROR: Lesefehler in Datei \"/proc/self/mem\": Geraetefehler"
    expect_bytes out 'old contents'
    run /proc/self/mem new '*ins' 3
    expect_rc 97
    expect_absent new

    case_ "disk full"
    run in /dev/full '*ins' 3 /d
    expect_rc 97
    expect_stdout "${BANNER}ERROR: Schreibfehler in Datei \"/dev/full\": Datentraeger voll"
    [ -c /dev/full ] && pass || fail "/dev/full was removed"

    case_ "input a FIFO"
    mkfifo fifo
    printf 'abcdefg' >fifo &
    run fifo out '*ins' 3
    wait
    expect_rc 0
    expect_bytes out 'abc\r\ndef\r\ng'

    case_ "file size limit"
    head -c 100000 /dev/zero | tr '\0' x >big
    run_limited big toobig '*ins' 10
    expect_rc 97
    expect_stdout 'ERROR: Schreibfehler in Datei "toobig": Datei zu gross'
    expect_absent toobig

}

group_in_place() {
    local spelled
    for spelled in same dot absolute symlink-out symlink-in hardlink; do
        case_ "in place, $spelled"
        rm -rf place && mkdir place
        printf 'abcdefg' >place/data
        chmod 640 place/data
        local in=place/data out=place/data
        case $spelled in
            dot) out=./place/./data ;;
            absolute) out=$PWD/place/data ;;
            symlink-out) posix_only || continue; ln -s data place/link; out=place/link ;;
            symlink-in) posix_only || continue; ln -s data place/link; in=place/link ;;
            hardlink) posix_only || continue; ln place/data place/other; out=place/other ;;
        esac
        run "$in" "$out" '*ins' 3 /d
        expect_rc 0
        expect_stdout "$BANNER$(summary "$out" 7)"
        expect_bytes "$out" 'abc\r\ndef\r\ng'
        expect_no_temporary place
        if posix_only; then
            [ "$(stat -L -c %a "$out")" = 640 ] && pass || fail "permissions $(stat -L -c %a "$out")"
        fi
        case $spelled in
            symlink-*) [ -L place/link ] && pass || fail "the link was replaced" ;;
            hardlink) expect_bytes place/data 'abcdefg' ;;
        esac
    done

    if ! posix_only; then
        # Wine finds IN.TXT for a name in.txt that isn't there, so the result can't take
        # the input's name once the input is aside: no copy of either may be lost.
        case_ "in place, a name that differs only in case beside it"
        rm -rf place && mkdir place
        printf 'abcdefg' >place/in.txt
        printf 'UPPER' >place/IN.TXT
        run place/in.txt place/in.txt '*ins' 3
        expect_bytes place/IN.TXT 'UPPER'
        # Failed as it was, replaced, or, where neither name could be put right, both the
        # input and the result kept under names of their own.
        local file named input_kept=0 result_kept=0
        named=$(cat place/in.txt 2>/dev/null)
        for file in place/.zeilfuge-*; do
            [ "$(cat "$file" 2>/dev/null)" = abcdefg ] && input_kept=1
            [ "$(cat "$file" 2>/dev/null)" = $'abc\r\ndef\r\ng' ] && result_kept=1
        done
        if [ "$named" = abcdefg ] && [ "$rc" = 97 ]; then
            pass
        elif [ "$named" = $'abc\r\ndef\r\ng' ] && [ "$rc" = 0 ]; then
            pass
        elif [ "$input_kept$result_kept" = 11 ] && [ "$rc" = 97 ]; then
            # The result is then the only copy: the error line says where it is.
            grep -q 'ERROR: Datei ".*[.]zeilfuge-.*" enthaelt das Ergebnis' stdout && pass ||
                fail "the error line doesn't say where the result is: $(cat stdout)"
        else
            fail "exit code $rc, lost: $(ls -A place)"
        fi
        return 0
    fi
    case_ "in place, failing"
    rm -rf place && mkdir place
    head -c 100000 /dev/zero | tr '\0' x >place/data
    cp place/data original
    run_limited place/data place/data '*ins' 10 /d
    expect_rc 97
    expect_stdout "${BANNER}ERROR: Schreibfehler in Datei \"place/data\": Datei zu gross"
    expect_same place/data original
    expect_no_temporary place
}

# Files larger than a block, and files cut around the sizes that the reads and writes come
# in, through every way in and out, against the byte-at-a-time reference ($REFERENCE).
group_large() {
    [ -n "${REFERENCE:-}" ] && posix_only || return 0
    # Lines of 0 to 199 bytes, most ended by CR LF, some by LF: about 4 MiB.
    local total=4200000
    awk -v total=$total 'BEGIN { srand(12); s = ""; for (i = 0; i < 230; i++) s = s sprintf("%c", 65 + i % 26);
                 for (n = 0; n < total; ) { l = int(rand() * 200);
                     printf "%s%s", substr(s, 1 + n % 26, l), (rand() < 0.2 ? "\n" : "\r\n"); n += l + 2 } }' >lines
    local size mode rcdlen
    for size in 0 1 7 15 16 17 4095 4096 4097 524287 524288 524289 1572871 $(wc -c <lines); do
        [ "$size" -le "$(wc -c <lines)" ] || continue
        head -c "$size" lines >in
        for mode in '*INS 1' '*INS 80' '*DEL 80' '*DEL 3'; do
            case_ "$size bytes, $mode"
            # shellcheck disable=SC2086
            run in out $mode
            expect_rc 0
            # shellcheck disable=SC2086
            "$REFERENCE" in expected $mode
            expect_same out expected
        done
    done

    case_ "Ctrl-Z after the first blocks ends the input"
    { head -c $((total / 4)) lines; printf '\032'; cat lines; } >in
    run in out '*DEL' 80
    expect_rc 0
    "$REFERENCE" in expected '*DEL' 80
    expect_same out expected

    case_ "input from a pipe, output to a pipe"
    cat lines | "${tool[@]}" /dev/stdin /dev/stdout '*INS' 11 2>stderr | cat >out
    "$REFERENCE" lines expected '*INS' 11
    expect_same out expected
    expect_no_stderr

    case_ "output to a pipe that closes early"
    "${tool[@]}" lines /dev/stdout '*INS' 80 2>stderr | head -c 10 >/dev/null
    rc=${PIPESTATUS[0]}
    # Ended by SIGPIPE as any such tool is, unless the signal is ignored: then the failed
    # write is reported.
    local ignored
    ignored=$(awk '/^SigIgn/ { print substr($2, length($2) - 3, 1) }' /proc/self/status)
    if (((0x$ignored & 1) == 1)); then expect_rc 97; else expect_rc 141; fi
}

# Each reason an error line can give, provoked for real, with the line it gives, but those
# group_failures provokes.
group_reasons() {
    printf 'abcdef' >in
    expect_reason() { # LINE-START REASON: stdout is that line, ended by ": REASON"
        expect_rc 97
        expect_stdout '%s: %s' "$1" "$2"
    }

    if [ "$windows" = 1 ]; then
        case_ "a character Windows takes in no name"
        run in 'a?b' '*ins' 3
        expect_reason 'ERROR: Datei "a?b" kann nicht geschrieben werden' 'Name ungueltig'
        return 0
    fi

    case_ "name too long"
    local long
    long=$(printf 'n%.0s' {1..300})
    run in "$long" '*ins' 3
    expect_reason "ERROR: Datei \"$long\" kann nicht geschrieben werden" 'Name zu lang'

    case_ "symbolic links in a loop"
    ln -s loop loop
    run in loop/out '*ins' 3
    expect_reason 'ERROR: Datei "loop/out" kann nicht geschrieben werden' \
        'zu viele symbolische Links'

    if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
        case_ "read-only file system"
        mkdir readonly
        unshare -m sh -c 'mount --bind readonly readonly && mount -o remount,bind,ro readonly &&
            exec "$@"' sh "${tool[@]}" in readonly/out '*ins' 3 >stdout 2>stderr </dev/null
        rc=$?
        expect_reason 'ERROR: Datei "readonly/out" kann nicht geschrieben werden' \
            'Datentraeger schreibgeschuetzt'

        case_ "no permission"
        mkdir locked
        cp in locked/in
        chmod 755 locked
        cp "${tool[-1]}" zeilfuge
        chmod 755 . zeilfuge
        setpriv --reuid=nobody --regid=nogroup --clear-groups \
            "${tool[@]:0:${#tool[@]}-1}" ./zeilfuge locked/in locked/out '*ins' 3 \
            >stdout 2>stderr </dev/null
        rc=$?
        expect_reason 'ERROR: Datei "locked/out" kann nicht geschrieben werden' \
            'Zugriff verweigert'
    fi
}

"group_$group"
finish "$group"
