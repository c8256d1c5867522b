# shellcheck shell=bash disable=SC2154 # vol and work are the caller's
# Sourced by the tests that build and check FAT volumes with mtools: each
# function works on the volume `vol` (an mtools image name, IMAGE or
# IMAGE@@OFFSET); the checks keep their files in `work` and call the
# caller's fail.

# Copies a directory tree onto the volume, directories first.
put_tree() {
    local tree=$1 dir file
    while read -r dir; do
        mmd -i "$vol" "::/${dir#./}"
    done < <(cd "$tree" && find . -mindepth 1 -type d | sort)
    while read -r file; do
        mcopy -i "$vol" "$tree/$file" "::/${file#./}"
    done < <(cd "$tree" && find . -type f ! -name .keep | sort)
}

# put PATH FORMAT: a file of the bytes that printf %b makes of FORMAT.
put() {
    printf '%b' "$2" | mcopy -o -i "$vol" - "::/$1"
}

# expect PATH FORMAT: the file holds exactly the bytes of printf %b FORMAT.
expect() {
    printf '%b' "$2" >"$work/expected"
    expect_file "$1" "$work/expected"
}

expect_file() {
    if ! mtype -i "$vol" "::/$1" >"$work/got" 2>/dev/null; then
        fail "$1 missing"
    elif ! cmp -s "$work/got" "$2"; then
        fail "$1 differs: $(od -c "$work/got" | head -n 8)"
    fi
}
