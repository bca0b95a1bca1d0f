#!/usr/bin/env bash
# Builds the Debian binary package of mervex (an optimised, hardened build
# without the tests) with CPack.
# Usage: scripts/package.sh [BUILD_DIR]      (default: build-package)
# The package is left in BUILD_DIR; its path is the last line printed.
# Needs cmake, a C++ compiler, the Boost -dev packages, dpkg-dev (for
# dpkg-shlibdeps), file and gzip.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build-package}"

# Debian's compiler and linker flags with every hardening feature, as a
# package built by the distribution would get them; the build type None
# adds no flags of its own.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cxx_flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
linker_flags="$(dpkg-buildflags --get LDFLAGS)"
# The date of the last commit dates the changelog entry, so the same sources
# give the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || date +%s)"
fi
export SOURCE_DATE_EPOCH

cmake -S . -B "$build_dir" \
    -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$cxx_flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" \
    -DMERVEX_BUILD_TESTS=OFF \
    -DMERVEX_BUILD_BENCHMARKS=OFF \
    -DMERVEX_BUILD_FUZZERS=OFF \
    -DMERVEX_SANITIZE=OFF
cmake --build "$build_dir" -j "$(nproc)"

# A package left by an earlier run of another version must not be taken
# for this one.
rm -f "$build_dir"/mervex_*.deb
(cd "$build_dir" && cpack -G DEB)

shopt -s nullglob
packages=("$build_dir"/mervex_*.deb)
if [ "${#packages[@]}" -ne 1 ]; then
    echo "package.sh: expected one mervex_*.deb in $build_dir, found ${#packages[@]}" >&2
    exit 1
fi
echo "${packages[0]}"
