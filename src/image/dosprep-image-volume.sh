# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with dosprep-image
# dosprep-image: the FAT volume through mtools, and its check with
# fsck.fat. Sourced by dosprep-image, whose globals it shares: `scratch`,
# `volume` (the mtools name of the volume), the slots, and `fail`.

# --- mtools -----------------------------------------------------------------

# Settings of our own, so that neither ~/.mtoolsrc nor the environment
# changes how names are made, dates are shown or volumes are checked. The
# scratch directory is HOME, so ~/.mtoolsrc is not read.
configure_mtools() {
    local name
    for name in $(compgen -e); do
        if [[ $name == MTOOLS* ]]; then
            unset "$name"
        fi
    done
    export HOME=$scratch/home MTOOLSRC=/dev/null
    export MTOOLS_SKIP_CHECK=0 MTOOLS_FAT_COMPATIBILITY=0 MTOOLS_LOWER_CASE=0
    export MTOOLS_NO_VFAT=0 MTOOLS_NAME_NUMERIC_TAIL=1 MTOOLS_DOTTED_DIR=0
    export MTOOLS_TWENTY_FOUR_HOUR_CLOCK=1 MTOOLS_DATE_STRING=yyyy-mm-dd
}

# Runs a command in a session of its own, where a terminal's Ctrl-C does
# not reach it: the run ignores the signal, but mtools and dosprep catch it
# themselves, and would stop halfway.
shielded() {
    setsid -w "$@"
}

# Runs an mtools command and prints its output, or, when it fails, its
# last message, with its status.
mt() {
    local output status=0
    output=$(shielded "$@" 2>"$scratch/mtools.err") || status=$?
    [ "$status" -eq 0 ] || output=$(last_message "$(<"$scratch/mtools.err")")
    printf '%s\n' "$output"
    return "$status"
}

