#!/usr/bin/env bash
# dosprep-image end to end: each row of the table builds a disk image with
# mkfs.fat, sfdisk and mtools, runs the built dosprep-image on it, and
# checks its exit status and message, the bytes and attributes on the
# volume, that fsck.fat -n finds it clean, that nothing is left beside the
# image or in the temporary directory, and that a second run writes
# nothing. Disks of other formats are made with qemu-img convert from the
# same raw disks, and checked in the guest's view: converted back to raw.
# Arguments: the source directory, the build directory, and optionally an
# ERE that picks the rows to run by name.
set -euo pipefail
export LC_ALL=C
for command in mkfs.fat fsck.fat sfdisk mcopy; do
    command -v "$command" >/dev/null ||
        { echo "FAIL: $command not found; install mtools, dosfstools and fdisk" >&2; exit 1; }
done
source_dir=$1
# shellcheck source=tests/fat_volumes.sh
. "$(dirname -- "${BASH_SOURCE[0]}")/fat_volumes.sh"
tool=$(readlink -f -- "$2")/dosprep-image
only=${3:-}
work=$(mktemp -d)
trap 'chmod -R u+w -- "$work"; rm -rf -- "$work"' EXIT
failures=0
skipped=0

# Rows on disks of other formats need QEMU and FUSE; under CI they fail
# without them, elsewhere they are skipped, and said to be.
qemu_missing=
for command in qemu-img qemu-storage-daemon fusermount3; do
    command -v "$command" >/dev/null || qemu_missing+=" $command"
done
[ -c /dev/fuse ] || qemu_missing+=" /dev/fuse"

# path_without DIR PATTERN: a PATH in DIR of every command on PATH but
# those whose names match PATTERN, as on a machine without them.
path_without() {
    local dir command name
    local -a path_dirs commands
    mkdir -p -- "$1"
    IFS=: read -r -a path_dirs <<<"$PATH"
    for dir in "${path_dirs[@]}"; do
        commands=()
        for command in "$dir"/*; do
            name=${command##*/}
            # shellcheck disable=SC2053 # a pattern
            if [[ $name != $2 ]] && [ -x "$command" ] && [ ! -e "$1/$name" ]; then
                commands+=("$command")
                : >"$1/$name" # taken: the first on PATH wins
            fi
        done
        [ ${#commands[@]} -eq 0 ] || ln -sf -t "$1" -- "${commands[@]}"
    done
}
path_without "$work/nofuse" 'fusermount*'
path_without "$work/noqemuimg" qemu-img

# A PATH on which the first call of the command named in $work/pause_at
# pauses: mren once the first temporary file is on the volume, mattrib
# while the volume is read, sync of a directory once the copy is renamed
# over the image; the lock is held. It says "paused" on file descriptor 9,
# and goes on once a line comes through the FIFO $work/resume.
mkdir -p -- "$work/slow"
for command in mren mattrib sync; do
    # shellcheck disable=SC2016 # expanded by the wrapper
    printf '#!/bin/sh
if [ "$(cat "%s")" = %s ] && { [ %s != sync ] || [ -d "$2" ]; } && mkdir "%s" 2>/dev/null; then
    echo paused >&9
    read -r _ <"%s"
fi
exec %s "$@"
' \
        "$work/pause_at" "$command" "$command" "$work/paused.once" "$work/resume" "$(command -v "$command")" \
        >"$work/slow/$command"
    chmod +x -- "$work/slow/$command"
done

# Rows that attach a loop device or mount a small full TMPDIR need root;
# under CI they fail without it, elsewhere they are skipped.
root_missing=
if [ "$(id -u)" -ne 0 ] || ! losetup -f >/dev/null 2>&1; then
    root_missing=" root (losetup, mount)"
fi

# mtools as the tool sets it up, whatever the caller's settings.
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=0 MTOOLS_LOWER_CASE=0 MTOOLS_NO_VFAT=0

readonly golden=$source_dir/tests/golden
readonly blaster='SET  BLASTER=A220 I5  D1 T4\r\n'
readonly msdos_sys='[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDrv=C\r\n\r\n[Options]\r\nBootGUI=1\r\n'

# --- building images -----------------------------------------------------------

# A whole-disk FAT volume of `kib` KiB; `vol` is the mtools name of it.
new_volume() {
    local bits=$1 kib=$2
    image=$work/disk/disk.img
    mkfs.fat -C -F "$bits" "$image" "$kib" >/dev/null
    vol=$image
}

# An MBR disk of `mib` MiB with the partitions that sfdisk reads on stdin;
# FAT partitions are formatted by format_partition.
new_disk() {
    image=$work/disk/disk.img
    truncate -s "$1M" "$image"
    sfdisk -q "$image" >/dev/null
}

# format_partition N BITS START SIZE: a FAT volume in partition N, from
# sector START on for SIZE sectors; sets vol_N.
format_partition() {
    local n=$1 bits=$2 start=$3 size=$4
    # mkfs.fat notes that the disk goes on beyond the volume.
    mkfs.fat -F "$bits" -s 1 --offset "$start" "$image" $((size / 2)) >/dev/null 2>&1
    printf -v "vol_$n" '%s@@%s' "$image" $((start * 512))
}

build_fat16_sample() {
    new_volume 16 16384
    put_tree "$source_dir/examples/win98"
}

build_fat12_sample() {
    new_volume 12 2048
    put_tree "$source_dir/examples/win98"
}

# Partition 1 Linux, 2 FAT32 (active) with the Japanese sample, 3 FAT16
# with the English one.
build_partitioned() {
    new_disk 64 <<'EOF'
label: dos
start=2048, size=4096, type=83
start=6144, size=69632, type=c, bootable
start=75776, size=32768, type=6
EOF
    format_partition 2 32 6144 69632
    format_partition 3 16 75776 32768
    vol=$vol_2
    put_tree "$source_dir/examples/win98-jp"
    vol=$vol_3
    put_tree "$source_dir/examples/win98"
}

# No active partition: the first FAT one, partition 2, is the volume.
build_no_active() {
    new_disk 16 <<'EOF'
label: dos
start=2048, size=2048, type=83
start=4096, size=8192, type=4
start=12288, size=8192, type=4
EOF
    format_partition 2 16 4096 8192
    format_partition 3 16 12288 8192
    vol=$vol_3
    put_tree "$source_dir/examples/win98"
    vol=$vol_2
    put_tree "$source_dir/examples/win98"
}

# "Windows Zed" is stored as WINDOW~1 and "Windows Home" as WINDOW~2;
# from names alone, "Windows Home" would be WINDOW~1.
build_long_windir() {
    new_volume 16 16384
    mmd -i "$vol" "::/Windows Zed" "::/Windows Zed/SYSTEM" "::/Windows Home" "::/Windows Home/SYSTEM"
    [ "$(mshortname -i "$vol" "::/Windows Home")" = ::/WINDOW~2 ] || echo "setup: WINDOW~2 expected" >&2
    put MSDOS.SYS '[Paths]\r\nWinDir=C:\\WINDOW~2\r\n'
    mattrib -i "$vol" +r +h +s ::/MSDOS.SYS
    put AUTOEXEC.BAT '@ECHO OFF\r\n'
    put "Windows Home/WIN.INI" '[intl]\r\nsLanguage=enu\r\n'
}

build_long_windir_by_long_name() {
    build_long_windir
    put MSDOS.SYS '[Paths]\r\nWinDir=C:\\Windows Home\r\n'
}

build_no_windows() {
    new_volume 12 2048
    put AUTOEXEC.BAT '@ECHO OFF\r\n'
}

check_no_windows() {
    expect AUTOEXEC.BAT '@ECHO OFF\r\n'
    expect_missing WINDOWS
}

build_read_only_autoexec() {
    build_fat16_sample
    mattrib -i "$vol" +r ::/AUTOEXEC.BAT
}

build_hidden_and_system() {
    build_fat16_sample
    mattrib -i "$vol" +h ::/AUTOEXEC.BAT
    mattrib -i "$vol" +s ::/WINDOWS/DOSSTART.BAT
}

# A batch file of 256,000 bytes in 4000 lines, a whole number of
# clusters, so that one more line needs one more cluster.
put_cluster_sized() {
    awk 'BEGIN { for (i = 1; i <= 4000; i++) printf "REM %058d\r\n", i }' |
        mcopy -o -i "$vol" - "::/$1"
}

# Fills the volume up to `clusters` free clusters.
fill_volume() {
    local free cluster
    free=$(mdir -i "$vol" ::/ | sed -n 's/ *\([0-9 ]*\) bytes free/\1/p' | tr -d ' ')
    cluster=$(($(minfo -i "$vol" :: | sed -n 's/^cluster size: \([0-9]*\) sectors$/\1/p') * 512))
    head -c $((free - $1 * cluster)) /dev/zero | mcopy -i "$vol" - ::/FILLER.BIN
}

# A 1.44 MB floppy with 1,536 bytes free and an AUTOEXEC.BAT of 4.6 KB:
# room for the new DOSSTART.BAT, not for the new AUTOEXEC.BAT.
build_full_floppy() {
    new_volume 12 1440
    put_tree "$source_dir/examples/win98"
    {
        mtype -i "$vol" ::/AUTOEXEC.BAT
        awk 'BEGIN { for (i = 1; i <= 140; i++) printf "REM %026d\r\n", i }'
    } | head -c 4600 >"$work/autoexec"
    mcopy -o -i "$vol" "$work/autoexec" ::/AUTOEXEC.BAT
    fill_volume 3
}

check_full_floppy() {
    mtype -i "$vol" ::/AUTOEXEC.BAT | cmp -s - "$work/disk.before.autoexec" ||
        fail "AUTOEXEC.BAT is not what it was"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98/WINDOWS/DOSSTART.BAT"
    expect_missing AUTOEXEC.TMP
    expect_missing WINDOWS/DOSSTART.TMP
}

# No room for the new AUTOEXEC.BAT: rewritten over itself, it would be lost.
build_full() {
    new_volume 12 1024
    put_tree "$source_dir/examples/win98"
    put_cluster_sized AUTOEXEC.BAT
    fill_volume 0
}

# Room for the new AUTOEXEC.BAT, not for the new DOSSTART.BAT.
build_full_at_dosstart() {
    new_volume 12 1024
    put_tree "$source_dir/examples/win98"
    put_cluster_sized WINDOWS/DOSSTART.BAT
    fill_volume 1
}

check_full_at_dosstart() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    mtype -i "$vol" ::/WINDOWS/DOSSTART.BAT | cmp -s - "$work/disk.before.dosstart" ||
        fail "DOSSTART.BAT is not what it was"
    expect_missing WINDOWS/DOSSTART.TMP
}

