# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with dosprep-image
# dosprep-image: the disk image through QEMU's block layer. qemu-img names
# the format and checks the image file; qemu-storage-daemon exports the
# disk, or the slice of it that is the volume, as raw bytes through FUSE,
# for mtools and fsck.fat. No disk format is known here: QEMU reads and
# writes them all. What is ours is which images are safe to write.
# Sourced by dosprep-image, whose globals it shares: `image`, `image_size`,
# `offset` and `volume_bytes` of the volume, `scratch`, and `fail`.

# Formats that QEMU 7.2 reads and writes in place.
readonly writable_formats=" raw vpc vdi qcow2 vmdk vhdx qed qcow parallels "

format=raw       # QEMU's name of the image's format
through_qemu=0   # 1: the disk is reached through an export
size_note=       # why the disk ends before the image says, for messages
format_note=     # for an image in which no disk is found: no qemu-img
daemon_pid=
daemon_mount=

# --- one run at a time, and nobody else's image -------------------------------

lock_fd=      # the image as opened for the lock, held to the end of the run
copy_lock_fd= # the copy, locked before it is renamed over the image

# The parent of process PID; false when it is gone.
parent_of() {
    local stat ppid
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    read -r _ ppid _ <<<"${stat##*) }"
    printf '%s' "$ppid"
}

# Whether process PID runs dosprep-image (bash with the script as its
# first argument, or the script itself).
runs_dosprep_image() {
    local -a argv
    mapfile -d '' -t argv 2>/dev/null <"/proc/$1/cmdline" || return 1
    [ "${argv[0]:-}" = "$program" ] || [[ ${argv[0]:-} == */"$program" ]] || [ "${argv[1]:-}" = "$program" ] || [[ ${argv[1]:-} == */"$program" ]]
}

# The dosprep-image run that process PID is or belongs to (a subshell or a
# command it started), by the process at the top of that run; nothing when
# it belongs to none.
run_of() {
    local pid=$1 run=
    while [ "$pid" -gt 1 ]; do
        if runs_dosprep_image "$pid"; then
            run=$pid
        elif [ -n "$run" ]; then
            break
        fi
        pid=$(parent_of "$pid") || break
    done
    printf '%s' "$run"
}

# Every process that has the image open, "PID FD" each, found as fuser
# finds them.
image_fds() {
    find -L /proc/[0-9]*/fd -maxdepth 1 -samefile "$image" 2>/dev/null |
        sed -n 's|^/proc/\([0-9]*\)/fd/\([0-9]*\)$|\1 \2|p'
}

# Whether process PID runs dosprep-image or was started by one; also when
# it ends while this is found out.
of_a_run() {
    local pid=$1
    while [ "$pid" -gt 1 ]; do
        ! runs_dosprep_image "$pid" || return 0
        [ -e "/proc/$pid" ] || return 0
        pid=$(parent_of "$pid") || return 0
    done
    return 1
}

# The processes that have the image open but for dosprep-image runs: this
# one (its locked file, which the commands it starts share, shows the
# flock), and others, which the lock refuses before they read anything.
openers() {
    local pid fd
    while read -r pid fd; do
        ! grep -qE '^lock:.*: +FLOCK ' -- "/proc/$pid/fdinfo/$fd" 2>/dev/null || continue
        of_a_run "$pid" || printf '%s %s\n' "$pid" "$fd"
    done < <(image_fds)
}

# The topmost process that holds a lock of KIND (FLOCK, POSIX, OFDLCK) on
# the image, as /proc/PID/fdinfo shows it (a process that it started
# shares the lock), or nothing when none is visible.
lock_holder() {
    local kind=$1 pid fd parent
    local -A holders=()
    while read -r pid fd; do
        if grep -qE "^lock:.*: +$kind " -- "/proc/$pid/fdinfo/$fd" 2>/dev/null; then
            holders[$pid]=1
        fi
    done < <(image_fds)
    for pid in "${!holders[@]}"; do
        parent=$(parent_of "$pid") || continue # gone
        if [ -z "${holders[$parent]:-}" ]; then
            printf '%s' "$pid"
            return 0
        fi
    done
}

