#!/usr/bin/env bash
# check_links.sh PAIRFIT4 PAIRFIT2 PAIRFIT2X
# No program may reference a BLAS or LAPACK routine (the fit must run dlib's own matrix
# code, the same on every machine), none links a dlib library, and pairfit2x must really
# be linked against LAPACK, BLAS and X11.
set -u
status=0
blas_and_lapack=$(for lib in liblapack.so.3 libblas.so.3; do
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l {print $NF; exit}')
    [ -n "$path" ] && nm -D --defined-only "$path" | awk '$2 ~ /[TW]/ {print $3}'
done | sort -u)
if [ -z "$blas_and_lapack" ]; then
    echo "cannot list the routines of libblas.so.3 and liblapack.so.3"
    exit 1
fi
for program in "$@"; do
    used=$(nm -u "$program" | awk '{print $2}' | sed 's/@.*//' | sort -u)
    hits=$(comm -12 <(echo "$used") <(echo "$blas_and_lapack"); echo "$used" | grep -E '^cblas_')
    if [ -n "$(echo "$hits" | tr -d '[:space:]')" ]; then
        echo "$(basename "$program") references BLAS/LAPACK routines:"
        echo "$hits" | head -n 10
        status=1
    fi
    if ldd "$program" | grep -q 'libdlib'; then
        echo "$(basename "$program") links a dlib library"
        status=1
    fi
done
x_program="${!#}"
for lib in liblapack libblas libX11; do
    if ! ldd "$x_program" | grep -q "$lib\.so"; then
        echo "$(basename "$x_program") is not linked against $lib"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "link libraries as expected: $(for p in "$@"; do basename "$p"; done | tr '\n' ' ')"
exit "$status"
