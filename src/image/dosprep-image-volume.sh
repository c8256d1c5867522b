# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with dosprep-image
# dosprep-image: the FAT volume through mtools, and its check with fsck.fat.
# `volume` is the mtools name of the volume; `drive` the scratch tree.

# --- mtools -----------------------------------------------------------------

# Settings of our own, whatever ~/.mtoolsrc (HOME is in the scratch
# directory) and the environment say.
configure_mtools() {
    unset "${!MTOOLS@}"
    export HOME=$scratch/home MTOOLSRC=/dev/null
    export MTOOLS_SKIP_CHECK=0 MTOOLS_FAT_COMPATIBILITY=0 MTOOLS_LOWER_CASE=0
    export MTOOLS_NO_VFAT=0 MTOOLS_NAME_NUMERIC_TAIL=1 MTOOLS_DOTTED_DIR=0
    export MTOOLS_TWENTY_FOUR_HOUR_CLOCK=1 MTOOLS_DATE_STRING=yyyy-mm-dd
}

# Runs a command in a session of its own, out of reach of a terminal's
# Ctrl-C, which mtools and dosprep would catch and stop halfway.
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

# must WHAT COMMAND...: an mtools command that fails the run with "WHAT: its
# last message" when it fails.
must() {
    local error
    error=$(mt "${@:2}") || fail "$1: $error"
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
    local info size=0 sectors=0
    info=$(mt minfo -i "$scratch/image@@$1" ::) || info=
    [[ $info =~ sector\ size:\ ([0-9]+)\ bytes ]] && size=${BASH_REMATCH[1]}
    [[ $info =~ small\ size:\ ([0-9]+)\ sectors ]] && sectors=${BASH_REMATCH[1]}
    [[ $sectors -eq 0 && $info =~ big\ size:\ ([0-9]+)\ sectors ]] && sectors=${BASH_REMATCH[1]}
    echo $((size * sectors))
}

# Whether a FAT volume of SIZE bytes is there, and fits in ROOM bytes.
fits_in() {
    [ "$1" -gt 0 ] && [ "$1" -le "$2" ]
}

# --- entries of the volume ----------------------------------------------------

# Looks up NAME in the volume directory DIR ("::" or "::/A/B") as Windows
# finds it, by its long or its short name without regard to case, and
# prints "KIND|ATTRIBUTES|PATH": absent, file or dir; mattrib's letters;
# its short path. Else prints why it cannot, and fails.
lookup() {
    local path=$1/$2 attributes short kind=file
    if ! attributes=$(mt mattrib -X -i "$volume" "$path"); then
        [[ $attributes == *'not found'* ]] || { printf 'cannot read %s: %s' "$(dos_path "$path")" "$attributes" && return 1; }
        printf 'absent||%s' "$path"
    elif short=$(mt mshortname -i "$volume" "$path"); then
        [[ ${attributes%%$'\n'*} != *D* ]] || kind=dir
        printf '%s|%s|%s' "$kind" "${attributes%%$'\n'*}" "${short%%$'\n'*}"
    else
        printf 'cannot read %s: %s' "$(dos_path "$path")" "$short"
        return 1
    fi
}

# The name that a batch file rewritten at PATH takes on the volume: its long
# name if it has one, so that it keeps it, else its short name. Else prints
# why it cannot, and fails.
primary_name() {
    local listing long
    listing=$(mt mdir -a -i "$volume" "$1") || { printf 'cannot read %s: %s' "$(dos_path "$1")" "$listing" && return 1; }
    long=$(sed -nE '/^.{8} .{3} +[0-9]+ +[0-9]{4}-[0-9]{2}-[0-9]{2} +[0-9]+:[0-9]{2} (.*)$/{s//\1/;s/^ //;p;q}' <<<"$listing")
    [[ -z $long || $long =~ ^[[:print:]]+$ ]] ||
        { printf '%s has a long name of other than plain ASCII characters' "$(dos_path "$1")" && return 1; }
    printf '%s' "${long:-${1##*/}}"
}

