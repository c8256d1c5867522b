#!/usr/bin/env bash
# The built native program on FAT volumes that the Linux kernel mounts, as
# a desktop mounts a card from a retro PC: Linux's own vfat driver, run as
# user-mode Linux (a kernel that is an ordinary process: no root, no loop
# device, no KVM). Each row is a volume made with mkfs.fat and mtools; one
# boot mounts each with udisks2's options and runs the program on it as the
# desktop user (uid 1000). Back on the host, mtools and fsck.fat -n check
# the status and messages, the bytes and attributes of the batch files,
# and that nothing else on the volume changed.
# Plain builds only: an AddressSanitizer build's shadow memory does not fit
# in user-mode Linux.
# Arguments: the source directory and the build directory.
set -euo pipefail
export LC_ALL=C
export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=0 MTOOLS_LOWER_CASE=0 MTOOLS_NO_VFAT=0
source_dir=$1
# shellcheck source=tests/fat_volumes.sh
. "$(dirname -- "${BASH_SOURCE[0]}")/fat_volumes.sh"
build_dir=$(readlink -f -- "$2")
dosprep=$build_dir/dosprep
dosprep_image=$build_dir/dosprep-image
readonly examples=$source_dir/examples golden=$source_dir/tests/golden
readonly blaster='SET  BLASTER=A220 I5  D1 T4\r\n'
# udisks2's options for a FAT card, and where a desktop would mount it.
readonly mount_options=uid=1000,gid=1000,shortname=mixed,utf8=1,showexec,flush
readonly card=/media/user/CARD
# The guest's only writable places: a tmpfs on the card's parent, which
# also holds the program's HOME and TMPDIR and what it prints. The host's
# / is the guest's root, read-only, so the build tree must lie elsewhere.
readonly guest_scratch=/media

# Without user-mode Linux, its FAT modules and busybox the test cannot run:
# under CI that fails, elsewhere it is skipped (status 77), and said to be.
cannot_run() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: user-mode Linux cannot run: $*" >&2
        exit 1
    fi
    echo "skip: user-mode Linux cannot run: $*"
    exit 77
}
for command in linux.uml busybox setpriv mkfs.fat fsck.fat mcopy; do
    command -v "$command" >/dev/null ||
        cannot_run "$command not found; install user-mode-linux, busybox-static, mtools and dosfstools"
done
uml_modules=/usr/lib/uml/modules/$(linux.uml --version)/kernel/fs
[ -f "$uml_modules/fat/vfat.ko" ] || cannot_run "no $uml_modules/fat/vfat.ko"