build_dos6_msdos_sys() {
    build_fat16_sample
    mmd -i "$vol" ::/WIN98 ::/WIN98/SYSTEM
    put MSDOS.SYS "\\xeb\\x3c\\x90\\x00\\x00\\r\\n[Paths]\\r\\nWinDir=C:\\\\WIN98\\r\\n"
}

build_msdos_sys_windir() {
    build_fat16_sample
    mmd -i "$vol" ::/WIN98 ::/WIN98/SYSTEM
    put MSDOS.SYS "${msdos_sys//WINDOWS/WIN98}"
    mattrib -i "$vol" +r +h +s ::/MSDOS.SYS
}

build_other_drive() {
    build_fat16_sample
    put MSDOS.SYS '[Paths]\r\nWinDir=D:\\WINDOWS\r\n'
}

build_stale_temporary() {
    build_fat16_sample
    put AUTOEXEC.TMP 'left over\r\n'
    put WINDOWS/DOSSTART.TMP 'left over\r\n'
}

# Bochs marks the image it uses with a lock file beside it.
build_bochs_locked() {
    build_fat16_sample
    : >"$image.lock"
}

build_text_file() {
    image=$work/disk/notes.txt
    printf 'not a disk\n' >"$image"
}

build_missing() {
    image=$work/disk/missing.img
}

build_link_and_mode() {
    build_fat16_sample
    chmod 640 "$image"
    ln -s disk.img "$work/disk/link.img"
}

# AUTOEXEC.BAT with a long name: "Autoexec.bat" takes one, its case
# being more than the short name can hold.
build_long_name_batch_file() {
    build_fat16_sample
    mdel -i "$vol" ::/AUTOEXEC.BAT
    mcopy -i "$vol" "$source_dir/examples/win98/AUTOEXEC.BAT" ::/Autoexec.bat
}

check_long_name_batch_file() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    mdir -b -a -i "$vol" ::/ | grep -qx '::/Autoexec.bat' || fail "AUTOEXEC.BAT lost its long name"
}

build_hard_link() {
    build_fat16_sample
    ln "$image" "$work/disk/other.img"
}

build_read_only_image() {
    build_fat16_sample
    chmod 444 "$image"
}

build_none() {
    image=$work/disk/none.img
}

