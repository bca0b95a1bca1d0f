#!/usr/bin/env bash
# Checks every C++ source against .clang-format; lists the files that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
clang-format --dry-run -Werror src/*.cpp src/*.h tests/*.h tests/*/*.cpp tests/*/*.h \
    fuzz/*.cpp fuzz/*.h bench/*.cpp
