#!/usr/bin/env bash
# Builds the benchmarks and runs the pixel walk's for a moment each, so that
# they keep building and running. Times are not checked: the machine is
# shared and a benchmark is not a test.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSNAPPHOTO_BUILD_BENCHMARKS=ON -DSNAPPHOTO_BUILD_TESTS=OFF
cmake --build build-bench -j"$(nproc)" --target packPixelsBench benchCopy
build-bench/bench/packPixelsBench --benchmark_min_time=0.001 \
    --benchmark_filter='memcpy/2000/4|walk/.*/(rgba|bgr|rgbargba)/reverse/2000'
