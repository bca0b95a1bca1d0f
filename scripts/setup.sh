#!/usr/bin/env bash
# Installs every Debian package the project needs and builds it in ./build.
# Run as root on a fresh machine; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # build
  build-essential cmake make pkg-config
  libboost-dev libboost-filesystem-dev
  # run: tar with gzip, and unshare/flock for the tests and the example
  tar gzip util-linux
  # attack and fault tests: system call traces, a caller that ignores SIGCHLD
  strace perl
  # the third-party rule parser that reads cfg.rules back in the tests
  suricata-update
  # tests, sanitizer build and fuzzing
  libgtest-dev googletest clang libclang-rt-14-dev clang-format
  # benchmarks
  libbenchmark-dev python3 time
  # manual page and Debian package
  dpkg-dev file man-db groff-base bsdextrautils lintian
  # the package check calls the bash completion through bash-completion
  bash-completion
)
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
