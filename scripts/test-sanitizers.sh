#!/usr/bin/env bash
# Builds the converter and its whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test there, unit and end-to-end
# (the end-to-end tests then run the sanitized mervex). Every sanitizer
# report is also written below the build directory, so that a report from a
# process whose exit status no test looks at still fails the run.
# Usage: scripts/test-sanitizers.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-$root/build-asan}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

# clang by default: gcc 12 with AddressSanitizer reports false
# -Wmaybe-uninitialized warnings inside libstdc++'s <regex>.
export CC="${CC:-clang}" CXX="${CXX:-clang++}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVEX_SANITIZE=ON \
    -DMERVEX_BUILD_TESTS=ON -DMERVEX_BUILD_FUZZERS=OFF -DMERVEX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j 2

logs="$build/sanitizer-reports"
rm -rf "$logs"
mkdir -p "$logs"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"

status=0
ctest --test-dir "$build" --output-on-failure -j 2 || status=$?

if compgen -G "$logs/*" >/dev/null; then
    for report in "$logs"/*; do
        echo "==> $report"
        cat "$report"
    done
    echo "sanitizer reports were written; see above"
    status=1
fi
exit "$status"
