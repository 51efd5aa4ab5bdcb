#!/bin/sh
# Builds, from the two release executables and their split-off debug files,
#   build/dist/linkbatch-<version>.zip
#       x64/linkbatch.exe, x86/linkbatch.exe, README.md, LICENSE
#   build/dist/linkbatch-<version>-symbols.zip
#       x64/linkbatch.exe.debug, x86/linkbatch.exe.debug
# Run from anywhere; paths are relative to the repository root. The
# executables must already be built (cmake --build build/mingw-x64 and
# build/mingw-x86; BUILD_DIR overrides build/). With CHECK_PE=1 (the default
# when python3-pefile is present) each executable must pass tools/check_pe.py
# first, which also checks that it is stripped and names its debug file.
# Either both archives are written or neither.
set -eu

root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd -P)
version=${VERSION:-0.8.0}
name=linkbatch-$version
build=${BUILD_DIR:-$root/build}
dist=$build/dist
x64=$build/mingw-x64/linkbatch.exe
x86=$build/mingw-x86/linkbatch.exe

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
  if [ -n "$python" ]; then check=1; else check=0; fi
fi
if [ "$check" = 1 ]; then
  if [ -z "$python" ]; then
    echo "make_dist: CHECK_PE=1 but no python3 with pefile" >&2
    exit 1
  fi
  "$python" "$root/tools/check_pe.py" --arch x64 "$x64"
  "$python" "$root/tools/check_pe.py" --arch x86 "$x86"
else
  echo "make_dist: skipping tools/check_pe.py (python3-pefile not installed)" >&2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/x64" "$stage/x86" "$dist"
cp "$x64" "$x64.debug" "$stage/x64/"
cp "$x86" "$x86.debug" "$stage/x86/"
cp "$root/README.md" "$root/LICENSE" "$stage/"

rm -f "$dist/$name.zip" "$dist/$name-symbols.zip"
# -X: no extra file attributes, so the archive depends only on the contents.
(cd "$stage" && zip -q -X -r archive.zip x64/linkbatch.exe x86/linkbatch.exe README.md LICENSE &&
  zip -q -X -r symbols.zip x64/linkbatch.exe.debug x86/linkbatch.exe.debug)
mv "$stage/archive.zip" "$dist/$name.zip"
mv "$stage/symbols.zip" "$dist/$name-symbols.zip"
echo "make_dist: wrote $dist/$name.zip and $dist/$name-symbols.zip"
