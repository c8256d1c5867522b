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

# Whether the kernel starts 32-bit x86 programs: a tiny i386 ELF program,
# made on the spot with binutils, exits with status 42 where it can.
kernel_runs_32bit_programs() {
    local dir status=0
    dir=$(mktemp -d) || return 1
    cat >"$dir/exit.s" <<'EOF'
.globl _start
_start: movl $1, %eax
        movl $42, %ebx
        int $0x80
EOF
    if as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null &&
        ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null; then
        "$dir/exit" 2>/dev/null || status=$?
    fi
    rm -rf -- "$dir"
    [ "$status" -eq 42 ]
}

# apt-get install of the packages named, quietly; on failure, names those
# still missing.
install_packages() {
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
    echo "Could not install: $(missing_packages "$@" | paste -sd ' ')" >&2
    return 1
}

# Installs what is missing; a failed 'apt-get update' leaves the install to
# decide.
require_packages() {
    local missing native foreign
    missing=$(missing_packages "$@")
    native=$(grep -v ':i386$' <<<"$missing" || true)
    foreign=$(grep ':i386$' <<<"$missing" || true)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages; install them with:" >&2
        echo "  sudo apt-get install ${missing//$'\n'/ }" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || echo "warning: apt-get update failed; installing from the package lists at hand" >&2
    if [ -n "$native" ]; then
        echo "Installing: ${native//$'\n'/ }" >&2
        # shellcheck disable=SC2086 # one package a line
        install_packages $native || return 1
    fi
    [ -n "$foreign" ] && install_foreign_packages "$foreign"
    return 0
}

# The i386 packages, in an install of their own where the kernel starts
# 32-bit programs (binutils came with the native packages): a stale i386
# index then costs them alone, and the tests use 64-bit Wine instead.
install_foreign_packages() {
    if ! kernel_runs_32bit_programs; then
        echo "This kernel starts no 32-bit programs; not installing: ${1//$'\n'/ }" >&2
        return 0
    fi
    echo "Installing: ${1//$'\n'/ }" >&2
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        apt-get update -qq || echo "warning: apt-get update failed for i386" >&2
    fi
    # shellcheck disable=SC2086
    install_packages $1 || echo "Going on without ${1//$'\n'/ }: the tests use what runs here" >&2
}

BUILD_PACKAGES=(cmake make g++ libgtest-dev)
# wine32 runs the 32-bit program, the one that is shipped. Where the kernel
# cannot start 32-bit programs, wine64 runs the same sources built as PE32+
# with the x86-64 cross compiler, for the tests alone.
WINDOWS_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
    wine64 g++-mingw-w64-x86-64-win32)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Packages and the README's own commands; lintian checks the .deb.
PACKAGING_PACKAGES=(dpkg-dev unzip mtools dosfstools git lintian)
# dosprep-image and its tests: mtools reaches the volumes and fsck.fat
# checks them; qemu-img, qemu-storage-daemon and FUSE reach disks of other
# formats than raw; mkfs.fat and sfdisk make the test images. User-mode
# Linux brings the kernel's vfat driver to the tests of the native program
# on a mounted card, and busybox the commands run inside it.
IMAGE_PACKAGES=(mtools dosfstools jq fdisk qemu-utils qemu-system-common fuse3
    user-mode-linux busybox-static)
LINT_PACKAGES=(shellcheck)
