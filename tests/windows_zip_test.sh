#!/usr/bin/env bash
# Builds the Windows .zip and checks it holds the tested dosprep.exe and a
# README.TXT in DOS text. Argument: the win32 build directory.
set -euo pipefail
build=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -f "$build"/dosprep-*-win32.zip
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/dosprep-*-win32.zip)
names=$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
[ "$names" = "README.TXT dosprep.exe " ] || fail "contents: $names"
lines=$(unzip -p "$zip" '*/README.TXT' | grep -c '')
crlf=$(unzip -p "$zip" '*/README.TXT' | grep -c $'\r$')
if [ "$lines" -le 5 ] || [ "$lines" -ne "$crlf" ]; then
    fail "README.TXT is not DOS text"
fi
unzip -p "$zip" '*/README.TXT' | grep -q 'SET  BLASTER=A220 I5  D1 T4' ||
    fail "README.TXT lacks the settings line"
# The image tests and the Wine test run build/dosprep.exe: it must be the
# very file that is shipped.
unzip -p "$zip" '*/dosprep.exe' | cmp -s - "$build/dosprep.exe" ||
    fail "the zip's dosprep.exe is not the tested build/dosprep.exe"
# The README gives the shipped program's size.
size=$(stat -c %s "$build/dosprep.exe" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta')
grep -q "for Windows 4.0, $size bytes" "$(dirname "$0")/../README.md" ||
    fail "README.md does not give the size of dosprep.exe, $size bytes"
echo "windows zip: ok"
