#!/usr/bin/env bash
# The tool on the file systems its users have, mounted for real: loop images (ext4, xfs,
# btrfs), tmpfs, overlay, and through FUSE ntfs-3g, exfat-fuse, bindfs and sshfs to an sshd
# of the test's own on 127.0.0.1. On each: a new, an existing and an in-place output, a hard
# link, the output's name in other letter case, one file through two views, a run killed
# part-way and a full disk under an existing output.
#   filesystems_test.sh TOOL
# Needs root: everything is mounted in a private mount namespace, inside the test's own
# folder. A file system the machine can't mount is skipped with a note.
set -u

if [ -z "${ZEILFUGE_FS_NAMESPACE:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "skipped: mounting file systems needs root"; exit 77; }
    command -v mount >/dev/null || { echo "skipped: no mount here"; exit 77; }
    unshare -m --propagation private true 2>/dev/null ||
        { echo "skipped: unshare -m can't make a mount namespace here"; exit 77; }
    ZEILFUGE_FS_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

tool=$(realpath "$1")
# shellcheck source=tests/test_lib.sh
source "$(dirname "$0")/test_lib.sh"
work=$(mktemp -d)
mounted=() # in the order mounted; unmounted the other way round
loops=()   # loop devices set up by hand, detached after the unmounts
sshd_pid=""

cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
    done
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
    local device
    for device in "${loops[@]}"; do losetup -d "$device"; done
    # A loop device mounted with -o loop is detached at its unmount; one left over is not.
    for device in $(losetup -j "$work" -O NAME -n 2>/dev/null); do losetup -d "$device"; done
    cd / && umount "$work" && rmdir "$work"
}
trap cleanup EXIT

# The test's folder is a tmpfs of its own: the images live in memory, and they are sparse.
mount -t tmpfs -o size=1g,mode=755 zeilfuge-work "$work" || exit 1
cd "$work" || exit 1

# --- the data --------------------------------------------------------------------------

# letters N: N letters, no line ends.
letters() { base64 -w 0 /dev/urandom | tr -dc 'A-Za-z' | head -c "$1"; }
# expected_ins IN: *INS with RCDLEN 10, made without the tool: CR LF after every 10 bytes
# where more follow.
expected_ins() { fold -w 10 "$1" | sed '$!s/$/\r/'; }

letters 10007 >input
expected_ins input >conversion
letters 1200000 >big_input
printf 'old contents, not the input and not its conversion\n%.0s' {1..400} >old_output
mkfifo fifo

# --- one line per file system and case ----------------------------------------------------

skipped=0
problems=""
notes=""
skip_reason=""

problem() { problems+="${problems:+; }$*"; }
note() { notes+="${notes:+; }$*"; }
skip_case() { skip_reason=$*; }

# holds FILE REFERENCE WHAT: FILE holds the bytes of REFERENCE, or a problem is noted.
holds() {
    if [ ! -e "$1" ]; then
        problem "${1##*/} is missing, expected $3"
    elif ! cmp -s "$1" "$2"; then
        problem "${1##*/} holds $(wc -c <"$1") bytes that are not $3 ($(wc -c <"$2") bytes)"
    fi
}
expect_rc() { [ "$rc" -eq "$1" ] || problem "exit $rc, expected $1 ($(head -c 120 "$work/log"))"; }
expect_no_temporary() {
    local left
    left=$(find "$1" -maxdepth 1 -name '.zeilfuge-*' -printf '%f ')
    [ -z "$left" ] || problem "left behind: $left"
}

# zeilfuge ARG...: the tool in the current folder, its messages in $work/log, its code in $rc.
zeilfuge() {
    timeout -s KILL 20 "$tool" "$@" >"$work/log" 2>&1 </dev/null
    rc=$?
}

