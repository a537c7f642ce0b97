#!/usr/bin/env bash
# check_install.sh BUILD_DIR SOURCE_DIR CXX PREFIX BINDIR LIBDIR INCLUDEDIR MANDIR CXXFLAGS
#                  HEADERS CONFIG PYTHON_FILES DRAWING_FILES: installs
# BUILD_DIR into a temporary DESTDIR and into a temporary prefix, compares both file lists
# with the expected one, then runs the installed programs on the example against the build
# tree's and builds a caller of the installed library through find_package and through
# pkg-config. PREFIX and the folders below it are the build's CMAKE_INSTALL_PREFIX and
# GNUInstallDirs' relative CMAKE_INSTALL_<dir>; CXXFLAGS are the build's own, which the library
# caller needs too (a sanitized library, say); HEADERS the blank-separated headers of src/
# that are installed, the library's interface; CONFIG the lower-case build type that names the
# exported target's per-configuration file; PYTHON_FILES the Python module's files below the
# prefix (empty without it), DRAWING_FILES those of the drawing scripts' package.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
cxx=$3
prefix=$4
bindir=$5
libdir=$6
includedir=$7
mandir=$8
cxxflags_text=${9:-}
read -r -a cxxflags <<< "$cxxflags_text"
read -r -a public_headers <<< "${10:-}"
config=${11:-noconfig}
read -r -a python_files <<< "${12:-}" # the Python module's, when it is built
read -r -a drawing_files <<< "${13:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

expected_files() { # relative to the prefix
    for program in pairfit-import pairfit-plot pairfit2 pairfit2x pairfit4; do
        echo "$bindir/$program"
        echo "$mandir/man1/$program.1"
    done
    echo "$bindir/pairfit-trend"
    echo "$bindir/pairfit-trend-plot"
    echo "$mandir/man1/pairfit-trend.1"
    echo "$bindir/pairfit-lines"
    echo "$mandir/man1/pairfit-lines.1"
    for header in "${public_headers[@]}"; do
        echo "$includedir/pairfit/$header"
    done
    for file in "${python_files[@]}" "${drawing_files[@]}"; do
        echo "$file"
    done
    echo "$libdir/libpairfit_core.a"
    echo "$libdir/pkgconfig/pairfit.pc"
    for file in pairfit-config.cmake pairfit-config-version.cmake pairfit-targets.cmake \
        "pairfit-targets-$config.cmake"; do
        echo "$libdir/cmake/pairfit/$file"
    done
}
listed_files() { (cd "$1" && find . ! -type d | sed 's|^\./||' | sort); }

echo "== DESTDIR install below $prefix"
DESTDIR="$work/dest" cmake --install "$build" > "$work/install.log"
root="$work/dest${prefix%/}"
[ -d "$root" ] || fail "nothing installed below DESTDIR$prefix"
diff <(expected_files | sort) <(listed_files "$work/dest" | sed "s|^${prefix#/}/||") ||
    fail "DESTDIR install: file list differs (< expected, > installed)"
for program in pairfit-import pairfit-plot pairfit2 pairfit2x pairfit4; do
    [ -x "$root/$bindir/$program" ] || fail "$bindir/$program is not executable"
done

echo "== install with --prefix"
cmake --install "$build" --prefix "$work/prefix" > "$work/prefix.log"
diff <(expected_files | sort) <(listed_files "$work/prefix") ||
    fail "--prefix install: file list differs (< expected, > installed)"

echo "== installed programs give the build tree's results"
for program in pairfit4 pairfit2 pairfit2x; do
    for tree in build installed; do
        mkdir -p "$work/$program-$tree"
        cp "$source_dir/examples/titration/2d.txt" "$source_dir/examples/titration/peaks.txt" \
            "$work/$program-$tree/"
    done
    (cd "$work/$program-build" && "$build/apps/$program" > stdout.txt)
    (cd "$work/$program-installed" && "$root/$bindir/$program" > stdout.txt)
    for file in stdout.txt results.txt dat.txt sim_a.txt sim_b.txt res.txt; do
        cmp "$work/$program-build/$file" "$work/$program-installed/$file" ||
            fail "installed $program: $file differs"
    done
done

echo "== installed pairfit-plot, found on PATH"
(cd "$work/pairfit4-installed" && PATH="$root/$bindir:$PATH" pairfit-plot > plot.txt) ||
    fail "installed pairfit-plot failed"
for picture in fits.png fits.pdf trends.png trends.pdf; do
    [ -s "$work/pairfit4-installed/$picture" ] || fail "installed pairfit-plot wrote no $picture"
