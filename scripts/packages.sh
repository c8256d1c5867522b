# shellcheck shell=bash disable=SC2034 # the lists are for those who source it
# Sourced by the scripts: makes sure Debian packages are installed.
# As root it installs what is missing with apt-get; otherwise it names the
# packages to install and fails.

missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            printf '%s\n' "$package"
    done
}

require_packages() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages; install them with:" >&2
        echo "  sudo apt-get install ${missing//$'\n'/ }" >&2
        return 1
    fi
    echo "Installing: ${missing//$'\n'/ }" >&2
    if grep -q ':i386$' <<<"$missing" && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

BUILD_PACKAGES=(cmake make g++ libgtest-dev)
# wine32 runs the 32-bit program, the one that is shipped. Where the kernel
# cannot start 32-bit programs, wine64 runs the same sources built as PE32+
# with the x86-64 cross compiler, for the tests alone.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
    wine64 g++-mingw-w64-x86-64-win32)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Packages and the README's own commands.
PACKAGING_PACKAGES=(dpkg-dev unzip mtools dosfstools git)
# dosprep-image and its tests: mtools reaches the volumes; mkfs.fat,
# fsck.fat and sfdisk make and check the test images.
IMAGE_PACKAGES=(mtools dosfstools fdisk)
LINT_PACKAGES=(shellcheck)