# run_case FS NUMBER NAME FUNCTION: runs the case in a folder of its own and prints its line.
run_case() {
    local line="$1 $2 $3"
    problems="" notes="" skip_reason=""
    folder=c$2
    if mkdir -p "$view/$folder" && cd "$view/$folder"; then
        "$4"
    else
        problem "can't make the folder $folder"
    fi
    cd "$work" || exit 1
    if [ -n "$skip_reason" ]; then
        echo "skip  $line: $skip_reason"
        skipped=$((skipped + 1))
    elif [ -n "$problems" ]; then
        fail "$line: $problems${notes:+ ($notes)}"
    else
        echo "ok    $line${notes:+ ($notes)}"
        pass
    fi
}

# --- the cases ------------------------------------------------------------------------------
# Each runs in its own folder $view/$folder; $second, where set, is a second view of the same
# folder (the backing folder, the overlay's upper folder, the sshfs server's folder).

case_new() {
    cp "$work/input" in
    zeilfuge in out '*ins' 10
    expect_rc 0
    holds out "$work/conversion" "the conversion"
    holds in "$work/input" "the input"
    expect_no_temporary .
}

case_existing() {
    cp "$work/input" in
    # An overlay's existing output comes from its lower layer, as in a container, made there
    # before the mount.
    if [ "$output_in_lower" = no ]; then
        cp "$work/old_output" out
        chmod 0640 out
    fi
    local modes=yes
    [ "$(stat -c %a out)" = 640 ] || { modes=""; note "modes not shown here"; }
    zeilfuge in out '*ins' 10
    expect_rc 0
    holds out "$work/conversion" "the conversion"
    if [ -n "$modes" ] && [ "$(stat -c %a out)" != 640 ]; then
        problem "mode $(stat -c %a out), was 640"
    fi
    expect_no_temporary .
}

case_in_place() {
    cp "$work/input" data
    zeilfuge data data '*ins' 10
    expect_rc 0
    holds data "$work/conversion" "the conversion"
    expect_no_temporary .
}

# Two names of one file: the output replaced and the input kept, or the run refused and both
# left as they were.
case_hard_link() {
    cp "$work/input" data
    local made side=.
    [ "$links_on_server" = yes ] && side=$second/$folder
    if ! made=$(cd "$side" && ln data link 2>&1) || [ ! -e link ]; then
        skip_case "no hard links here: $made"
        return
    fi
    zeilfuge data link '*ins' 10
    case $rc in
        0) holds link "$work/conversion" "the conversion"
           holds data "$work/input" "the input" ;;
        97) holds data "$work/input" "the input"
            holds link "$work/input" "the input" ;;
        *) expect_rc 0 ;;
    esac
}

# On a file system that ignores letter case the two spellings are one file: converted in
# place or refused, never anything between.
case_letter_case() {
    cp "$work/input" Daten.txt
    zeilfuge Daten.txt DATEN.TXT '*ins' 10
    local names
    names=$(find . -maxdepth 1 -iname daten.txt | wc -l)
    case $rc in
        0) holds DATEN.TXT "$work/conversion" "the conversion"
           [ "$names" -eq 2 ] && holds Daten.txt "$work/input" "the input" ;;
        97) holds Daten.txt "$work/input" "the input" ;;
        *) expect_rc 0 ;;
    esac
    [ "$names" -eq 1 ] && note "one file under both spellings"
}

# One file through two views, input through the one and output through the other: the same
# file converted, or the run refused with the file as it was.
case_two_views() {
    [ -n "$second" ] || { skip_case "one view only"; return; }
    local from to name through n=0
    for pair in "$view $second" "$second $view"; do
        read -r from to <<<"$pair"
        n=$((n + 1))
        name=data$n
        through="input through ${from#"$work"/}"
        # Made through the view, so that an overlay puts it in its upper folder.
        cp "$work/input" "$view/$folder/$name"
        zeilfuge "$from/$folder/$name" "$to/$folder/$name" '*ins' 10
        case $rc in
            0) holds "$to/$folder/$name" "$work/conversion" "the conversion, $through" ;;
            97) holds "$to/$folder/$name" "$work/input" "the input, $through"
                holds "$from/$folder/$name" "$work/input" "the input, $through" ;;
            *) expect_rc 0 ;;
        esac
    done
}

