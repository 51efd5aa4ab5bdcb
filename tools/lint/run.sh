#!/usr/bin/env bash
# Lints the product code (runner/, platform/, links/, clone/) with clang-tidy
# (bugprone-*, cert-*, clang-analyzer-*) and cppcheck. Fails when either finds
# something that is not on its suppression list.
#   tools/lint/run.sh [build-dir]     (default: build/lint)
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/lint}"
lint="$root/tools/lint"
jobs="${JOBS:-2}"
cd "$root"

# A compilation database for the host build, which compiles the product
# against the simulated platform's declarations. The build says what the
# product is (cmake/product.cmake): its sources, relative to the checkout,
# and its folders.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
sources=$(cat "$build/product-sources.txt")
# The header filter is anchored at the checkout, whose own path may hold one
# of these names (a clone in /tmp/ci-clone, say).
dirs=$(paste -sd '|' "$build/product-dirs.txt")

status=0

# ---------------------------------------------------------------- clang-tidy
raw="$build/clang-tidy.out"
printf '%s\n' $sources | xargs -P "$jobs" -n 1 \
  clang-tidy -p "$build" --config-file="$lint/clang-tidy.yaml" --quiet \
    --header-filter="^$root/($dirs)/" >"$raw" 2>/dev/null || true
# file:line:col: warning|error: message [check,...] -> file|check|source line
findings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): .*\[[a-z0-9.,-]+\]$' "$raw" | while IFS= read -r l; do
  file=${l%%:*}; rest=${l#*:}; line=${rest%%:*}
  check=$(sed -E 's/.*\[([a-z0-9.-]+).*\]$/\1/' <<<"$l")
  rel=${file#"$root"/}
  text=$(sed -n "${line}p" "$file" | sed -E 's/^[[:space:]]+//; s/[[:space:]]+$//')
  printf '%s|%s|%s\n' "$rel" "$check" "$text"
done | sort -u)
known=$(grep -v '^#' "$lint/clang-tidy-suppressions.txt" | grep -v '^$' | sort -u || true)
new=$(comm -23 <(printf '%s\n' "$findings" | grep -v '^$' || true) <(printf '%s\n' "$known"))
if [ -n "$new" ]; then
  echo "clang-tidy: new findings:"
  printf '%s\n' "$new"
  grep -E '(warning|error):' "$raw" || true
  status=1
else
  echo "clang-tidy: clean ($(printf '%s\n' "$findings" | grep -c . || true) suppressed)"
fi
stale=$(comm -13 <(printf '%s\n' "$findings" | grep -v '^$' || true) <(printf '%s\n' "$known"))
if [ -n "$stale" ]; then
  echo "clang-tidy: suppressions no longer needed (remove them):"
  printf '%s\n' "$stale"
fi

# ---------------------------------------------------------------- cppcheck
if cppcheck --std=c++17 --language=c++ --enable=warning,style,performance,portability \
     --inconclusive -I "$root" --suppress=missingIncludeSystem \
     --suppressions-list="$lint/cppcheck-suppressions.txt" \
     --template='{file}:{line}: {severity}: {message} [{id}]' \
     --error-exitcode=1 -q -j "$jobs" $sources; then
  echo "cppcheck: clean"
else
  echo "cppcheck: new findings (above)"
  status=1
fi

exit $status
