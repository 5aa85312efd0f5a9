# Sourced by the bench scripts: the Release build they measure, in build/bench of the checkout `hier`.
# baue_release TARGET...  installs what is missing, builds the targets, and sets `bau` to the build folder.
baue_release() {
    bash "$hier/tools/abhaengigkeiten.sh"
    bau="$hier/build/bench"
    cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRESOR_BUILD_UI=ON -DTRESOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$bau" -j2 --target "$@" >/dev/null
}

# The median of the per-round ratios a_i / b_i of two lists of times given as words ("1.2 1.3 ...").
median_der_verhaeltnisse() {
    python3 -c "import statistics,sys; a=sys.argv[1].split(); b=sys.argv[2].split(); print('%.2f' % statistics.median(float(x)/float(y) for x,y in zip(a,b)))" "$1" "$2"
}
