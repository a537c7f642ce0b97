#!/usr/bin/env bash
# check_trend.sh PAIRFIT_TREND PAIRFIT4 MAKE_SERIES: pairfit-trend on a report.csv that pairfit4
# wrote, and each refusal as a process: its status, its message, and no file touched.
set -uo pipefail
trend=$(realpath "$1")
pairfit4=$(realpath "$2")
make_series=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# expect STATUS TEXT FOLDER ARGS...: the run ends with STATUS, standard error holds TEXT,
# and the folder's files are as they were.
expect() {
    local want=$1 text=$2 folder=$3
    shift 3
    local before after got
    before=$(cd "$folder" && ls -l --time-style=full-iso && md5sum * 2>/dev/null)
    (cd "$folder" && "$trend" "$@" > "$work/out" 2> "$work/err")
    got=$?
    after=$(cd "$folder" && ls -l --time-style=full-iso && md5sum * 2>/dev/null)
    [ "$got" -eq "$want" ] || fail "$*: status $got, expected $want: $(cat "$work/err")"
    grep -qF -- "$text" "$work/err" || fail "$*: no \"$text\" in: $(cat "$work/err")"
    [ "$before" = "$after" ] || fail "$*: files were touched"
}

# A real series through pairfit4 --z: two lines whose amplitudes decay with T 0.3 s and
# 0.6 s (make_series' shares change in a straight line, so the lines are written here).
real="$work/real"
mkdir -p "$real"
"$make_series" "$real" slices=1 points=200 > /dev/null # for its peaks.txt
/usr/bin/python3 - "$real" <<'PY'
import math, random, sys
folder = sys.argv[1]
random.seed(5)
zs = [0.02 * 1.5 ** i for i in range(12)]
with open(folder + "/2d.txt", "w") as out:
    for s, z in enumerate(zs):
        out.write("# slice %d\n" % s)
        a, b = 8000 * math.exp(-z / 0.3), 6000 * math.exp(-z / 0.6)
        for i in range(200):
            x = 2.5 - 3.0 * i / 199
            y = a / 0.08 / (1 + ((x - 1.2) / 0.08) ** 2) + b / 0.1 / (1 + ((x - 0.9) / 0.1) ** 2)
            out.write("%.9g %.9g\n" % (x, y + random.gauss(0, 300)))
        out.write("&\n")
with open(folder + "/z.txt", "w") as out:
    out.write("# x of each slice, from vdlist (unit s)\n")
    out.write("".join("%.9g\n" % z for z in zs))
PY
(cd "$real" && "$pairfit4" --z z.txt > /dev/null 2>&1) || fail "pairfit4 --z failed"
(cd "$real" && "$trend" decay --mc 20 > "$work/out" 2> "$work/err") ||
    fail "decay on pairfit4's report: status $?: $(cat "$work/err")"
[ "$(head -1 "$real/trend.csv")" = "line,model,parameter,value,se,se_mc,n,dof,chi2,chi2_red,rss,p_value,status" ] ||
    fail "trend.csv header: $(head -1 "$real/trend.csv")"
[ "$(wc -l < "$real/trend.csv")" -eq 7 ] || fail "trend.csv rows: $(cat "$real/trend.csv")"
grep -Eq '^A  T  = [0-9.]+ ± [0-9.]+ s \(Monte Carlo [0-9.]+\)   chi2/dof [0-9.e+]+ \([0-9]+\)$' \
    "$work/out" || fail "summary line: $(cat "$work/out")"
[ -s "$real/trend.png" ] && [ -s "$real/trend.pdf" ] || fail "no pictures: $(cat "$work/err")"
ls -a "$real" | grep -q '^\.trend\.' && fail "a temporary picture is left"
# The same folder named on the command line gives the same trend.csv.
cp "$real/trend.csv" "$work/first.csv"
"$trend" decay --mc 20 "$real" > /dev/null 2>&1 || fail "decay FOLDER"
cmp -s "$work/first.csv" "$real/trend.csv" || fail "trend.csv differs between two runs"

