#!/usr/bin/env bash
# Runs every command of the README, so that it cannot rot: each fenced
# block marked `sh` runs, in order, in a scratch copy of the source tree,
# with HOME in a scratch directory that holds a small Wine prefix and a FAT
# disk image of the bundled Windows 98 tree. A `text` block right after a
# command block is its expected output, which reads HOME as /home/you and
# cannot show CRs. Argument: the source directory.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$scratch/src
mkdir -p "$work"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard 2>/dev/null | xargs -0 cp --parents -t "$work") ||
    (cd "$source_dir" && tar --exclude=./build -cf - . | tar -xf - -C "$work")

export HOME=$scratch/home
mkdir -p "$HOME/.wine/drive_c/windows/system32"
printf '[intl]\r\nsLanguage=enu\r\n' >"$HOME/.wine/drive_c/windows/win.ini"
export PATH=$HOME/.local/bin:$PATH
unset WINEPREFIX DOSPREP_DRIVE_C DOSPREP_WINDIR

# win98.img: a FAT image holding examples/win98.
mkfs.vfat -C "$work/win98.img" 4096 >/dev/null
(cd "$work/examples/win98" && find . -mindepth 1 -type d | sort | while read -r dir; do
    mmd -i "$work/win98.img" "::/${dir#./}"
done && find . -type f ! -name .keep | while read -r file; do
    mcopy -i "$work/win98.img" "$file" "::/${file#./}"
done)

# Splits the README into blocks: kind (sh or text), then the body.
awk -v out="$scratch/block" '
    /^```/ && !inside { kind = substr($0, 4); inside = 1; n++; file = sprintf("%s.%03d.%s", out, n, kind == "" ? "none" : kind); printf "" > file; next }
    /^```/ && inside { inside = 0; close(file); next }
    inside { print >> file }
' "$work/README.md"

count=0
previous_output=""
for block in "$scratch"/block.*; do
    case "$block" in
    *.sh)
        count=$((count + 1))
        echo "--- block $count: $(head -n 1 "$block")"
        previous_output=$scratch/output.$count
        (cd "$work" && bash -euo pipefail "$block") >"$previous_output.raw" 2>&1 ||
            { cat "$previous_output.raw"; fail "README block $count failed"; }
        tr -d '\r' <"$previous_output.raw" | sed "s|$HOME|/home/you|g" >"$previous_output"
        ;;
    *.text)
        [ -n "$previous_output" ] || continue
        diff -u "$block" "$previous_output" || fail "README output differs from what the commands print"
        previous_output=""
        ;;
    *) previous_output="" ;;
    esac
done
[ "$count" -ge 4 ] || fail "only $count command blocks found"
echo "README: $count command blocks ran"
