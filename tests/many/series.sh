# Sourced by the many-series checks, after they define fail and put the programs on PATH.
# make_series SOURCE_DIR DIR WAY...: five series folders in DIR/lone (the example's first
# 3..6 slices, and one imported from a real pseudo-2D relaxation series), copied unfitted to
# DIR/WAY for each WAY, then each fitted alone in DIR/lone.
make_series() {
    local example="$1/examples/titration" lone="$2/lone" slices folder way
    for slices in 3 4 5 6; do
        folder="$lone/titration$slices"
        mkdir -p "$folder"
        cp "$example/peaks.txt" "$folder/"
        awk -v keep="$slices" 'blocks < keep {print} /^&/ {blocks++}' "$example/2d.txt" \
            > "$folder/2d.txt"
    done
    pairfit-import -o "$lone/relaxation" --window 3.6 3.3 \
        "$1/tests/data/bruker/inversion_recovery/1/pdata/1" > /dev/null
    printf '3.46 3.40\n3.6 3.3\n' > "$lone/relaxation/peaks.txt"
    for way in "${@:3}"; do
        cp -r "$lone" "$2/$way"
    done
    for folder in "$lone"/*/; do
        (cd "$folder" && pairfit4 > fit.log)
    done
}

# same_as_lone DIR WAY: every folder of DIR/WAY has the standard output and result files of
# the lone run of the same folder, byte for byte.
same_as_lone() {
    local folder name file
    for folder in "$1"/lone/*/; do
        name=$(basename "$folder")
        for file in fit.log results.txt dat.txt sim_a.txt sim_b.txt res.txt; do
            [ -s "$folder/$file" ] || fail "lone run of $name wrote no $file"
            cmp -s "$folder/$file" "$1/$2/$name/$file" || fail "$2 run of $name: $file differs"
        done
    done
}