# Drawing impossible: no script beside the program nor on PATH -> a warning, status 0.
mkdir -p "$work/bin" "$work/draw"
cp "$trend" "$work/bin/pairfit-trend"
cp "$real/report.csv" "$work/draw/"
(cd "$work/draw" && PATH=/nonexistent "$work/bin/pairfit-trend" decay --mc 0 > /dev/null \
    2> "$work/err") || fail "no drawing script: status $?"
grep -q "warning: no pictures drawn" "$work/err" || fail "no warning: $(cat "$work/err")"
[ -s "$work/draw/trend.csv" ] && [ ! -e "$work/draw/trend.png" ] || fail "no-drawing files"

# Refusals.
refused="$work/refused"
mkdir -p "$refused/empty" "$refused/noz" "$refused/few" "$refused/zero"
echo "kept" > "$refused/empty/trend.csv"
expect 2 "run pairfit4 --report or --z first" "$refused/empty" decay
sed 's/^\([0-9]*\),[^,]*,/\1,,/' "$real/report.csv" > "$refused/noz/report.csv"
expect 2 "report.csv has no z; run with --z FILE" "$refused/noz" decay
head -3 "$real/report.csv" > "$refused/few/report.csv"
expect 2 "needs at least 3" "$refused/few" decay
expect 2 "needs at least 4" "$refused/few" inversion
awk -F, -v OFS=, 'NR == 5 { $19 = 0 } { print }' "$real/report.csv" > "$refused/zero/report.csv"
expect 2 "slice 3 has the standard error 0" "$refused/zero" decay
expect 1 "unknown model 'growth'" "$real" growth
expect 1 "unknown option '--fast'" "$real" decay --fast
expect 1 "usage: pairfit-trend" "$real" decay --fast
expect 1 "no MODEL given" "$real"
expect 1 "binding needs --protein P" "$real" binding
expect 1 "--protein applies to the binding model only" "$real" decay --protein 1
expect 1 "--mc needs a whole number" "$real" decay --mc -3
expect 1 "--column takes area or height" "$real" decay --column width
# Inputs that are not text files are refused at once.
mkdir -p "$refused/device" "$refused/folder/report.csv" "$refused/pipe"
ln -s /dev/zero "$refused/device/report.csv"
mkfifo "$refused/pipe/report.csv"
for case in "device:is not a regular file" "folder:is a directory" "pipe:is not a regular file"; do
    (cd "$refused/${case%%:*}" && timeout 60 "$trend" decay > "$work/out" 2> "$work/err")
    got=$?
    [ "$got" -eq 2 ] || fail "report.csv as ${case%%:*}: status $got: $(cat "$work/err")"
    grep -qF "${case#*:}" "$work/err" || fail "report.csv as ${case%%:*}: $(cat "$work/err")"
    [ -z "$(ls "$refused/${case%%:*}" | grep -v '^report.csv$')" ] ||
        fail "report.csv as ${case%%:*}: files written"
done
# A write-protected trend.csv or picture is kept: status 4, the file named.
for kept in trend.csv trend.png; do
    mkdir -p "$work/kept_$kept"
    cp "$real/report.csv" "$work/kept_$kept/"
    echo "mine" > "$work/kept_$kept/$kept"
    chmod a-w "$work/kept_$kept/$kept"
    (cd "$work/kept_$kept" && "$trend" decay --mc 0 > "$work/out" 2> "$work/err")
    got=$?
    [ "$got" -eq 4 ] || fail "write-protected $kept: status $got: $(cat "$work/err")"
    grep -q "$kept.*chmod u+w" "$work/err" || fail "write-protected $kept not named: $(cat "$work/err")"
    [ "$(cat "$work/kept_$kept/$kept")" = "mine" ] || fail "write-protected $kept replaced"
