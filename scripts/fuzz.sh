#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting
# from the seed corpus in fuzz/corpus. Fails when any target finds a crash, a
# leak, a timeout or a broken property; the inputs are kept in the build
# directory's fuzz-artifacts folder.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET [BUILD_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
seconds="${1:-20}"
build="${2:-$root/build-fuzz}"
targets=(fuzz_legacy_readers fuzz_conversion fuzz_suricata_format)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMERVEX_BUILD_FUZZERS=ON -DMERVEX_BUILD_TESTS=OFF -DMERVEX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
    work="$build/fuzz-work/$target"
    artifacts="$build/fuzz-artifacts/$target"
    mkdir -p "$work" "$artifacts"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
             -artifact_prefix="$artifacts/" -print_final_stats=1)
    case "$target" in
        fuzz_suricata_format) options+=(-max_len=4096) ;;
        *) options+=(-max_len=65536 -dict="$root/fuzz/legacy.dict") ;;
    esac
    echo "==> $target: ${seconds}s"
    # New inputs go to the work corpus; the seeds in the repo stay as they are.
    if ! "$build/fuzz/$target" "${options[@]}" "$work" "$root/fuzz/corpus/$target" \
            >"$build/fuzz-work/$target.log" 2>&1; then
        failed+=("$target")
        tail -n 60 "$build/fuzz-work/$target.log"
        echo "FAILED: $target; inputs in $artifacts"
    else
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' \
            "$build/fuzz-work/$target.log" || true
    fi
done

if ((${#failed[@]} > 0)); then
    echo "fuzzing found faults in: ${failed[*]}"
    exit 1
fi
echo "fuzzing found nothing in ${#targets[@]} targets, ${seconds}s each"
