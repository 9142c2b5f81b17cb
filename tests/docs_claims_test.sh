#!/usr/bin/env bash
# Checks what the documents say against what the tool is.
#   docs_claims_test.sh messages SOURCE-DIRECTORY DOCUMENT... -- [EMULATOR] TOOL PRINT_TEXTS
#     Every console message the tool prints is listed in each document, and every message
#     a document lists is one the tool prints; so is every reason that may end an error
#     line, listed as ": REASON". The tool's messages and reasons are what its library
#     gives (PRINT_TEXTS, tests/print_texts.cpp); runs of the tool check that these are what
#     it prints, and the sources hold no other text that starts an error line.
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
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
    local emulator=("${@:1:$#-2}")
    local run=("${emulator[@]}" "$(absolute "${@: -2:1}")") texts=("${emulator[@]}" "${!#}")

    # The messages and the reasons the library gives; no other place in the source holds a
    # text that starts an error line.
    "${texts[@]}" messages | sort -u >"$work/tool"
    "${texts[@]}" reasons | sort -u >"$work/reasons"
    check "no error lines from print_texts" [ "$(grep -c '^ERROR: ' "$work/tool")" -ge 4 ]
    check "no reasons from print_texts" [ "$(wc -l <"$work/reasons")" -ge 8 ]
    local literals
    literals=$(cat "$source"/*.cpp "$source"/*.hpp | grep -o '"ERROR: [^"]*"' | wc -l)
    check "$literals texts start an error line in the source, print_texts gives $(grep -c '^ERROR: ' "$work/tool")" \
        [ "$literals" -eq "$(grep -c '^ERROR: ' "$work/tool")" ]

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
            fail "$outcome: printed '$printed', not a text of the library"
        else
            pass
        fi
    done

    local document kind
    for document in "${documents[@]}"; do
        documented_messages "$document" >"$work/documented.messages"
        documented_reasons "$document" >"$work/documented.reasons"
        for kind in messages reasons; do
            local listed="$work/tool"
            [ "$kind" = messages ] || listed="$work/reasons"
            comm -3 "$listed" "$work/documented.$kind" >"$work/differ"
            check "$document: the $kind the tool gives (left) and the document lists (right) differ:
$(cat "$work/differ")" [ ! -s "$work/differ" ]
        done
    done
}

dlls() {
    local objdump=$1 exe=$2
    shift 2
    "$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u >"$work/imported"
    check "$objdump found no imports in $exe" [ -s "$work/imported" ]
    echo "$exe imports: $(tr '\n' ' ' <"$work/imported")"
    local document
    for document in "$@"; do
        grep -oE '\b[A-Za-z0-9_]+\.dll\b' "$document" | sort -u >"$work/named"
        check "$document names $(tr '\n' ' ' <"$work/named")" cmp -s "$work/named" "$work/imported"
    done
}

tests() {
    local build=$1 counts=$2
    shift 2
    listed() { ctest --test-dir "$build" -N "$@" 2>&1 | sed -n 's/^Total Tests: //p'; }
    local stated total label number
    stated=$(tr '\n' ' ' <"$counts" |
        grep -o 'that is [0-9]* tests: [0-9]* labelled `fast`, [0-9]* `slow` and [0-9]* `long`')
    check "$counts states no test counts" [ -n "$stated" ]
    total=$(grep -o '[0-9][0-9]* tests' <<<"$stated" | grep -o '[0-9]*')
    check "$counts says ${total:-} tests, ctest -N lists $(listed)" [ "${total:-}" = "$(listed)" ]
    for label in fast slow long; do
        number=$(grep -o "[0-9]* \(labelled \)\?\`$label\`" <<<"$stated" | grep -o '^[0-9]*')
        check "$counts says ${number:-} $label tests, ctest -N -L $label lists $(listed -L "$label")" \
            [ "${number:-}" = "$(listed -L "$label")" ]
    done

    # The commands run as the presets filter: default leaves out the long tests, long runs
    # them alone.
    local document command preset commands=0
    for document in "$counts" "$@"; do
        while IFS= read -r command; do
            commands=$((commands + 1))
            # Split as the shell would split the line pasted, then drop "ctest --preset NAME".
            eval "set -- $command" || { fail "$document: '$command' is no shell command"; continue; }
            preset=$3
            shift 3
            [ "$preset" = default ] && set -- -LE long "$@" || set -- -L long "$@"
            check "$document: '$command' finds no test: $(ctest --test-dir "$build" -N "$@" 2>&1 | tail -1)" \
                [ "$(listed "$@")" -gt 0 ]
        done < <(grep -o 'ctest --preset \(default\|long\)[^`]*' "$document" | sed 's/ *$//' | sort -u)
    done
    check "no ctest commands found in $counts $*" [ "$commands" -gt 0 ]
}

case $group in
    messages | dlls | tests) "$group" "$@" ;;
    *) echo "unknown group $group" >&2; exit 2 ;;
esac
finish "docs $group"
