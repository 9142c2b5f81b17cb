#!/usr/bin/env bash
# Times zeilfuge against the cost of moving its bytes (the floor program: the same bytes read
# and as many written, the cheapest way found, in 2 MiB calls on huge pages, with no
# conversion) and against the usual peers, and prints a markdown table of medians and ratios.
# A second table gives the user CPU time per GiB on inputs where special bytes come thick.
#   bench/run.sh [WORK_FOLDER]
# PAIRS=7 PEER_REPS=3 PATTERN_REPS=3 SIZE_MIB=256 change the defaults; ONLY='*DEL 80' runs one
# case (PATTERNS=0 leaves out the pattern table, ONLY=- leaves out the cases). PATTERN_MIB, by
# default a quarter of SIZE_MIB and at most all of it, sizes each pattern: a run of a few tens
# of ms gets its user time from a few ticks of the system's accounting, and larger patterns
# give steadier figures. ZEILFUGE=path times another build of the tool with the same script.
# KERNELS='portable sse2 ssse3 avx2 avx512' builds the tool once per kernel
# (ZEILFUGE_KERNELS, in build-kernel-NAME) and gives a row per kernel instead of zeilfuge's:
# each build holds the portable kernel and the one named, and runs the one named.
# Needs: cmake, g++, dd, fold, unix2dos and dos2unix (Debian: dos2unix), awk. Makes its own
# data in WORK_FOLDER (default: a new folder in /tmp), about 16 times SIZE_MIB at the peak,
# and removes it at the end.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
pairs=${PAIRS:-7}
peer_reps=${PEER_REPS:-3}
size_mib=${SIZE_MIB:-256}
work=${1:-$(mktemp -d /tmp/zeilfuge-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

for tool in dd fold unix2dos dos2unix awk; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

cmake --preset default >/dev/null
cmake --build --preset default -j2 \
    --target zeilfuge reference_zeilfuge zeilfuge_floor zeilfuge_timed >/dev/null
zeilfuge=${ZEILFUGE:-$top/build/zeilfuge}
# The builds timed, and the label of each one's rows.
tools=("$zeilfuge")
labels=(zeilfuge)
if [[ -n ${KERNELS:-} ]]; then
    tools=()
    labels=()
    for kernel in $KERNELS; do
        echo "Building the $kernel kernel alone ..." >&2
        cmake --preset default -B "$top/build-kernel-$kernel" -DZEILFUGE_KERNELS="$kernel" \
            -DBUILD_TESTING=OFF >/dev/null
        cmake --build "$top/build-kernel-$kernel" -j2 --target zeilfuge >/dev/null
        tools+=("$top/build-kernel-$kernel/zeilfuge")
        labels+=("zeilfuge, $kernel kernel")
    done
fi
reference=$top/build/reference_zeilfuge
floor=$top/build/zeilfuge_floor
timed=$top/build/zeilfuge_timed
cd "$work"

echo "Making the data in $work ..." >&2
# One MiB of record data (letters, digits, blanks), repeated.
awk 'BEGIN { srand(17); s = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
             for (i = 0; i < 1048576; i++) printf "%s", substr(s, int(rand() * 37) + 1, 1) }' >chunk
for ((i = 0; i < size_mib; i++)); do cat chunk; done >records.dat
# DOS text with lines of 0 to 160 bytes: 8 MiB of lines, repeated.
awk 'BEGIN { srand(62); s = ""; for (i = 0; i < 170; i++) s = s sprintf("%c", 65 + i % 26);
             for (n = 0; n < 8388608; ) { l = int(rand() * 161); printf "%s\r\n", substr(s, 1 + int(rand() * 8), l); n += l + 2 } }' >chunk
for ((i = 0; i < size_mib / 8; i++)); do cat chunk; done >text.dat
# Short lines for a padding-heavy run: each becomes 64 KiB.
awk -v lines=$((size_mib * 16)) 'BEGIN { srand(65); for (n = 0; n < lines; n++) {
             l = int(rand() * 81); s = ""; for (i = 0; i < l; i++) s = s "x"; printf "%s\r\n", s } }' >short.dat