# Two files on the volume `vol`, the first one's chain led into the
# second's in both FATs, as a few changed bytes in a FAT do.
build_cross_linked() {
    local file=${vol%@@*} start=0 reserved fat_sectors dat dll fat
    [[ $vol != *@@* ]] || start=${vol##*@@}
    head -c 5000 /dev/urandom | mcopy -i "$vol" - ::/GAME.DAT
    head -c 9000 /dev/urandom | mcopy -i "$vol" - ::/GAME.DLL
    reserved=$(minfo -i "$vol" :: | sed -n 's/^reserved (boot) sectors: //p')
    fat_sectors=$(minfo -i "$vol" :: | sed -n 's/^sectors per fat: //p')
    dat=$(mshowfat -i "$vol" ::/GAME.DAT | sed 's/^.*<\([0-9]*\).*$/\1/')
    dll=$(mshowfat -i "$vol" ::/GAME.DLL | sed 's/^.*<\([0-9]*\).*$/\1/')
    for fat in 0 1; do
        printf '%b' "$(printf '\\x%02x' $((dll & 255)) $((dll >> 8)))" |
            dd of="$file" bs=1 conv=notrunc status=none \
                seek=$((start + (reserved + fat * fat_sectors) * 512 + dat * 2))
    done
}

build_damaged() {
    build_fat16_sample
    build_cross_linked
}

build_damaged_partition() {
    build_partitioned
    vol=$vol_3
    build_cross_linked
}

# A FAT16 volume marked as in use, as a machine that lost power leaves it.
build_dirty() {
    build_fat16_sample
    printf '\x01' | dd of="$image" bs=1 seek=37 conv=notrunc status=none
}

# --- other disk formats -----------------------------------------------------

# convert_to FORMAT EXTENSION [OPTION...]: the raw disk built so far
# becomes an image of that format, made with qemu-img convert; vol, vol_2
# and vol_3 then name the same volumes in the guest's view of it.
convert_to() {
    local format=$1 raw=$image name
    image=$work/disk/disk.$2
    shift 2
    qemu-img convert -f raw -O "$format" "$@" "$raw" "$image"
    rm -f -- "$raw"
    view_format=$format
    for name in vol vol_2 vol_3; do
        printf -v "$name" '%s' "${!name/#"$raw"/$work/view.img}"
    done
    make_view
}

# The guest's view of the image: its disk, converted back to raw.
make_view() {
    [ -n "$view_format" ] || return 0
    rm -f -- "$work/view.img"
    qemu-img convert -f "$view_format" -O raw "$image" "$work/view.img" ||
        fail "qemu-img cannot read the image"
}

build_qcow2() { build_fat16_sample && convert_to qcow2 qcow2; }
build_vhd_fixed() { build_fat16_sample && convert_to vpc vhd -o subformat=fixed; }
build_vhd_dynamic() { build_fat16_sample && convert_to vpc vhd -o subformat=dynamic; }
build_vdi() { build_fat16_sample && convert_to vdi vdi; }
build_vdi_static() { build_fat16_sample && convert_to vdi vdi -o static=on; }
build_vmdk() { build_fat16_sample && convert_to vmdk vmdk; }
build_vhdx() { build_fat16_sample && convert_to vhdx vhdx; }
build_partitioned_qcow2() { build_partitioned && convert_to qcow2 qcow2; }
build_damaged_vdi() { build_damaged && convert_to vdi vdi; }
build_stream_vmdk() { build_fat16_sample && convert_to vmdk vmdk -o subformat=streamOptimized; }

build_vmdk_version_3() {
    build_vmdk
    printf '\x03' | dd of="$image" bs=1 seek=4 conv=notrunc status=none
}

# An overlay on a qcow2 base, which must never be written.
build_qcow2_overlay() {
    build_qcow2
    mv -- "$image" "$work/disk/base.qcow2"
    qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 "$image"
}

# set_vhd_footer AT BYTES: printf %b BYTES at byte AT of both copies of the
# footer of the dynamic VHD `image`, their checksums made right again.
set_vhd_footer() {
    local base byte sum
    for base in 0 $(($(stat -c %s "$image") - 512)); do
        printf '%b' "$2" | dd of="$image" bs=1 seek=$((base + $1)) conv=notrunc status=none
        printf '\0\0\0\0' | dd of="$image" bs=1 seek=$((base + 64)) conv=notrunc status=none
        sum=0
        for byte in $(od -A n -t u1 -v -j "$base" -N 512 "$image"); do
            sum=$((sum + byte))
        done
        sum=$((~sum & 0xffffffff))
        printf '%b' "$(printf '\\x%02x' $((sum >> 24)) $((sum >> 16 & 255)) $((sum >> 8 & 255)) $((sum & 255)))" |
            dd of="$image" bs=1 seek=$((base + 64)) conv=notrunc status=none
    done
}

# A VHD sized by its footer (force_size), given a CHS geometry and a
# creator: 86Box's CHS is its whole size; DOSBox-X's can be a little less.
build_vhd_86box() {
    build_fat16_sample
    convert_to vpc vhd -o subformat=dynamic,force_size=on
    set_vhd_footer 56 '\x04\x00\x02\x10' # 1024 x 2 x 16 = 32768 sectors
    set_vhd_footer 28 86bx
}

build_vhd_dosbox() {
    build_vhd_86box
    set_vhd_footer 56 '\x03\xf7\x02\x10' # 1015 x 2 x 16 = 32480 sectors
    set_vhd_footer 28 DBox
}

# A differencing VHD: QEMU reads it as if it stood alone.
build_vhd_differencing() {
    build_vhd_dynamic
    set_vhd_footer 60 '\x00\x00\x00\x04'
}

# The first KiB of a dynamic VHD, its footer copy and header, overwritten.
build_vhd_garbage_header() {
    build_vhd_dynamic
    head -c 1024 /dev/urandom | dd of="$image" conv=notrunc status=none
    vol=
}

build_qcow2_cut_short() {
    build_qcow2
    truncate -s $(($(stat -c %s "$image") - 65536)) "$image"
    vol=
}

# A VirtualBox snapshot: its link to the parent disk set.
build_vdi_snapshot() {
    build_vdi
    head -c 16 /dev/urandom | dd of="$image" bs=1 seek=$((0x1a8)) conv=notrunc status=none
    vol=
}

# --- checks ----------------------------------------------------------------------

fail() {
    echo "FAIL [$name]: $*" >&2
    failures=$((failures + 1))
}

expect_missing() {
    ! mattrib -i "$vol" "::/$1" >/dev/null 2>&1 || fail "$1 should not exist"
}

expect_attributes() {
    local got
    got=$(mattrib -X -i "$vol" "::/$1")
    [ "$got" = "$2" ] || fail "$1 has attributes '$got', expected '$2'"
}

# Each FAT volume of the image, on its own, passes fsck.fat -n.
fsck_volume() {
    local volume=$1 file=${1%@@*} offset=0 output
    if [[ $volume == *@@* ]]; then
        offset=${volume##*@@}
        file=$work/partition
        # As many sectors as the boot sector gives the volume.
        local sectors
        sectors=$(minfo -i "$volume" :: | sed -n 's/^\(small\|big\) size: \([1-9][0-9]*\) sectors$/\2/p')
        dd if="${volume%@@*}" of="$file" bs=512 skip=$((offset / 512)) count="$sectors" status=none
    fi
    if ! output=$(fsck.fat -n "$file" 2>&1); then
        fail "fsck.fat -n: $output"
    elif [ "$(wc -l <<<"$output")" -ne 2 ]; then
        fail "fsck.fat -n: $output"
    fi
}

check_clean() {
    local volume
    [[ " $options " != *" UNCLEAN "* ]] || return 0
    for volume in "${volumes[@]}"; do
        fsck_volume "$volume"
    done
}

check_sample_result() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98/WINDOWS/DOSSTART.BAT"
    expect_missing AUTOEXEC.TMP
    expect_missing WINDOWS/DOSSTART.TMP
    expect_attributes AUTOEXEC.BAT A
    expect_attributes WINDOWS/DOSSTART.BAT A
}

check_sample_untouched() {
    expect_file AUTOEXEC.BAT "$source_dir/examples/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$source_dir/examples/win98/WINDOWS/DOSSTART.BAT"
}

# Interrupted in place while writing AUTOEXEC.BAT: that one is finished,
# DOSSTART.BAT is left as it was, and no temporary file stays.
check_interrupted_in_place() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$source_dir/examples/win98/WINDOWS/DOSSTART.BAT"
    expect_missing AUTOEXEC.TMP
    expect_missing WINDOWS/DOSSTART.TMP
}

