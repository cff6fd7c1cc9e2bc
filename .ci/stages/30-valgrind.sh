#!/usr/bin/env bash
# valgrind memcheck over the Tcl-level test suite against the normal build:
# every tclsh of the suite runs under memcheck, and any invalid read or
# write, use of uninitialised memory or definite leak fails the run.
# Tk's and X11's own leaks are suppressed by .ci/valgrind.supp, which names
# no frame of the library. The tests that lower the address-space limit
# cannot run under valgrind and are skipped, and the randomised test makes
# fewer calls.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/install-deps
build=build-ci
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"

logs=$(mktemp -d)
status=0
SNAPPHOTO_LIBRARY="$PWD/$build/snapPhoto.so" SNAPPHOTO_NO_ULIMIT=1 SNAPPHOTO_RANDOM_CALLS=1000 \
    xvfb-run -a -s "-screen 0 640x480x24" \
    valgrind --quiet --tool=memcheck --trace-children=yes \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --track-origins=yes --num-callers=40 --error-exitcode=99 \
        --suppressions="$PWD/.ci/valgrind.supp" --log-file="$logs/memcheck.%p.log" \
        tclsh8.6 tests/all.tcl -tmpdir "$logs" || status=$?

for log in "$logs"/memcheck.*.log; do
    if [ -s "$log" ]; then
        echo "=== memcheck findings in $log"
        cat "$log"
        status=1
    fi
done
if [ "$status" -ne 0 ]; then
    echo "valgrind memcheck failed" >&2
    exit 1
fi
echo "memcheck: no findings in $(ls "$logs"/memcheck.*.log | wc -l) processes"