# kill_during_run OUTPUT: the tool reads part of the input from a FIFO, and is killed while
# it waits for the rest.
kill_during_run() {
    local pid deadline=$((SECONDS + 3))
    exec 3<>"$work/fifo"
    # Without the test's own end of the FIFO: its only writer is this shell.
    "$tool" "$work/fifo" "$1" '*ins' 10 >"$work/log" 2>&1 </dev/null 3>&- &
    pid=$!
    head -c 30000 "$work/big_input" >&3
    # Until it has its output open, whatever its name, or for 3 seconds.
    until readlink /proc/"$pid"/fd/* 2>/dev/null | grep -qF -- "$PWD/" || [ $SECONDS -ge "$deadline" ]; do
        sleep 0.1
    done
    sleep 0.2
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    exec 3>&-
}

case_killed() {
    kill_during_run new
    [ -e new ] && problem "a new output has its name after a kill ($(wc -c <new) bytes)"
    cp "$work/old_output" existing
    kill_during_run existing
    holds existing "$work/old_output" "its old bytes after a kill"
    local left others
    left=$(find . -mindepth 1 -maxdepth 1 -name '.zeilfuge-*' -printf '%f ')
    others=$(find . -mindepth 1 -maxdepth 1 ! -name '.zeilfuge-*' ! -name existing ! -name new -printf '%f ')
    [ -z "$others" ] || problem "left after a kill: $others"
    if [ -n "$left" ]; then note "left: $left"; else note "no .zeilfuge-* file left"; fi
}

# fill FOLDER: the file system of FOLDER left without a free byte.
fill() {
    local free
    free=$(df -B1 --output=avail "$1" | tail -n 1)
    [ "$free" -gt 65536 ] && fallocate -l $((free - 65536)) "$1/filler" 2>/dev/null
    dd if=/dev/zero of="$1/filler.rest" bs=64k 2>/dev/null
    dd if=/dev/zero of="$1/filler.last" bs=512 2>/dev/null
    sync -f "$1" 2>/dev/null
}

case_full_disk() {
    cp "$work/old_output" out
    local where=${second:-$view}/$folder
    fill "$where"
    local free
    free=$(df -B1 --output=avail "$where" | tail -n 1)
    if [ "$free" -ge "$(wc -c <"$work/big_input")" ]; then
        skip_case "could not fill the file system ($free bytes free)"
    else
        zeilfuge "$work/big_input" out '*ins' 10
        expect_rc 97
        holds out "$work/old_output" "its old bytes"
        expect_no_temporary .
    fi
    rm -f "$where"/filler*
}

# A folder the user may not write, with an output the user may: no new file can be made
# beside it, so the output is emptied and written in place, but only where the file system's
# identities can be trusted to tell it from the input; elsewhere the run is refused and the
# output left as it was.
case_locked_folder() {
    cp "$work/input" in
    cp "$work/old_output" out
    chmod 0644 in
    chmod 0666 out
    chmod 0755 .
    local as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    if ! "${as_nobody[@]}" sh -c 'test -r in && test -w out && ! test -w .' 2>/dev/null; then
        skip_case "the user nobody can't read, write or be kept out here"
        return
    fi
    timeout -s KILL 20 "${as_nobody[@]}" "$tool" in out '*ins' 10 >"$work/log" 2>&1 </dev/null
    rc=$?
    case $name in
        ext4 | xfs | btrfs | tmpfs)
            expect_rc 0
            holds out "$work/conversion" "the conversion" ;;
        *)
            expect_rc 97
            holds out "$work/old_output" "its old bytes" ;;
    esac
}

cases=(1:new:case_new 2:existing:case_existing 3:in_place:case_in_place
    4:hard_link:case_hard_link 5:letter_case:case_letter_case 6:two_views:case_two_views
    7:killed:case_killed 8:full_disk:case_full_disk 9:locked_folder:case_locked_folder)

# --- the file systems -------------------------------------------------------------------------
# Each mount_FS makes and mounts one under $work/FS, and sets $view (the folder the cases run
# in), $second (another view of the same folder, or nothing), $links_on_server (hard links
# are made through $second) and $output_in_lower (the overlay's existing output is in its lower
# layer). On failure it prints why.

# mount_at TARGET MOUNT-ARG...: mounts and remembers it for the clean-up.
mount_at() {
    local target=$1
    shift
    mkdir -p "$target"
    # Into a file, not a pipe: a FUSE daemon may keep its inherited output open.
    if "$@" "$target" >"$work/mount.out" 2>&1 && mountpoint -q "$target"; then
        mounted+=("$target")
    else
        echo "$1: $(head -n 2 "$work/mount.out" | tr '\n' ' ')"
        return 1
    fi
}

# loop_image FS SIZE MKFS...: an image made by MKFS and mounted through a loop device.
loop_image() {
    local fs=$1 size=$2
    shift 2
    truncate -s "$size" "$work/$fs/image"
    "$@" "$work/$fs/image" >/dev/null 2>&1 || { echo "$1 failed"; return 1; }
    mount_at "$work/$fs/mnt" mount -o loop "$work/$fs/image" || return 1
    view=$work/$fs/mnt
}

small_tmpfs() { mount_at "$1" mount -t tmpfs -o size=16m,mode=755 "zeilfuge-${1##*/}"; }