check_partitioned() {
    vol=$vol_2
    expect_file AUTOEXEC.BAT "$golden/win98-jp/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98-jp/WINDOWS/DOSSTART.BAT"
    vol=$vol_3
    check_sample_untouched
}

check_partition_3() {
    vol=$vol_3
    check_sample_result
    vol=$vol_2
    expect_file AUTOEXEC.BAT "$source_dir/examples/win98-jp/AUTOEXEC.BAT"
}

check_no_active() {
    vol=$vol_2
    check_sample_result
    vol=$vol_3
    check_sample_untouched
}

check_long_windir() {
    expect AUTOEXEC.BAT "@ECHO OFF\\r\\n$blaster"
    expect "Windows Home/DOSSTART.BAT" 'C:\\WINDOW~2\\audprep.exe /S\r\n'
    expect_missing "Windows Zed/DOSSTART.BAT"
    expect_attributes MSDOS.SYS ASHR
}

check_read_only_autoexec() {
    expect_file AUTOEXEC.BAT "$source_dir/examples/win98/AUTOEXEC.BAT"
    expect_attributes AUTOEXEC.BAT AR
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98/WINDOWS/DOSSTART.BAT"
}

check_hidden_and_system() {
    expect_file AUTOEXEC.BAT "$source_dir/examples/win98/AUTOEXEC.BAT"
    expect_attributes AUTOEXEC.BAT AH
    expect_file WINDOWS/DOSSTART.BAT "$source_dir/examples/win98/WINDOWS/DOSSTART.BAT"
    expect_attributes WINDOWS/DOSSTART.BAT AS
}

check_full_in_place() {
    mtype -i "$vol" ::/AUTOEXEC.BAT | cmp -s - "$work/disk.before.autoexec" ||
        fail "AUTOEXEC.BAT is not what it was"
    expect_missing AUTOEXEC.TMP
    expect_file WINDOWS/DOSSTART.BAT "$source_dir/examples/win98/WINDOWS/DOSSTART.BAT"
}

check_dos6_msdos_sys() {
    check_sample_result
    expect_missing WIN98/DOSSTART.BAT
}

check_msdos_sys_windir() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    expect WIN98/DOSSTART.BAT 'C:\\WIN98\\audprep.exe /S\r\n'
    expect_file WINDOWS/DOSSTART.BAT "$source_dir/examples/win98/WINDOWS/DOSSTART.BAT"
}

check_link_and_mode() {
    check_sample_result
    [ -L "$work/disk/link.img" ] || fail "link.img is no longer a symbolic link"
    [ "$(stat -c %a "$image")" = 640 ] || fail "mode $(stat -c %a "$image"), expected 640"
}

# The diff holds the files' bytes, CRs included.
check_dry_run_output() {
    printf '%b' '--- a/AUTOEXEC.BAT\n+++ b/AUTOEXEC.BAT\n@@ -1,2 +1,2 @@\n @ECHO OFF\r\n' \
        '-SET BLASTER=A220 I7 D1\r\n+SET  BLASTER=A220 I5  D1 T4\r\n' \
        '--- a/WINDOWS/DOSSTART.BAT\n+++ b/WINDOWS/DOSSTART.BAT\n@@ -0,0 +1 @@\n' \
        '+C:\\WINDOWS\\audprep.exe /S\r\n' >"$work/expected"
    cmp -s "$work/expected" "$work/stdout" || fail "--dry-run output: $(od -c "$work/stdout")"
    expect AUTOEXEC.BAT '@ECHO OFF\r\nSET BLASTER=A220 I7 D1\r\n'
    expect_missing WINDOWS/DOSSTART.BAT
}

build_dry_run() {
    new_volume 12 2048
    mmd -i "$vol" ::/WINDOWS ::/WINDOWS/SYSTEM
    put AUTOEXEC.BAT '@ECHO OFF\r\nSET BLASTER=A220 I7 D1\r\n'
}

check_nothing_written() {
    check_sample_untouched
    expect_unchanged "a run that touches nothing"
}

check_help() {
    grep -q '^Usage: dosprep-image \[--partition N\] \[--in-place\] \[--diff\] \[--dry-run\] \[--force\] IMAGE$' "$work/stdout" ||
        fail "no usage line"
}

check_version() {
    grep -qx 'dosprep-image (dosprep) [0-9.]*' "$work/stdout" || fail "no version line"
}

check_none() { :; }

# --- the table ---------------------------------------------------------------------