# "process N (NAME)", or "another program" when PID is empty.
process_name() {
    if [ -z "$1" ]; then
        printf 'another program'
    else
        printf 'process %s (%s)' "$1" "$(cat "/proc/$1/comm" 2>/dev/null || echo gone)"
    fi
}

# One run per image: an exclusive flock on the image file, held to the end
# of the run, as DOSBox-X takes one on the images it mounts. The lock is on
# the file that was opened; if the path no longer names it once it is
# locked, a run that renamed a new image over it has just ended, and the
# new one is locked instead. A run that renames its copy over the image
# locks the copy first (lock_copy), so the path stays locked to the end.
lock_image() {
    local tries run holder
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        exec {lock_fd}<"$image" || fail "cannot be opened"
        if flock -n -x "$lock_fd"; then
            [ ! "/dev/fd/$lock_fd" -ef "$image" ] || return 0
        else
            holder=$(lock_holder FLOCK)
            run=
            [ -z "$holder" ] || run=$(run_of "$holder")
            [ -z "$run" ] || fail "is in use by another $program (process $run)"
            # A holder that is no longer found has just let go.
            if [ -n "$holder" ] || [ "$tries" -eq 10 ]; then
                fail "is in use by $(process_name "$holder"), which holds a lock on it (flock); close it first"
            fi
        fi
        exec {lock_fd}<&-
    done
    fail "is replaced again and again by another program"
}

lock_copy() {
    exec {copy_lock_fd}<"$copy"
    flock -n -x "$copy_lock_fd"
}

# A record lock of another program (fcntl, POSIX or open-file-description,
# as QEMU takes on bytes 100 and up and 200 and up of its images), as
# /proc/locks gives it: by the device and inode of the file.
check_no_record_lock() {
    local major minor inode pid holder
    read -r major minor inode < <(stat -L -c '%Hd %Ld %i' -- "$image")
    pid=$(awk -v id="$(printf '%02x:%02x:%s' "$major" "$minor" "$inode")" \
        '$2 != "->" && ($2 == "POSIX" || $2 == "OFDLCK") && $6 == id { print $5; exit }' /proc/locks)
    [ -n "$pid" ] || return 0
    if [ "$pid" -gt 0 ] && [ -e "/proc/$pid" ]; then
        holder=$pid
    else
        holder=$(lock_holder OFDLCK)
    fi
    fail "is in use by $(process_name "$holder"), which holds a record lock on it, as QEMU does; close it first"
}

