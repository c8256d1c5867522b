#!/usr/bin/env bash
# Installs the native build into a staging prefix and builds its .deb,
# checks that every file is where it belongs, and that lintian finds no
# fault in the .deb. Argument: the build directory.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage/usr" >/dev/null
[ -x "$stage/usr/bin/dosprep" ] || fail "bin/dosprep missing"
[ -x "$stage/usr/bin/dosprep-image" ] || fail "bin/dosprep-image missing"
for part in volume export; do
    [ -f "$stage/usr/lib/dosprep/dosprep-image-$part.sh" ] || fail "lib/dosprep/dosprep-image-$part.sh missing"
done
grep -q '^License: ' "$stage/usr/share/doc/dosprep/copyright" || fail "copyright file missing or without a licence"
[[ $(zcat "$stage/usr/share/doc/dosprep/changelog.gz") == "dosprep ("* ]] || fail "changelog.gz missing or damaged"
for page in dosprep dosprep-image; do
    gzip -t "$stage/usr/share/man/man1/$page.1.gz" || fail "$page man page missing or damaged"
    zcat "$stage/usr/share/man/man1/$page.1.gz" | grep -q "^\\.TH ${page^^} 1" || fail "$page: not a man page"
done
[ "$(find "$stage" -type f | wc -l)" -eq 8 ] || fail "unexpected files: $(find "$stage" -type f)"

# The installed dosprep-image runs the dosprep installed beside it.
version=$("$stage/usr/bin/dosprep-image" --version)
[[ $version =~ ^dosprep-image\ \(dosprep\)\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "dosprep-image --version: $version"
mkfs.fat -C "$stage/disk.img" 1440 >/dev/null
mmd -i "$stage/disk.img" ::/WINDOWS ::/WINDOWS/SYSTEM
"$stage/usr/bin/dosprep-image" "$stage/disk.img" || fail "installed dosprep-image failed"
[ "$(mtype -i "$stage/disk.img" ::/AUTOEXEC.BAT)" = $'SET  BLASTER=A220 I5  D1 T4\r' ] ||
    fail "installed dosprep-image wrote: $(mtype -i "$stage/disk.img" ::/AUTOEXEC.BAT | od -c)"
rm "$stage/disk.img"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/dosprep_*.deb)
info=$(dpkg-deb --info "$deb")
grep -q '^ Package: dosprep$' <<<"$info" || fail "package name"
grep -q "^ Architecture: $(dpkg --print-architecture)\$" <<<"$info" || fail "architecture"
depends=$(sed -n 's/^ Depends: //p' <<<"$info" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
[ "$depends" = "dosfstools jq libc6 libgcc-s1 libstdc++6 mtools " ] || fail "dependencies: $depends"
recommends=$(sed -n 's/^ Recommends: //p' <<<"$info")
[ "$recommends" = "qemu-utils, qemu-system-common, fuse3" ] || fail "recommendations: $recommends"
listing=$(dpkg-deb --contents "$deb")
contents=$(awk '{ print $6 }' <<<"$listing" | grep -v '/$' | sort | tr '\n' ' ')
[ "$contents" = "./usr/bin/dosprep ./usr/bin/dosprep-image ./usr/lib/dosprep/dosprep-image-export.sh ./usr/lib/dosprep/dosprep-image-volume.sh ./usr/share/doc/dosprep/changelog.gz ./usr/share/doc/dosprep/copyright ./usr/share/man/man1/dosprep-image.1.gz ./usr/share/man/man1/dosprep.1.gz " ] ||
    fail "contents: $contents"
grep -qE '^-rwxr-xr-x .* \./usr/bin/dosprep-image$' <<<"$listing" ||
    fail "dosprep-image is not executable in the .deb"

# Debian's own checks: any error or warning fails (its notes, I:, do not).
command -v lintian >/dev/null || fail "lintian is not installed (Debian's lintian package)"
lintian_status=0
lintian_tags=$(lintian --fail-on error,warning "$deb" 2>&1) || lintian_status=$?
if [ "$lintian_status" -ne 0 ] || grep -q '^[EW]: ' <<<"$lintian_tags"; then
    fail "lintian (status $lintian_status): $lintian_tags"
fi
echo "install and .deb: ok"
