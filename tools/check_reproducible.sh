#!/usr/bin/env bash
# Builds the x64 executable twice, from two copies of the source in two
# different folders, and compares the results byte for byte: the stripped
# executable and its debug file must be identical, so that anyone can
# rebuild a release and compare hashes.
#   tools/check_reproducible.sh [work-dir]     (default: build/reproducible)
# Prints the SHA-256 of both files and exits 1 when the builds differ.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-$root/build/reproducible}"
jobs="${JOBS:-2}"

rm -rf "$work"
# The second copy sits deeper, under other names, so that no path of the
# first build can match it by chance.
copy="$work/elsewhere/source copy"
mkdir -p "$copy"
(cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$copy"

build() {  # source-dir build-dir
  cmake -S "$1" -B "$2" --preset mingw-x64 -DLINKBATCH_WERROR=OFF >/dev/null
  cmake --build "$2" --target linkbatch -j "$jobs" >/dev/null
}
build "$root" "$work/first"
build "$copy" "$work/elsewhere/second build"

status=0
for name in linkbatch.exe linkbatch.exe.debug; do
  a="$work/first/$name"
  b="$work/elsewhere/second build/$name"
  printf '%s  first  %s\n' "$(sha256sum <"$a" | cut -d' ' -f1)" "$name"
  printf '%s  second %s\n' "$(sha256sum <"$b" | cut -d' ' -f1)" "$name"
  if ! cmp -s "$a" "$b"; then
    echo "check_reproducible: the two builds of $name differ" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "check_reproducible: both builds are byte-identical"
exit "$status"
