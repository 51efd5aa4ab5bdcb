#!/bin/sh
# Builds, from the two release executables and their split-off debug files,
#   build/dist/linkbatch-<version>.zip
#       x64/linkbatch.exe, x86/linkbatch.exe, README.md, LICENSE
#   build/dist/linkbatch-<version>-symbols.zip
#       x64/linkbatch.exe.debug, x86/linkbatch.exe.debug
#   build/dist/SHA256SUMS
#       the SHA-256 of the archive and of the two executables in it
# Run from anywhere; paths are relative to the repository root. The
# executables must already be built (cmake --build build/mingw-x64 and
# build/mingw-x86; BUILD_DIR overrides build/). With CHECK_PE=1 (the default
# when python3-pefile is present) each executable must pass tools/check_pe.py
# first, which also checks that it is stripped and names its debug file.
# Either all three files are written or none; what an earlier run wrote is
# removed first. The archives depend only on the files they hold: every
# entry carries the commit's time (SOURCE_DATE_EPOCH overrides it) and the
# same permissions, so two runs over the same executables give the same bytes.
set -eu

root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd -P)
version=${VERSION:-0.8.0}
name=linkbatch-$version
build=${BUILD_DIR:-$root/build}
dist=$build/dist
x64=$build/mingw-x64/linkbatch.exe
x86=$build/mingw-x86/linkbatch.exe

# An archive left by an earlier run must not pass for this run's.
rm -f "$dist/$name.zip" "$dist/$name-symbols.zip" "$dist/SHA256SUMS"

for f in "$x64" "$x86" "$x64.debug" "$x86.debug" "$root/README.md" "$root/LICENSE"; do
  if [ ! -f "$f" ]; then
    echo "make_dist: missing $f" >&2
    exit 1
  fi
done
command -v zip >/dev/null 2>&1 || { echo "make_dist: zip not installed" >&2; exit 1; }

python=
for p in /usr/bin/python3 python3; do
  if command -v "$p" >/dev/null 2>&1 && "$p" -c 'import pefile' 2>/dev/null; then
    python=$p
    break
  fi
done
check=${CHECK_PE:-auto}
if [ "$check" = auto ]; then
  if [ -n "$python" ]; then
    check=1
  else
    check=0
    echo "make_dist: skipping tools/check_pe.py (python3-pefile not installed)" >&2
  fi
elif [ "$check" = 0 ]; then
  echo "make_dist: skipping tools/check_pe.py (CHECK_PE=0)" >&2
fi
if [ "$check" = 1 ]; then
  if [ -z "$python" ]; then
    echo "make_dist: CHECK_PE=1 but no python3 with pefile" >&2
    exit 1
  fi
  "$python" "$root/tools/check_pe.py" --arch x64 "$x64"
  "$python" "$root/tools/check_pe.py" --arch x86 "$x86"
fi

# The time every entry carries: the commit's, or the DOS epoch outside a
# checkout.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/x64" "$stage/x86" "$dist"
cp "$x64" "$x64.debug" "$stage/x64/"
cp "$x86" "$x86.debug" "$stage/x86/"
cp "$root/README.md" "$root/LICENSE" "$stage/"
find "$stage" -type f -exec chmod 644 {} + -exec touch -d "@$epoch" {} +

# -X: no extra fields (owner, exact times); -D: no directory entries. A zip
# entry holds its time as local time, so the zone is fixed.
(cd "$stage" && TZ=UTC0 zip -q -X -D archive.zip x64/linkbatch.exe x86/linkbatch.exe README.md LICENSE &&
  TZ=UTC0 zip -q -X -D symbols.zip x64/linkbatch.exe.debug x86/linkbatch.exe.debug &&
  sha256sum x64/linkbatch.exe x86/linkbatch.exe >sums &&
  sha256sum archive.zip | sed "s| archive.zip\$| $name.zip|" >>sums)
mv "$stage/archive.zip" "$dist/$name.zip"
mv "$stage/symbols.zip" "$dist/$name-symbols.zip"
mv "$stage/sums" "$dist/SHA256SUMS"
echo "make_dist: wrote $dist/$name.zip, $dist/$name-symbols.zip and $dist/SHA256SUMS"
