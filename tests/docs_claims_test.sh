#!/usr/bin/env bash
# Checks what the documents say against what the tool is.
#   docs_claims_test.sh messages SOURCE-DIRECTORY DOCUMENT... -- [EMULATOR] TOOL
#     Every console message the tool prints is listed in each document, and every message
#     a document lists is one the tool prints; so is every reason that may end an error
#     line, listed as ": REASON". The tool's messages are read from the texts in
#     SOURCE-DIRECTORY/texts.cpp; runs of the tool check that these are what it prints.
#   docs_claims_test.sh dlls OBJDUMP EXE DOCUMENT...
#     The DLLs each document names are exactly the ones the EXE imports.
#   docs_claims_test.sh tests BUILD-DIRECTORY COUNTS-DOCUMENT DOCUMENT...
#     The test counts COUNTS-DOCUMENT states are what ctest -N lists in BUILD-DIRECTORY, and
#     every `ctest --preset default` command a document shows, run as printed but with -N
#     in BUILD-DIRECTORY, finds a test.
# A message is compared in its form with every quoted name as "…": the names in the
# documents are placeholders, the ones in the runs are real.
set -u
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
group=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() {
    failed=$((failed + 1))
    echo "FAIL $*"
}

# form: a message with every quoted name replaced by "…", and no CR or LF.
form() { sed 's/"[^"]*"/"…"/g; s/\r//g'; }

# documented_messages DOCUMENT: the messages the document lists, in their form, one a line.
# In a manual page the tags of the DIAGNOSTICS section (DIAGNOSE in German) that hold a
# quoted name, undone from roff; in a text, the lines that begin as the tool's messages do.
documented_messages() {
    case $1 in
        *.[1-9])
            awk '/^\.SH/{in_section = ($0 ~ /^\.SH "?(DIAGNOSTICS|DIAGNOSE)/); next}
                 in_section && tag {print} {tag = in_section && /^\.TP/}' "$1" |
                sed 's/\\(dq/"/g; s/\\f[BIRP]//g; s/\\-/-/g; s/\\ / /g' | grep '"' ;;
        *)
            sed -n 's/^ *\(ERROR: .*\|Ausgabe-Datei ".*\)$/\1/p' "$1" ;;
    esac | form | sort -u
}

# documented_reasons DOCUMENT: the reasons the document lists, one a line: in a manual page
# the tags of the DIAGNOSTICS section that start with ": ", in a text the lines that do.
documented_reasons() {
    case $1 in
        *.[1-9])
            awk '/^\.SH/{in_section = ($0 ~ /^\.SH "?(DIAGNOSTICS|DIAGNOSE)/); next}
                 in_section && tag {print} {tag = in_section && /^\.TP/}' "$1" |
                sed 's/\\f[BIRP]//g; s/\\-/-/g; s/\\ / /g' | sed -n 's/^: //p' ;;
        *)
            sed -n 's/^ *: \(.*\)$/\1/p' "$1" ;;
    esac | sed 's/\r//g' | sort -u
}

