#!/usr/bin/env bash
# Times refined masks and cut-outs of a 6000 x 4000 studio shot (a JPEG made by
# zel7-studio) against the plain mask of the same file and against libvips writing
# the same JPEG as a PNG at compression 1, with each mode's peak memory; cut-outs as
# PNG and as WebP (lossy at the default quality, and lossless).
#
#   bench/cutout.sh [BUILD_DIR]     (default: build-bench, configured here)
#
# ROUNDS (default 7) and WORK (a tmpfs folder, /dev/shm when present) can be set in
# the environment, and PHOTO, a JPEG on white to time instead of the studio shot: the
# generator's shots leave the colour cut nothing to move, where a photo's shadows and
# soft outlines usually do.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

build=${1:-build-bench}
rounds=${ROUNDS:-7}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-studio >/dev/null

base=${WORK:-$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
work=$(mktemp -d "$base/zel7-cutout-XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -n ${PHOTO:-} ]]; then
    photo="$work/photo.jpg"
    cp "$PHOTO" "$photo"
else
    "$build/bench/studio/zel7-studio" generate "$work" --count 1 --size 6000x4000 \
        --families label --backdrops white --jpeg 92 >/dev/null
    photo="$work/label-white-01.jpg"
fi
mask="$build/cli/zel7-mask"

declare -A commands=(
    [plain]="$mask --white $photo $work/plain.png"
    [studio]="$mask --white --studio $photo $work/studio.png"
    [studio-cutout]="$mask --white --studio --cutout $photo $work/studio-cutout.png"
    [connected]="$mask --white --connected --despeckle 64 $photo $work/connected.png"
    [auto]="$mask --auto-background --connected --despeckle 64 $photo $work/auto.png"
    [soft]="$mask --auto-background --connected --despeckle 64 --soft $photo $work/soft.png"
    [cutout]="$mask --auto-background --connected --despeckle 64 --cutout $photo $work/cutout.png"
    [cutout-webp]="$mask --auto-background --connected --despeckle 64 --cutout $photo $work/cutout.webp"
    [cutout-lossless]="$mask --auto-background --connected --despeckle 64 --cutout --lossless $photo $work/lossless.webp"
    [studio-webp]="$mask --white --studio --cutout $photo $work/studio-cutout.webp"
    [hard-cutout]="$mask --white --connected --despeckle 64 --cutout --hard-edges $photo $work/hard.png"
    [vips]="vips copy $photo $work/vips.png[compression=1]"
)
order=(plain studio studio-cutout studio-webp connected auto soft cutout cutout-webp cutout-lossless
    hard-cutout vips)
source bench/timing.sh
run "$rounds" "${order[@]}"

plain=$(echo "${times[plain]}" | median)
vips=$(echo "${times[vips]}" | median)
printf '%-16s %10s %10s %10s %10s\n' mode "median s" "x plain" "x vips" "peak MiB"
for name in "${order[@]}"; do
    m=$(echo "${times[$name]}" | median)
    awk -v n="$name" -v m="$m" -v p="$plain" -v v="$vips" -v k="${peaks[$name]}" \
        'BEGIN { printf "%-16s %10.3f %10.2f %10.2f %10.1f\n", n, m, m / p, m / v, k / 1024 }'
done
ls -l "$work"/*.png "$work"/*.webp | awk '{ printf "%s %.1f MB\n", $NF, $5 / 1e6 }' | sed "s|$work/||"
