#!/usr/bin/env bash
# The whole test suite (unit tests, the Tcl-level tests, the soak) against a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. The Tcl-level
# tests run in Debian's tclsh with the ASan runtime preloaded (see
# tests/CMakeLists.txt). Every report is fatal to the process that makes it,
# which fails its test; the logs are searched as well, so that no report
# can pass unnoticed.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps
build=build-sanitize
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNAPPHOTO_SANITIZE=address,undefined
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure

if grep -E "ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: (Address|Undefined)" \
        "$build/Testing/Temporary/LastTest.log"; then
    echo "sanitizer reports in $build/Testing/Temporary/LastTest.log" >&2
    exit 1
fi