done
# Under a file-size limit, and with a FIFO as trend.csv: status 4 at once, the old file kept,
# no temporary left (a FIFO would block a writer that opened it).
for target in limit fifo; do
    folder="$work/out_$target"
    mkdir -p "$folder"
    cp "$real/report.csv" "$folder/"
    if [ "$target" = limit ]; then
        head -c 3000 /dev/zero | tr '\0' x > "$folder/trend.csv"
        # Messages through a pipe: under the limit no regular file can be written to.
        (cd "$folder" && ulimit -f 0 && "$trend" decay --mc 0 2>&1 > /dev/null) | cat > "$work/err"
        got=${PIPESTATUS[0]}
    else
        mkfifo "$folder/trend.csv"
        (cd "$folder" && timeout 20 "$trend" decay --mc 0 > "$work/out" 2> "$work/err")
        got=$?
    fi
    [ "$got" -eq 4 ] || fail "trend.csv $target: status $got: $(cat "$work/err")"
    grep -q "trend.csv: c.* be written" "$work/err" ||
        fail "trend.csv $target not named: $(cat "$work/err")"
    ls -a "$folder" | grep -q 'pairfit-' && fail "trend.csv $target: a temporary is left"
    [ "$target" = fifo ] && { [ -p "$folder/trend.csv" ] || fail "the FIFO was replaced"; }
    [ "$target" = limit ] && { [ "$(wc -c < "$folder/trend.csv")" -eq 3000 ] || fail "trend.csv replaced under the limit"; }
done
# One Monte Carlo set has no spread; an se below the rounding of the values is no measurement;
# a unit too long to print on every line is left unnamed with a note.
expect 1 "--mc 1: one Monte Carlo set has no spread" "$real" decay --mc 1
mkdir -p "$work/tiny_se"
awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) if ($c == "area_A_se") col = c }
                  NR == 4 { $col = "1e-300" } { print }' "$real/report.csv" > "$work/tiny_se/report.csv"
expect 2 "slice 2 has the standard error 1e-300, below the rounding" "$work/tiny_se" decay --mc 0
mkdir -p "$work/long_unit"
cp "$real/report.csv" "$work/long_unit/"
{ printf '# x of each slice (unit %0100d)\n' 0; tail -n +2 "$real/z.txt"; } > "$work/long_unit/z.txt"
(cd "$work/long_unit" && "$trend" decay --mc 0 > "$work/out" 2> "$work/err") ||
    fail "long unit: status $?: $(cat "$work/err")"
grep -q "note: the unit named in z.txt is 100 characters long" "$work/err" ||
    fail "long unit: no note: $(cat "$work/err")"
grep -q "0000000000" "$work/out" && fail "long unit echoed: $(head -3 "$work/out")"
# --column height fits the heights with their own errors: the same trend.csv as the areas' fit
# of a report.csv whose area columns hold the heights and their errors.
mkdir -p "$work/heights"
awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) at[$c] = c; print; next }
    { for (n = split("A_se A B_se B", s, " "); n > 0; n--) $at["area_" s[n]] = $at["height_" s[n]]
      print }' "$real/report.csv" > "$work/heights/report.csv"
(cd "$real" && "$trend" decay --column height --mc 0 > /dev/null 2>&1 && cp trend.csv "$work/by_height.csv") ||
    fail "--column height failed"
(cd "$work/heights" && "$trend" decay --mc 0 > /dev/null 2>&1) || fail "the areas holding heights failed"
cmp -s "$work/by_height.csv" "$work/heights/trend.csv" ||
    fail "--column height does not fit the heights with their errors: $(diff "$work/by_height.csv" "$work/heights/trend.csv")"
