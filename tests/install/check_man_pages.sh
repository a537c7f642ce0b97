#!/usr/bin/env bash
# check_man_pages.sh SOURCE_DIR MAN_DIR: the generated manual pages render without a single
# warning under groff, mandoc and man, and every page documents the exit statuses of src/*.h
# (exit_* constants) that its program can end with.
set -euo pipefail
source_dir=$1
man_dir=$2
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

for page in pairfit4 pairfit2 pairfit2x pairfit-plot pairfit-import pairfit-trend pairfit-lines; do
    file="$man_dir/$page.1"
    [ -s "$file" ] || { fail "$file missing"; continue; }
    messages=$(groff -ww -man -z "$file" 2>&1) || fail "$page.1: groff failed"
    [ -z "$messages" ] || fail "$page.1: groff: $messages"
    messages=$(mandoc -T lint -W warning "$file" 2>&1) || fail "$page.1: mandoc: $messages"
    messages=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 > /dev/null) ||
        fail "$page.1: man failed"
    [ -z "$messages" ] || fail "$page.1: man: $messages"
done

# The tag of each entry of EXIT STATUS is a bold status number on the line after .TP.
documented_statuses() {
    awk '/^\.SH /{inside = ($0 ~ /EXIT STATUS/)} inside && prev == ".TP" && /^\.B [0-9]+$/{print $2}
         {prev = $0}' "$1"
}
defined=$(sed -n 's/^constexpr int exit_[a-z_]* = \([0-9]*\);.*/\1/p' "$source_dir"/src/*.h |
          sort -n)
[ -n "$defined" ] || fail "no exit_* constants found in src/*.h"
for page in pairfit4 pairfit2 pairfit2x; do
    documented=$(documented_statuses "$man_dir/$page.1" | sort -n)
    [ "$documented" = "$defined" ] ||
        fail "$page.1: EXIT STATUS lists $(echo $documented), src/*.h define $(echo $defined)" \
            "(the list is in man/pairfit-common.roff)"
done
# pairfit-import never fits nor draws, pairfit-plot never fits, and pairfit-trend leaves a
# missing matplotlib to a warning: each has every status of the table but those.
for page_without in pairfit-import:3,6 pairfit-plot:3 pairfit-trend:6; do
    page=${page_without%%:*}
    documented=$(documented_statuses "$man_dir/$page.1" | sort -n)
    expected=$(echo "$defined" | grep -vx -f <(tr , '\n' <<< "${page_without#*:}"))
    [ "$documented" = "$expected" ] ||
        fail "$page.1: EXIT STATUS lists $(echo $documented), expected $(echo $expected)"
done
[ "$status" -eq 0 ] && echo "manual pages clean"
exit "$status"