# name | builder | options | status | message | check
# status "1+": 1, and everything else was written all the same. message:
# an ERE for the text after "dosprep-image: IMAGE: " of each line, the
# lines joined with " / ".
cases=(
    'a whole-disk FAT16 volume|build_fat16_sample||0||check_sample_result'
    'a partitioned FAT32 disk: the active partition|build_partitioned||0||check_partitioned'
    '--partition picks another|build_partitioned|--partition 3|0||check_partition_3'
    'no active partition: the first FAT one|build_no_active||0||check_no_active'
    'a long-named Windows directory keeps its stored short name|build_long_windir||0||check_long_windir'
    'a Windows directory given by its long name|build_long_windir_by_long_name||1|MSDOS.SYS gives the Windows directory C:\\Windows Home by a long name, which DOS cannot use|check_none'
    'a read-only AUTOEXEC.BAT is left as it was and named|build_read_only_autoexec||1+|C:\\AUTOEXEC.BAT: read-only; left as it was|check_read_only_autoexec'
    'hidden and system batch files are left as they were and named|build_hidden_and_system||1|C:\\AUTOEXEC.BAT: hidden; left as it was / C:\\WINDOWS\\DOSSTART.BAT: system; left as it was|check_hidden_and_system'
    'no Windows directory: both batch files named|build_no_windows||1|C:\\AUTOEXEC.BAT: no Windows directory C:\\WINDOWS; left as it was / C:\\WINDOWS\\DOSSTART.BAT: no Windows directory C:\\WINDOWS; left as it was|check_no_windows'
    'a full volume: the image stays as it was|build_full||1|volume full: C:\\AUTOEXEC.BAT left as it was / volume full: C:\\WINDOWS\\DOSSTART.BAT left as it was|check_none'
    'a full volume in place keeps the old files|build_full|--in-place|1|volume full: C:\\AUTOEXEC.BAT left as it was / volume full: C:\\WINDOWS\\DOSSTART.BAT left as it was|check_full_in_place'
    'full at DOSSTART.BAT: AUTOEXEC.BAT is written all the same|build_full_at_dosstart||1+|volume full: C:\\WINDOWS\\DOSSTART.BAT left as it was|check_full_at_dosstart'
    'full at DOSSTART.BAT in place: AUTOEXEC.BAT is written|build_full_at_dosstart|--in-place|1+|volume full: C:\\WINDOWS\\DOSSTART.BAT left as it was|check_full_at_dosstart'
    'a full floppy: no room for AUTOEXEC.BAT, DOSSTART.BAT written|build_full_floppy||1+|volume full: C:\\AUTOEXEC.BAT left as it was|check_full_floppy'
    'a full floppy in place likewise|build_full_floppy|--in-place|1+|volume full: C:\\AUTOEXEC.BAT left as it was|check_full_floppy'
    'in place on a FAT12 volume|build_fat12_sample|--in-place --diff|0||check_sample_result'
    'a dry run shows the diff and writes nothing|build_dry_run|--dry-run|0||check_dry_run_output'
    'the binary MSDOS.SYS of DOS 6 is not read|build_dos6_msdos_sys||0||check_dos6_msdos_sys'
    'MSDOS.SYS names the Windows directory|build_msdos_sys_windir||0||check_msdos_sys_windir'
    'a Windows directory on drive D touches nothing|build_other_drive||1|C:\\AUTOEXEC.BAT: the Windows directory D:\\WINDOWS is not on drive C; left as it was / D:\\WINDOWS\\DOSSTART.BAT: the Windows directory D:\\WINDOWS is not on drive C; left as it was|check_nothing_written'
    'stale temporary files go|build_stale_temporary||0||check_sample_result'
    'through a symbolic link, keeping the mode|build_link_and_mode|LINK|0||check_link_and_mode'
    'a read-only image|build_read_only_image||1|read-only|check_sample_untouched'
    'a batch file keeps its long name|build_long_name_batch_file||0||check_long_name_batch_file'
    'an image with another hard link|build_hard_link||1|has other hard links, which would keep the old image; use --in-place|check_sample_untouched'
    'a file that is not an image|build_text_file||1|not a FAT volume, nor a disk with an MBR partition table|check_none'
    'a missing image|build_missing||1|no such file|check_none'
    'no such partition|build_partitioned|--partition 4|1|no partition 4|check_none'
    'a partition that is not FAT|build_partitioned|--partition 1|1|partition 1 is not FAT \(type 0x83\)|check_none'
    'a whole-disk volume has no partitions|build_fat12_sample|--partition 1|1|has no partition table: it is a whole-disk FAT volume|check_none'
    'a partition number out of range|build_fat12_sample|--partition 5|2||check_none'
    'an unknown option|build_fat12_sample|--bogus|2||check_none'
    'two images|build_fat12_sample|EXTRA|2||check_none'
    '--help|build_none|--help|0||check_help'
    '--version|build_none|--version|0||check_version'
    'a qcow2 disk (QEMU)|build_qcow2||0||check_sample_result'
    'a fixed VHD, a raw disk with a footer|build_vhd_fixed||0||check_sample_result'
    'a dynamic VHD (Virtual PC, 86Box, DOSBox-X)|build_vhd_dynamic||0||check_sample_result'
    'a dynamic VDI (VirtualBox)|build_vdi||0||check_sample_result'
    'a static VDI|build_vdi_static||0||check_sample_result'
    'a VMDK (VMware)|build_vmdk||0||check_sample_result'
    'a VHDX, as QEMU writes it in place|build_vhdx||0||check_sample_result'
    'a partitioned qcow2 disk in place|build_partitioned_qcow2|--in-place|0||check_partitioned'
    'a qcow2 overlay: its base is never written|build_qcow2_overlay||0||check_sample_result'
    'a dry run on a VMDK writes nothing|build_vmdk|--dry-run|0||check_sample_untouched'
    'an 86Box VHD, its CHS geometry its whole size|build_vhd_86box||0||check_sample_result'
    'a DOSBox-X VHD that QEMU sizes short|build_vhd_dosbox|UNCLEAN|1|the FAT volume \(16777216 bytes\) runs past the end of the disk as QEMU 7.2 sizes this VHD: by its CHS geometry, 16629760 bytes, not the 16777216 of its footer \(creator .DBox.\)|check_none'
    'a differencing VHD|build_vhd_differencing||1|is a differencing VHD, a child of another disk, which QEMU 7.2 would read without its parent; merge it into its parent first|check_none'
    'a VHD with a garbage header|build_vhd_garbage_header||1|is a damaged VHD: its footer is that of a dynamic or differencing disk, but it does not start as one|check_none'
    'a qcow2 cut short|build_qcow2_cut_short||1|the image file is damaged \(.+\); nothing written: repair it with qemu-img check -r all|check_none'
    'a VirtualBox snapshot|build_vdi_snapshot||1|is a VirtualBox snapshot \(a differencing VDI\), which QEMU cannot open; merge it into one disk first \(VBoxManage clonemedium\)|check_none'
    'a streamOptimized VMDK|build_stream_vmdk||1|is a streamOptimized VMDK, whose compressed data QEMU cannot rewrite in place|check_none'
    'a version-3 VMDK|build_vmdk_version_3||1|is a version-3 VMDK, which QEMU 7.2 opens only read-only|check_none'
    'a damaged volume is not written to|build_damaged|UNCLEAN|1|the volume is damaged: C:\\GAME.DAT: File size is 5000 bytes, cluster chain length is > [0-9]+ bytes; nothing written: repair it with ScanDisk on the machine, or fsck.fat -a, or write anyway with --force|check_none'
    '--force writes to it all the same|build_damaged|--force UNCLEAN|0|the volume is damaged: C:\\GAME.DAT: .+; writing to it all the same \(--force\)|check_sample_result'
    'a damaged volume in a VDI|build_damaged_vdi|UNCLEAN|1|the volume is damaged: C:\\GAME.DAT: .+; nothing written: .+|check_none'
    'a damaged partition without FUSE|build_damaged_partition|--partition 3 NOFUSE UNCLEAN|1|partition 3 is damaged: C:\\GAME.DAT: .+; nothing written: .+|check_none'
    'a dirty bit alone is a warning|build_dirty|UNCLEAN|0|the volume was not shut down cleanly \(its dirty bit is set\); ScanDisk on the machine checks it|check_sample_result'
    'a partitioned raw disk without FUSE|build_partitioned|NOFUSE|0||check_partitioned'
    'a fixed VHD without FUSE|build_vhd_fixed|NOFUSE|0||check_sample_result'
    'a qcow2 disk without FUSE|build_qcow2|NOFUSE|1|is a qcow2 image, which is reached through a FUSE export, but fusermount3 is not installed \(Debian.s fuse3\); to prepare it anyway, convert it first: qemu-img convert -O raw .+/disk.qcow2 disk.img|check_none'
    'a raw disk without qemu-img|build_fat16_sample|NOQEMUIMG|0||check_sample_result'
    'a qcow2 disk without qemu-img|build_qcow2|NOQEMUIMG|1|not a FAT volume, nor a disk with an MBR partition table \(nor one of another format: qemu-img is not installed, Debian.s qemu-utils\)|check_none'
    'an image that another process has open|build_fat16_sample|HELD|1|is in use by process [0-9]+ \(sleep\); close it first|check_sample_untouched'
    'an image another program has locked (flock, as DOSBox-X)|build_fat16_sample|FLOCKED|1|is in use by process [0-9]+ \(bash\), which holds a lock on it \(flock\); close it first|check_sample_untouched'
    'an image that QEMU has locked|build_qcow2|QEMULOCK|1|is in use by process [0-9]+ \(qemu-io\), which holds a record lock on it, as QEMU does; close it first|check_sample_untouched'
    'an image with a Bochs lock file beside it|build_bochs_locked||1|is in use by Bochs: .+/disk.img.lock stands beside it; close Bochs first, or delete that file if no Bochs runs|check_sample_untouched'
    'an image that backs a loop device|build_fat16_sample|LOOP|1|is in use: it backs the loop device /dev/loop[0-9]+; detach it first \(losetup -d /dev/loop[0-9]+\)|check_sample_untouched'
    'an image that backs a loop device, in place|build_fat16_sample|--in-place LOOP|1|is in use: it backs the loop device /dev/loop[0-9]+; detach it first \(losetup -d /dev/loop[0-9]+\)|check_sample_untouched'
    'a second run while one writes is refused|build_fat16_sample|PAIR|1+|is in use by another dosprep-image \(process [0-9]+\)|check_sample_result'
    'a second run once the copy is renamed over the image|build_fat16_sample|PAIR RENAMED|1+|is in use by another dosprep-image \(process [0-9]+\)|check_sample_result'
    'a second run while one writes in place on a qcow2|build_qcow2|--in-place PAIR|1+|is in use by another dosprep-image \(process [0-9]+\)|check_sample_result'
    'SIGTERM while writing the copy leaves the image as it was|build_qcow2|SIGTERM|143|interrupted by SIGTERM; C:\\AUTOEXEC.BAT left as it was, C:\\WINDOWS\\DOSSTART.BAT left as it was|check_sample_untouched'
    'SIGINT to the whole group likewise|build_vdi|SIGINT|130|interrupted by SIGINT; C:\\AUTOEXEC.BAT left as it was, C:\\WINDOWS\\DOSSTART.BAT left as it was|check_sample_untouched'
    'Ctrl-C while the volume is read|build_qcow2|--in-place SIGINT READING|130|interrupted by SIGINT; nothing written|check_sample_untouched'
    'Ctrl-C in place finishes the batch file being written|build_qcow2|--in-place SIGINT|130|interrupted by SIGINT; C:\\AUTOEXEC.BAT prepared, C:\\WINDOWS\\DOSSTART.BAT left as it was|check_interrupted_in_place'
    'a missing TMPDIR|build_fat16_sample|NOTMPDIR|1|cannot create a temporary directory in TMPDIR .+/missing: No such file or directory|check_sample_untouched'
    'a full TMPDIR|build_fat16_sample|FULLTMPDIR|1|cannot write in TMPDIR .+/full: No space left on device|check_sample_untouched'
    'a closed standard output|build_fat16_sample|--dry-run CLOSEDOUT|1|cannot write the diff to standard output: Bad file descriptor|check_sample_untouched'
    '--force --dry-run says what it would write|build_damaged|--force --dry-run UNCLEAN|0|the volume is damaged: C:\\GAME.DAT: .+; --force would write these changes to it all the same; nothing written \(--dry-run\)|check_sample_untouched'
)

