#!/usr/bin/env bash
# Files beyond 2 GiB and 4 GiB, where 32-bit file offsets, sizes and counters give out: an
# input with data after 2^32, outputs that pass 2^31 and 2^32, a count beyond 2^32 in the
# summary, and a run in place on a file beyond 4 GiB. The inputs are sparse files, which
# cost neither disk space nor time to make.
#   large_files_test.sh GROUP COMMAND...   e.g. large_files_test.sh inputs build/zeilfuge
# GROUP inputs reads the large inputs; outputs writes outputs of 2 GiB and 4 GiB.
# The holes of a sparse input are NUL bytes, which the tool drops one by one at a cost far
# above that of data: so the large input is read only as far as a Ctrl-Z, or from where
# standard input stands near its end. Under qemu-user, where every byte the tool handles
# costs many times more, an output beyond 4 GiB goes through a pipe, not to disk.
# Set ZEILFUGE_WINDOWS=1 for a Windows build.
set -u
group=$1
shift
tool=(env --default-signal "$@")
windows=${ZEILFUGE_WINDOWS:-0}
emulated=0
[[ $(basename "$1") == qemu-* ]] && emulated=1
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

G2=$((1 << 31))
G4=$((1 << 32))
# The summary as the tool's library has it (print_texts, named by TEXTS, run as the tool is).
texts() { "${tool[@]:0:${#tool[@]}-1}" "${TEXTS:?the print_texts helper}" "$@"; }

# sparse NAME SIZE [OFFSET FORMAT [ARG...]]: a file of SIZE bytes, holes but for FORMAT's
# bytes at OFFSET.
sparse() {
    local name=$1 size=$2
    truncate -s "$size" "$name" || return 1
    [ $# -gt 2 ] || return 0
    local offset=$3
    shift 3
    # shellcheck disable=SC2059
    printf -- "$@" | dd of="$name" bs=64K seek="$offset" oflag=seek_bytes conv=notrunc status=none
}

# expect_summary NAME COUNT [BEFORE]: standard output ends with the summary for output NAME,
# right after the bytes BEFORE.
expect_summary() {
    printf -- "${3:-}$(texts summary "$1" "$2")" >expected
    if cmp -s expected <(tail -c "$(wc -c <expected)" stdout); then
        pass
    else
        fail "summary: $(tail -c 150 stdout | od -c | head -6)"
    fi
}

expect_size() {
    local size
    size=$(stat -c %s "$1")
    [ "$size" -eq "$2" ] && pass || fail "$1 has $size bytes, expected $2"
}

# expect_bytes_at FILE OFFSET PRINTF-FORMAT: FILE holds those bytes from OFFSET on.
expect_bytes_at() {
    # shellcheck disable=SC2059
    printf -- "$3" >expected
    if cmp -s expected <(dd if="$1" bs=64K skip="$2" iflag=skip_bytes,count_bytes \
        count="$(wc -c <expected)" status=none); then
        pass
    else
        fail "$1 at $2: $(dd if="$1" bs=64 skip="$2" iflag=skip_bytes count=1 status=none | od -c | head -3)"
    fi
}

# Room for an output of SIZE bytes and some to spare, or a note why the case is left out.
has_room() {
    local free
    free=$(df -Pk . | awk 'NR == 2 { print $4 }')
    [ "$((free * 1024))" -gt "$(($1 + (1 << 30)))" ] && return 0
    echo "SKIP [$current]: $((free / 1024)) MiB free here, too little for $1 bytes"
    return 1
}

if ! sparse probe $((G4 + 4096)) || [ $(($(stat -c '%b * %B' probe))) -gt $((1 << 20)) ]; then
    echo "SKIP: this file system ($(stat -f -c %T .)) makes no sparse files"
    exit 77
fi
rm -f probe

group_inputs() {
    # Data at its start and on both sides of 2^32.
    sparse whole $((G4 + 65536)) 0 'head\r\n' || exit 1
    sparse whole $((G4 + 65536)) $((G4 - 3)) 'tail\r\nend'
    # The same size with a Ctrl-Z near its start, where the input ends: "ab cd".
    sparse cut $((G4 + 65536)) 0 'ab\r\ncd\032'
    sparse cut $((G4 + 65536)) $((G4 - 3)) 'never'

    case_ "an input beyond 4 GiB, opened by name"
    run cut out '*DEL' 3 /d
    expect_rc 0
    expect_bytes out 'ab cd'
    expect_summary out 5
    expect_no_stderr

    # Named /dev/stdin, standard input is read on from where it stands (any other name is
    # opened on its own and read from its start). POSIX only: Windows has no such name.
    if posix_only; then
        case_ "standard input standing before 2^32, read across it"
        (
            dd iflag=skip_bytes skip=$((G4 - 11)) count=0 status=none
            "${tool[@]}" /dev/stdin out '*DEL' 3 /d >stdout 2>stderr
        ) <whole
        rc=$?
        expect_rc 0
        expect_bytes out 'tail  end'
        expect_summary out 9
    fi

    case_ "in place on a file beyond 4 GiB"
    run cut cut '*DEL' 3
    expect_rc 0
    expect_bytes cut 'ab cd'
    expect_no_temporary
}

group_outputs() {
    # *DEL pads each line to a whole record: with RCDLEN 2^31 (-2147483648), or 2^31 - 1, a few
    # short lines make outputs beyond 2 or 4 GiB.
    printf 'a\r\nbc' >two_lines
    printf 'a\r\nb\r\ncd' >three_lines
    case_ "an output passing 2^31"
    if has_room $G2; then
        run two_lines out '*DEL' 2147483647 /d
        expect_rc 0
        expect_size out $((G2 + 1))
        expect_bytes_at out 0 'a   '
        expect_bytes_at out $((G2 - 4)) '   bc'
        expect_summary out $((G2 + 1))
    fi
    rm -f out

    if [ $emulated = 0 ]; then
        case_ "an output passing 2^32, its count beyond 2^32"
        if has_room $((G4 + 2)); then
            run three_lines out '*DEL' -2147483648 /d
            expect_rc 0
            expect_size out $((G4 + 2))
            expect_bytes_at out $((G2 - 2)) '  b  '
            expect_bytes_at out $((G4 - 4)) '    cd'
            expect_summary out $((G4 + 2))
        fi
        rm -f out
    elif posix_only; then
        case_ "an output through a pipe passing 2^32, its count beyond 2^32"
        "${tool[@]}" three_lines /dev/stdout '*DEL' -2147483648 /d 2>stderr </dev/null |
            tail -c 200 >stdout
        rc=${PIPESTATUS[0]}
        expect_rc 0
        expect_summary /dev/stdout $((G4 + 2)) '    cd'
    fi
}

"group_$group"
finish "large files $group"