mount_ext4() { loop_image ext4 32M mkfs.ext4 -q -F; }
mount_xfs() { loop_image xfs 300M mkfs.xfs -q -f; }
mount_btrfs() { loop_image btrfs 128M mkfs.btrfs -q -f; }
mount_tmpfs() { small_tmpfs "$work/tmpfs/mnt" && view=$work/tmpfs/mnt; }

# The upper layer on a small tmpfs; the lower layer holds an existing output larger than the
# upper layer's free space, so that opening it for writing, which copies it up whole, fails.
mount_overlay() {
    local lower=$work/overlay/lower layers=$work/overlay/layers
    mkdir -p "$lower/c2"
    head -c 20M /dev/zero | tr '\0' o >"$lower/c2/out"
    chmod 0640 "$lower/c2/out"
    small_tmpfs "$layers" || return 1
    mkdir -p "$layers/upper" "$layers/work"
    mount_at "$work/overlay/merged" mount -t overlay overlay \
        -o "lowerdir=$lower,upperdir=$layers/upper,workdir=$layers/work" || return 1
    view=$work/overlay/merged
    second=$layers/upper
    output_in_lower=yes
}

mount_ntfs() {
    command -v mkfs.ntfs >/dev/null || { echo "no mkfs.ntfs (ntfs-3g)"; return 1; }
    truncate -s 16M "$work/ntfs/image"
    mkfs.ntfs -f -Q -F "$work/ntfs/image" >/dev/null 2>&1 || { echo "mkfs.ntfs failed"; return 1; }
    mount_at "$work/ntfs/mnt" mount -t ntfs-3g "$work/ntfs/image" || return 1
    view=$work/ntfs/mnt
}

mount_exfat() {
    if ! command -v mkfs.exfat >/dev/null || ! command -v mount.exfat-fuse >/dev/null; then
        echo "no mkfs.exfat (exfatprogs) or mount.exfat-fuse (exfat-fuse)"
        return 1
    fi
    truncate -s 16M "$work/exfat/image"
    mkfs.exfat "$work/exfat/image" >/dev/null 2>&1 || { echo "mkfs.exfat failed"; return 1; }
    # exfat-fuse mounts block devices only.
    local device
    device=$(losetup --find --show "$work/exfat/image") || return 1
    loops+=("$device")
    mount_at "$work/exfat/mnt" mount.exfat-fuse "$device" || return 1
    view=$work/exfat/mnt
}

