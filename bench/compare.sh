#!/usr/bin/env bash
# Times zel7-mask against a plain copy of the same picture, side by side and
# alternating, and against ImageMagick and OpenCV when they are installed; then the
# dialog's command through the pipeline, and a batch with one and with two jobs.
#
#   bench/compare.sh [BUILD_DIR]     (default: build-bench, configured here)
#
# ROUNDS (default 7), WIDTH and HEIGHT (8000 x 6000) and WORK (a tmpfs folder,
# /dev/shm when present) can be set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

build=${1:-build-bench}
rounds=${ROUNDS:-7}
width=${WIDTH:-8000}
height=${HEIGHT:-6000}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-bench-command zel7-make-picture \
    zel7_kernels_bench zel7-bench-png-decode >/dev/null

base=${WORK:-$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
work=$(mktemp -d "$base/zel7-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
picture="$work/picture.bmp"
"$build/bench/zel7-make-picture" white "$width" "$height" "$picture"
echo "picture: ${width} x ${height}, $(($(stat -c %s "$picture") / 1048576)) MiB, in $work"

# Commands are split on spaces: the paths here have none.
declare -A commands=(
    [cp]="cp $picture $work/out-cp.bmp"
    [zel7-mask]="$build/cli/zel7-mask --white $picture $work/out-zel7.bmp"
    [dialog-command]="$build/bench/zel7-bench-command $picture $work/out-dialog.bmp"
)
order=(cp zel7-mask dialog-command)
others=()
if command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick; then
    commands[imagemagick]="env MAGICK_CONFIGURE_PATH=$PWD/bench/imagemagick convert $picture \
-channel RGB -threshold 93.9% -separate -evaluate-sequence Min -type TrueColor \
BMP3:$work/out-im.bmp"
    others+=(imagemagick)
fi
# Debian's python3-opencv serves the system's Python, which may not be the first on PATH.
for python in python3 /usr/bin/python3; do
    if "$python" -c 'import cv2' 2>/dev/null; then
        commands[opencv]="$python $PWD/bench/opencv_mask.py $picture $work/out-cv.bmp"
        others+=(opencv)
        break
    fi
done

source bench/timing.sh

# Ours side by side with cp; the slow tools after, on their own, so that their
# appetite for memory does not disturb the others.
run "$rounds" "${order[@]}"
[ ${#others[@]} -eq 0 ] || run 3 "${others[@]}"

copy=$(echo "${times[cp]}" | median)
printf '\n%-16s %10s %10s %14s\n' command "median s" "x cp" "peak MiB"
for name in "${order[@]}" "${others[@]}"; do
    m=$(echo "${times[$name]}" | median)
    awk -v n="$name" -v m="$m" -v c="$copy" -v k="${peaks[$name]}" \
        'BEGIN { printf "%-16s %10.3f %10.2f %14.1f\n", n, m, m / c, k / 1024 }'
done
cmp "$work/out-zel7.bmp" "$work/out-dialog.bmp" && echo "zel7-mask and the dialog's command wrote the same bytes"

# batch DESCRIPTION SOURCE...: a batch with one job against two.
batch() {
    local description=$1
    shift
    rm -rf "$work/masks" && mkdir -p "$work/masks"
    commands[jobs-1]="$build/cli/zel7-mask --white --out-dir $work/masks --jobs 1 $*"
    commands[jobs-2]="$build/cli/zel7-mask --white --out-dir $work/masks --jobs 2 $*"
    times[jobs-1]="" times[jobs-2]=""
    run "$rounds" jobs-1 jobs-2
    awk -v d="$description" -v a="$(echo "${times[jobs-1]}" | median)" \
        -v b="$(echo "${times[jobs-2]}" | median)" \
        'BEGIN { printf "batch of %s: --jobs 1 %.3f s, --jobs 2 %.3f s: %.2fx\n", d, a, b, a / b }'
}

# A batch of 16 medium pictures.
mkdir -p "$work/batch"
for i in $(seq 1 16); do
    "$build/bench/zel7-make-picture" white 2400 1800 "$work/batch/p$i.bmp"
done
rm -f "$picture" "$work"/out-*.bmp
echo
batch "16 BMPs of 2400 x 1800" "$work"/batch/*.bmp
rm -rf "$work/batch"

# Camera formats: a 6000 x 4000 JPEG (quality 92, 4:2:0) and the same picture as an RGB
# PNG, to PNG masks, against decoding them alone with the same libraries.
"$build/bench/zel7-make-picture" white 6000 4000 "$work/photo.jpg"
"$build/bench/zel7-make-picture" white 6000 4000 "$work/photo.png"
commands[djpeg]="djpeg $work/photo.jpg"
commands[jpeg-to-png]="$build/cli/zel7-mask --white $work/photo.jpg $work/out-jpeg.png"
commands[png-decode]="$build/bench/zel7-bench-png-decode $work/photo.png"
commands[png-to-png]="$build/cli/zel7-mask --white $work/photo.png $work/out-png.png"
commands[vips-jpeg]="$PWD/bench/vips_mask.sh $work/photo.jpg $work/out-vips.png"
formats=(djpeg jpeg-to-png png-decode png-to-png)
slow=(vips-jpeg)
if [ -n "${python:-}" ] && "$python" -c 'import cv2' 2>/dev/null; then
    commands[opencv-jpeg]="$python $PWD/bench/opencv_mask.py $work/photo.jpg $work/out-cv.png"
    slow+=(opencv-jpeg)
fi
run "$rounds" "${formats[@]}"
run 3 "${slow[@]}"
jpeg=$(echo "${times[jpeg-to-png]}" | median)
printf '\n%-16s %10s %16s %10s\n' command "median s" "x ours (JPEG)" "peak MiB"
for name in "${formats[@]}" "${slow[@]}"; do
    m=$(echo "${times[$name]}" | median)
    awk -v n="$name" -v m="$m" -v j="$jpeg" -v k="${peaks[$name]}" \
        'BEGIN { printf "%-16s %10.3f %16.2f %10.1f\n", n, m, m / j, k / 1024 }'
done
awk -v a="$jpeg" -v b="$(echo "${times[djpeg]}" | median)" \
    -v c="$(echo "${times[png-to-png]}" | median)" -v d="$(echo "${times[png-decode]}" | median)" \
    'BEGIN { printf "JPEG to PNG mask: %.2fx djpeg; PNG to PNG mask: %.2fx decoding alone\n", a / b, c / d }'

# A batch of 48 JPEGs of 3000 x 2000.
mkdir -p "$work/jpegs"
"$build/bench/zel7-make-picture" white 3000 2000 "$work/jpegs/p1.jpg"
for i in $(seq 2 48); do cp "$work/jpegs/p1.jpg" "$work/jpegs/p$i.jpg"; done
batch "48 JPEGs of 3000 x 2000" "$work"/jpegs/*.jpg

echo
"$build/bench/zel7_kernels_bench" --benchmark_min_time=0.2 2>/dev/null