# The last line of a tool's messages, or "failed" when it gave none.
last_message() {
    local message=${1##*$'\n'}
    printf '%s' "${message:-failed}"
}

# "::/A/B" as DOS names it: "C:\A\B".
dos_path() {
    local path=${1#::}
    path=${path//\//\\}
    printf 'C:%s' "${path:-\\}"
}

# The size in bytes of the FAT volume that starts at byte OFFSET of the
# disk, as its boot sector gives it; 0 where none starts.
fat_size() {
    local info key value sector_size=0 small=0 big=0
    if ! info=$(mt minfo -i "$scratch/image@@$1" ::); then
        echo 0
        return
    fi
    while IFS=: read -r key value; do
        value=${value// /}
        case $key in
        'sector size') sector_size=${value%bytes} ;;
        'small size') small=${value%sectors} ;;
        'big size') big=${value%sectors} ;;
        esac
    done <<<"$info"
    if [[ ! $sector_size =~ ^[0-9]+$ || ! $small =~ ^[0-9]+$ || ! $big =~ ^[0-9]+$ ]]; then
        echo 0
        return
    fi
    [ "$small" -ne 0 ] || small=$big
    echo $((sector_size * small))
}

# Whether a FAT volume of SIZE bytes is there, and fits in ROOM bytes.
fits_in() {
    [ "$1" -gt 0 ] && [ "$1" -le "$2" ]
}

# --- entries of the volume ----------------------------------------------------

# Looks up NAME in the volume directory DIR ("::" or "::/A/B"), as Windows
# finds it: by its long or its short name, without regard to case. Sets
# entry_kind (absent, file or dir), entry_attributes (mattrib's letters) and
# entry_path (the entry's short path on the volume).
lookup() {
    local path=$1/$2 attributes short_path
    entry_kind=absent
    entry_attributes=
    entry_path=$path
    if ! attributes=$(mt mattrib -X -i "$volume" "$path"); then
        checkpoint
        [[ $attributes != *'not found'* ]] || return 0
        fail "cannot read $(dos_path "$path"): $attributes"
    fi
    checkpoint
    entry_attributes=${attributes%%$'\n'*}
    entry_kind='file'
    if [[ $entry_attributes == *D* ]]; then
        entry_kind=dir
    fi
    short_path=$(mt mshortname -i "$volume" "$path") || fail "cannot read $(dos_path "$path"): $short_path"
    checkpoint
    entry_path=${short_path%%$'\n'*}
}

# Sets `primary` to the name that a rewritten batch file takes on the
# volume: its long name if it has one, so that it keeps it, else its short
# name.
primary_name() {
    local path=$1 listing line long=
    listing=$(mt mdir -a -i "$volume" "$path") || fail "cannot read $(dos_path "$path"): $listing"
    local pattern='^.{8} .{3} +[0-9]+ +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]+:[0-9]{2} (.*)$'
    while IFS= read -r line; do
        if [[ $line =~ $pattern ]]; then
            long=${BASH_REMATCH[1]# }
            break
        fi
    done <<<"$listing"
    if [ -z "$long" ]; then
        primary=${path##*/}
    elif [[ $long =~ ^[[:print:]]+$ ]]; then
        primary=$long
    else
        fail "$(dos_path "$path") has a long name of other than plain ASCII characters"
    fi
}

# The slots: the entries that the edits read or write, each with the
# volume directory it is in (root or windir), its name, and what it was.
declare -A slot_dir slot_name slot_kind slot_attributes slot_path slot_host

# Looks a slot up on the volume and puts it into the scratch tree, a file
# with its bytes, read-only there when `protect` names one of its
# attributes (R, H, S), so that dosprep leaves it as Windows would.
take_slot() {
    local slot=$1 where=$2 name=$3 protect=$4 dir host_dir error
    if [ "$where" = root ]; then
        dir=::
        host_dir=$drive
    else
        dir=$windir_path
        host_dir=$windir_host
    fi
    lookup "$dir" "$name"
    if [ "$entry_kind" != absent ] && [ "${entry_path##*/}" != "${name^^}" ]; then
        fail "$(dos_path "$dir/$name") is found only by a long name (its DOS name is $(dos_path "$entry_path"))"
    fi
    slot_dir[$slot]=$dir
    slot_name[$slot]=$name
    slot_kind[$slot]=$entry_kind
    slot_attributes[$slot]=$entry_attributes
    slot_path[$slot]=$entry_path
    slot_host[$slot]=$host_dir/$name
    case $entry_kind in
    dir) mkdir -- "$host_dir/$name" ;;
    file)
        error=$(mt mcopy -n -i "$volume" "$entry_path" "$host_dir/$name") ||
            fail "cannot read $(dos_path "$entry_path"): $error"
        checkpoint
        if [[ $entry_attributes == *["$protect"]* ]]; then
            chmod a-w -- "$host_dir/$name"
        fi
        ;;
    esac
}

# --- writing back -------------------------------------------------------------

# Writes the changes to the volume `volume` in the Windows program's order:
# AUTOEXEC.BAT, then DOSSTART.BAT, each first as its temporary file, which
# is then renamed over the batch file, so that a full volume never costs
# the old file. Each is one step, which a signal does not cut short, and
# each by itself: one that does not fit is named, and the next one is
# written all the same. `flush` names the file to flush after each step.
# Adds each batch file written to `written`; sets `wrote` once anything is.
write_changes() {
    local flush=$1 slot
    for slot in "${changed[@]}"; do
        begin_step
        case $slot in
        *_tmp) write_temporary "$slot" "${slot%_tmp}" ;;
        *) write_batch_file "$slot" "$flush" ;;
        esac
        end_step
    done
}

# The path on the volume of the temporary file of a batch file.
temporary_path() {
    local slot=$1_tmp
    if [ "${slot_kind[$slot]}" = file ]; then
        printf '%s' "${slot_path[$slot]}"
    else
        printf '%s' "${slot_dir[$slot]}/${slot_name[$slot]}"
    fi
}

