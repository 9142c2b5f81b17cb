#!/usr/bin/env bash
# Every compile command of the tool's own sources is optimised and has _FORTIFY_SOURCE=2.
# Fortified calls show in the binary only where the compiler knows a buffer's size, which no
# call of the tool gives it, so hardening-check can't tell; the compile commands can.
#   fortify_test.sh COMPILE_COMMANDS.JSON SOURCE-DIRECTORY
set -u
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
while IFS='|' read -r file command; do
    case_ "$file"
    [[ $command =~ \ -O[123s] && $command =~ \ -D_FORTIFY_SOURCE=2 ]] && pass || fail "not fortified"
done < <(awk -F'"' -v src="$2/src/" '/"command"/ { command = $4 }
    /"file"/ && (index($4, src) == 1 || $4 ~ /\/version_record\.cpp$/) { print $4 "|" command }' "$1")
finish "compile commands of the tool checked for _FORTIFY_SOURCE=2"