# The slots: the entries that the edits read or write, by what each was on
# the volume (absent, file or dir), its attributes and its short path. A
# file's bytes are in the scratch tree at that path, and in $scratch/before.
declare -A slot_kind slot_attributes slot_path

# take_slot SLOT DIR NAME PROTECT: NAME of the volume directory DIR into the
# scratch tree, read-only there when it has one of the attributes PROTECT.
take_slot() {
    local slot=$1 dir=$2 name=$3 entry kind attributes path
    entry=$(lookup "$dir" "$name") || fail "$entry"
    checkpoint
    IFS='|' read -r kind attributes path <<<"$entry"
    [ "$kind" = absent ] || [ "${path##*/}" = "$name" ] ||
        fail "$(dos_path "$dir/$name") is found only by a long name (its DOS name is $(dos_path "$path"))"
    slot_kind[$slot]=$kind
    slot_attributes[$slot]=$attributes
    slot_path[$slot]=$path
    case $kind in
    dir) mkdir -- "$drive${path#::}" ;;
    file)
        must "cannot read $(dos_path "$path")" mcopy -n -i "$volume" "$path" "$scratch/before/$slot"
        checkpoint
        cp -- "$scratch/before/$slot" "$drive${path#::}"
        [[ $attributes != *["$4"]* ]] || chmod a-w -- "$drive${path#::}"
        ;;
    esac
}

# --- writing back -------------------------------------------------------------

# Writes the changed slots in the Windows program's order, each one step
# that a signal does not cut short: a batch file as its temporary file, then
# renamed over it, so that a full volume never costs the old file (one that
# does not fit is named, and the next written all the same); a temporary
# file that dosprep deleted or left, its batch file staying the same. FLUSH
# is the file to flush after each write. Sets `written` and `wrote`.
write_changes() {
    local flush=$1 slot temporary
    for slot in "${changed[@]}"; do
        begin_step
        temporary=${slot_path[${slot%_tmp}_tmp]}
        if [[ $slot != *_tmp ]]; then
            write_batch_file "$slot" "$temporary" "$flush"
        elif [[ " ${changed[*]} " != *" ${slot%_tmp} "* ]]; then
            if [ -e "$drive${temporary#::}" ]; then
                must "cannot write $(dos_path "$temporary")" mcopy -o -i "$volume" "$drive${temporary#::}" "$temporary"
            else
                must "cannot delete $(dos_path "$temporary")" mdel -i "$volume" "$temporary"
            fi
            wrote=1
        fi
        end_step
    done
}

write_batch_file() {
    local slot=$1 temporary=$2 flush=$3 target=${slot_path[$1]} error name
    if ! error=$(mt mcopy -o -i "$volume" "$drive${target#::}" "$temporary"); then
        mt mdel -i "$volume" "$temporary" >/dev/null || true
        [[ $error == *'Disk full'* || $error == *'No free'* || $error == *'directory full'* ]] ||
            fail "cannot write $(dos_path "$temporary"): $error"
        report "volume full: $(dos_path "$target") left as it was"
        unprepared=1
        return 0
    fi
    wrote=1
    shielded sync -- "$flush"
    if [ "${slot_kind[$slot]}" = file ]; then
        name=$(primary_name "$target") || fail "$name"
        target=${target%/*}/$name
    fi
    must "cannot rename $(dos_path "$temporary") over $(dos_path "$target")" mren -o -i "$volume" "$temporary" "$target"
    # CopyFile gives it the new temporary file's attributes: archive (a
    # system file, which would keep system, is refused).
    must "cannot set the attributes of $(dos_path "$target")" mattrib +a -i "$volume" "$target"
    shielded sync -- "$flush"
    written+=("$slot")
}

# --- the check ----------------------------------------------------------------

# The first problem in fsck.fat's report on stdin, its paths as DOS names
# them, or nothing when the dirty bit is all it found.
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

# fsck.fat -n on FILE, exactly the volume: a damaged volume is not written
# to but with --force; a dirty bit alone is only a warning.
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
