#!/usr/bin/env bash
# Builds ./build (configured by scripts/setup.sh, or here when it is not) and
# runs the tests of one ctest label: unit (no privileges needed, about a
# second) or e2e (root, private mount namespaces).
# Usage: scripts/test-build.sh unit|e2e
set -euo pipefail
cd "$(dirname "$0")/.."
label="${1:?usage: scripts/test-build.sh unit|e2e}"
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
ctest --test-dir build -L "$label" --output-on-failure -j 2
