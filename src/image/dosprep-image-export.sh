# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with dosprep-image
# dosprep-image: who else uses the image, and the disk through QEMU's block
# layer: qemu-img names the format and checks the file; qemu-storage-daemon
# exports the disk as a raw file through FUSE. What is ours is which images
# are safe to write.

# Formats that QEMU 7.2 reads and writes in place.
readonly writable_formats=" raw vpc vdi qcow2 vmdk vhdx qed qcow parallels "

format=raw     # QEMU's name of the image's format
through_qemu=0 # 1: the disk is reached through an export
size_note=''   # why the disk ends before the image says, for messages
format_note='' # why no disk is found in an image: no qemu-img
daemon_pid='' daemon_mount='' lock_fd='' copy_lock_fd=''

# --- one run at a time, and nobody else's image -------------------------------

# Field N of process PID's stat after its name (0: state, 1: parent);
# false when it is gone.
proc_field() {
    local stat fields
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    read -r -a fields <<<"${stat##*) }"
    printf '%s' "${fields[$2]}"
}

# The dosprep-image run that process PID is or belongs to (a subshell or a
# command it started), by the process at the top of that run: bash with the
# script as its first argument, or the script itself. Nothing when none.
run_of() {
    local pid=$1 run='' argv
    while [ "$pid" -gt 1 ]; do
        mapfile -d '' -t argv 2>/dev/null <"/proc/$pid/cmdline" || argv=()
        if [[ /${argv[0]:-} == */"$program" || /${argv[1]:-} == */"$program" ]]; then
            run=$pid
        elif [ -n "$run" ]; then
            break
        fi
        pid=$(proc_field "$pid" 1) || break
    done
    printf '%s' "$run"
}

# Every process that has the image open, "PID FD" each, as fuser finds them.
image_fds() {
    find -L /proc/[0-9]*/fd -maxdepth 1 -samefile "$image" 2>/dev/null |
        sed -n 's|^/proc/\([0-9]*\)/fd/\([0-9]*\)$|\1 \2|p'
}

# The topmost process that holds a lock of KIND (FLOCK, OFDLCK) on the
# image, as /proc/PID/fdinfo shows it (a process that it started shares the
# lock), or nothing when none is visible.
lock_holder() {
    local pid fd parent
    local -A holders=()
    while read -r pid fd; do
        ! grep -qE "^lock:.*: +$1 " -- "/proc/$pid/fdinfo/$fd" 2>/dev/null || holders[$pid]=1
    done < <(image_fds)
    for pid in "${!holders[@]}"; do
        parent=$(proc_field "$pid" 1) || continue # gone
        [ -n "${holders[$parent]:-}" ] || { printf '%s' "$pid" && return 0; }
    done
}

# "process N (NAME)", or "another program" when PID is empty.
process_name() {
    [ -n "$1" ] || { printf 'another program' && return 0; }
    printf 'process %s (%s)' "$1" "$(cat "/proc/$1/comm" 2>/dev/null || echo gone)"
}

# One run per image: an exclusive flock on the image file to the end of the
# run, as DOSBox-X takes on its images. A run locks its copy before renaming
# it over the image; a path that no longer names the file once it is locked
# names such a copy, which is locked instead.
lock_image() {
    local tries holder run
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        exec {lock_fd}<"$image" || fail "cannot be opened"
        if flock -n -x "$lock_fd"; then
            [ ! "/dev/fd/$lock_fd" -ef "$image" ] || return 0
        else
            holder=$(lock_holder FLOCK)
            run=$(run_of "${holder:-0}")
            [ -z "$run" ] || fail "is in use by another $program (process $run)"
            # A holder that is no longer found has just let go.
            [[ -z $holder && $tries -lt 10 ]] ||
                fail "is in use by $(process_name "$holder"), which holds a lock on it (flock); close it first"
        fi
        exec {lock_fd}<&-
    done
    fail "is replaced again and again by another program"
}

