#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(cmake g++ make binutils libdlib-dev libboost-dev liblapack-dev libblas-dev libx11-dev
          libgtest-dev libbenchmark-dev time)
# pairfit-plot: Debian's Python with matplotlib (Agg, PNG and PDF output); the manual pages
# are checked with groff, mandoc and man.
packages+=(python3 python3-matplotlib groff-base mandoc man-db)
# The install test builds a caller of the library through pkg-config too.
packages+=(pkgconf)
# Many series at once (README): GNU parallel, run by the many_series test, and the one-node
# Slurm cluster that the many_series_slurm test starts.
packages+=(parallel slurmctld slurmd slurm-client munge)
# Fuzzing (tools/run_fuzz.sh): clang with libFuzzer and the sanitizer runtimes.
packages+=(clang libclang-rt-14-dev)
# The Python module (-DPAIRFIT_PYTHON=ON) and its tests; lmfit for bench/python_bench.py.
packages+=(pybind11-dev python3-dev python3-numpy python3-pytest python3-lmfit)
# `pip install .` of the module into a virtual environment, offline (tests/python).
packages+=(python3-venv python3-pip python3-setuptools python3-pybind11)
# The signed slice fit and pairfit-lines: Ceres Solver (its bounded Levenberg-Marquardt) with
# Eigen; SciPy for the test that holds pairfit-lines' fits against least_squares and for its
# benchmark.
packages+=(libceres-dev libeigen3-dev python3-scipy)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
