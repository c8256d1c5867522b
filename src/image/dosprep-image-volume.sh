# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with dosprep-image
# dosprep-image: the FAT volume through mtools, and its check with
# fsck.fat. Sourced by dosprep-image, whose globals it shares: `scratch`,
# `drive`, `volume` (the mtools name of the volume), the slots, and `fail`.

# --- mtools -----------------------------------------------------------------

# Settings of our own, so that neither ~/.mtoolsrc (HOME is in the scratch
# directory) nor the environment changes how names are made, dates are
# shown or volumes are checked.
configure_mtools() {
    local name
    for name in $(compgen -e); do
        [[ $name != MTOOLS* ]] || unset "$name"
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
    local info key value size=0 small=0 big=0
    info=$(mt minfo -i "$scratch/image@@$1" ::) || info=
    while IFS=: read -r key value; do
        value=${value// /}
        case $key in
        'sector size') size=${value%bytes} ;;
        'small size') small=${value%sectors} ;;
        'big size') big=${value%sectors} ;;
        esac
    done <<<"$info"
    [[ "$size $small $big" =~ ^[0-9]+\ [0-9]+\ [0-9]+$ ]] || { echo 0 && return 0; }
    [ "$small" -ne 0 ] || small=$big
    echo $((size * small))
}

# Whether a FAT volume of SIZE bytes is there, and fits in ROOM bytes.
fits_in() {
    [ "$1" -gt 0 ] && [ "$1" -le "$2" ]
}

# --- entries of the volume ----------------------------------------------------

# Looks up NAME in the volume directory DIR ("::" or "::/A/B") as Windows
# finds it, by its long or its short name without regard to case, and
# prints "KIND|ATTRIBUTES|PATH": absent, file or dir; mattrib's letters;
# its short path on the volume. Else prints why it cannot, and fails.
lookup() {
    local path=$1/$2 attributes short
    if ! attributes=$(mt mattrib -X -i "$volume" "$path"); then
        [[ $attributes == *'not found'* ]] || { printf 'cannot read %s: %s' "$(dos_path "$path")" "$attributes" && return 1; }
        printf 'absent||%s' "$path"
        return 0
    fi
    short=$(mt mshortname -i "$volume" "$path") ||
        { printf 'cannot read %s: %s' "$(dos_path "$path")" "$short" && return 1; }
    attributes=${attributes%%$'\n'*}
    if [[ $attributes == *D* ]]; then
        printf 'dir|%s|%s' "$attributes" "${short%%$'\n'*}"
    else
        printf 'file|%s|%s' "$attributes" "${short%%$'\n'*}"
    fi
}

# The name that a batch file rewritten at PATH takes on the volume: its long
# name if it has one, so that it keeps it, else its short name. Else prints
# why it cannot, and fails.
primary_name() {
    local listing line pattern='^.{8} .{3} +[0-9]+ +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]+:[0-9]{2} (.*)$'
    listing=$(mt mdir -a -i "$volume" "$1") || { printf 'cannot read %s: %s' "$(dos_path "$1")" "$listing" && return 1; }
    while IFS= read -r line; do
        [[ $line =~ $pattern ]] || continue
        line=${BASH_REMATCH[1]# }
        if [ -z "$line" ]; then
            break
        elif [[ ! $line =~ ^[[:print:]]+$ ]]; then
            printf '%s has a long name of other than plain ASCII characters' "$(dos_path "$1")"
            return 1
        fi
        printf '%s' "$line"
        return 0
    done <<<"$listing"
    printf '%s' "${1##*/}"
}

# The slots: the entries that the edits read or write, each by what it was
# on the volume (absent, file or dir), its attributes and its short path;
# a file's bytes are in the scratch tree, under that path below `drive`,
# and in $scratch/before/SLOT.
declare -A slot_kind slot_attributes slot_path

# take_slot SLOT DIR NAME PROTECT: looks NAME up in the volume directory
# DIR, and puts it into the scratch tree; a file is made read-only there
# when it has one of the attributes PROTECT (R, H, S), so that dosprep
# leaves it as Windows would.
take_slot() {
    local slot=$1 dir=$2 name=$3 entry kind attributes path error
    entry=$(lookup "$dir" "$name") || fail "$entry"
    checkpoint
    IFS='|' read -r kind attributes path <<<"$entry"
    if [ "$kind" != absent ] && [ "${path##*/}" != "$name" ]; then
        fail "$(dos_path "$dir/$name") is found only by a long name (its DOS name is $(dos_path "$path"))"
    fi
    slot_kind[$slot]=$kind
    slot_attributes[$slot]=$attributes
    slot_path[$slot]=$path
    case $kind in
    dir) mkdir -- "$drive${path#::}" ;;
    file)
        error=$(mt mcopy -n -i "$volume" "$path" "$scratch/before/$slot") ||
            fail "cannot read $(dos_path "$path"): $error"
        checkpoint
        cp -- "$scratch/before/$slot" "$drive${path#::}"
        [[ $attributes != *["$4"]* ]] || chmod a-w -- "$drive${path#::}"
        ;;
    esac
}