write_batch_file() {
    local slot=$1 flush=$2 temporary target error
    temporary=$(temporary_path "$slot")
    if ! error=$(mt mcopy -o -i "$volume" "${new_host[$slot]}" "$temporary"); then
        mt mdel -i "$volume" "$temporary" >/dev/null || true
        case $error in
        *'Disk full'* | *'No free'* | *'directory full'*)
            report "volume full: $(dos_path "${slot_dir[$slot]}/${slot_name[$slot]}") left as it was"
            unprepared=1
            return 0
            ;;
        esac
        fail "cannot write $(dos_path "$temporary"): $error"
    fi
    wrote=1
    shielded sync -- "$flush"
    if [ "${slot_kind[$slot]}" = file ]; then
        primary_name "${slot_path[$slot]}"
        target=${slot_dir[$slot]}/$primary
    else
        target=${slot_dir[$slot]}/${slot_name[$slot]}
    fi
    error=$(mt mren -o -i "$volume" "$temporary" "$target") ||
        fail "cannot rename $(dos_path "$temporary") over $(dos_path "$target"): $error"
    # As CopyFile gives the new file the attributes of the new temporary
    # file, it is marked for archiving; a system file stays one.
    local attributes=+a
    if [[ ${slot_attributes[$slot]} == *S* ]]; then
        attributes+=' +s'
    fi
    # shellcheck disable=SC2086 # two options when it is a system file
    error=$(mt mattrib $attributes -i "$volume" "$target") ||
        fail "cannot set the attributes of $(dos_path "$target"): $error"
    shielded sync -- "$flush"
    written+=("$slot")
}

# A temporary file that dosprep deleted or left behind on its own, the
# batch file staying the same.
write_temporary() {
    local slot=$1 batch=$2 temporary error
    [[ " ${changed[*]} " != *" $batch "* ]] || return 0 # renamed over it
    temporary=$(temporary_path "$batch")
    if [ -z "${new_host[$slot]}" ]; then
        error=$(mt mdel -i "$volume" "$temporary") || fail "cannot delete $(dos_path "$temporary"): $error"
    else
        error=$(mt mcopy -o -i "$volume" "${new_host[$slot]}" "$temporary") ||
            fail "cannot write $(dos_path "$temporary"): $error"
    fi
    wrote=1
}

# --- the check ----------------------------------------------------------------

# The first problem in fsck.fat's report on standard input, a path given
# as DOS names it, or nothing when the dirty bit is all it found.
first_fsck_problem() {
    awk '
        function dos(path) { gsub("/", "\\", path); return "C:" path }
        NR == 1 || /^$/ || /^Leaving filesystem unchanged\.$/ { next }
        /: [0-9]+ files, [0-9]+\/[0-9]+ clusters$/ { next }
        /^Dirty bit is set\./ { in_dirty = 1; next }
        /^ / && in_dirty { next }
        { in_dirty = 0 }
        /^\// { sub(/ +and$/, " and"); path = path (path == "" ? "" : " ") dos($0); next }
        path != "" { sub(/^ +/, ""); problem = path ": " $0; exit }
        { problem = $0; exit }
        END {
            if (problem == "") problem = path
            sub(/\.$/, "", problem)
            print problem
        }'
}

# fsck.fat -n on FILE, which holds exactly the volume, `volume_name`: a
# volume it finds damaged is not written to, unless with --force; a dirty
# bit alone (a machine that was not shut down cleanly) is only a warning.
fsck_volume() {
    local file=$1 status=0 report problem
    command -v fsck.fat >/dev/null ||
        fail "fsck.fat is not installed (Debian's dosfstools); it checks the volume before any write"
    report=$(fsck.fat -n -- "$file" 2>&1) || status=$?
    [ "$status" -ne 0 ] || return 0
    [ "$status" -eq 1 ] || fail "cannot check $volume_name: ${report##*$'\n'}"
    problem=$(first_fsck_problem <<<"$report")
    if [ -z "$problem" ]; then
        warn "$volume_name was not shut down cleanly (its dirty bit is set); ScanDisk on the machine checks it"
    elif [ "$force" -eq 1 ] && [ "$dry_run" -eq 1 ]; then
        warn "$volume_name is damaged: $problem; --force would write these changes to it all the same; nothing written (--dry-run)"
    elif [ "$force" -eq 1 ]; then
        warn "$volume_name is damaged: $problem; writing to it all the same (--force)"
    else
        fail "$volume_name is damaged: $problem; nothing written: repair it with ScanDisk on the machine, or fsck.fat -a, or write anyway with --force"
    fi
}
