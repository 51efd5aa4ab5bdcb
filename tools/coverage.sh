#!/usr/bin/env bash
# Line and branch coverage of the product code (its folders as
# cmake/product.cmake lists them) by the host test suite, with gcov and lcov.
#   tools/coverage.sh [build-dir]     (default: build/coverage)
# Writes <build-dir>/coverage.info, an HTML report in <build-dir>/html and
# the summary in <build-dir>/summary.txt, and prints the summary. make test
# runs it, so that the command keeps working.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/coverage}"
jobs="${JOBS:-2}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_CXX_FLAGS="--coverage -O0 -fno-inline" \
      -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$build" --target linkbatch_tests -j "$jobs"

lcov --quiet --directory "$build" --zerocounters
# The unit tests only: the tools, examples and Wine checks measure nothing
# of the product that the tests do not.
"$build/tests/linkbatch_tests" --gtest_brief=1 >"$build/tests.log" 2>&1 || {
  tail -n 30 "$build/tests.log"
  echo "coverage: the tests failed" >&2
  exit 1
}

lcov --quiet --rc lcov_branch_coverage=1 --capture --directory "$build" \
     --base-directory "$root" --output-file "$build/all.info"
# The product's folders, as the build lists them.
patterns=()
while IFS= read -r dir; do patterns+=("$root/$dir/*"); done <"$build/product-dirs.txt"
lcov --quiet --rc lcov_branch_coverage=1 --extract "$build/all.info" "${patterns[@]}" \
     --output-file "$build/coverage.info"
genhtml --quiet --branch-coverage --output-directory "$build/html" "$build/coverage.info" >/dev/null
lcov --rc lcov_branch_coverage=1 --summary "$build/coverage.info" 2>&1 | tee "$build/summary.txt"
echo "per file:"
lcov --rc lcov_branch_coverage=1 --list "$build/coverage.info" | sed -n '1,40p'
echo "report: $build/html/index.html"
