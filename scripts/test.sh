#!/usr/bin/env bash
# Runs every test of the project, fast feedback first: the unit tests, the
# end-to-end tests, the formatting, the whole suite under the sanitizers,
# each fuzz target for 20 s, a benchmark smoke run and the Debian package
# check. Every step runs; the end lists the steps that failed, and the exit
# status is non-zero when any did. Needs root (the end-to-end tests use
# private mount namespaces); scripts/setup.sh installs what it needs.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

steps=(
  "unit tests|bash scripts/test-build.sh unit"
  "end-to-end tests|bash scripts/test-build.sh e2e"
  "formatting|bash scripts/check-format.sh"
  "sanitizer build, whole suite|bash scripts/test-sanitizers.sh $root/build-asan"
  "fuzzing, 20 s a target|bash scripts/fuzz.sh 20 $root/build-fuzz"
  "benchmark smoke run|bash scripts/bench.sh 1000"
  "Debian package|bash scripts/test-package.sh $root/build-package"
)
failed=()
for step in "${steps[@]}"; do
    name="${step%%|*}"
    command="${step#*|}"
    echo "==> $name"
    start=$SECONDS
    if $command; then
        echo "==> $name: passed ($((SECONDS - start)) s)"
    else
        echo "==> $name: FAILED ($((SECONDS - start)) s)"
        failed+=("$name")
    fi
done
if [ "${#failed[@]}" -ne 0 ]; then
    printf 'FAILED steps:\n'
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "All steps passed."