# In use: another run's flock; another program's record lock (fcntl, as
# QEMU takes, in /proc/locks by device and inode); a loop device on it;
# Bochs' IMAGE.lock beside it; a device mounted or built on it; and any
# other process that has it open, as emulators do not all lock their disks.
check_not_in_use() {
    local major minor inode pid fd file path
    lock_image
    read -r major minor inode < <(stat -L -c '%Hd %Ld %i' -- "$image")
    pid=$(awk -v id="$(printf '%02x:%02x:%s' "$major" "$minor" "$inode")" \
        '$2 != "->" && ($2 == "POSIX" || $2 == "OFDLCK") && $6 == id { print $5; exit }' /proc/locks)
    if [ -n "$pid" ]; then
        [ "$pid" -gt 0 ] && [ -e "/proc/$pid" ] || pid=$(lock_holder OFDLCK)
        fail "is in use by $(process_name "$pid"), which holds a record lock on it, as QEMU does; close it first"
    fi
    for file in /sys/block/loop*/loop/backing_file; do
        read -r path 2>/dev/null <"$file" || continue
        [ "${path% (deleted)}" -ef "$image" ] || continue
        path=${file#/sys/block/}
        fail "is in use: it backs the loop device /dev/${path%%/*}; detach it first (losetup -d /dev/${path%%/*})"
    done
    for file in "$image_arg.lock" "$image.lock"; do
        [ ! -e "$file" ] ||
            fail "is in use by Bochs: $file stands beside it; close Bochs first, or delete that file if no Bochs runs"
    done
    [ ! -b "$image" ] || check_device_not_in_use
    # Runs are left out: this one (its locked file shows the flock), and
    # others, which the lock refuses before they read anything.
    while read -r pid fd; do
        ! grep -qE '^lock:.*: +FLOCK ' -- "/proc/$pid/fdinfo/$fd" 2>/dev/null || continue
        [ -n "$(run_of "$pid")" ] || [ ! -e "/proc/$pid" ] || fail "is in use by $(process_name "$pid"); close it first"
    done < <(image_fds)
}

check_device_not_in_use() {
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

# --- the image file -----------------------------------------------------------

# The first message of a QEMU tool in FILE, without the names it starts with.
qemu_message() {
    sed -n -e '1{s/^qemu-[a-z-]*: //' -e "s/^--[a-z]* [^ ]*: //; s/^Could not open '.*': //; s/^ERROR:* //; p}" \
        -- "$1"
}

# The field of qemu-img's info on the image that jq's PATH names, or nothing.
info_field() {
    jq -r "$1 // empty" <<<"$image_info" 2>/dev/null || true
}

# The VHD footer at byte OFFSET of the image, "TYPE/SIZE/CREATOR"; false
# when there is none.
vhd_footer() {
    local at=$1
    dd if="$image" iflag=skip_bytes,count_bytes skip="$at" count=8 status=none | cmp -s - <(printf conectix) || return 1
    printf '%d/%d/%s\n' "$(od -A n -t u4 --endian=big -j $((at + 60)) -N 4 -- "$image")" \
        "$(od -A n -t u8 --endian=big -j $((at + 48)) -N 8 -- "$image")" \
        "$(dd if="$image" iflag=skip_bytes,count_bytes skip=$((at + 28)) count=4 status=none | tr -c '[:print:]' ' ')"
}

# qemu-img names a fixed VHD raw: a raw disk and a footer the guest does not see.
check_fixed_vhd() {
    local footer
    [ "$image_size" -ge 1024 ] && footer=$(vhd_footer $((image_size - 512))) || return 0
    [ "${footer%%/*}" -eq 2 ] ||
        fail "is a damaged VHD: its footer is that of a dynamic or differencing disk, but it does not start as one"
    image_size=$((image_size - 512))
}

# QEMU 7.2 reads a differencing VHD without its parent, and sizes a VHD by
# its CHS geometry unless it trusts its creator: the disk can then end
# before the volume does.
check_dynamic_vhd() {
    local footer type size creator
    footer=$(vhd_footer 0) || fail "internal error: QEMU named a VHD that has no footer"
    IFS=/ read -r type size creator <<<"$footer"
    [ "$type" -ne 4 ] ||
        fail "is a differencing VHD, a child of another disk, which QEMU 7.2 would read without its parent; merge it into its parent first"
    [ "$virtual_size" -ge "$size" ] ||
        size_note=" as QEMU 7.2 sizes this VHD: by its CHS geometry, $virtual_size bytes, not the $size of its footer (creator '$creator')"
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

# Sets `format`, `through_qemu` and `image_size`, the disk's size as the
# guest sees it. mtools writes raw disks and fixed VHDs directly, QEMU the
# rest. Without qemu-img an image is taken to be raw.
identify_format() {
    [ ! -b "$image" ] || return 0 # a device holds a raw disk
    if ! command -v qemu-img >/dev/null; then
        format_note=" (nor one of another format: qemu-img is not installed, Debian's qemu-utils)"
        check_fixed_vhd
        return 0
    fi
    command -v jq >/dev/null || fail "jq is not installed; it reads what qemu-img says of the image"
    local errors=$scratch/qemu-img.err status=0 name missing
    if ! image_info=$(qemu-img info --output=json -- "$image" 2>"$errors"); then
        [[ $(qemu_message "$errors") != *'VDI image (non-NULL '*' UUID)'* ]] ||
            fail "is a VirtualBox snapshot (a differencing VDI), which QEMU cannot open; merge it into one disk first (VBoxManage clonemedium)"
        fail "cannot be opened as a disk image: $(qemu_message "$errors")"
    fi
    format=$(info_field .format)
    virtual_size=$(info_field '."virtual-size"')
    [[ -n $format && $virtual_size =~ ^[0-9]+$ ]] || fail "internal error: qemu-img info gave no format and size"
    [[ $writable_formats == *" $format "* ]] || fail "is a $format image, which QEMU 7.2 does not write in place"
    case $format in
    raw) check_fixed_vhd; return 0 ;;
    vpc) check_dynamic_vhd ;;
    vmdk)
        name=$(info_field '."format-specific".data."create-type"')
        [ "$name" != streamOptimized ] ||
            fail "is a streamOptimized VMDK, whose compressed data QEMU cannot rewrite in place"
        [ "$name" = monolithicSparse ] ||
            fail "is a VMDK of type ${name:-unknown}, which keeps its data in other files; only single-file (monolithicSparse) VMDKs are prepared"
        [ "$(od -A n -t u4 --endian=little -j 4 -N 4 -- "$image" | tr -d ' ')" != 3 ] ||
            fail "is a version-3 VMDK, which QEMU 7.2 opens only read-only"
        ;;
    qcow2)
        name=$(info_field '."format-specific".data."data-file"')
        [ -z "$name" ] || fail "keeps its data in the external file $name; only self-contained qcow2 images are prepared"
        ;;
    esac
    missing=$(fuse_missing)
    case $format in vpc) name=VHD ;; parallels) name=Parallels ;; qcow*) name=$format ;; *) name=${format^^} ;; esac
    [ -z "$missing" ] ||
        fail "is a $name image, which is reached through a FUSE export, but $missing; to prepare it anyway, convert it first: qemu-img convert -O raw $image_arg disk.img"
    # A write into damaged metadata spreads the damage; leaks are harmless.
    qemu-img check -f "$format" --output=json -- "$image" >/dev/null 2>"$errors" || status=$?
    case $status in
    0 | 3 | 63) ;; # clean, leaks only, no check for the format
    2) fail "the image file is damaged ($(qemu_message "$errors")); nothing written: repair it with qemu-img check -r all" ;;
    *) fail "cannot check the image file: $(qemu_message "$errors")" ;;
    esac
    through_qemu=1
    image_size=$virtual_size
}