# A report.csv of a few hundred KiB (the series above 200 times over) is read whole.
mkdir -p "$work/long_report"
awk -F, -v OFS=, 'NR == 1 { print; next } { rows[NR] = $0 }
    END { for (r = 0; r < 200; r++) for (i = 2; i <= NR; i++) { $0 = rows[i]; $1 = r * (NR - 1) + i - 2; print } }' \
    "$real/report.csv" > "$work/long_report/report.csv"
[ "$(wc -c < "$work/long_report/report.csv")" -gt 300000 ] || fail "the long report.csv is short"
(cd "$work/long_report" && "$trend" decay --mc 0 > "$work/out" 2> "$work/err") ||
    fail "a long report.csv: status $?: $(cat "$work/err")"
grep -q '^B,decay,T,.*,2400,' "$work/long_report/trend.csv" ||
    fail "a long report.csv: not every slice fitted: $(cat "$work/long_report/trend.csv")"
# Slice 11 holds MA at its bound, so line A leaves it out; a slice whose LWB is at its bound
# leaves line B's fit, named; --keep-bound keeps them.
mkdir -p "$work/bound"
awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) if ($c == "status") col = c }
                  NR == 5 { $col = "settled;bound:LWB" } { print }' "$real/report.csv" > "$work/bound/report.csv"
(cd "$work/bound" && "$trend" decay --mc 0 --no-plot > "$work/out" 2> "$work/err") ||
    fail "a slice at a bound: status $?: $(cat "$work/err")"
grep -q "line B: 1 slice left out of the trend.*slice 3: LWB at a bound" "$work/err" ||
    fail "no warning naming the slice at a bound: $(cat "$work/err")"
grep -q '^A,decay,T,.*,11,9,' "$work/bound/trend.csv" && grep -q '^B,decay,T,.*,11,9,' "$work/bound/trend.csv" ||
    fail "n of the slice at a bound: $(cat "$work/bound/trend.csv")"
[ -e "$work/bound/trend.png" ] && fail "--no-plot drew"
(cd "$work/bound" && "$trend" decay --mc 0 --no-plot --keep-bound > /dev/null 2> "$work/err") ||
    fail "--keep-bound: status $?"
grep -q '^B,decay,T,.*,12,10,' "$work/bound/trend.csv" || fail "--keep-bound: $(cat "$work/bound/trend.csv")"
grep -q "left out" "$work/err" && fail "--keep-bound warned: $(cat "$work/err")"
# A fitted half-width below half the point spacing of 2d.txt (3/199 ppm here) is at a bound
# too: slice 3's LWB set to 0.005 ppm leaves line B's fit, named with the spacing; --keep-bound
# keeps it; without 2d.txt its width, which the other slices contradict, still leaves it out;
# with pairfit2's held half-widths (no LWB_se) it is kept.
mkdir -p "$work/narrow"
cp "$real/2d.txt" "$work/narrow/"
awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) at[$c] = c }
                  NR == 5 { $at["LWB"] = "0.005" } { print }' "$real/report.csv" > "$work/narrow/report.csv"
(cd "$work/narrow" && "$trend" decay --mc 0 --no-plot > /dev/null 2> "$work/err") ||
    fail "a narrow half-width: status $?: $(cat "$work/err")"
grep -q "line B: 1 slice left out of the trend.*slice 3: LWB 0.005 ppm narrower than half the point spacing (0.00754 ppm)" "$work/err" ||
    fail "no warning naming the narrow half-width: $(cat "$work/err")"
grep -q '^B,decay,T,.*,11,9,' "$work/narrow/trend.csv" || fail "n of the narrow slice: $(cat "$work/narrow/trend.csv")"
(cd "$work/narrow" && "$trend" decay --mc 0 --no-plot --keep-bound > /dev/null 2> "$work/err") ||
    fail "a narrow half-width, --keep-bound: status $?"