messages() {
    local source=$1
    shift
    local documents=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        documents+=("$(absolute "$1")")
        shift
    done
    shift
    local run=("${@:1:$#-1}" "$(absolute "${!#}")")  # [EMULATOR] TOOL

    # The messages in the source: each error line and the summary's first line are a
    # text, a quoted name and a text (quoted_name_line), and no other place in the source
    # holds a text that starts an error line.
    sed -n 's/.*quoted_name_line("\([^"]*\)", [a-z_]*, "\([^"]*\)").*/\1"…"\2/p' \
        "$source/texts.cpp" | sed 's/\\n$//' | sort -u >"$work/tool"
    [ "$(grep -c '^ERROR: ' "$work/tool")" -ge 4 ] || fail "no error lines found in texts.cpp"
    local literals called
    literals=$(cat "$source"/*.cpp "$source"/*.hpp | grep -o '"ERROR: [^"]*"' | wc -l)
    called=$(grep -c '^ERROR: ' "$work/tool")
    [ "$literals" -eq "$called" ] ||
        fail "$literals texts start an error line in the source, $called of them in texts.cpp"

    # The reasons that may end the lines of the output's failures: reason_text's texts.
    sed -n '/^std::string_view reason_text/,/^}/s/^ *return "\([^"][^"]*\)";$/\1/p' \
        "$source/texts.cpp" | sort -u >"$work/reasons"
    [ "$(wc -l <"$work/reasons")" -ge 8 ] || fail "no reasons found in texts.cpp"

    # What the tool prints, for the messages a run can give without a device or a fault.
    cd "$work" || exit 1
    printf 'abc\r\n' >input
    local outcome printed reason
    for outcome in "missing out *ins 3" "input no/such/folder/out *ins 3" \
        "input out *INS x" "input out *isn 3" "input out *del 3 /d"; do
        read -ra arguments <<<"$outcome"
        printed=$("${run[@]}" "${arguments[@]}" </dev/null 2>&1 | tr -d '\r' |
            grep -E '^(ERROR: |Ausgabe-Datei )' | form)
        while IFS= read -r reason; do
            printed=${printed%": $reason"}
        done <"$work/reasons"
        if [ -z "$printed" ]; then
            fail "$outcome: printed no message"
        elif ! grep -qxF -- "$printed" "$work/tool"; then
            fail "$outcome: printed '$printed', not a text of texts.cpp"
        fi
    done

    local document
    for document in "${documents[@]}"; do
        documented_messages "$document" >"$work/documented"
        comm -23 "$work/tool" "$work/documented" | while IFS= read -r message; do
            echo "FAIL $document lacks the message '$message'"
        done
        comm -13 "$work/tool" "$work/documented" | while IFS= read -r message; do
            echo "FAIL $document lists '$message', which the tool never prints"
        done
        failed=$((failed + $(comm -3 "$work/tool" "$work/documented" | wc -l)))
        documented_reasons "$document" >"$work/documented"
        comm -23 "$work/reasons" "$work/documented" | while IFS= read -r reason; do
            echo "FAIL $document lacks the reason '$reason'"
        done
        comm -13 "$work/reasons" "$work/documented" | while IFS= read -r reason; do
            echo "FAIL $document lists the reason '$reason', which the tool never gives"
        done
        failed=$((failed + $(comm -3 "$work/reasons" "$work/documented" | wc -l)))
    done
    echo "$(wc -l <"$work/tool") messages, $(wc -l <"$work/reasons") reasons," \
        "${#documents[@]} documents: $failed failed"
}

dlls() {
    local objdump=$1 exe=$2
    shift 2
    "$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u >"$work/imported"
    [ -s "$work/imported" ] || fail "$objdump found no imports in $exe"
    echo "$exe imports: $(tr '\n' ' ' <"$work/imported")"
    local document
    for document in "$@"; do
        grep -oE '\b[A-Za-z0-9_]+\.dll\b' "$document" | sort -u >"$work/named"
        [ "$(cat "$work/named")" = "$(cat "$work/imported")" ] ||
            fail "$document names $(tr '\n' ' ' <"$work/named")"
    done
    echo "$# documents: $failed failed"
}

tests() {
    local build=$1 counts=$2
    shift 2
    listed() { ctest --test-dir "$build" -N "$@" 2>&1 | sed -n 's/^Total Tests: //p'; }
    local stated total fast slow
    stated=$(tr '\n' ' ' <"$counts" |
        grep -o 'that is [0-9]* tests: [0-9]* labelled `fast` and [0-9]* `slow`')
    [ -n "$stated" ] || fail "$counts states no test counts"
    read -r total fast slow <<<"$(grep -o '[0-9][0-9]*' <<<"$stated" | tr '\n' ' ')"
    [ "${total:-}" = "$(listed)" ] || fail "$counts says ${total:-} tests, ctest -N lists $(listed)"
    [ "${fast:-}" = "$(listed -L fast)" ] ||
        fail "$counts says ${fast:-} fast tests, ctest -N -L fast lists $(listed -L fast)"
    [ "${slow:-}" = "$(listed -L slow)" ] ||
        fail "$counts says ${slow:-} slow tests, ctest -N -L slow lists $(listed -L slow)"

    local document command commands=0
    for document in "$counts" "$@"; do
        while IFS= read -r command; do
            commands=$((commands + 1))
            # Split as the shell would split the line pasted, then drop "ctest --preset default".
            eval "set -- $command" || { fail "$document: '$command' is no shell command"; continue; }
            shift 3
            [ "$(listed "$@")" -gt 0 ] 2>/dev/null ||
                fail "$document: '$command' finds no test: $(ctest --test-dir "$build" -N "$@" 2>&1 | tail -1)"
        done < <(grep -o 'ctest --preset default[^`]*' "$document" | sed 's/ *$//' | sort -u)
    done
    [ "$commands" -gt 0 ] || fail "no ctest commands found in $counts $*"
    echo "test counts $total, $fast fast, $slow slow; $commands commands: $failed failed"
}

case $group in
    messages | dlls | tests) "$group" "$@" ;;
    *) echo "unknown group $group" >&2; exit 2 ;;
esac
[ "$failed" -eq 0 ]