mount_bindfs() {
    command -v bindfs >/dev/null || { echo "no bindfs"; return 1; }
    small_tmpfs "$work/bindfs/backing" || return 1
    mount_at "$work/bindfs/view" bindfs "$work/bindfs/backing" || return 1
    view=$work/bindfs/view
    second=$work/bindfs/backing
}

# An sshd of this test's own: its own configuration, host key and client key, on 127.0.0.1
# only, at a free port.
start_sshd() {
    local ssh=$work/sshfs/ssh port
    mkdir -p "$ssh"
    ssh-keygen -q -t ed25519 -N '' -f "$ssh/host_key" || return 1
    ssh-keygen -q -t ed25519 -N '' -f "$ssh/client_key" || return 1
    cp "$ssh/client_key.pub" "$ssh/authorized_keys"
    # sshd insists on its privilege separation folder: in this mount namespace only.
    if [ ! -d /run/sshd ]; then
        mount_at /run mount -t tmpfs -o size=1m,mode=755 zeilfuge-run >/dev/null || return 1
        mkdir -m 755 /run/sshd
    fi
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        cat >"$ssh/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $ssh/host_key
PidFile $ssh/sshd.pid
AuthorizedKeysFile $ssh/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
        /usr/sbin/sshd -D -e -f "$ssh/sshd_config" 2>"$ssh/log" &
        sshd_pid=$!
        local deadline=$((SECONDS + 5))
        while kill -0 "$sshd_pid" 2>/dev/null && [ $SECONDS -lt "$deadline" ]; do
            grep -q 'Server listening' "$ssh/log" && { sshd_port=$port; return 0; }
            sleep 0.1
        done
        kill "$sshd_pid" 2>/dev/null
        wait "$sshd_pid" 2>/dev/null
        sshd_pid=""
    done
    echo "sshd did not start: $(tail -n 1 "$ssh/log")"
    return 1
}

mount_sshfs() {
    if ! command -v sshfs >/dev/null || [ ! -x /usr/sbin/sshd ]; then
        echo "no sshfs or no sshd (openssh-server)"
        return 1
    fi
    start_sshd || return 1
    small_tmpfs "$work/sshfs/server" || return 1
    local ssh=$work/sshfs/ssh
    # No caches: what the server's folder holds is seen at once.
    mount_at "$work/sshfs/mnt" sshfs "root@127.0.0.1:$work/sshfs/server" \
        -o "port=$sshd_port,IdentityFile=$ssh/client_key,StrictHostKeyChecking=no" \
        -o "UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR" \
        -o dir_cache=no,entry_timeout=0,attr_timeout=0,negative_timeout=0 || return 1
    view=$work/sshfs/mnt
    second=$work/sshfs/server
    links_on_server=yes
}

# The name shown, and the function that mounts it.
filesystems=(ext4:mount_ext4 xfs:mount_xfs btrfs:mount_btrfs tmpfs:mount_tmpfs
    overlay:mount_overlay ntfs-3g:mount_ntfs exfat-fuse:mount_exfat bindfs:mount_bindfs
    sshfs:mount_sshfs)

for filesystem in "${filesystems[@]}"; do
    IFS=: read -r name mount_function <<<"$filesystem"
    view="" second="" links_on_server=no output_in_lower=no
    mkdir -p "$work/${mount_function#mount_}"
    if ! "$mount_function" >"$work/mount.log" 2>&1 || [ -z "$view" ]; then
        echo "skip  $name: can't be mounted here: $(head -c 200 "$work/mount.log" | tr '\n' ' ')"
        skipped=$((skipped + ${#cases[@]}))
        continue
    fi
    for entry in "${cases[@]}"; do
        IFS=: read -r number case_name function <<<"$entry"
        run_case "$name" "$number" "$case_name" "$function"
    done
done

echo "$skipped skipped"
finish filesystems
