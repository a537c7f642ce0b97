#!/usr/bin/env bash
# Builds everything a second time with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-sanitize and runs the whole test suite there. Any sanitizer report fails the run,
# also one from a program that a test ran as a child process: reports are written to files
# (build-sanitize/reports) and the programs end with status 86 on a report.
# The large-series test runs at a reduced size (PAIRFIT_LARGE_SERIES) to stay bearable.
set -euo pipefail
cd "$(dirname "$0")/.."
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer"
# The instrumentation hides initialisations from GCC's flow analysis, which then reports
# uninitialised values inside dlib's matrix swaps that the plain build does not see.
warnings="-Wno-maybe-uninitialized"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAIRFIT_TESTS=ON \
      -DPAIRFIT_BENCH=OFF -DCMAKE_CXX_FLAGS="$flags $warnings" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
      > /dev/null
cmake --build build-sanitize -j"$(nproc)"
reports="$(pwd)/build-sanitize/reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="exitcode=86:detect_leaks=1:log_path=$reports/asan"
export UBSAN_OPTIONS="exitcode=86:halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export PAIRFIT_LARGE_SERIES="${PAIRFIT_LARGE_SERIES:-400x2000}"
status=0
ctest --test-dir build-sanitize --output-on-failure --timeout 600 -j"$(nproc)" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:"
    for report in "$reports"/*; do
        echo "== $report"
        cat "$report"
    done
    exit 1
fi
exit "$status"