# The image as it was, to compare with: its bytes, its modification time.
remember() {
    before_state=
    if [ -f "$image" ]; then
        cp -p -- "$image" "$work/disk.before"
        before_state=$(stat -c '%i %y' -- "$image")
        if mtype -i "$vol" ::/AUTOEXEC.BAT >"$work/disk.before.autoexec" 2>/dev/null; then :; fi
        if mtype -i "$vol" ::/WINDOWS/DOSSTART.BAT >"$work/disk.before.dosstart" 2>/dev/null; then :; fi
    fi
}

expect_unchanged() {
    cmp -s -- "$image" "$work/disk.before" || fail "$1: the image changed"
    [ "$(stat -c '%i %y' -- "$image")" = "$before_state" ] || fail "$1: the image was written"
}

# Every file beside the image, by its contents.
other_files() {
    (cd "$work/disk" && find . -type f ! -name "${image##*/}" -exec md5sum -- {} + | sort)
}

# What a run must not change in an image of another format: the format,
# the virtual size, the subformat (VHD disk type, VDI image type, VMDK
# create type) and the backing file.
image_facts() {
    [ -n "$view_format" ] || return 0
    qemu-img info --output=json "$image" 2>/dev/null |
        grep -E '^    "(format|virtual-size|backing-filename)"|"create-type"' || true
    case $view_format in
    vpc) od -A n -t x1 -j $(($(stat -c %s "$image") - 512 + 60)) -N 4 "$image" ;;
    vdi) od -A n -t x1 -j 76 -N 4 "$image" ;;
    esac
}

