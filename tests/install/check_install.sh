#!/usr/bin/env bash
# check_install.sh BUILD_DIR SOURCE_DIR CXX PREFIX BINDIR LIBDIR INCLUDEDIR MANDIR [CXXFLAGS]: installs
# BUILD_DIR into a temporary DESTDIR and into a temporary prefix, compares both file lists
# with the expected one, then runs the installed programs on the example against the build
# tree's and builds a caller of the installed library. PREFIX and the folders below it are
# the build's CMAKE_INSTALL_PREFIX and GNUInstallDirs' relative CMAKE_INSTALL_<dir>; CXXFLAGS
# are the build's own, which the library caller needs too (a sanitized library, say).
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
cxx=$3
prefix=$4
bindir=$5
libdir=$6
includedir=$7
mandir=$8
read -r -a cxxflags <<< "${9:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

expected_files() { # relative to the prefix
    for program in pairfit-import pairfit-plot pairfit2 pairfit2x pairfit4; do
        echo "$bindir/$program"
        echo "$mandir/man1/$program.1"
    done
    for header in "$source_dir"/src/*.h; do
        echo "$includedir/pairfit/$(basename "$header")"
    done
    echo "$libdir/libpairfit_core.a"
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

echo "== a caller of the installed library"
"$cxx" "${cxxflags[@]}" -std=c++17 -I"$root/$includedir" "$source_dir/tests/install/library_caller.cpp" \
    "$root/$libdir/libpairfit_core.a" -o "$work/library_caller" ||
    fail "cannot build against the installed headers and library"
"$work/library_caller" || fail "the installed library gave wrong values"
echo "install checks passed"