# --- writing back -------------------------------------------------------------

# Writes the changed slots to the volume `volume` in the Windows program's
# order: AUTOEXEC.BAT, then DOSSTART.BAT, each first as its temporary file,
# which is then renamed over the batch file, so that a full volume never
# costs the old file. Each is one step, which a signal does not cut short,
# and each by itself: one that does not fit is named, and the next one is
# written all the same. A temporary file that dosprep deleted or left
# behind on its own, its batch file staying the same, is deleted or
# written. FLUSH names the file to flush after each write. Adds each batch
# file written to `written`; sets `wrote` once anything is.
write_changes() {
    local flush=$1 slot temporary error
    for slot in "${changed[@]}"; do
        begin_step
        temporary=${slot_path[${slot%_tmp}_tmp]}
        if [[ $slot != *_tmp ]]; then
            write_batch_file "$slot" "$temporary" "$flush"
        elif [[ " ${changed[*]} " != *" ${slot%_tmp} "* ]]; then
            if [ -e "$drive${temporary#::}" ]; then
                error=$(mt mcopy -o -i "$volume" "$drive${temporary#::}" "$temporary") ||
                    fail "cannot write $(dos_path "$temporary"): $error"
            else
                error=$(mt mdel -i "$volume" "$temporary") || fail "cannot delete $(dos_path "$temporary"): $error"
            fi
            wrote=1
        fi
        end_step
    done
}

write_batch_file() {
    local slot=$1 temporary=$2 flush=$3 target=${slot_path[$1]} error attributes=+a
    if ! error=$(mt mcopy -o -i "$volume" "$drive${target#::}" "$temporary"); then
        mt mdel -i "$volume" "$temporary" >/dev/null || true
        case $error in
        *'Disk full'* | *'No free'* | *'directory full'*) ;;
        *) fail "cannot write $(dos_path "$temporary"): $error" ;;
        esac
        report "volume full: $(dos_path "$target") left as it was"
        unprepared=1
        return 0
    fi
    wrote=1
    shielded sync -- "$flush"
    if [ "${slot_kind[$slot]}" = file ]; then
        error=$(primary_name "$target") || fail "$error"
        target=${target%/*}/$error
    fi
    error=$(mt mren -o -i "$volume" "$temporary" "$target") ||
        fail "cannot rename $(dos_path "$temporary") over $(dos_path "$target"): $error"
    # As CopyFile gives the new file the attributes of the new temporary
    # file, it is marked for archiving; a system file stays one.
    [[ ${slot_attributes[$slot]} != *S* ]] || attributes+=' +s'
    # shellcheck disable=SC2086 # two options when it is a system file
    error=$(mt mattrib $attributes -i "$volume" "$target") ||
        fail "cannot set the attributes of $(dos_path "$target"): $error"
    shielded sync -- "$flush"
    written+=("$slot")
}

# --- the check ----------------------------------------------------------------

# The first problem in fsck.fat's report on standard input, a path given as
# DOS names it, or nothing when the dirty bit is all it found.
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
    local status=0 report problem
    command -v fsck.fat >/dev/null ||
        fail "fsck.fat is not installed (Debian's dosfstools); it checks the volume before any write"
    report=$(fsck.fat -n -- "$1" 2>&1) || status=$?
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
