#!/usr/bin/env bash
# run_fuzz.sh [SECONDS]: builds the fuzz targets with clang and libFuzzer in build-fuzz, under
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS (default 25)
# from its seed corpus in tests/fuzz/corpus. Any crash, sanitizer report, failed check or
# input slower than 10 s fails the run; the input is left in build-fuzz/tests/fuzz/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-25}"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPAIRFIT_FUZZ=ON -DPAIRFIT_TESTS=OFF -DPAIRFIT_FUZZ_SECONDS="$seconds" > /dev/null
cmake --build build-fuzz --target fuzz_targets -j"$(nproc)"
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j"$(nproc)"
