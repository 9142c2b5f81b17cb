#!/usr/bin/env bash
# The tool's promises about files, tried the way an adversary would: closed standard
# streams, standard output as the output, the same file spelled in other ways, other users'
# files, swapped names, folders deeper than PATH_MAX, signals at every step and every
# library call failing in turn.
#   promises_test.sh GROUP COMMAND...
# FAULT_LIBRARY names the fault-injection library (LD_PRELOAD), EXCHANGE the name-swapping
# helper. Cases that need another account run as nobody (setpriv) when the test runs as
# root, and are skipped with a note otherwise.
set -u
group=$1
shift
# A job started with & in a script has SIGINT and SIGQUIT ignored, and the tool keeps a
# signal ignored: its runs here start with every signal at its default.
raw_tool=("$@")
tool=(env --default-signal "$@")
windows=0
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
# Only this shell cleans up: a subshell killed early would run the trap too.
main_shell=$BASHPID
trap '[ "$BASHPID" = "$main_shell" ] && rm -rf "$work"' EXIT
chmod 755 "$work"
cd "$work" || exit 1

nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
as_nobody() { "${nobody[@]}" "$@"; }

# The tool and the helpers as nobody reaches them, whatever the checkout's folder allows:
# copied into this test's own folder.
mkdir -m 755 bin
cp "${raw_tool[-1]}" bin/zeilfuge && chmod 755 bin/zeilfuge
nobody_tool=(env --default-signal "${raw_tool[@]:0:${#raw_tool[@]}-1}" "$PWD/bin/zeilfuge")
if [ -n "${EXCHANGE:-}" ]; then
    cp "$EXCHANGE" bin/exchange_names && chmod 755 bin/exchange_names
    EXCHANGE=$PWD/bin/exchange_names
fi

# True when cases can run as nobody: root, and setpriv there.
can_drop() {
    [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
        as_nobody "${nobody_tool[@]}" >/dev/null 2>&1 </dev/null
    [ $? -eq 99 ]
}

# ended_by SIGNAL REPORT: the run was ended by the signal itself (the caller's report), so
# that a shell's loop stops too; without the caller helper, by its exit code.
ended_by() {
    if [ -n "${CALLER:-}" ]; then
        grep -qx "signal $(signal_number "$1")" "$2" && pass ||
            fail "ended by $(head -n 1 "$2" 2>/dev/null), not by SIG$1"
    else
        expect_rc $((128 + $(signal_number "$1")))
    fi
}

# tool_pid PID: the tool's process, PID itself or, under the caller helper, its child.
tool_pid() {
    if [ -n "${CALLER:-}" ]; then
        until pgrep -P "$1"; do sleep 0.01; done
    else
        echo "$1"
    fi
}

# as_caller REPORT COMMAND... &: becomes the command, under the caller helper where there is
# one (only in a job of its own: it replaces the shell it runs in).
as_caller() {
    local report=$1
    shift
    if [ -n "${CALLER:-}" ]; then exec "$CALLER" "$report" "$@"; else exec "$@"; fi
}

# ends_within SECONDS PID: waits for the process; rc is its code, or 255 if it didn't end.
ends_within() {
    local deadline=$((SECONDS + $1)) pid=$2
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -le "$deadline" ]; do sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid"
        wait "$pid" 2>/dev/null
        rc=255
    else
        wait "$pid"
        rc=$?
    fi
}

signal_number() { kill -l "$1"; }