# The kernel's loop devices, as losetup and mount -o loop make them, name
# their backing file in sysfs; one that backs a loop device is written
# through it, and would be renamed away under it.
check_no_loop_device() {
    local file path device
    for file in /sys/block/loop*/loop/backing_file; do
        read -r path 2>/dev/null <"$file" || continue
        path=${path% (deleted)}
        [ "$path" -ef "$image" ] || continue
        device=${file#/sys/block/}
        device=/dev/${device%%/*}
        fail "is in use: it backs the loop device $device; detach it first (losetup -d $device)"
    done
}

# Bochs marks an image it uses with IMAGE.lock beside it.
check_no_bochs_lock() {
    local file
    for file in "$image_arg.lock" "$image.lock"; do
        [ ! -e "$file" ] ||
            fail "is in use by Bochs: $file stands beside it; close Bochs first, or delete that file if no Bochs runs"
    done
}

# A block device is in use when it or one of its partitions is mounted, or
# has holders: a device built on it, such as device-mapper or md RAID.
check_device_not_in_use() {
    [ -b "$image" ] || return 0
    local name mountpoint sys holder part
    while read -r name mountpoint; do
        [ -z "$mountpoint" ] || fail "is in use: /dev/$name is mounted on $mountpoint; unmount it first"
    done < <(lsblk -n -r -o NAME,MOUNTPOINT -- "$image" 2>/dev/null)
    sys=/sys/dev/block/$(stat -L -c '%Hr:%Lr' -- "$image")
    for holder in "$sys"/holders/* "$sys"/*/holders/*; do
        part=${holder%/holders/*}
        fail "is in use: ${holder##*/} is built on /dev/${part##*/}; remove it first (dmsetup, mdadm --stop)"
    done
}

# Emulators do not all lock their disks: writing under a running one
# corrupts the disk as soon as it writes its cache back. Any process that
# has the image open is named.
check_not_open() {
    local pid fd
    read -r pid fd < <(openers) || return 0
    fail "is in use by $(process_name "$pid"); close it first"
}

check_not_in_use() {
    lock_image
    check_no_record_lock
    check_no_loop_device
    check_no_bochs_lock
    check_device_not_in_use
    check_not_open
}

# --- the image file -----------------------------------------------------------

# The first message of a QEMU tool in FILE, without the tool's name and
# the option or file it names.
qemu_message() {
    sed -n -e '1{s/^qemu-[a-z-]*: //' -e "s/^--[a-z]* [^ ]*: //; s/^Could not open '.*': //; s/^ERROR:* //; p}" \
        -- "$1"
}

# qemu-img info --output=json, as `image_info`; sets `format` and
# `virtual_size`, the size of the disk as the guest sees it.
read_image_info() {
    local errors=$scratch/qemu-img-info.err
    if ! image_info=$(qemu-img info --output=json -- "$image" 2>"$errors"); then
        case $(qemu_message "$errors") in
        *'VDI image (non-NULL link UUID)'* | *'VDI image (non-NULL parent UUID)'*)
            fail "is a VirtualBox snapshot (a differencing VDI), which QEMU cannot open; merge it into one disk first (VBoxManage clonemedium)" ;;
        esac
        fail "cannot be opened as a disk image: $(qemu_message "$errors")"
    fi
    format=$(info_field .format)
    virtual_size=$(info_field '."virtual-size"')
    if [ -z "$format" ] || [[ ! $virtual_size =~ ^[0-9]+$ ]]; then
        fail "internal error: qemu-img info gave no format and size"
    fi
}

# The field of the image's info that jq's PATH names, or nothing.
info_field() {
    jq -r "$1 // empty" <<<"$image_info" 2>/dev/null || true
}

# Sets vhd_type, vhd_size and vhd_creator from the VHD footer at byte
# OFFSET; false when there is none.
read_vhd_footer() {
    local -a byte
    read -r -d '' -a byte < <(dd if="$image" iflag=skip_bytes skip="$1" bs=512 count=1 status=none |
        od -A n -t u1 -v) || true # ends at the end
    [ ${#byte[@]} -eq 512 ] && [ "${byte[*]:0:8}" = '99 111 110 101 99 116 105 120' ] || return 1 # conectix
    vhd_type=$((byte[60] << 24 | byte[61] << 16 | byte[62] << 8 | byte[63]))
    vhd_size=0
    local i
    for i in 48 49 50 51 52 53 54 55; do
        vhd_size=$((vhd_size << 8 | byte[i]))
    done
    vhd_creator=$(printf '%b' "$(printf '\\%03o' "${byte[@]:28:4}")" | tr -c '[:print:]' ' ')
}

# qemu-img names a fixed VHD raw: it is a raw disk with a 512-byte footer
# that the guest does not see.
check_fixed_vhd() {
    [ "$image_size" -ge 1024 ] && read_vhd_footer $((image_size - 512)) || return 0
    [ "$vhd_type" -eq 2 ] ||
        fail "is a damaged VHD: its footer is that of a dynamic or differencing disk, but it does not start as one"
    image_size=$((image_size - 512))
}

# QEMU 7.2 opens a differencing VHD as if it stood alone: blocks that live
# in its parent read as zeros, and writes corrupt it. It also sizes a VHD
# by its CHS geometry unless its creator is one that QEMU trusts for the
# size; the disk can then end before the last sectors of the volume.
check_dynamic_vhd() {
    read_vhd_footer 0 || fail "internal error: QEMU named a VHD that has no footer"
    [ "$vhd_type" -ne 4 ] ||
        fail "is a differencing VHD, a child of another disk, which QEMU 7.2 would read without its parent; merge it into its parent first"
    if [ "$virtual_size" -lt "$vhd_size" ]; then
        size_note=" as QEMU 7.2 sizes this VHD: by its CHS geometry, $virtual_size bytes, not the $vhd_size of its footer (creator '$vhd_creator')"
    fi
}

check_vmdk() {
    local type vmdk_version
    type=$(info_field '."format-specific".data."create-type"')
    case $type in
    monolithicSparse) ;;
    streamOptimized) fail "is a streamOptimized VMDK, whose compressed data QEMU cannot rewrite in place" ;;
    *) fail "is a VMDK of type ${type:-unknown}, which keeps its data in other files; only single-file (monolithicSparse) VMDKs are prepared" ;;
    esac
    # QEMU 7.2 opens a version-3 VMDK only read-only, which would fail only
    # at the first write.
    vmdk_version=$(od -A n -t u4 --endian=little -j 4 -N 4 -- "$image" | tr -d ' ')
    [ "$vmdk_version" != 3 ] || fail "is a version-3 VMDK, which QEMU 7.2 opens only read-only"
}

