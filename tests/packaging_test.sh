#!/usr/bin/env bash
# Installs the native build into a staging prefix and builds its .deb, and
# checks that every file is where it belongs. Argument: the build directory.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage/usr" >/dev/null
[ -x "$stage/usr/bin/dosprep" ] || fail "bin/dosprep missing"
gzip -t "$stage/usr/share/man/man1/dosprep.1.gz" || fail "man page missing or damaged"
zcat "$stage/usr/share/man/man1/dosprep.1.gz" | grep -q '^\.TH DOSPREP 1' || fail "not a man page"
[ "$(find "$stage" -type f | wc -l)" -eq 2 ] || fail "unexpected files: $(find "$stage" -type f)"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/dosprep_*.deb)
info=$(dpkg-deb --info "$deb")
grep -q '^ Package: dosprep$' <<<"$info" || fail "package name"
grep -q "^ Architecture: $(dpkg --print-architecture)\$" <<<"$info" || fail "architecture"
depends=$(sed -n 's/^ Depends: //p' <<<"$info" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
[ "$depends" = "libc6 libgcc-s1 libstdc++6 " ] || fail "dependencies: $depends"
contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }' | grep -v '/$' | sort | tr '\n' ' ')
[ "$contents" = "./usr/bin/dosprep ./usr/share/man/man1/dosprep.1.gz " ] || fail "contents: $contents"
echo "install and .deb: ok"
