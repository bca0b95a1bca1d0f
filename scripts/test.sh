#!/usr/bin/env bash
# Runs every test of the project against the build in ./build (made by
# scripts/setup.sh). Needs root: the end-to-end tests run mervex inside
# private mount namespaces with a tmpfs on /opt.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

echo "==> Formatting"
clang-format --dry-run -Werror src/*.cpp src/*.h tests/*/*.cpp tests/*/*.h \
    fuzz/*.cpp fuzz/*.h bench/*.cpp

echo "==> Sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer): whole suite"
bash scripts/test-sanitizers.sh "$root/build-asan"

echo "==> Fuzzing: every target, 20 s each"
bash scripts/fuzz.sh 20 "$root/build-fuzz"

echo "==> Benchmark smoke run"
bash scripts/bench.sh 1000

echo "==> Debian package"
bash scripts/test-package.sh "$root/build-package"

echo "==> Unit and end-to-end tests"
ctest --test-dir build --output-on-failure -j 2
