#!/usr/bin/env bash
# Checks that the manual pages and the README name every exit code the executable gives,
# and no code it never gives. The codes come from running it into each outcome: a
# conversion, each refusal and failure, and every signal sent to a run waiting for input.
#   docs_test.sh TOOL DOCUMENT...     e.g. docs_test.sh build/zeilfuge man/zeilfuge.1 README.md
set -u
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
tool=$(absolute "$1")
shift
documents=()
for document in "$@"; do documents+=("$(absolute "$document")"); done
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
ulimit -c 0  # a signal that dumps core leaves no core file behind

# Ctrl-Break ends a Windows run with 149; Linux has nothing that gives it.
windows_only=(149)
# Signals that stop, continue or are ignored by default, and SIGKILL, which no program
# can catch: the tool gives no code of its own for them.
not_probed=" KILL STOP TSTP TTIN TTOU CONT CHLD URG WINCH "
kept_default=" ILL TRAP ABRT BUS FPE SEGV PIPE SYS "

declare -A given  # exit code -> the outcomes that gave it

# start STATUS-FILE ARG...: runs the tool with the signals at their defaults (a job started
# with & inherits SIGINT and SIGQUIT ignored) and writes "exit N" or "signal N" to
# STATUS-FILE when it ends. The tool's process id goes to ./pid.
start() {
    local status_file=$1
    shift
    perl -MPOSIX -e '
        my $status_file = shift;
        my $pid = fork() // die "fork: $!";
        if ($pid == 0) {
            $SIG{$_} = "DEFAULT" for grep { !/^(KILL|STOP)$/ } keys %SIG;
            POSIX::sigprocmask(SIG_SETMASK, POSIX::SigSet->new);
            open(my $fh, ">", "pid.tmp") or die; print $fh "$$\n"; close $fh;
            rename("pid.tmp", "pid") or die;
            exec(@ARGV) or POSIX::_exit(127);
        }
        waitpid($pid, 0);
        my $how = WIFEXITED($?) ? "exit " . WEXITSTATUS($?) : "signal " . WTERMSIG($?);
        open(my $fh, ">", "$status_file.tmp") or die; print $fh "$how\n"; close $fh;
        rename("$status_file.tmp", $status_file) or die;
    ' "$status_file" "$tool" "$@" >/dev/null 2>&1 </dev/null
}

# record OUTCOME STATUS: notes the exit code. A run that ends by the signal it got, after
# cleaning up, gives the shell 128 plus the signal's number as well.
record() {
    case $2 in
        "exit "*) given[${2#exit }]+="${given[${2#exit }]:+, }$1" ;;
        "signal "*) given[$((128 + ${2#signal }))]+="${given[$((128 + ${2#signal }))]:+, }$1" ;;
        *) fail "$1: $2, not an exit code" ;;
    esac
}

# Outcomes without signals.
printf 'abcdefgh' >records
outcomes=(
    "converted|records out *ins 3"
    "write failure on a full device|records /dev/full *ins 3"
    "unknown mode word|records out *xyz 3"
    "*INS with the record length 0|records out *ins 0"
    "too few arguments|records out *ins"
    "missing input|missing out *ins 3"
)
for outcome in "${outcomes[@]}"; do
    rm -f pid status
    read -ra arguments <<<"${outcome#*|}"
    start status "${arguments[@]}"
    record "${outcome%%|*}" "$(cat status 2>/dev/null || echo 'no status')"
done

# probe NUMBER: sends signal NUMBER to a run blocked reading a FIFO that is held open, and prints
# how the run ended: "exit N", "signal N", or "running" when the signal did not end it.
probe() {
    local i state=unknown pid
    # Over an output that was there: once the run has made the new file that is to replace
    # it (with no name, or a .zeilfuge-* one), a signal finds something to clean up.
    rm -f fifo out pid status .zeilfuge-* && mkfifo fifo
    printf 'old contents' >out
    exec 3<>fifo
    start status fifo out '*ins' 3 &
    local waiter=$!
    local made=
    for ((i = 0; i < 1000; i++)); do
        pid=$(cat pid 2>/dev/null)
        if [ -n "$pid" ]; then
            made=$(find "/proc/$pid/fd" -lname "$PWD/#*" -o -lname "$PWD/.zeilfuge-*" \
                2>/dev/null | head -n 1)
            [ -n "$made" ] && break
        fi
        sleep 0.01
    done
    if [ -z "$made" ]; then
        wait "$waiter"
        echo "not started: $(cat status 2>/dev/null)"
        exec 3>&-
        return
    fi
    # The new file is made before the first read; sleeping now means waiting in that read.
    for ((i = 0; i < 1000; i++)); do
        read -r _ _ state _ <"/proc/$pid/stat" 2>/dev/null
        [ "$state" = S ] && break
        sleep 0.01
    done
    kill -n "$1" "$pid"
    for ((i = 0; i < 200; i++)); do
        [ -e status ] && break
        sleep 0.01
    done
    if [ ! -e status ]; then
        kill -s KILL "$pid"
        wait "$waiter"
        echo running
    else
        wait "$waiter"
        cat status
    fi
    exec 3>&-
}

for ((number = 1; number <= $(kill -l RTMAX); number++)); do
    name=$(kill -l "$number" 2>/dev/null)
    [ -n "$name" ] || continue  # the C library keeps these for itself
    [[ $not_probed == *" $name "* ]] && continue
    how=$(probe "$number")
    # Each signal that the tool ends a run by, after cleaning up, needs documenting (what the
    # run leaves is promises.signals' to check). Signals that report a fault of the program, and SIGPIPE, keep their default action:
    # no cleanup, no code of the tool's own.
    [[ $kept_default == *" $name "* && $how == "signal "* ]] && continue
    [[ $how == "exit "* || $how == "signal "* ]] && record "SIG$name" "$how" && pass
done

echo "exit codes given:"
for code in $(printf '%s\n' "${!given[@]}" | sort -n); do echo "  $code: ${given[$code]}"; done

# documented_codes DOCUMENT: the codes its exit code section lists, one a line, a range
# such as 162-192 (an en dash in the text) spelt out. In a manual page, the tags of the
# EXIT STATUS section (EXIT-STATUS in German); in a Markdown file, the first column of the
# table under "## Exit codes".
documented_codes() {
    local first last
    case $1 in
        *.md)
            awk '/^## /{in_section = ($0 ~ /^## Exit codes/)} in_section && /^\| *[0-9]/' "$1" |
                cut -d'|' -f2 ;;
        *)
            awk '/^\.SH/{in_section = ($0 ~ /^\.SH "?EXIT[ -]STATUS/); next}
                 in_section && tag {print} {tag = in_section && /^\.TP/}' "$1" ;;
    esac | sed 's/\\(en/-/g; s/–/-/g' | grep -oE '[0-9]+(-[0-9]+)?' |
        while IFS=- read -r first last; do seq "$first" "${last:-$first}"; done | sort -un
}

for document in "${documents[@]}"; do
    listed=$(documented_codes "$document")
    check "$document: no exit code section found" [ -n "$listed" ]
    for code in "${!given[@]}"; do
        grep -qx "$code" <<<"$listed" && pass || fail "$document lacks $code (${given[$code]})"
    done
    for code in $listed; do
        [ -n "${given[$code]:-}" ] && continue
        [[ " ${windows_only[*]} " == *" $code "* ]] && continue
        fail "$document lists $code, which the tool never gives"
    done
done

echo "${#given[@]} codes, ${#documents[@]} documents"
finish "docs exit codes"