case $build_dir/ in
$guest_scratch/*) cannot_run "the build directory $build_dir is hidden in the guest by its tmpfs on $guest_scratch" ;;
esac
# Inside the build directory: the guest sees it as it is, and UML keeps
# its memory in a file in TMPDIR, which must not be mounted noexec.
work=$(mktemp -d "$build_dir/vfat_test.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
failures=0

fail() {
    echo "FAIL [$name]: $*" >&2
    failures=$((failures + 1))
}

# --- building volumes ----------------------------------------------------------

# A FAT volume of `bits` bits in the image file `vol`.
new_volume() {
    mkfs.fat -C -F "$1" "$vol" "$2" >/dev/null
}


# MSDOS.SYS as Windows 98 leaves it, read-only, hidden and system; the
# Windows directory as printf %b gives it.
put_msdos_sys() {
    put MSDOS.SYS "[Paths]\\r\\nWinDir=$1\\r\\nWinBootDir=$1\\r\\nHostWinBootDrv=C\\r\\n\\r\\n[Options]\\r\\nBootGUI=1\\r\\n"
    mattrib -i "$vol" +r +h +s ::/MSDOS.SYS
}

build_japanese_card() {
    new_volume 32 65536
    put_tree "$examples/win98-jp"
    put_msdos_sys 'C:\\WINDOWS'
}

build_english_card() {
    new_volume 16 16384
    put_tree "$examples/win98"
    put_msdos_sys 'C:\\WINDOWS'
}

# "Windows Heap" holds WINDOW~2 and "Windows Hub" WINDOW~3: WINDOW~1 went
# with "Windows Hap". Either could be the Windows directory.
build_freed_alias() {
    local dir
    new_volume 16 16384
    put AUTOEXEC.BAT '@ECHO OFF\r\n'
    for dir in "Windows Hap" "Windows Heap" "Windows Hub"; do
        mmd -i "$vol" "::/$dir" "::/$dir/SYSTEM"
        put "$dir/DOSSTART.BAT" '@ECHO OFF\r\n'
    done
    mdeltree -i "$vol" "::/Windows Hap"
    [ "$(mshortname -i "$vol" "::/Windows Heap" "::/Windows Hub")" = $'::/WINDOW~2\n::/WINDOW~3' ] ||
        { echo "FAIL: mtools gave other aliases: $(mdir -i "$vol" ::/)" >&2; exit 1; }
}

build_alias_in_msdos_sys() {
    build_freed_alias
    put_msdos_sys 'C:\\WINDOW~3'
}

build_hidden_autoexec() {
    build_english_card
    mattrib -i "$vol" +h ::/AUTOEXEC.BAT
}

build_read_only_autoexec() {
    build_english_card
    mattrib -i "$vol" +r ::/AUTOEXEC.BAT
}

build_system_dosstart() {
    build_english_card
    mattrib -i "$vol" +s ::/WINDOWS/DOSSTART.BAT
}

# 8.3 names alone, stored with the lower-case flags of Windows NT, which
# the mount shows in lower case.
build_lower_case_names() {
    new_volume 12 2048
    put autoexec.bat '@ECHO OFF\r\n'
    mmd -i "$vol" ::/windows ::/windows/system
    put windows/dosstart.bat '@ECHO OFF\r\n'
    [ "$(mshortname -i "$vol" ::/windows)" = ::/WINDOWS ] ||
        { echo "FAIL: mtools stored another name: $(mdir -i "$vol" ::/)" >&2; exit 1; }
}

# A temporary file left hidden: CreateFileA cannot truncate it.
build_hidden_temporary() {
    build_english_card
    put WINDOWS/DOSSTART.TMP 'old\r\n'
    mattrib -i "$vol" +h ::/WINDOWS/DOSSTART.TMP
}

# --- the volume before and after --------------------------------------------------

# Each entry of the volume, one a line: its attributes, its path by long
# names, its stored 8.3 name and, unless its path is one of `changes` (the
# files that the run may change, ':'-separated), a checksum of its bytes.
volume_state() {
    local changes=$1 attributes path sum
    while read -r attributes path; do
        sum=
        if [[ $attributes != *D* ]] && [[ ":$changes:" != *":${path#::/}:"* ]]; then
            sum=$(mtype -i "$vol" "$path" | md5sum)
        fi
        printf '%s %s %s %s\n' "$attributes" "$path" "$(mshortname -i "$vol" "$path")" "${sum%% *}"
    done < <(mattrib -/ -X -i "$vol" ::/)
}

# The volume passes fsck.fat -n with nothing to say.
expect_clean() {
    local output
    if ! output=$(fsck.fat -n "$vol" 2>&1) || [ "$(wc -l <<<"$output")" -ne 2 ]; then
        fail "fsck.fat -n: $output"
    fi
}

# --- checks on the results ----------------------------------------------------------

# What dosprep-image makes of a copy of the volume taken before the run.
check_as_dosprep_image() {
    local path
    "$dosprep_image" "$work/$row.image.img" >"$work/image.out" 2>&1 ||
        fail "dosprep-image: $(cat "$work/image.out")"
    for path in AUTOEXEC.BAT WINDOWS/DOSSTART.BAT; do
        mtype -i "$work/$row.image.img" "::/$path" >"$work/image.$row"
        expect_file "$path" "$work/image.$row"
    done
}

check_japanese_card() {
    expect_file AUTOEXEC.BAT "$golden/win98-jp/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98-jp/WINDOWS/DOSSTART.BAT"
    check_as_dosprep_image
}

check_english_card() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98/WINDOWS/DOSSTART.BAT"
}

check_alias() {
    expect AUTOEXEC.BAT "@ECHO OFF\\r\\n$blaster"
    expect "Windows Hub/DOSSTART.BAT" '@ECHO OFF\r\nC:\\WINDOW~3\\audprep.exe /S\r\n'
}

check_lower_case_names() {
    expect autoexec.bat "@ECHO OFF\\r\\n$blaster"
    expect windows/dosstart.bat '@ECHO OFF\r\nC:\\WINDOWS\\audprep.exe /S\r\n'
}

check_freed_alias_names_nothing() {
    expect AUTOEXEC.BAT '@ECHO OFF\r\n'
}

check_autoexec_untouched() {
    expect_file AUTOEXEC.BAT "$examples/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$golden/win98/WINDOWS/DOSSTART.BAT"
}

check_dosstart_untouched() {
    expect_file AUTOEXEC.BAT "$golden/win98/AUTOEXEC.BAT"
    expect_file WINDOWS/DOSSTART.BAT "$examples/win98/WINDOWS/DOSSTART.BAT"
}

# The diff that a dry run shows, labelled by the names on the card.
check_dry_run() {
    local path
    for path in AUTOEXEC.BAT WINDOWS/DOSSTART.BAT; do
        diff -u --label "a/$path" --label "b/$path" "$examples/win98/$path" "$golden/win98/$path" || true
    done >"$work/expected"
    guest_lines "$row" out | cmp -s - "$work/expected" ||
        fail "the diff shown: $(guest_lines "$row" out | head -n 4)"
}

check_hidden_temporary() {
    check_dosstart_untouched
    expect WINDOWS/DOSSTART.TMP 'old\r\n'
}

# --- the table ---------------------------------------------------------------------

# on_card PATH: an ERE for the host path of PATH on the mounted card, in
# brackets, as the messages give it.
on_card() {
    printf '\\(%s/%s\\)' "$card" "$1"
}

# name | builder | environment | arguments | files it may change (':'-separated) |
# status | message (an ERE for the whole of stderr, lines joined with " / ") |
# check. Every attribute, every name and every other file stays as it was.
cases=(
    "a Japanese Windows 98 card, as dosprep-image prepares it|build_japanese_card|||AUTOEXEC.BAT:WINDOWS/DOSSTART.BAT|0||check_japanese_card"
    "the Windows directory by its long name: its stored alias|build_freed_alias|DOSPREP_WINDIR=C:\\Windows Hub||AUTOEXEC.BAT:Windows Hub/DOSSTART.BAT|0||check_alias"
    "MSDOS.SYS names the Windows directory by its alias|build_alias_in_msdos_sys|||AUTOEXEC.BAT:Windows Hub/DOSSTART.BAT|0||check_alias"
    "a freed alias names no directory|build_freed_alias|DOSPREP_WINDIR=C:\\WINDOW~1|||1|dosprep: C:\\\\AUTOEXEC\\.BAT $(on_card AUTOEXEC.BAT): no Windows directory C:\\\\WINDOW~1; left as it was / dosprep: C:\\\\WINDOW~1\\\\DOSSTART\\.BAT $(on_card WINDOW~1/dosstart.bat): no Windows directory C:\\\\WINDOW~1; left as it was|check_freed_alias_names_nothing"
    "8.3 names are upper case, as stored|build_lower_case_names|DOSPREP_WINDIR=C:\\windows||autoexec.bat:windows/dosstart.bat|0||check_lower_case_names"
    "a hidden AUTOEXEC.BAT is left as it was|build_hidden_autoexec|||WINDOWS/DOSSTART.BAT|1|dosprep: C:\\\\AUTOEXEC\\.BAT $(on_card AUTOEXEC.BAT): hidden; left as it was|check_autoexec_untouched"
    "a read-only AUTOEXEC.BAT is left as it was|build_read_only_autoexec|||WINDOWS/DOSSTART.BAT|1|dosprep: C:\\\\AUTOEXEC\\.BAT $(on_card AUTOEXEC.BAT): read-only; left as it was|check_autoexec_untouched"
    "a system DOSSTART.BAT is left as it was|build_system_dosstart|||AUTOEXEC.BAT|1|dosprep: C:\\\\WINDOWS\\\\DOSSTART\\.BAT $(on_card WINDOWS/DOSSTART.BAT): system; left as it was|check_dosstart_untouched"
    "a hidden temporary file is not truncated|build_hidden_temporary|||AUTOEXEC.BAT|1|dosprep: C:\\\\WINDOWS\\\\DOSSTART\\.BAT $(on_card WINDOWS/DOSSTART.BAT): cannot create C:\\\\WINDOWS\\\\DOSSTART\\.TMP \\(hidden\\); left as it was|check_hidden_temporary"
    "a dry run shows the diff by the names on the card, and writes nothing|build_english_card||--dry-run||0||check_dry_run"
    "the desktop user's second run changes nothing|build_english_card||AGAIN --diff|AUTOEXEC.BAT:WINDOWS/DOSSTART.BAT|0||check_english_card"
)

# The guest's disk of a row: ubdb for the first, up to ubdp.
disk_letter() {
    local letters=bcdefghijklmnop
    echo "${letters:$1:1}"
}

# The init script's lines for one row: mount the volume /dev/ubdX, run the
# program as the desktop user, print its status and output line by line,
# each line marked with the row, and unmount. With AGAIN first in the
# arguments, the program runs once without them before.
guest_row() {
    local row=$1 disk=$2 environment=${3:+\'$3\'} arguments=$4
    cat <<EOF
busybox mount -t vfat -o $mount_options /dev/$disk $card || echo "@@failed $row: mount"
EOF
    if [[ $arguments == AGAIN* ]]; then
        arguments=${arguments#AGAIN}
        cat <<EOF
setpriv --reuid=1000 --regid=1000 --clear-groups env -i PATH=/usr/bin:/bin HOME=$guest_scratch/home \\
    TMPDIR=$guest_scratch/tmp $environment $dosprep $card >/dev/null 2>&1 || echo "@@failed $row: first run"
EOF
    fi
    cat <<EOF
setpriv --reuid=1000 --regid=1000 --clear-groups env -i PATH=/usr/bin:/bin HOME=$guest_scratch/home \\
    TMPDIR=$guest_scratch/tmp $environment $dosprep $arguments $card >$guest_scratch/out 2>$guest_scratch/err
echo "@@$row status \$?"
busybox sed 's/^/@@$row out /' $guest_scratch/out
busybox sed 's/^/@@$row err /' $guest_scratch/err
busybox umount $card || echo "@@failed $row: umount"
EOF
}

# The guest's /sbin/init: the FAT modules, tmpfs where it writes, each row,
# and power-off (UML's own status is always 0).
write_init() {
    local row=0 name builder environment arguments
    {
        echo '#!/bin/sh'
        echo 'echo "@@booted"'
        for module in fat/fat fat/vfat nls/nls_cp437 nls/nls_utf8 nls/nls_iso8859-1; do
            echo "busybox insmod $uml_modules/$module.ko || echo '@@failed: insmod $module'"
        done
        echo "busybox mount -t tmpfs -o mode=1777 tmpfs $guest_scratch"
        echo "busybox mkdir -p $card $guest_scratch/home $guest_scratch/tmp"
        echo "busybox chown 1000:1000 $guest_scratch/home $guest_scratch/tmp"
        for entry in "${cases[@]}"; do
            IFS='|' read -r name builder environment arguments _ <<<"$entry"
            guest_row "$row" "ubd$(disk_letter "$row")" "$environment" "$arguments"
            row=$((row + 1))
        done
        echo 'busybox sync'
        echo 'echo "@@done"'
        echo 'busybox poweroff -f'
    } >"$work/init"
    chmod +x -- "$work/init"
}

# Builds every row's volume, keeping a copy of each as it was.
build_rows() {
    local row=0
    for entry in "${cases[@]}"; do
        IFS='|' read -r name builder _ <<<"$entry"
        vol=$work/$row.img
        "$builder"
        cp -- "$vol" "$work/$row.image.img"
        row=$((row + 1))
    done
}

# Boots user-mode Linux with every volume.
boot() {
    local row
    local -a disks=()
    for row in "${!cases[@]}"; do
        disks+=("ubd$(disk_letter "$row")=$work/$row.img")
    done
    # A hang guard only: a run takes a few seconds.
    TMPDIR=$build_dir timeout 300 linux.uml mem=64M "${disks[@]}" root=/dev/root rootfstype=hostfs \
        rootflags=/ ro init="$work/init" con=null ssl=null con0=null,fd:1 quiet \
        >"$work/console" 2>"$work/uml.err" </dev/null || true
    grep -q '^@@booted' "$work/console" ||
        cannot_run "it did not start: $(tail -n 5 "$work/uml.err" "$work/console")"
    grep -q '^@@done' "$work/console" ||
        { echo "FAIL: the guest did not finish: $(tail -n 20 "$work/console")" >&2; exit 1; }
    if grep '^@@failed' "$work/console" >&2; then
        echo "FAIL: the guest could not set up" >&2
        exit 1
    fi
}

# The lines that the guest printed for the row, of one kind, unmarked (its
# console ends them in CR LF).
guest_lines() {
    sed -n "s/^@@$1 $2 \(.*\)\r\$/\1/p" "$work/console"
}

write_init
build_rows
started=$(date +%s.%N)
boot
echo "user-mode Linux: $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s for ${#cases[@]} volumes"
row=0
for entry in "${cases[@]}"; do
    IFS='|' read -r name builder environment arguments changes expected_status message check <<<"$entry"
    vol=$work/$row.img
    status=$(guest_lines "$row" status)
    [ "$status" = "$expected_status" ] || fail "status '$status', expected $expected_status"
    if [[ $arguments != *--dry-run* ]]; then
        [ -z "$(guest_lines "$row" out)" ] || fail "unexpected output: $(guest_lines "$row" out)"
    fi
    stderr=$(guest_lines "$row" err | awk 'NR > 1 { printf " / " } { printf "%s", $0 }')
    if [ -z "$message" ]; then
        [ -z "$stderr" ] || fail "unexpected message: $stderr"
    else
        grep -qE -- "^${message}\$" <<<"$stderr" || fail "message: $stderr"
    fi
    # Every entry but the files that the run may change, as it was; those
    # keep their names, 8.3 names and attributes.
    vol=$work/$row.image.img
    before=$(volume_state "$changes")
    vol=$work/$row.img
    after=$(volume_state "$changes")
    [ "$before" = "$after" ] || fail "the volume changed: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]')"
    expect_clean
    "$check"
    echo "ok: $name"
    row=$((row + 1))
done

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "vfat: ${#cases[@]} cases passed"
