#!/usr/bin/env bash
# Installs every Debian package the project needs and builds it in ./build.
# Run as root on a fresh machine; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake make pkg-config
  libboost-dev libboost-filesystem-dev
  libgtest-dev googletest
  tar gzip util-linux
)
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