rm chunk

# time_one LABEL COMMAND [ARGUMENT...]: runs the command once into a fresh out.dat and adds
# "LABEL wall user system rss_kib" to times.txt.
time_one() {
    local label=$1
    shift
    # Each run starts with no dirty pages of an earlier one still being written back; over
    # an existing output, that output is there, as a previous day's run left it.
    rm -f out.dat stats.txt
    [[ -z ${existing:-} ]] || cp "$existing" out.dat
    sync
    "$timed" stats.txt "$@" >/dev/null 2>&1 || {
        echo "bench: '$*' failed" >&2
        exit 1
    }
    echo "$label $(cat stats.txt)" >>times.txt
}

# run_case NAME INPUT MODE RCDLEN BASIS [PEER_LABEL PEER_SHELL_COMMAND]...
# BASIS, input or output, is the file whose size the CPU seconds are given per GiB of.
run_case() {
    local name=$1 input=$2 mode=$3 rcdlen=$4 basis=$5
    shift 5
    [[ -z ${ONLY:-} || $name == "$ONLY" ]] || return 0
    echo "Timing $name ..." >&2
    "$zeilfuge" "$input" out.dat "$mode" "$rcdlen" >/dev/null
    local out_bytes in_bytes
    out_bytes=$(stat -c %s out.dat)
    in_bytes=$(stat -c %s "$input")
    : >times.txt
    local round i
    # The tool and its floor run as pairs, in turns first, so that a slow spell of the
    # machine hits both sides of a pair and the ratio of the pair stays true. With a build per
    # kernel, all of them and the floor make a round.
    local t
    for ((round = 1; round <= pairs; round++)); do
        ((round % 2 == 1)) || time_one floor "$floor" "$input" out.dat "$out_bytes"
        for t in "${!tools[@]}"; do
            time_one "tool$t" "${tools[t]}" "$input" out.dat "$mode" "$rcdlen"
        done
        ((round % 2 == 0)) || time_one floor "$floor" "$input" out.dat "$out_bytes"
    done
    for ((round = 1; round <= peer_reps; round++)); do
        time_one reference "$reference" "$input" out.dat "$mode" "$rcdlen"
        for ((i = 1; i < $#; i += 2)); do
            time_one "peer$i" bash -c "${*:i+1:1}"
        done
    done
    rm -f out.dat
    local per_bytes=$in_bytes
    [[ $basis == input ]] || { per_bytes=$out_bytes; name="$name (CPU per GiB of output)"; }
    row() { # LABEL KEY
        awk -v n="$name" -v l="$1" -v k="$2" -v gib="$(awk -v b="$per_bytes" 'BEGIN { print b / 2^30 }')" '
            function median(a, c,    i, j, t) {
                for (i = 2; i <= c; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) {
                    t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
                return c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
            }
            $1 == "floor" { fc[++f] = $3 + $4 }
            $1 == k && k ~ /^tool/ { tc[++t] = $3 + $4 }
            $1 == k { w[++c] = $2; u[c] = $3; s[c] = $4; cpu[c] = $3 + $4; if ($5 > m) m = $5 }
            END {
                floor = median(fc, f)
                if (k ~ /^tool/) {
                    # Each pair gives a ratio of CPU times; the median of those is steadier
                    # than a ratio of medians.
                    for (i = 1; i <= t; i++) r[i] = tc[i] / fc[i]
                    ratio = median(r, t)
                } else ratio = median(cpu, c) / floor
                gsub(/[|]/, "\\|", l)
                printf "| %s | %s | %.3f | %.2f | %.3f | %.3f | %.1f |\n", n, l, median(w, c), ratio,
                    median(u, c) / gib, median(s, c) / gib, m / 1024
            }' times.txt
    }
    {
        for t in "${!tools[@]}"; do row "${labels[t]}" "tool$t"; done
        row "floor: same bytes moved, 2 MiB calls, huge pages" floor
        row "byte-at-a-time reference" reference
        for ((i = 1; i < $#; i += 2)); do row "${*:i:1}" "peer$i"; done
    } >>table.txt
}

: >table.txt
run_case "*INS 80" records.dat '*INS' 80 input \
    "dd conv=unblock cbs=80" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=80" \
    "fold -b -w80 | unix2dos" "fold -b -w80 records.dat | unix2dos >out.dat"
run_case "*INS 11" records.dat '*INS' 11 input \
    "dd conv=unblock cbs=11" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=11" \
    "fold -b -w11 | unix2dos" "fold -b -w11 records.dat | unix2dos >out.dat"
run_case "*INS 1" records.dat '*INS' 1 input \
    "dd conv=unblock cbs=1" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=1" \
    "fold -b -w1 | unix2dos" "fold -b -w1 records.dat | unix2dos >out.dat"
# The same over the output of a previous run, which the run replaces.
"$zeilfuge" records.dat existing.dat '*INS' 80 >/dev/null
existing=existing.dat run_case "*INS 80, over an existing output" records.dat '*INS' 80 input
rm -f existing.dat
run_case "*DEL 80" text.dat '*DEL' 80 input \
    "dos2unix | dd conv=block cbs=80" "dos2unix <text.dat | dd of=out.dat bs=64K conv=block cbs=80"
run_case "*DEL 65536, short lines" short.dat '*DEL' 65536 output \
    "dos2unix | dd conv=block cbs=65536" "dos2unix <short.dat | dd of=out.dat bs=64K conv=block cbs=65536"

# The patterns where special bytes come thick, each repeated to PATTERN_MIB, and random mixes
# of data, blanks, CR, LF and NUL at several densities (make_mix): user CPU seconds per GiB of
# the larger of input and output, median of PATTERN_REPS runs.
pattern_mib=${PATTERN_MIB:-$((size_mib / 4))}
: >patterns.txt
make_pattern() { # NAME PRINTF_FORMAT
    printf "$2" >unit
    local n
    n=$(stat -c %s unit)
    # Doubled until it passes the size, then cut to it.
    while (($(stat -c %s unit) < pattern_mib << 20)); do cat unit unit >unit2 && mv unit2 unit; done
    head -c $((pattern_mib << 20)) unit >"pattern-$1.dat"
    rm unit
}
# The class of dense input rather than names: each byte is a special one (CR, LF or NUL, alike
# likely) with the chance DENSITY in percent, else data (a letter, or a blank one time in four),
# drawn by awk's rand from SEED. One MiB of it, repeated.
make_mix() { # NAME SEED DENSITY
    awk -v seed="$2" -v density="$3" 'BEGIN { srand(seed)
        for (i = 0; i < 1048576; i++) {
            if (rand() * 100 < density) { k = int(rand() * 3); printf "%c", k == 0 ? 13 : k == 1 ? 10 : 0 }
            else if (rand() < 0.25) printf " "
            else printf "%c", 97 + int(rand() * 26)
        } }' >chunk
    for ((i = 0; i < pattern_mib; i++)); do cat chunk; done >"pattern-$1.dat"
    rm chunk
}
if [[ ${PATTERNS:-1} != 0 ]]; then
    echo "Timing the patterns ..." >&2
    make_pattern nul '\0'
    make_pattern a_nul 'a\0'
    make_pattern seven_nul_a '\0\0\0\0\0\0\0a'
    make_pattern cr '\r'
    make_pattern lf '\n'
    make_pattern a_cr 'a\r'
    make_pattern empty_dos_lines '\r\n'
    make_pattern cr_cr_lf '\r\r\n'
    make_pattern cr_nul_lf '\r\0\n'
    make_pattern lines_of_7 'aaaaaaa\n'
    mixes=()
    for density in 100 75 50 25 12 6 3; do
        # The seed is the density, so that a row names the data it was timed on.
        make_mix "mix_${density}%_seed_$density" "$density" "$density"
        mixes+=("mix_${density}%_seed_$density")
    done
    head -c $((pattern_mib << 20)) records.dat >pattern-records.dat
    head -c $((pattern_mib << 20)) text.dat >pattern-text.dat
    for pattern in nul a_nul seven_nul_a cr lf a_cr empty_dos_lines cr_cr_lf cr_nul_lf lines_of_7 \
        "${mixes[@]}" records text; do
        for t in "${!tools[@]}"; do
            row="| $pattern |"
            ((${#tools[@]} == 1)) || row="| $pattern, ${labels[t]#zeilfuge, } |"
            for mode in '*INS' '*DEL'; do
                for rcdlen in 1 80; do
                    : >times.txt
                    for ((round = 1; round <= ${PATTERN_REPS:-3}; round++)); do
                        time_one tool "${tools[t]}" "pattern-$pattern.dat" out.dat "$mode" "$rcdlen"
                    done
                    larger=$(stat -c %s "pattern-$pattern.dat")
                    "${tools[t]}" "pattern-$pattern.dat" out.dat "$mode" "$rcdlen" >/dev/null
                    (($(stat -c %s out.dat) > larger)) && larger=$(stat -c %s out.dat)
                    rm -f out.dat
                    row="$row $(awk -v gib="$(awk -v b="$larger" 'BEGIN { print b / 2^30 }')" '
                        { u[++c] = $3 }
                        END {
                            for (i = 2; i <= c; i++) for (j = i; j > 1 && u[j - 1] > u[j]; j--) {
                                t = u[j]; u[j] = u[j - 1]; u[j - 1] = t }
                            printf "%.2f", (c % 2 ? u[(c + 1) / 2] : (u[c / 2] + u[c / 2 + 1]) / 2) / gib
                        }' times.txt) |"
                done
            done
            echo "$row" >>patterns.txt
        done
        rm "pattern-$pattern.dat"
    done
fi

echo "Peak memory on a small and a large input ..." >&2
: >rss.txt
head -c $((16 << 20)) records.dat >small.dat
"$timed" rss.txt "$zeilfuge" small.dat /dev/null '*INS' 80
rm small.dat text.dat short.dat
for ((i = 0; i < 4; i++)); do cat records.dat; done >large.dat
"$timed" rss.txt "$zeilfuge" large.dat /dev/null '*INS' 80
large_mib=$(($(stat -c %s large.dat) >> 20))

echo
echo "zeilfuge benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "input ${size_mib} MiB; medians of $pairs interleaved pairs of zeilfuge and its floor," \
    "$peer_reps runs of the reference and the peers; a fresh output file for every run"
echo "x floor: CPU time (user + system) against the floor's; zeilfuge's is the median of the" \
    "ratios within its pairs; CPU s per GiB of input"
echo
echo "| case | command | wall s | x floor | user s/GiB | sys s/GiB | peak RSS MiB |"
echo "|---|---|---|---|---|---|---|"
cat table.txt
if [[ -s patterns.txt ]]; then
    echo
    echo "User CPU s per GiB of the larger of input and output, ${pattern_mib} MiB of each pattern" \
        "repeated, median of ${PATTERN_REPS:-3} runs; mix_D%_seed_S: each byte CR, LF or NUL" \
        "with the chance D %, else a letter or a blank, from awk's srand(S)"
    echo
    echo "| input | *INS 1 | *INS 80 | *DEL 1 | *DEL 80 |"
    echo "|---|---|---|---|---|"
    cat patterns.txt
fi
echo
awk -v lm="$large_mib" 'NR == 1 { s = $4 } NR == 2 { l = $4 } END {
    printf "Peak RSS of zeilfuge *INS 80: %.1f MiB on 16 MiB, %.1f MiB on %d MiB of input.\n", s / 1024, l / 1024, lm }' rss.txt