# Whether a builder makes an image of another format than raw.
uses_qemu() {
    local body callee
    body=$(declare -f "$1")
    [[ $body != *convert_to* ]] || return 0
    while read -r callee; do
        [ "$callee" = "$1" ] || ! uses_qemu "$callee" || return 0
    done < <(grep -o 'build_[a-z0-9_]*' <<<"$body" | sort -u)
    return 1
}

# Starts the tool in a process group of its own, with its output in
# $work/first.*, and returns once it pauses at its first rename (see
# $work/slow/mren); false, and a failure, when it ends before. Sets
# `paused_pid`.
start_paused() {
    local event='' events
    rm -rf -- "$work/paused" "$work/resume" "$work/paused.once"
    mkfifo -- "$work/paused" "$work/resume"
    printf '%s\n' "$pause_at" >"$work/pause_at"
    set -m
    TMPDIR=$work/tmp PATH=$work/slow:$PATH "$tool" "$@" >"$work/first.stdout" 2>"$work/first.stderr" \
        9>"$work/paused" &
    paused_pid=$!
    set +m
    exec {events}<"$work/paused"
    read -r event <&"$events" || true # end of file: the tool and its helpers ended
    exec {events}<&-
    [ "$event" = paused ] && return 0
    wait "$paused_pid" || true
    fail "the tool ended before its first rename: $(cat "$work/first.stderr")"
    return 1
}

# Lets the paused tool go on, and waits for it; sets `first_status`. The
# FIFO stays open until then, so that neither side can wait for the other.
resume_paused() {
    local resume
    exec {resume}<>"$work/resume"
    echo go >&"$resume"
    first_status=0
    wait "$paused_pid" || first_status=$?
    exec {resume}<&-
}

# Pauses the tool at its first rename, in place or on the copy, and sends
# it a signal there: SIGTERM to the tool alone, SIGINT to its whole group,
# as Ctrl-C does. Nothing may be left: no daemon, no mount.
run_interrupted() {
    local signal=$1
    shift
    start_paused "$@" || return 0
    grep -qF " $work/tmp/" /proc/mounts || fail "no FUSE export while writing"
    if [ "$signal" = SIGINT ]; then kill -INT -- "-$paused_pid"; else kill -TERM "$paused_pid"; fi
    resume_paused
    status=$first_status
    mv -- "$work/first.stdout" "$work/stdout"
    mv -- "$work/first.stderr" "$work/stderr"
    ! grep -F " $work/" /proc/mounts || fail "a FUSE mount is left"
    ! pgrep -f -- "$work/tmp" || fail "a process is left"
}

# Pauses the tool at its first rename, and runs a second one on the same
# image meanwhile, whose status and messages are the row's: it must be
# refused, naming the first. The first then ends as if it ran alone.
run_pair() {
    start_paused "$@" || return 0
    TMPDIR=$work/tmp "$tool" "$@" >"$work/stdout" 2>"$work/stderr" || status=$?
    grep -qF "(process $paused_pid)" "$work/stderr" || fail "the refusal names not process $paused_pid"
    resume_paused
    if [ "$first_status" -ne 0 ] || [ -s "$work/first.stderr" ]; then
        fail "the first run: status $first_status: $(cat "$work/first.stderr")"
    fi
}

# Runs the tool with the row's options on `target`; stdout, stderr and
# the status land in $work.
# Words of the options that are not options: LINK runs it through a
# symbolic link, EXTRA with a second image, NOFUSE on a PATH without
# fusermount3, NOQEMUIMG without qemu-img, HELD while another process has
# the image open, FLOCKED while this script holds a flock on it, QEMULOCK
# while qemu-io has it open, LOOP while it backs a loop device; SIGTERM
# and SIGINT interrupted, PAIR with a second run meanwhile, both at the
# first rename, or with READING while the volume is read, with RENAMED
# once the copy is renamed over the image; NOTMPDIR and
# FULLTMPDIR with a missing or a full TMPDIR, CLOSEDOUT with standard
# output closed; UNCLEAN marks a volume that is damaged on purpose.
run_tool() {
    local -a argv=()
    local option path=$PATH holder='' signal='' flocked='' loop='' tmpdir=$work/tmp closed_out=0
    target=$image
    pause_at=mren
    for option in $options; do
        case $option in
        LINK) target=$work/disk/link.img ;;
        EXTRA) argv+=("$work/disk/other.img") ;;
        NOFUSE) path=$work/nofuse ;;
        NOQEMUIMG) path=$work/noqemuimg ;;
        HELD) sleep 600 7<"$image" & holder=$! ;;
        FLOCKED) exec {flocked}<"$image" && flock -x "$flocked" ;;
        QEMULOCK) start_qemu_io && holder=$qemu_io ;;
        LOOP) loop=$(losetup -f --show -- "$image") ;;
        SIGTERM | SIGINT | PAIR) signal=$option ;;
        READING) pause_at=mattrib ;;
        RENAMED) pause_at=sync ;;
        NOTMPDIR) tmpdir=$work/missing ;;
        FULLTMPDIR) tmpdir=$work/full && mount_full_tmpdir ;;
        CLOSEDOUT) closed_out=1 ;;
        UNCLEAN) ;;
        *) argv+=("$option") ;;
        esac
    done
    [[ " $options " == *" --help "* || " $options " == *" --version "* ]] || argv+=("$target")
    status=0
    if [ "$signal" = PAIR ]; then
        run_pair "${argv[@]}"
    elif [ -n "$signal" ]; then
        run_interrupted "$signal" "${argv[@]}"
    elif [ "$closed_out" -eq 1 ]; then
        TMPDIR=$tmpdir PATH=$path "$tool" "${argv[@]}" >&- 2>"$work/stderr" || status=$?
        : >"$work/stdout"
    else
        TMPDIR=$tmpdir PATH=$path "$tool" "${argv[@]}" >"$work/stdout" 2>"$work/stderr" || status=$?
    fi
    if [ -n "$holder" ]; then
        kill "$holder"
        wait "$holder" || true
    fi
    [ -z "$flocked" ] || exec {flocked}<&-
    [ -z "$loop" ] || losetup -d "$loop"
    if [ "$tmpdir" = "$work/full" ]; then
        [ "$(ls -A "$work/full")" = filler ] || fail "left in TMPDIR: $(ls -A "$work/full")"
        umount -- "$work/full"
    fi
}