# Where the format has a check, the image file must pass it: a write into
# damaged metadata spreads the damage. Leaked clusters alone are harmless.
check_image_file() {
    local status=0 errors=$scratch/qemu-img-check.err
    qemu-img check -f "$format" --output=json -- "$image" >/dev/null 2>"$errors" || status=$?
    case $status in
    0 | 3 | 63) ;; # clean, leaks only, no check for the format
    2) fail "the image file is damaged ($(qemu_message "$errors")); nothing written: repair it with qemu-img check -r all" ;;
    *) fail "cannot check the image file: $(qemu_message "$errors")" ;;
    esac
}

# The format as its users name it.
format_name() {
    case $format in
    vpc) echo VHD ;;
    vdi | vmdk | vhdx | qed) echo "${format^^}" ;;
    parallels) echo Parallels ;;
    *) echo "$format" ;;
    esac
}

# What is missing for an export through FUSE, or nothing.
fuse_missing() {
    if ! command -v qemu-storage-daemon >/dev/null; then
        echo "qemu-storage-daemon is not installed (Debian's qemu-system-common)"
    elif [ ! -c /dev/fuse ]; then
        echo "there is no /dev/fuse"
    elif [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
        echo "/dev/fuse cannot be opened"
    elif ! command -v fusermount3 >/dev/null; then
        echo "fusermount3 is not installed (Debian's fuse3)"
    fi
}

# Sets `format`, `through_qemu` and `image_size`, the size of the disk as
# the guest sees it. Raw disks and fixed VHDs are written by mtools
# directly; every other format through QEMU. Without qemu-img, an image is
# taken to be raw, as a FAT or MBR probe of it then shows.
identify_format() {
    [ ! -b "$image" ] || return 0 # a device holds a raw disk
    if ! command -v qemu-img >/dev/null; then
        format_note=" (nor one of another format: qemu-img is not installed, Debian's qemu-utils)"
        check_fixed_vhd
        return 0
    fi
    command -v jq >/dev/null || fail "jq is not installed; it reads what qemu-img says of the image"
    read_image_info
    [[ $writable_formats == *" $format "* ]] ||
        fail "is a $format image, which QEMU 7.2 does not write in place"
    case $format in
    raw) check_fixed_vhd ;;
    vpc) check_dynamic_vhd ;;
    vmdk) check_vmdk ;;
    qcow2)
        local data_file
        data_file=$(info_field '."format-specific".data."data-file"')
        [ -z "$data_file" ] ||
            fail "keeps its data in the external file $data_file; only self-contained qcow2 images are prepared"
        ;;
    esac
    [ "$format" != raw ] || return 0
    local missing
    missing=$(fuse_missing)
    [ -z "$missing" ] ||
        fail "is a $(format_name) image, which is reached through a FUSE export, but $missing; to prepare it anyway, convert it first: qemu-img convert -O raw $image_arg disk.img"
    check_image_file
    through_qemu=1
    image_size=$virtual_size
}

