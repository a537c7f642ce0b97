#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DPAIRFIT_TESTS=ON -DPAIRFIT_BENCH=ON -DPAIRFIT_PYTHON=ON > /dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short
# run of every fuzz target (docs/development.md, "Sanitizers and fuzzing").
bash tools/run_sanitized_tests.sh
bash tools/run_fuzz.sh