grep -q '^B,decay,T,.*,12,10,' "$work/narrow/trend.csv" || fail "--keep-bound, narrow: $(cat "$work/narrow/trend.csv")"
grep -q "narrower" "$work/err" && fail "--keep-bound warned of the narrow slice: $(cat "$work/err")"
mv "$work/narrow/2d.txt" "$work/narrow/2d.moved"
(cd "$work/narrow" && "$trend" decay --mc 0 --no-plot > /dev/null 2> "$work/err") ||
    fail "no 2d.txt: status $?"
grep -q "warning: ./2d.txt: not found; without the point spacing only the slices whose status names a bound" "$work/err" ||
    fail "no 2d.txt: $(cat "$work/err")"
# The width the other slices contradict still leaves it out, for that reason.
grep -q "line B: 1 slice left out of the trend.*slice 3: LWB 0.005 ppm, .* se from the other slices'" "$work/err" ||
    fail "no 2d.txt, no contradicted width: $(cat "$work/err")"
grep -q '^B,decay,T,.*,11,9,' "$work/narrow/trend.csv" || fail "no 2d.txt: $(cat "$work/narrow/trend.csv")"
mv "$work/narrow/2d.moved" "$work/narrow/2d.txt"
awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) at[$c] = c }
                  NR > 1 { $at["LWA_se"] = ""; $at["LWB_se"] = "" } { print }' "$work/narrow/report.csv" > "$work/held.csv"
mv "$work/held.csv" "$work/narrow/report.csv"
(cd "$work/narrow" && "$trend" decay --mc 0 --no-plot > /dev/null 2> "$work/err") ||
    fail "held half-widths: status $?"
grep -q '^B,decay,T,.*,12,10,' "$work/narrow/trend.csv" || fail "held half-widths: $(cat "$work/narrow/trend.csv")"
grep -q "narrower\|2d.txt" "$work/err" && fail "held half-widths named: $(cat "$work/err")"
# --compare: both models in trend.csv, the test in trend_compare.csv.
(cd "$real" && "$trend" decay --compare decay2 --mc 0 --no-plot > "$work/out" 2> "$work/err") ||
    fail "--compare decay2: status $?: $(cat "$work/err")"
[ "$(head -1 "$real/trend_compare.csv")" = "line,model,model2,chi2,chi2_2,dof,dof_2,F,p_value,delta_aic,preferred" ] ||
    fail "trend_compare.csv header: $(head -1 "$real/trend_compare.csv")"
[ "$(grep -c '^[AB],decay,decay2,' "$real/trend_compare.csv")" -eq 2 ] ||
    fail "trend_compare.csv rows: $(cat "$real/trend_compare.csv")"
[ "$(grep -c ',decay2,' "$real/trend.csv")" -eq 12 ] || fail "decay2 rows: $(cat "$real/trend.csv")"
grep -q "decay2 against decay:" "$work/out" || fail "no comparison printed: $(cat "$work/out")"
expect 1 "cannot be compared" "$real" decay --compare binding
expect 1 "the same model as MODEL" "$real" decay --compare decay
# A falls and B rises: B cannot follow a decay to a finite T, nor A a recovery.
expect 3 "line A (area_A): the recovery fit" "$real" recovery --mc 0
# A run writing in the folder (an exclusive lock on it) holds pairfit-trend back until it ends:
# the trend waits, says so, and then writes its trend.csv.
rm -f "$real/trend.csv"
flock "$real" sleep 2 &
holder=$!
sleep 0.5
(cd "$real" && "$trend" decay --mc 0 --no-plot > "$work/out" 2> "$work/err") ||
    fail "decay behind a lock: status $?: $(cat "$work/err")"
kill -0 "$holder" 2> /dev/null && fail "pairfit-trend ran while another run held the folder"
wait "$holder"
grep -q "waiting for another run" "$work/err" || fail "no wait said: $(cat "$work/err")"
[ -s "$real/trend.csv" ] || fail "no trend.csv after waiting"
[ "$status" -eq 0 ] && echo "pairfit-trend runs and refusals as expected"
exit "$status"