# --- exports ------------------------------------------------------------------

# A value for QEMU's key=value options: commas are doubled.
qemu_value() {
    printf '%s' "${1//,/,,}"
}

# Sets `nodes` to the block nodes that give the disk in FILE as node
# "disk": the file, and QEMU's driver of the image's format over it.
# `read_only` is on or off. QEMU opens the backing file of an overlay
# itself, and always read-only.
disk_nodes() {
    local file=$1 read_only=$2 protocol=file
    [ ! -b "$file" ] || protocol=host_device
    nodes=(--blockdev "driver=$protocol,node-name=file,filename=$(qemu_value "$file"),read-only=$read_only"
        --blockdev "driver=$format,node-name=disk,file=file,read-only=$read_only")
}

# Whether process PID runs (a zombie does not).
is_running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# start_export NAME WRITABLE NODE...: qemu-storage-daemon with the block
# nodes given, exporting node "export" through FUSE as the file
# $scratch/NAME, writable when WRITABLE is on. False when it did not
# start; its messages are in $scratch/daemon.err.
start_export() {
    local mount=$scratch/$1 writable=$2 pidfile=$scratch/daemon.pid tries=0
    shift 2
    : >"$mount"
    rm -f -- "$pidfile"
    daemon_mount=$mount
    # In a process group of its own, so that a terminal's Ctrl-C reaches
    # only dosprep-image, which then stops it once its writes are done.
    set -m
    qemu-storage-daemon "$@" --pidfile "$pidfile" \
        --export "type=fuse,id=export,node-name=export,mountpoint=$(qemu_value "$mount"),writable=$writable,allow-other=off" \
        </dev/null >/dev/null 2>"$scratch/daemon.err" &
    daemon_pid=$!
    set +m
    # The pid file is written once the export is there.
    while [ ! -s "$pidfile" ]; do
        if ! is_running "$daemon_pid"; then
            wait "$daemon_pid" || true
            daemon_pid=
            return 1
        fi
        if [ $((tries += 1)) -gt 3000 ]; then
            stop_export || true
            echo "qemu-storage-daemon did not start within 30 s" >"$scratch/daemon.err"
            return 1
        fi
        sleep 0.01
    done
}

# Stops the daemon, which flushes the image, closes it and takes its FUSE
# mount away; false when it failed.
stop_export() {
    [ -n "$daemon_pid" ] || return 0
    local status=0
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" || status=$?
    # A signal that dosprep-image traps ends the wait early.
    while kill -0 "$daemon_pid" 2>/dev/null; do
        status=0
        wait "$daemon_pid" || status=$?
    done
    daemon_pid=
    # A daemon that died leaves its mount behind.
    if findmnt -n --mountpoint "$daemon_mount" >/dev/null 2>&1; then
        fusermount3 -u -z -- "$daemon_mount" 2>/dev/null || umount -l -- "$daemon_mount" 2>/dev/null || true
        status=1
    fi
    return "$status"
}

# The whole disk, read-only, as $scratch/image.
export_disk() {
    disk_nodes "$image" on
    start_export image off "${nodes[@]}" --blockdev "driver=raw,node-name=export,file=disk,read-only=on" ||
        fail "cannot read it through QEMU: $(qemu_message "$scratch/daemon.err")"
}

# export_volume NAME FILE WRITABLE: only the volume's bytes of the disk in
# FILE, as $scratch/NAME, so that nothing can be written outside them.
export_volume() {
    local read_only=on
    [ "$3" = off ] || read_only=off
    disk_nodes "$2" "$read_only"
    start_export "$1" "$3" "${nodes[@]}" \
        --blockdev "driver=raw,node-name=export,file=disk,offset=$offset,size=$volume_bytes,read-only=$read_only"
}