group_streams() {
    printf 'abcdefghijklmnopqrstuvwxyz' >precious
    cp precious original
    printf 'abcdefghij\r\nklmnopqrst\r\nuvwxyz' >converted
    local entry name redirect code
    # A standard stream closed at the start is no file: naming it fails, touching nothing.
    for entry in 'out /dev/stdout|>&-' 'out /dev/stdin|<&-' 'out /dev/stderr|2>&-' \
        'out /proc/self/fd/1|>&-' 'out /dev/fd/1|>&-' 'out /dev/stdout|>&- 2>&- <&-' \
        'in /dev/stdin|<&-' 'in /dev/fd/0|<&-' 'in /proc/self/fd/2|2>&-'; do
        name=${entry%%|*}
        redirect=${entry#*|}
        case_ "closed stream: ${name% *}put ${name#* }, $redirect"
        printf 'kept' >kept
        if [ "${name% *}" = out ]; then
            code=97
            eval '"${tool[@]}" precious "${name#* }" "*ins" 10 '"$redirect"
        else
            code=99
            eval '"${tool[@]}" "${name#* }" kept "*ins" 10 '"$redirect"
        fi
        rc=$?
        expect_rc $code
        expect_same precious original
        expect_bytes kept 'kept'
    done

    case_ "standard output as the output, into a pipe and into a file"
    "${tool[@]}" precious /dev/stdout '*ins' 10 /d | cat >piped
    "${tool[@]}" precious /dev/stdout '*ins' 10 /d >redirected
    rc=$?
    expect_rc 0
    expect_same redirected piped
    grep -q 'abcdefghij' piped && grep -q 'Datensaetze' piped && pass || fail "pipe output incomplete"

    case_ "standard output as the output, appended to a log"
    printf 'earlier lines\r\n' >log
    "${tool[@]}" precious /dev/stdout '*ins' 10 /d >>log
    rc=$?
    expect_rc 0
    { printf 'earlier lines\r\n'; cat piped; } >expected_log
    expect_same log expected_log

    case_ "the file standard output appends to, named by its own name"
    printf 'earlier lines\r\n' >log2
    "${tool[@]}" precious log2 '*ins' 10 /d >>log2
    rc=$?
    expect_rc 0
    { printf 'earlier lines\r\n'; sed 's|"/dev/stdout"|"log2"|' piped; } >expected_log2
    expect_same log2 expected_log2

    # Standard error is served as standard output is: appended to, never truncated.
    for name in /dev/stderr /dev/fd/2 log3; do
        case_ "standard error as the output ($name), appended to a log"
        printf 'earlier lines\r\n' >log3
        "${tool[@]}" precious "$name" '*ins' 10 2>>log3 >stdout
        rc=$?
        expect_rc 0
        { printf 'earlier lines\r\n'; cat converted; } >expected_log3
        expect_same log3 expected_log3
    done

    # So is any descriptor the caller opened and names: written through, read from where it
    # stands; one it didn't give (natively, the number the input takes) is no file.
    for name in /dev/fd/3 /proc/self/fd/3; do
        case_ "descriptor 3 as the output ($name), appended to a log"
        printf 'earlier lines\r\n' >log4
        "${tool[@]}" precious "$name" '*ins' 10 3>>log4 >stdout
        rc=$?
        expect_rc 0
        { printf 'earlier lines\r\n'; cat converted; } >expected_log4
        expect_same log4 expected_log4
    done
    case_ "descriptor 3 as the input, read from where it stands"
    (
        dd bs=3 count=1 of=/dev/null 2>/dev/null <&3
        "${tool[@]}" /dev/fd/3 out '*ins' 10
    ) 3<precious
    expect_bytes out 'defghijklm\r\nnopqrstuvw\r\nxyz'
    if [ ${#tool[@]} -eq 1 ]; then
        case_ "a descriptor the caller didn't give, named as the output, is no file"
        "${tool[@]}" precious /dev/fd/3 '*ins' 10 3<&- >stdout
        rc=$?
        expect_rc 97
        expect_same precious original
    fi

    case_ "standard input as the input, read from where it stands"
    (
        dd bs=3 count=1 of=/dev/null 2>/dev/null
        "${tool[@]}" /dev/stdin out '*ins' 10
    ) <precious
    expect_bytes out 'defghijklm\r\nnopqrstuvw\r\nxyz'

    case_ "a named input that is also standard input is read from its start"
    { read -r -n 10 _; "${tool[@]}" precious out '*ins' 10; } <precious
    expect_same out converted

    case_ "a while-read loop over a list that is also converted"
    printf '1\n2\n3\n' >list
    "${tool[@]}" list list.expected '*ins' 2 </dev/null
    while read -r n; do
        "${tool[@]}" list "list.$n" '*ins' 2
    done <list
    for n in 1 2 3; do expect_same "list.$n" list.expected; done

    [ -n "${CALLER:-}" ] || { note "no caller helper: the caller's flags are not looked at"; return 0; }
    case_ "the caller's non-blocking standard input is left so"
    { sleep 0.3; cat precious; } | "$CALLER" report --nonblock 0 "${tool[@]}" /dev/stdin out '*ins' 10
    grep -qx 'exit 0' report && pass || fail "$(cat report)"
    grep -qx 'nonblocking kept' report && pass || fail "$(cat report)"
    expect_same out converted

    case_ "a non-blocking pipe as standard output, read slowly"
    head -c 1000000 /dev/zero | tr '\0' x >big
    "${tool[@]}" big big.expected '*ins' 10
    "$CALLER" report --nonblock 1 "${tool[@]}" big /dev/stdout '*ins' 10 | { sleep 0.5; cat; } >piped
    grep -qx 'exit 0' report && pass || fail "$(cat report)"
    grep -qx 'nonblocking kept' report && pass || fail "$(cat report)"
    expect_same piped big.expected

    if can_drop; then
        case_ "another user's pipes as standard input and output"
        cat precious | as_nobody "${nobody_tool[@]}" /dev/stdin /dev/stdout '*ins' 10 | cat >piped
        expect_same piped converted
    else
        note "skipped: can't run as nobody here"
    fi
}

group_same_file() {
    case_ "the same FIFO as input and output is refused at once"
    mkfifo fifo
    "${tool[@]}" fifo fifo '*ins' 3 >stdout 2>stderr &
    ends_within 5 $!
    expect_rc 97
    expect_stdout 'ERROR: Datei "fifo" kann nicht geschrieben werden'

    case_ "the same terminal-like device in and out is allowed"
    run /dev/null /dev/null '*ins' 3
    expect_rc 0

    case_ "standard input read past its start doesn't replace its file"
    printf 'line one\nline two\n' >data
    cp data data.original
    "${tool[@]}" data.original data.expected '*ins' 3
    (
        read -r _
        "${tool[@]}" /dev/stdin data '*ins' 3 >stdout
        echo $? >code
    ) <data
    rc=$(cat code)
    expect_rc 97
    expect_same data data.original
    expect_no_temporary .

    case_ "the same file named, while standard input has read part of it, is converted whole"
    (
        read -r _
        "${tool[@]}" data data '*ins' 3 >stdout
        echo $? >code
    ) <data
    rc=$(cat code)
    expect_rc 0
    expect_same data data.expected

    case_ "standard input at its start, in place"
    cp data.original data
    "${tool[@]}" /dev/stdin data '*ins' 3 <data >stdout
    rc=$?
    expect_rc 0
    expect_same data data.expected
    expect_no_temporary .

    if command -v strace >/dev/null; then
        case_ "in place, the folder is flushed after the replace"
        cp data.original data
        # LeakSanitizer, where the tool is built with it, can't run under ptrace.
        ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
            strace -f -o trace -e trace=renameat2,renameat,openat,fsync "${raw_tool[@]}" data data \
            '*ins' 3 >stdout
        rc=$?
        expect_rc 0
        # After the replace: the folder opened as ".", and that descriptor flushed.
        awk '/renameat/ { replaced = 1 }
             replaced && /openat\(.*"\.", O_RDONLY.*O_DIRECTORY/ { split($0, a, "= "); folder = a[2] + 0 }
             folder && $0 ~ ("fsync\\(" folder "\\) += 0") { found = 1 }
             END { exit !found }' trace && pass || fail "no fsync of the folder after the replace"
    else
        note "skipped the folder flush: needs strace"
    fi

    if [ -n "${FAULT_LIBRARY:-}" ]; then
        case_ "a file saved under the input's name just before the replace is kept"
        rm -rf saved mark && mkdir saved
        printf 'abcdefg' >saved/data
        printf 'saved by an editor' >saved/other
        FAULT_HOLD=renameat2 FAULT_MARK=mark LD_PRELOAD=$FAULT_LIBRARY \
            "${tool[@]}" saved/data saved/data '*ins' 3 >stdout &
        pid=$!
        until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
        [ -e mark ] && mv saved/other saved/data
        rm -f mark
        ends_within 5 $pid
        expect_rc 97
        expect_bytes saved/data 'saved by an editor'
        expect_no_temporary saved

        # Saved before the output is opened: the name is the input's however it is spelled.
        for spelled in saved/data ./saved/data "$PWD/saved/data"; do
            case_ "a file saved under the input's name, spelled $spelled, before the output opens is kept"
            rm -rf saved mark && mkdir saved
            printf 'abcdefg' >saved/data
            printf 'saved by an editor' >saved/other
            FAULT_HOLD=fstat FAULT_MARK=mark LD_PRELOAD=$FAULT_LIBRARY \
                "${tool[@]}" saved/data "$spelled" '*ins' 3 >stdout &
            pid=$!
            until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
            [ -e mark ] && mv saved/other saved/data
            rm -f mark
            ends_within 5 $pid
            expect_rc 97
            expect_bytes saved/data 'saved by an editor'
            expect_no_temporary saved
        done

        # Written to by another program while it is read, or just before the replace.
        for step in read renameat2; do
            case_ "data appended to the input in place during $step is kept"
            rm -rf saved mark && mkdir saved
            printf 'abcdefg' >saved/data
            FAULT_HOLD=$step FAULT_MARK=mark LD_PRELOAD=$FAULT_LIBRARY \
                "${tool[@]}" saved/data saved/data '*ins' 3 >stdout &
            pid=$!
            until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
            [ -e mark ] && printf 'hij' >>saved/data
            rm -f mark
            ends_within 5 $pid
            expect_rc 97
            expect_bytes saved/data 'abcdefghij'
            expect_no_temporary saved
        done

        case_ "a file moved onto a new output's name meanwhile is kept"
        rm -rf moved mark && mkdir moved
        head -c 100000 /dev/zero | tr '\0' x >big
        printf 'moved here' >moved/other
        (
            ulimit -f 8
            trap '' XFSZ
            export FAULT_HOLD=write FAULT_MARK=mark LD_PRELOAD=$FAULT_LIBRARY
            exec "${tool[@]}" big moved/out '*ins' 10 >stdout
        ) &
        pid=$!
        until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
        mv moved/other moved/out
        rm -f mark
        ends_within 5 $pid
        expect_rc 97
        expect_bytes moved/out 'moved here'
    else
        note "no fault library: the slowed replace is skipped"
    fi

    if [ "$(id -u)" = 0 ] && command -v chattr >/dev/null && mkdir appending &&
        chattr +a appending 2>/dev/null; then
        case_ "in place in an append-only folder: refused, nothing complete left"
        printf 'abcdefg' >appending/data
        run appending/data appending/data '*ins' 3
        expect_rc 97
        expect_bytes appending/data 'abcdefg'
        [ -z "$(find appending -name '.zeilfuge-*' -size +0)" ] && pass ||
            fail "a complete temporary file is left"
        chattr -a appending
    else
        note "skipped the append-only folder: needs root and chattr on ext4"
    fi

    case_ "the same disk device through a node of its own"
    local loop
    if [ "$(id -u)" = 0 ] && head -c 65536 /dev/zero | tr '\0' x >disk.img &&
        loop=$(losetup -f --show disk.img 2>/dev/null); then
        mknod twin b "$((0x$(stat -c %t "$loop")))" "$((0x$(stat -c %T "$loop")))"
        run "$loop" twin '*ins' 11
        expect_rc 97
        head -c 65536 /dev/zero | tr '\0' x >disk.expected
        cmp -s "$loop" disk.expected && pass || fail "the device was written"
        losetup -d "$loop"
    else
        note "skipped: needs root and a loop device"
    fi

    case_ "file capabilities kept in place"
    if [ "$(id -u)" = 0 ] && command -v setcap >/dev/null && printf 'abcdefg' >capable &&
        chmod 755 capable && setcap cap_net_raw+ep capable 2>/dev/null; then
        run capable capable '*ins' 3
        expect_rc 0
        [ -n "$(getcap capable)" ] && pass || fail "the capability is gone"
    else
        note "skipped: needs root and setcap (Debian: libcap2-bin) on a file system with them"
    fi

    case_ "owner, group, permissions and access list kept in place"
    if ! command -v setfacl >/dev/null || [ "$(id -u)" != 0 ]; then
        note "skipped: needs root and setfacl (Debian: acl)"
    else
        mkdir -m 2775 kept
        setfacl -d -m u:daemon:rwx,g::r-x kept  # what the folder would give a new file
        printf 'abcdefg' >kept/data
        chown nobody:nogroup kept/data
        chmod 640 kept/data
        setfacl -m u:daemon:r--,g::--- kept/data
        local before after
        before=$(stat -c '%U:%G %a' kept/data; getfacl -cp kept/data)
        run kept/data kept/data '*ins' 3
        expect_rc 0
        expect_bytes kept/data 'abc\r\ndef\r\ng'
        after=$(stat -c '%U:%G %a' kept/data; getfacl -cp kept/data)
        [ "$before" = "$after" ] && pass || fail "before: $before; after: $after"
        expect_no_temporary kept

        if [ -n "${FAULT_LIBRARY:-}" ]; then
            case_ "an access list that can't be given to the new file: refused"
            printf 'abcdefg' >kept/listed
            setfacl -m u:daemon:r-- kept/listed
            before=$(getfacl -cp kept/listed)
            FAULT_ALL=fsetxattr FAULT_ERRNO=95 LD_PRELOAD=$FAULT_LIBRARY \
                "${tool[@]}" kept/listed kept/listed '*ins' 3 >stdout 2>stderr
            rc=$?
            expect_rc 97
            expect_bytes kept/listed 'abcdefg'
            [ "$(getfacl -cp kept/listed)" = "$before" ] && pass || fail "the access list changed"
            expect_no_temporary kept
        fi

        case_ "no access list gained from the folder"
        printf 'abcdefg' >kept/plain
        setfacl -b kept/plain
        chmod 600 kept/plain
        run kept/plain kept/plain '*ins' 3
        expect_rc 0
        [ -z "$(getfacl -cps --skip-base kept/plain 2>/dev/null)" ] && pass ||
            fail "gained: $(getfacl -cp kept/plain)"
        [ "$(stat -c %a kept/plain)" = 600 ] && pass || fail "mode $(stat -c %a kept/plain)"
    fi

    if ! can_drop; then
        case_ "unprivileged cases"
        note "skipped: can't run as nobody here"
        return 0
    fi
    case_ "a read-only file is refused in place as anywhere"
    mkdir mine && chown nobody mine
    printf 'abcdefg' >mine/data
    chown nobody mine/data
    chmod 444 mine/data
    as_nobody "${nobody_tool[@]}" mine/data mine/data '*ins' 3 >stdout 2>stderr
    rc=$?
    expect_rc 97
    expect_bytes mine/data 'abcdefg'
    expect_no_temporary mine

    case_ "set-user-ID and set-group-ID bits kept by a user's run in place"
    local mode
    for mode in 4755 2775 6711; do
        printf 'abcdefg' >mine/setid
        chown nobody:nogroup mine/setid
        chmod "$mode" mine/setid
        as_nobody "${nobody_tool[@]}" mine/setid mine/setid '*ins' 3 >stdout 2>stderr
        rc=$?
        expect_rc 0
        [ "$(stat -c %a mine/setid)" = "$mode" ] && pass ||
            fail "mode $mode became $(stat -c %a mine/setid)"
    done

    case_ "another user's file in a folder anyone may write is refused"
    mkdir -m 777 open
    printf 'abcdefg' >open/data
    chmod 666 open/data
    as_nobody "${nobody_tool[@]}" open/data open/data '*ins' 3 >stdout 2>stderr
    rc=$?
    expect_rc 97
    expect_bytes open/data 'abcdefg'
    [ "$(stat -c %U open/data)" = root ] && pass || fail "owner now $(stat -c %U open/data)"
    expect_no_temporary open
}

group_signals() {
    local signal code pid
    printf 'abcdefg' >in
    for signal in INT TERM HUP; do
        case_ "SIG$signal while the output, a FIFO, waits for a reader"
        rm -f fifo && mkfifo fifo
        "${tool[@]}" in fifo '*ins' 3 >stdout &
        pid=$!
        sleep 0.3
        kill -"$signal" $pid
        ends_within 1 $pid
        expect_rc $((128 + $(signal_number "$signal")))
    done

    case_ "a signal the caller ignores stays ignored (nohup)"
    rm -f fifo && mkfifo fifo
    printf 'old contents' >out
    (
        trap '' HUP
        exec "${raw_tool[@]}" fifo out '*ins' 3 >stdout
    ) &
    pid=$!
    exec 3>fifo
    printf 'abcdefg' >&3
    until writing_unnamed $pid -1; do sleep 0.01; done
    kill -HUP $pid
    sleep 0.3
    kill -0 $pid 2>/dev/null && pass || fail "SIGHUP ended the run"
    exec 3>&-
    ends_within 2 $pid
    expect_rc 0
    expect_bytes out 'abc\r\ndef\r\ng'

    case_ "a signal the caller blocked stays blocked"
    rm -f fifo && mkfifo fifo
    printf 'old contents' >out
    env --default-signal --block-signal=USR1 "${raw_tool[@]}" fifo out '*ins' 3 >stdout &
    pid=$!
    exec 3>fifo
    printf 'abcdefg' >&3
    until writing_unnamed $pid -1; do sleep 0.01; done
    kill -USR1 $pid
    sleep 0.3
    kill -0 $pid 2>/dev/null && pass || fail "SIGUSR1 ended the run"
    exec 3>&-
    ends_within 2 $pid
    expect_rc 0
    expect_bytes out 'abc\r\ndef\r\ng'

    # Input from a FIFO held open: the run has written a page and waits for more. Over an
    # output that was there, which keeps what it held when a signal comes; the run then
    # ends by the signal itself.
    for signal in HUP INT QUIT TERM USR1 USR2 ALRM VTALRM PROF XCPU; do
        case_ "SIG$signal in the middle of a run"
        rm -f fifo report && mkfifo fifo
        printf 'old contents' >out
        as_caller report "${tool[@]}" fifo out '*ins' 10 >stdout &
        pid=$!
        exec 3>fifo
        head -c 20000 /dev/zero | tr '\0' x >&3
        until writing_unnamed "$(tool_pid $pid)"; do sleep 0.01; done
        kill -"$signal" "$(tool_pid $pid)"
        ends_within 2 $pid
        exec 3>&-
        ended_by "$signal" report
        expect_bytes out 'old contents'
        expect_no_temporary .
    done

    case_ "SIGTERM in the middle of a run, into a new output"
    rm -f fifo new report && mkfifo fifo
    as_caller report "${tool[@]}" fifo new '*ins' 10 >stdout &
    pid=$!
    exec 3>fifo
    head -c 20000 /dev/zero | tr '\0' x >&3
    until writing_unnamed "$(tool_pid $pid)"; do sleep 0.01; done
    kill -TERM "$(tool_pid $pid)"
    ends_within 2 $pid
    exec 3>&-
    ended_by TERM report
    expect_absent new

    case_ "Ctrl-C stops a shell's loop over files"
    rm -f fifo loop_end && mkfifo fifo
    local n
    for n in 1 2 3; do printf 'old contents' >"out.$n"; done
    env --default-signal=INT setsid bash -c \
        'n=0; for f in fifo in in; do n=$((n + 1)); "$@" "$f" "out.$n" "*ins" 10; done; echo done >loop_end' \
        - "${tool[@]}" >stdout &
    pid=$!
    exec 3>fifo
    head -c 20000 /dev/zero | tr '\0' x >&3
    until writing_unnamed "$(pgrep -P $pid)"; do sleep 0.01; done
    kill -INT -- -$pid
    ends_within 2 $pid
    exec 3>&-
    expect_absent loop_end
    expect_bytes out.1 'old contents' 
    expect_bytes out.2 'old contents'

    case_ "Ctrl-Z (the byte) ends the input of a FIFO held open"
    rm -f fifo && mkfifo fifo
    exec 3<>fifo
    printf 'abc\r\n\032more' >&3
    "${tool[@]}" fifo out '*del' 5 >stdout &
    ends_within 3 $!
    exec 3>&-
    expect_rc 0
    expect_bytes out 'abc  '

    # A run in place stopped part-way: held by the fault library before a step (the second
    # write: its new file holds data), or without it frozen once its new file holds data,
    # which a large input gives it time for. Interrupted, it keeps the input as it was; in
    # the replace, it completes.
    local entry step count expected_code
    [ -n "${FAULT_LIBRARY:-}" ] || note "no fault library: only signals while it writes, frozen"
    for entry in write:2:INT:130 write:2:TERM:143 write:2:KILL:137 fsync:1:INT:130 \
        renameat2:1:INT:0; do
        IFS=: read -r step count signal expected_code <<<"$entry"
        [ -n "${FAULT_LIBRARY:-}" ] || [ "$step" = write ] || continue
        case_ "SIG$signal while a run in place is in $step"
        rm -rf place mark && mkdir place
        if [ -n "${FAULT_LIBRARY:-}" ]; then
            [ -e whole.count ] || {
                head -c 1000000 /dev/zero | tr '\0' x >whole
                "${tool[@]}" whole whole.converted '*ins' 1
                cp whole place/data
                FAULT_COUNT=whole.count LD_PRELOAD=$FAULT_LIBRARY \
                    "${tool[@]}" place/data place/data '*ins' 1
            } >/dev/null
            cp whole place/data
            FAULT_HOLD=$(awk -v step="$step" -v count="$count" \
                'NR > 1 && $1 == step && ++seen == count { print NR - 1; exit }' whole.count) \
                FAULT_MARK=mark LD_PRELOAD=$FAULT_LIBRARY \
                "${tool[@]}" place/data place/data '*ins' 1 >stdout &
            pid=$!
            until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
        else
            head -c $((128 << 20)) /dev/zero | tr '\0' x >place/data
            cp place/data whole
            "${tool[@]}" place/data place/data '*ins' 1 >stdout &
            pid=$!
            until writing_unnamed $pid || ! kill -0 $pid 2>/dev/null; do :; done
            kill -STOP $pid 2>/dev/null
        fi
        kill -"$signal" $pid 2>/dev/null
        kill -CONT $pid 2>/dev/null
        ends_within 5 $pid
        expect_rc "$expected_code"
        # Replaced, the run has completed, so running *INS again would be wrong.
        if [ "$expected_code" = 0 ]; then
            expect_same place/data whole.converted
        else
            expect_same place/data whole
        fi
        [ "$signal" = KILL ] || expect_no_temporary place
    done
}

# Two races with a name another account controls: the output's name swapped with a link to
# the input (out), and the input's name exchanged with another program's file during a run
# in place, as an editor's saves would (in_place). The run replaces only the file it read,
# and only by that file's conversion; no file is lost; a file that can't be given its name
# back in time stays under the temporary name, and the run fails.
# Only the run's calls that take a name see the names, so the fault library holds the run
# before each such call after the first that names the name (FAULT_WATCH), up to the last,
# and the other account exchanges the names there: once; once more before the next such
# call; or without pause from then on. Every run is contested: an exchange lands between
# the first and the latest call that names the name (FAULT_CONTESTED). RACE=free leaves
# RACE_RUNS runs of each race to chance, the other account exchanging the names throughout.

# race_prepare RACE: a fresh folder r for one run, the exchange counter at 0.
race_prepare() {
    rm -rf r mark contested && mkdir r
    printf '\0\0\0\0\0\0\0\0' >exchanges
    case $1 in
        out) printf '%s' "$original" >victim/in; printf 'plain' >r/out; ln -s "$PWD/victim/in" r/lnk ;;
        in_place) printf '%s' "$original" >r/in; printf 'saved by another program' >r/other ;;
    esac
    [ ${#drop[@]} -eq 0 ] || chown -R nobody r
}

# sums FILE...: the sorted checksums of the files, as one word.
sums() { for f in "$@"; do cksum <"$f"; done | sort | tr '\n ' '/:'; }

# race_judge RACE: counts the outcome of the run just made, or fails.
race_judge() {
    local left
    if [ "$1" = out ]; then
        if cmp -s victim/in victim/original; then
            outcomes[kept]=$((outcomes[kept] + 1))
        elif [ "$rc" -eq 0 ] && cmp -s victim/in victim/expected; then
            outcomes[converted]=$((outcomes[converted] + 1)) # the output was the input
        else
            fail "run $run: exit $rc, the input now holds $(wc -c <victim/in) bytes"
        fi
        return
    fi
    local files
    shopt -s nullglob dotglob
    files=(r/*)
    shopt -u nullglob dotglob
    left=$(sums "${files[@]}")
    if [ "$left" = "${sums[kept]}" ]; then
        outcomes[kept]=$((outcomes[kept] + 1))
    elif [ "$rc" -eq 0 ] && [[ " ${sums[replaced]} " == *" $left "* ]]; then
        outcomes[replaced]=$((outcomes[replaced] + 1))
    elif [ "$rc" -ne 0 ] && [[ " ${sums[aside]} " == *" $left "* ]]; then
        outcomes[aside]=$((outcomes[aside] + 1))
    else
        fail "run $run: exit $rc, left: $(find r -type f -printf '%f %s, ')"
    fi
}

race() { # RACE WATCHED OTHER ARG...
    local race=$1 watched=$2 other=$3 run runs contests=0 landed seen n hold swapper
    shift 3
    local -A outcomes=() patterns=()
    local run_env=(FAULT_WATCH="$watched" FAULT_EXCHANGES="$PWD/exchanges"
        FAULT_CONTESTED="$PWD/contested" FAULT_MARK="$PWD/mark" LD_PRELOAD="$FAULT_LIBRARY")
    local exchange=(env EXCHANGES="$PWD/exchanges" "${drop[@]}" "$EXCHANGE" "$watched" "$other")
    case_ "$race: the names exchanged during the run"
    race_prepare "$race"
    env "${run_env[@]}" FAULT_COUNT="$PWD/count" "${tool[@]}" "$@" >/dev/null 2>&1 </dev/null
    # The calls that take a name, after the window's first up to its last.
    local points=()
    read -r -a points < <(awk 'NR > 1 && $1 ~ /[*+]$/ { call[++n] = NR - 1; w[n] = $1 ~ /[*]$/ }
        END { for (i = 1; i <= n; i++) if (w[i]) { if (!f) f = i; l = i }
              for (i = f + 1; i <= l; i++) printf "%d ", call[i] }' count)
    [ ${#points[@]} -gt 0 ] || { fail "no window found: $(tr '\n' ' ' <count)"; return; }
    local holds=("${points[@]}")
    for ((n = 1; n < ${#points[@]}; n++)); do holds+=("${points[n - 1]},${points[n]}"); done
    for n in "${points[@]}"; do holds+=("$n-"); done
    runs=${#holds[@]}
    [ "${RACE:-held}" = held ] || { holds=(); runs=${RACE_RUNS:-300}; }
    for ((run = 0; run < runs; run++)); do
        race_prepare "$race"
        hold=${holds[run]:-} swapper=""
        [ -n "$hold" ] || { (cd r && exec "${exchange[@]}") & swapper=$!; }
        env "${run_env[@]}" FAULT_HOLD="${hold%-}" "${tool[@]}" "$@" >stdout 2>stderr </dev/null &
        local pid=$!
        for n in ${hold//,/ }; do
            until [ -e mark ] || ! kill -0 $pid 2>/dev/null; do sleep 0.002; done
            [ -e mark ] || { fail "run $run: not held before call $n"; break; }
            if [ "${n%-}" != "$n" ]; then
                (cd r && exec "${exchange[@]}") &
                swapper=$!
                until [ "$(od -An -t u8 exchanges)" -gt 0 ]; do :; done
            else
                (cd r && exec "${exchange[@]}" once) || fail "run $run: the exchange failed"
            fi
            rm -f mark
        done
        wait $pid # the library holds a run 20 s at most
        rc=$?
        [ -z "$swapper" ] || { kill $swapper; wait $swapper 2>/dev/null; }
        read -r landed seen <contested && [ "$landed" -gt 0 ] && contests=$((contests + 1)) &&
            patterns[$seen]=1
        race_judge "$race"
    done
    [ "$runs" -gt 0 ] && pass
    local counts="" key
    for key in "${!outcomes[@]}"; do counts+=", $key ${outcomes[$key]}"; done
    echo "race $race (${RACE:-held}): $runs runs, $contests contested, ${#patterns[@]} ways" \
        "the window's calls saw the names$counts"
    # Held, every run is contested by construction: one that isn't shows the hold missed.
    [ "${RACE:-held}" != held ] || [ "$contests" -eq "$runs" ] ||
        fail "only $contests of $runs held runs were contested"
}

group_race() {
    [ -n "${EXCHANGE:-}" ] && [ -n "${FAULT_LIBRARY:-}" ] ||
        { echo "no exchange helper or fault library"; exit 77; }
    local original
    original=$(printf 'v%.0s' {1..6000})
    mkdir victim
    printf '%s' "$original" >victim/original
    "${tool[@]}" victim/original victim/expected '*ins' 11
    cp victim/original saving.a
    printf 'saved by another program' >saving.o
    "${tool[@]}" saving.a saving.ra '*ins' 11
    "${tool[@]}" saving.o saving.ro '*ins' 11
    # What a run in place may leave: both files kept; the file read replaced by its
    # conversion; or, failed, both and a conversion under the temporary name.
    local -A sums=([kept]=$(sums saving.a saving.o)
        [replaced]="$(sums saving.ra saving.o) $(sums saving.a saving.ro)"
        [aside]="$(sums saving.ra saving.a saving.o) $(sums saving.ro saving.a saving.o)")
    local drop=()
    if can_drop; then
        drop=("${nobody[@]}")
    else
        note "the swapping account is the test's own"
    fi
    touch exchanges && chmod 666 exchanges
    race out out lnk victim/in r/out '*ins' 11
    expect_no_temporary victim
    race in_place in other r/in r/in '*ins' 11
}

group_locked() {
    if ! can_drop; then
        echo "skipped: can't run as nobody here"
        exit 77
    fi
    mkdir locked
    head -c 100000 /dev/zero | tr '\0' x >big
    printf 'old contents' >locked/out
    chmod 666 locked/out
    case_ "a failed run in a folder the user can't change leaves the output empty"
    as_nobody bash -c 'ulimit -f 8; trap "" XFSZ; exec "$@"' - "${nobody_tool[@]}" big locked/out \
        '*ins' 10 >stdout 2>stderr
    rc=$?
    expect_rc 97
    expect_stdout 'ERROR: Schreibfehler in Datei "locked/out": Datei zu gross'
    expect_empty_or_absent locked/out

    case_ "an interrupted run there leaves it empty too"
    printf 'old contents' >locked/out
    mkfifo fifo && chmod 666 fifo
    "${nobody[@]}" "${nobody_tool[@]}" fifo locked/out '*ins' 10 >stdout &
    local pid=$!
    exec 3>fifo
    head -c 20000 /dev/zero | tr '\0' x >&3
    until [ "$(wc -c <locked/out)" -ge 4096 ]; do sleep 0.01; done
    kill -TERM $pid
    ends_within 2 $pid
    exec 3>&-
    expect_rc 143
    expect_empty_or_absent locked/out
}

# in_deep COMMAND...: runs the command in the deep folder, entered a step at a time.
in_deep() {
    (
        for ((i = 0; i < depth; i++)); do cd "$part" || exit 1; done
        "$@"
    )
}

group_deep() {
    local top=$PWD part depth=24
    part=$(printf 'd%.0s' {1..200})
    # A folder deeper than PATH_MAX can only be made and entered one step at a time.
    for ((i = 0; i < depth; i++)); do
        mkdir "$part" && cd "$part" || { fail "can't make the deep folder"; return; }
    done
    case_ "in place through a link, in a folder $((${#PWD} - ${#top})) bytes below"
    printf 'abcdefg' >data
    ln -s data link
    run link link '*ins' 3
    expect_rc 0
    [ -L link ] && pass || fail "the link was replaced"
    expect_bytes data 'abc\r\ndef\r\ng'
    expect_no_temporary .

    case_ "a failed run through a link that points nowhere keeps the link"
    head -c 100000 /dev/zero | tr '\0' x >big
    ln -s target dangling
    run_limited big dangling '*ins' 10
    expect_rc 97
    [ -L dangling ] && pass || fail "the link is gone"
    expect_absent target

    case_ "names longer than PATH_MAX"
    local deep=$PWD
    printf 'abcdefg' >fresh
    printf 'abc\r\ndef\r\ng' >fresh.expected
    cd "$top" || return
    run "$deep/fresh" "$deep/fresh.out" '*ins' 3
    expect_rc 0
    in_deep cmp -s fresh.out fresh.expected && pass || fail "the output is wrong"
    run "$deep/fresh" "$deep/fresh" '*ins' 3
    expect_rc 0
    in_deep cmp -s fresh fresh.expected && pass || fail "in place, the result is wrong"
}

# sweep_case KIND ERRNO: calls of a small *INS run of KIND fail in turn with ERRNO (normal:
# over an old output; new: no output before; dangling: through a link to nothing; in_place,
# and in_place_acl: an input with an access list). After each run nothing is lost, no wrong
# result is claimed, and no partial output or temporary file is left. Each call site (the
# same stack, as a loop's calls have) fails once, and EINTR and EOPNOTSUPP only in the calls
# that can give them; SWEEP_ALL=1 fails every call with every errno.
sweep_case() {
    local kind=$1 error=$2 n problems=0 runs=0 result=s/out args=(s/in s/out) acl="" problem
    [ "${kind#in_place}" = "$kind" ] || { result=s/in; args=(s/in s/in); }
    prepare() {
        rm -rf s && mkdir s
        cp original s/in
        case $kind in
            new) ;;
            dangling) ln -s target s/out ;;
            in_place_acl) setfacl -m u:daemon:r-- s/in ;;
            *) printf 'old contents' >s/out ;;
        esac
    }
    prepare
    [ "$kind" != in_place_acl ] || acl=$(getfacl -cp s/in 2>/dev/null)
    FAULT_COUNT=count LD_PRELOAD=$FAULT_LIBRARY "${tool[@]}" "${args[@]}" '*ins' 11 >/dev/null
    local calls=()
    local -A tried=()
    mapfile -t calls < <(tail -n +2 count)
    for ((n = 1; n <= ${#calls[@]}; n++)); do
        local call=${calls[n - 1]%% *}
        call=${call%[*+]}
        if [ -z "${SWEEP_ALL:-}" ]; then
            [ -z "${tried[${calls[n - 1]}]:-}" ] || continue
            tried[${calls[n - 1]}]=1
            case $error:$call in
                4:open* | 4:read | 4:write | 4:close | 4:fcntl | 4:ftruncate | 4:fsync | 4:poll) ;;
                95:open*) ;;
                4:* | 95:*) continue ;;
            esac
        fi
        prepare
        FAULT_AT=$n FAULT_ERRNO=$error LD_PRELOAD=$FAULT_LIBRARY "${tool[@]}" "${args[@]}" \
            '*ins' 11 >stdout 2>stderr </dev/null
        rc=$?
        runs=$((runs + 1))
        problem=""
        if [ "$rc" -eq 0 ]; then
            cmp -s "$result" expected || problem="exit 0 with a wrong result"
            [[ $(<stdout) != *ERROR* ]] || problem="exit 0 with an error line"
            if [ "$kind" = in_place_acl ] && [ "$(getfacl -cp s/in 2>/dev/null)" != "$acl" ]; then
                problem="exit 0, the access list is lost"
            fi
            [ "$kind" != dangling ] || [ -L s/out ] || problem="exit 0, the link is replaced"
        else
            [[ $(<stdout) == ERROR* ]] || problem="exit $rc without an error line"
            if [ "$kind" = dangling ] && { [ -e s/target ] || [ ! -L s/out ]; }; then
                problem="exit $rc, the link's target made is left, or the link is gone"
            elif ! cmp -s s/in original; then
                problem="exit $rc, the input changed"
            elif [ "$result" = s/out ] && [ -s s/out ] && [ "$(<s/out)" != 'old contents' ]; then
                problem="exit $rc, partial output left"
            elif [ "$kind" = new ] && [ -e s/out ]; then
                problem="exit $rc, an output it made is left"
            fi
        fi
        local left=(s/.zeilfuge-*)
        if [ -e "${left[0]}" ]; then
            [ -s "${left[0]}" ] && problem="temporary file left"
            [ -n "$problem" ] || note "call $n ($call) failing: an empty temporary file is left"
        fi
        if [ -n "$problem" ]; then
            problems=$((problems + 1))
            fail "$kind, call $n ($call) failing with errno $error: $problem"
        else
            pass
        fi
    done
    echo "sweep $kind errno $error: ${#calls[@]} calls, $runs runs, $problems problems"
}

group_sweep() {
    [ -n "${FAULT_LIBRARY:-}" ] || { echo "no fault library"; exit 77; }
    head -c 10000 /dev/zero | tr '\0' r >original
    "${tool[@]}" original expected '*ins' 11
    local kind error
    local kinds=(normal new dangling in_place in_place_acl)
    # SWEEP_KINDS='in_place_acl' sweeps only those kinds.
    [ -z "${SWEEP_KINDS:-}" ] || read -r -a kinds <<<"$SWEEP_KINDS"
    for kind in "${kinds[@]}"; do
        if [ "$kind" = in_place_acl ] && { [ "$(id -u)" != 0 ] || ! command -v setfacl >/dev/null; }; then
            note "skipped the input with an access list: needs root and setfacl (Debian: acl)"
            continue
        fi
        local errors=(5 4)
        # EOPNOTSUPP: a file system without files made with no name, where a new output is
        # made under its name instead.
        [ "$kind" = new ] || [ "$kind" = dangling ] && errors+=(95)
        for error in "${errors[@]}"; do
            case_ "sweep $kind $error"
            sweep_case "$kind" "$error"
        done
    done
}

# Out of memory (a limit on the address space): a clean failure, never an abort.
group_resources() {
    head -c 100000 /dev/zero | tr '\0' x >in
    cp in data.original
    local limit=6000
    (ulimit -v $limit && exec "${raw_tool[@]}" in probe '*ins' 10) >stdout 2>stderr
    rc=$?
    if [ "$rc" -eq 127 ] || [ "$rc" -eq 0 ]; then
        echo "skipped: under ulimit -v $limit the tool can't start, or needs no more (exit $rc)"
        exit 77
    fi
    local kind
    for kind in existing new in_place; do
        case_ "under ulimit -v $limit, output $kind"
        rm -f out new
        cp data.original data
        printf 'old contents' >out
        local output=out
        [ "$kind" = new ] && output=new
        [ "$kind" = in_place ] && output=data
        (ulimit -v $limit && exec "${raw_tool[@]}" "$([ "$kind" = in_place ] && echo data || echo in)" \
            "$output" '*ins' 10) >stdout 2>stderr
        rc=$?
        expect_rc 97
        expect_stdout 'ERROR: Schreibfehler in Datei "%s": Speicher reicht nicht' "$output"
        expect_no_stderr
        case $kind in
            # The buffers are taken before any output is opened.
            existing) expect_bytes out 'old contents' ;;
            new) expect_absent new ;;
            in_place) expect_same data data.original ;;
        esac
        expect_no_temporary .
    done
}

"group_$group"
finish "$group"
