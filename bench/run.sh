#!/usr/bin/env bash
# Times zeilfuge against the cost of moving its bytes and against the usual peers, in one
# run, and prints one table of medians and ratios.
#   bench/run.sh [WORK_FOLDER]
# REPS=9 PEER_REPS=3 SIZE_MIB=512 change the defaults; ONLY='*DEL 80' runs one case.
# Needs: cmake, g++, dd, fold, unix2dos and dos2unix (Debian: dos2unix), /usr/bin/time
# (Debian: time), awk. Makes its own data in WORK_FOLDER (default: a new folder in /tmp),
# about 4 GiB at the peak, and removes it at the end.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
reps=${REPS:-9}
peer_reps=${PEER_REPS:-3}
size_mib=${SIZE_MIB:-512}
work=${1:-$(mktemp -d /tmp/zeilfuge-bench.XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

for tool in dd fold unix2dos dos2unix awk /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target zeilfuge reference_zeilfuge >/dev/null
zeilfuge=$top/build/zeilfuge
reference=$top/build/reference_zeilfuge
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

ns() { date +%s%N; }

# time_one LABEL COMMAND: runs a shell command once and records its time and peak memory.
time_one() {
    local label=$1 command=$2 start end
    # Each run starts with no dirty pages of an earlier one still being written back.
    rm -f out.dat
    sync
    start=$(ns)
    /usr/bin/time -f %M -o mem.txt bash -c "$command" >/dev/null 2>&1 || {
        echo "bench: '$command' failed" >&2
        exit 1
    }
    end=$(ns)
    echo "$label $(((end - start) / 1000)) $(tail -n 1 mem.txt)" >>times.txt
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# run_case NAME INPUT MODE RCDLEN PEER_LABEL PEER_COMMAND [PEER_LABEL PEER_COMMAND]
run_case() {
    local name=$1 input=$2 mode=$3 rcdlen=$4
    shift 4
    [[ -z ${ONLY:-} || $name == "$ONLY" ]] || return 0
    echo "Timing $name ..." >&2
    "$zeilfuge" "$input" floor.src "$mode" "$rcdlen"
    : >times.txt
    local round
    # The tool and its floor run back to back, in turns first, so that neither always
    # follows a long run of a peer (on a virtual machine the pages a long run freed are
    # slow to hand out again for a while).
    local round i
    for ((round = 1; round <= reps; round++)); do
        if ((round % 2 == 1)); then
            time_one tool "'$zeilfuge' $input out.dat '$mode' $rcdlen"
            time_one floor "dd if=floor.src of=out.dat bs=64K"
        else
            time_one floor "dd if=floor.src of=out.dat bs=64K"
            time_one tool "'$zeilfuge' $input out.dat '$mode' $rcdlen"
        fi
    done
    for ((round = 1; round <= peer_reps; round++)); do
        time_one reference "'$reference' $input out.dat '$mode' $rcdlen"
        for ((i = 1; i < $#; i += 2)); do
            time_one "peer$i" "${*:i+1:1}"
        done
    done
    rm -f out.dat floor.src
    local tool floor
    tool=$(awk '$1 == "tool" { print $2 }' times.txt | median)
    floor=$(awk '$1 == "floor" { print $2 }' times.txt | median)
    row() { # LABEL KEY
        local t m
        t=$(awk -v k="$2" '$1 == k { print $2 }' times.txt | median)
        m=$(awk -v k="$2" '$1 == k { print $3 }' times.txt | sort -n | tail -n 1)
        awk -v n="$name" -v l="$1" -v t="$t" -v f="$floor" -v z="$tool" -v m="$m" 'BEGIN {
            gsub(/[|]/, "\\|", l)
            printf "| %s | %s | %.3f | %.2f | %.1f | %.1f |\n", n, l, t / 1e6, t / f, t / z, m / 1024 }'
    }
    {
        row zeilfuge tool
        row "floor: dd bs=64K of the output's size" floor
        row "byte-at-a-time reference" reference
        for ((i = 1; i < $#; i += 2)); do row "${*:i:1}" "peer$i"; done
    } >>table.txt
}

: >table.txt
run_case "*INS 80" records.dat '*INS' 80 \
    "dd conv=unblock cbs=80" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=80" \
    "fold -b -w80 | unix2dos" "fold -b -w80 records.dat | unix2dos >out.dat"
run_case "*INS 11" records.dat '*INS' 11 \
    "dd conv=unblock cbs=11" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=11" \
    "fold -b -w11 | unix2dos" "fold -b -w11 records.dat | unix2dos >out.dat"
run_case "*INS 1" records.dat '*INS' 1 \
    "dd conv=unblock cbs=1" "dd if=records.dat of=out.dat bs=64K conv=unblock cbs=1" \
    "fold -b -w1 | unix2dos" "fold -b -w1 records.dat | unix2dos >out.dat"
run_case "*DEL 80" text.dat '*DEL' 80 \
    "dos2unix | dd conv=block cbs=80" "dos2unix <text.dat | dd of=out.dat bs=64K conv=block cbs=80"
run_case "*DEL 65536, short lines" short.dat '*DEL' 65536 \
    "dos2unix | dd conv=block cbs=65536" "dos2unix <short.dat | dd of=out.dat bs=64K conv=block cbs=65536"

echo "Peak memory on a small and a large input ..." >&2
head -c $((64 << 20)) records.dat >small.dat
/usr/bin/time -f %M -o mem.txt "$zeilfuge" small.dat /dev/null '*INS' 80
small_kib=$(tail -n 1 mem.txt)
rm small.dat text.dat short.dat
for ((i = 0; i < 4096 / size_mib; i++)); do cat records.dat; done >large.dat
/usr/bin/time -f %M -o mem.txt "$zeilfuge" large.dat /dev/null '*INS' 80
large_kib=$(tail -n 1 mem.txt)
large_mib=$(($(stat -c %s large.dat) >> 20))

echo
echo "zeilfuge benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
echo "input ${size_mib} MiB; medians of $reps runs ($peer_reps for the reference and the peers); files in $work"
echo
echo "| case | command | median s | x floor | x zeilfuge | peak RSS MiB |"
echo "|---|---|---|---|---|---|"
cat table.txt
echo
awk -v s="$small_kib" -v l="$large_kib" -v lm="$large_mib" 'BEGIN {
    printf "Peak RSS of zeilfuge *INS 80: %.1f MiB on 64 MiB, %.1f MiB on %d MiB of input.\n", s / 1024, l / 1024, lm }'