done
# The launchers find their package relative to their real folder, so through a link and
# below another prefix too; without arguments pairfit-trend-plot answers with its usage.
mkdir -p "$work/linked"
ln -s "$work/prefix/$bindir/pairfit-plot" "$work/prefix/$bindir/pairfit-trend-plot" "$work/linked/"
(cd "$work/pairfit4-installed" && "$work/linked/pairfit-plot" > /dev/null) ||
    fail "pairfit-plot of the --prefix install, run through a link, failed"
set +e
"$work/linked/pairfit-trend-plot" < /dev/null 2> "$work/trend-plot.err"
got=$?
set -e
[ "$got" -eq 1 ] && grep -q '^usage: pairfit-trend-plot FOLDER' "$work/trend-plot.err" ||
    fail "installed pairfit-trend-plot without arguments: status $got: $(cat "$work/trend-plot.err")"

if [ "${#python_files[@]}" -gt 0 ]; then
    echo "== the installed Python module fits as the installed pairfit4 does"
    module_dir="$root/$(dirname "$(dirname "${python_files[0]}")")"
    PYTHONPATH="$module_dir" /usr/bin/python3 - "$work/pairfit4-installed" "$module_dir" <<'PY' ||
import sys
import pairfit
folder, module_dir = sys.argv[1], sys.argv[2]
assert pairfit.__file__.startswith(module_dir), pairfit.__file__
series, peaks = pairfit.read_series(folder)
fit = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"])
with open(folder + "/results.txt") as results:
    rows = [line.split() for line in results if line.strip() and not line.startswith("#")]
assert len(rows) == len(fit.MA), (len(rows), len(fit.MA))
for row, ma, lwb in zip(rows, fit.MA, fit.LWB):  # MA and LWB, printed to 3 decimals
    assert row[1] == "%.3f" % ma and row[4] == "%.3f" % lwb, (row, ma, lwb)
PY
        fail "the installed Python module cannot be imported or used"
fi

echo "== installed headers include only installed headers, and no dlib"
for header in "$root/$includedir"/pairfit/*.h; do
    ! grep -n '#include <dlib\|DLIB_' "$header" || fail "$(basename "$header") includes or configures dlib"
    for included in $(sed -n 's/^#include "\(.*\)".*/\1/p' "$header"); do
        [ -f "$root/$includedir/pairfit/$included" ] ||
            fail "$(basename "$header") includes $included, which is not installed"
    done
done

echo "== a caller of the installed library, through find_package"
cmake -S "$source_dir/tests/install/caller" -B "$work/caller" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$cxxflags_text" -DCMAKE_PREFIX_PATH="$root" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > "$work/caller-configure.log" ||
    { cat "$work/caller-configure.log" >&2; fail "find_package(pairfit) failed"; }
cmake --build "$work/caller" > "$work/caller-build.log" ||
    { cat "$work/caller-build.log" >&2; fail "cannot build against pairfit::core"; }
grep -q -- '-ffp-contract=off' "$work/caller/compile_commands.json" ||
    fail "pairfit::core does not pass -ffp-contract=off to its callers"
(cd "$work/pairfit4-installed" && "$root/$bindir/pairfit4" --report > /dev/null) ||
    fail "installed pairfit4 --report failed"
"$work/caller/library_caller" "$work/pairfit4-installed" ||
    fail "the installed library gave wrong values (find_package)"
cmp "$work/pairfit4-installed/report.csv" "$work/pairfit4-installed/caller-report.csv" ||
    fail "fit_series through the installed library differs from pairfit4 --report"

echo "== a caller of the installed library, through pkg-config"
export PKG_CONFIG_PATH="$root/$libdir/pkgconfig"
cflags=$(pkg-config --cflags pairfit) || fail "pkg-config finds no pairfit"
[[ " $cflags " == *" -ffp-contract=off "* ]] ||
    fail "pkg-config --cflags pairfit lacks -ffp-contract=off: $cflags"
read -r -a pc_flags <<< "$cflags $(pkg-config --libs pairfit)"
"$cxx" "${cxxflags[@]}" -std=c++17 "$source_dir/tests/install/library_caller.cpp" "${pc_flags[@]}" \
    -o "$work/library_caller" || fail "cannot build with pkg-config's flags for pairfit"
"$work/library_caller" || fail "the installed library gave wrong values (pkg-config)"
[ "$(pkg-config --modversion pairfit)" = "$(cat "$work/caller/pairfit-version.txt")" ] ||
    fail "pairfit.pc and pairfit-config-version.cmake give different versions"
echo "install checks passed"