# --- exports ------------------------------------------------------------------

# start_export NAME FILE WRITABLE [SLICE]: the disk in FILE, or only the
# bytes SLICE (",offset=N,size=N") gives, as the FUSE file $scratch/NAME,
# writable when WRITABLE is on (an overlay's backing file stays read-only).
# False when it did not start; its messages are in $scratch/daemon.err. In
# QEMU's key=value options, a comma in a value is doubled.
start_export() {
    local mount=$scratch/$1 file=$2 writable=$3 read_only=on protocol=file pidfile=$scratch/daemon.pid tries=0
    [ "$writable" = off ] || read_only=off
    [ ! -b "$file" ] || protocol=host_device
    : >"$mount"
    rm -f -- "$pidfile"
    daemon_mount=$mount
    # In a session of its own, out of reach of a terminal's Ctrl-C.
    setsid qemu-storage-daemon --pidfile "$pidfile" \
        --blockdev "driver=$protocol,node-name=file,filename=${file//,/,,},read-only=$read_only" \
        --blockdev "driver=$format,node-name=disk,file=file,read-only=$read_only" \
        --blockdev "driver=raw,node-name=export,file=disk${4:-},read-only=$read_only" \
        --export "type=fuse,id=export,node-name=export,mountpoint=${mount//,/,,},writable=$writable,allow-other=off" \
        </dev/null >/dev/null 2>"$scratch/daemon.err" &
    daemon_pid=$!
    # The pid file is written once the export is there; a zombie has ended.
    while [ ! -s "$pidfile" ]; do
        if [ "$(proc_field "$daemon_pid" 0)" = Z ] || [ ! -e "/proc/$daemon_pid" ]; then
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

# Stops the daemon, which flushes the image and unmounts; false when it failed.
stop_export() {
    [ -n "$daemon_pid" ] || return 0
    local status=0
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" || status=$?
    daemon_pid=
    # A daemon that died leaves its mount behind.
    if findmnt -n --mountpoint "$daemon_mount" >/dev/null 2>&1; then
        fusermount3 -u -z -- "$daemon_mount" 2>/dev/null || umount -l -- "$daemon_mount" 2>/dev/null || true
        status=1
    fi
    return "$status"
}