# qemu-io with the image open for writing, as a running QEMU has it, and
# so its locks taken; `qemu_io` is its process.
start_qemu_io() {
    local line events
    rm -f -- "$work/qemu-io"
    mkfifo -- "$work/qemu-io"
    stdbuf -oL qemu-io -c 'read 0 512' -c 'sleep 600000' -- "$image" >"$work/qemu-io" &
    qemu_io=$!
    exec {events}<"$work/qemu-io"
    read -r line <&"$events" || fail "qemu-io cannot open the image"
    exec {events}<&-
}

# A TMPDIR of 64 KiB, full.
mount_full_tmpdir() {
    mkdir -p -- "$work/full"
    mount -t tmpfs -o size=64k tmpfs "$work/full"
    head -c 1M /dev/zero >"$work/full/filler" 2>/dev/null || true
}

check_messages() {
    local stderr
    stderr=$(cat "$work/stderr")
    case $expected_status in
    0)
        if [ -n "$message" ]; then
            local prefix="dosprep-image: $target: warning: "
            if [ "$(wc -l <"$work/stderr")" -ne 1 ] || [[ ${stderr#"$prefix"} == "$stderr" ]] ||
                ! grep -qE -- "^${message}\$" <<<"${stderr#"$prefix"}"; then
                fail "warning: $stderr"
            fi
        else
            [ -z "$stderr" ] || fail "unexpected message: $stderr"
        fi
        if [[ " $options " != *" --diff "* && " $options " != *" --dry-run "* && " $options " != *" --help "* &&
            " $options " != *" --version "* ]]; then
            [ ! -s "$work/stdout" ] || fail "unexpected output: $(cat "$work/stdout")"
        fi
        ;;
    1 | 129 | 130 | 143)
        local prefix="dosprep-image: $target: " line joined=
        while IFS= read -r line; do
            [[ ${line#"$prefix"} != "$line" ]] || fail "message does not name the image: $line"
            joined+=${joined:+ / }${line#"$prefix"}
        done <"$work/stderr"
        grep -qE -- "^${message}\$" <<<"$joined" || fail "message: $stderr"
        ;;
    2)
        [[ $stderr == "dosprep-image: "*"Try 'dosprep-image --help' for more information." ]] ||
            fail "usage message: $stderr"
        ;;
    esac
}

ran=0
for row in "${cases[@]}"; do
    IFS='|' read -r name builder options expected_status message check <<<"$row"
    [[ -z $only || $name =~ $only ]] || continue
    ran=$((ran + 1))
    writes_anyway=0
    if [[ $expected_status == *+ ]]; then
        expected_status=${expected_status%+}
        writes_anyway=1
    fi
    rm -rf -- "$work/disk" "$work/tmp"
    mkdir -p -- "$work/disk" "$work/tmp"
    vol='' vol_2='' vol_3='' view_format=''
    missing=
    if [ -n "$qemu_missing" ] && { uses_qemu "$builder" || [[ $options == *QEMULOCK* ]]; }; then
        missing=$qemu_missing
    elif [ -n "$root_missing" ] && [[ $options == *LOOP* || $options == *FULLTMPDIR* ]]; then
        missing=$root_missing
    fi
    if [ -n "$missing" ]; then
        if [ "${CI:-}" = true ]; then
            fail "missing:$missing"
        else
            echo "skip: $name (missing:$missing)"
            skipped=$((skipped + 1))
        fi
        continue
    fi
    "$builder"
    volumes=()
    if [ -f "$image" ] && [[ $builder != build_text_file ]]; then
        if [ -n "$vol_2" ]; then volumes=("$vol_2" "$vol_3"); elif [ -n "$vol" ]; then volumes=("$vol"); fi
    fi
    entries_before=$(ls -A "$work/disk")
    others_before=$(other_files)
    facts_before=$(image_facts)
    remember
    run_tool
    [ -z "$vol$vol_2" ] || make_view
    [ "$status" -eq "$expected_status" ] || fail "status $status, expected $expected_status: $(cat "$work/stderr")"
    check_messages
    if [ "$expected_status" -ne 0 ] && [ "$writes_anyway" -eq 0 ] && [[ " $options " != *" --in-place "* ]] &&
        [ -n "$before_state" ]; then
        expect_unchanged "a failed run"
    fi
    if [[ " $options " == *" --dry-run "* ]]; then
        expect_unchanged "a dry run"
    fi
    check_clean
    [ "$(ls -A "$work/disk")" = "$entries_before" ] || fail "left beside the image: $(ls -A "$work/disk")"
    [ -z "$(ls -A "$work/tmp")" ] || fail "left in TMPDIR: $(ls -A "$work/tmp")"
    [ "$(other_files)" = "$others_before" ] || fail "another file beside the image changed"
    if [ "$expected_status" -eq 0 ] && [ -n "$view_format" ]; then
        [ "$(image_facts)" = "$facts_before" ] || fail "the image is now: $(image_facts)"
        qemu-img check -q "$image" >/dev/null 2>&1 || [ $? -eq 63 ] || fail "qemu-img check: $(qemu-img check "$image" 2>&1)"
    fi
    [ -n "$vol" ] || vol=${vol_2:-}
    "$check"
    # Once prepared, the image is not written again.
    if [ "$expected_status" -eq 0 ] && [ -n "$before_state" ] && [[ " $options " != *" --dry-run "* ]]; then
        remember
        options=${options//--diff/}
        run_tool
        [ "$status" -eq 0 ] || fail "second run: status $status: $(cat "$work/stderr")"
        if [ -s "$work/stdout" ] || [ -s "$work/stderr" ]; then
            fail "second run printed something"
        fi
        expect_unchanged "the second run"
    fi
    echo "ok: $name"
done

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "dosprep-image: $((ran - skipped)) cases passed, $skipped skipped"
