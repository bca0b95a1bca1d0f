#!/usr/bin/env bash
# Runs every test of the project against the build in ./build (made by
# scripts/setup.sh). Needs root: the end-to-end tests run mervex inside
# private mount namespaces with a tmpfs on /opt.
set -euo pipefail
cd "$(dirname "$0")/.."

ctest --test-dir build --output-on-failure -j 2
