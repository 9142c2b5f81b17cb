# Shared by every shell test: checks that count passes and failures, and the closing line.
# The helpers that run the tool on real files expect $tool (the command as an array) and
# $windows to be set, and the current folder to be the test's own temporary folder.
passed=0
failed=0
current=""

case_() { current=$1; }
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL${current:+ [$current]} $*"
}
note() { echo "NOTE${current:+ [$current]} $*"; }
# check MESSAGE COMMAND...: passes when the command succeeds, fails with MESSAGE otherwise.
check() {
    local message=$1
    shift
    "$@" && pass || fail "$message"
}

# finish NAME: the closing line, and the exit: 77 (skipped, for CTest) when nothing was
# checked, 1 when a check failed.
finish() {
    echo "$1: $passed passed, $failed failed"
    [ $((passed + failed)) -eq 0 ] && exit 77
    [ "$failed" -eq 0 ] && exit 0
    exit 1
}

# run ARG... : runs the tool, keeping its standard output in ./stdout and its code in $rc.
run() {
    "${tool[@]}" "$@" >stdout 2>stderr </dev/null
    rc=$?
}

# run_limited ARG...: the same, with files limited to 8 KiB and SIGXFSZ ignored, so that a
# write past the limit fails.
run_limited() {
    (
        ulimit -f 8
        trap '' XFSZ
        run "$@"
        exit "$rc"
    )
    rc=$?
}

expect_rc() {
    [ "$rc" -eq "$1" ] && pass || fail "exit code $rc, expected $1; standard error: $(head -c 500 stderr 2>/dev/null)"
}

# expect_bytes FILE PRINTF-FORMAT [ARG...]: FILE holds exactly those bytes.
expect_bytes() {
    local file=$1
    shift
    # shellcheck disable=SC2059
    printf -- "$@" >expected
    if cmp -s expected "$file"; then
        pass
    else
        fail "$file differs:"
        od -c "$file" | head -8
        echo "expected:"
        od -c expected | head -8
    fi
}

expect_stdout() { expect_bytes stdout "$@"; }
expect_no_stderr() { [ ! -s stderr ] && pass || fail "standard error: $(head -c 200 stderr)"; }
expect_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] && pass || fail "$1 exists"; }
expect_same() { cmp -s "$1" "$2" && pass || fail "$1 differs from $2"; }
expect_no_temporary() {
    local left
    left=$(find "${1:-.}" -maxdepth 1 -name '.zeilfuge-*')
    [ -z "$left" ] && pass || fail "temporary file left: $left"
}
posix_only() { [ "$windows" = 1 ] && return 1 || return 0; }


# expect_empty_or_absent FILE: nothing half-written is left under that name.
expect_empty_or_absent() {
    [ ! -s "$1" ] && pass || fail "$1 holds $(wc -c <"$1") bytes"
}

# writing_unnamed PID [BYTES]: true once the process has a file open that has no name (a new
# output that gets its name only when complete) and that holds more than BYTES (0) bytes;
# with BYTES -1, as soon as it has one.
writing_unnamed() {
    local fd
    for fd in /proc/"$1"/fd/*; do
        case $(readlink "$fd" 2>/dev/null) in
            *' (deleted)') [ "$(stat -L -c %s "$fd" 2>/dev/null || echo 0)" -gt "${2:-0}" ] && return 0 ;;
        esac
    done
    return 1
}
