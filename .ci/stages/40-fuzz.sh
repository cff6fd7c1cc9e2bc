#!/usr/bin/env bash
# A bounded libFuzzer run of the pixel walk's differential harness, under
# ASan and UBSan, starting from the corpus in fuzz/corpus. New inputs go to
# a scratch directory, so the committed corpus is not changed. A crash, a
# mismatch, a leak or a time-out fails the run; the input that caused it is
# printed, base64-encoded, to be added to the corpus once fixed.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps clang libclang-rt-14-dev
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSNAPPHOTO_FUZZ=ON -DSNAPPHOTO_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target pixelWalkFuzzer

work=$(mktemp -d)
mkdir "$work/corpus" "$work/artifacts"
if ! "$build/fuzz/pixelWalkFuzzer" -max_total_time="${SNAPPHOTO_FUZZ_SECONDS:-60}" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" fuzz/corpus; then
    for artifact in "$work"/artifacts/*; do
        [ -e "$artifact" ] || continue
        echo "=== $(basename "$artifact"), base64:"
        base64 "$artifact"
    done
    echo "the pixel walk fuzzer found a fault" >&2
    exit 1
fi
