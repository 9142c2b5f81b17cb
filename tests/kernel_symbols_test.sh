#!/usr/bin/env bash
# A function built with a kernel file's own instructions must be that file's alone: a weak or
# unique symbol there is one the linker may pick for the code that older processors run.
#   kernel_symbols_test.sh OBJECT...
set -euo pipefail
checked=0
for object in "$@"; do
    case $object in *kernel_avx* | *kernel_ssse3*) ;; *) continue ;; esac
    # Except DW.ref.__gxx_personality_v0, a word of data holding the address of the C++
    # runtime's routine for exceptions, no code: GCC's sanitizer builds emit it.
    shared=$(nm --defined-only "$object" |
        awk '$2 ~ /^[WwVvu]$/ && $3 != "DW.ref.__gxx_personality_v0" { print $3 }')
    if [[ -n $shared ]]; then
        echo "$object defines symbols the linker may share:"
        echo "$shared" | c++filt
        exit 1
    fi
    checked=$((checked + 1))
done
((checked > 0)) || { echo "no kernel object with flags of its own among the objects"; exit 1; }
echo "$checked kernel objects hold no shared symbols"
