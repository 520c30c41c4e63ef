#!/usr/bin/env bash
# Scores masks and cut-outs of studio-like pictures with known truth (made by
# zel7-studio: labels, rings and handles, wires, soft shadows, objects cut by the
# frame, on white and on black, as JPEGs of quality 88 to 95): zel7's options, the
# fixed threshold, and ImageMagick's usual recipe (a border, a flood fill from the
# corner with -fuzz, the alpha extracted).
#
#   bench/quality.sh [BUILD_DIR]     (default: build-bench, configured here)
#
# COUNT pictures of each family and backdrop (default 6), SIZE (1200x900) and SEED (7)
# can be set in the environment; WAYS names the ways to score (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" imagemagick

build=${1:-build-bench}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-studio >/dev/null
mask="$build/cli/zel7-mask"
studio="$build/bench/studio/zel7-studio"
magick=/usr/bin/convert  # Debian's, not any other convert on the PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/zel7-quality-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$studio" generate "$work/shots" --count "${COUNT:-6}" --size "${SIZE:-1200x900}" \
    --seed "${SEED:-7}" >/dev/null

# Each way of masking, as a command taking the backdrop's side, a shot and the result.
declare -A ways=(
    [threshold]='"$mask" --$side "$shot" "$out"'
    [studio]='"$mask" --$side --studio "$shot" "$out"'
    [studio-cutout]='"$mask" --$side --studio --cutout "$shot" "$out"'
    [zel7]='"$mask" --auto-background --connected --despeckle 64 --cutout "$shot" "$out"'
    [zel7-hard]='"$mask" --auto-background --connected --despeckle 64 --cutout --hard-edges "$shot" "$out"'
    [zel7-holes]='"$mask" --auto-background --connected --despeckle 64 --hole-area 400 --cutout "$shot" "$out"'
    [magick-10]='"$magick" "$shot" -bordercolor $side -border 1 -alpha set -fuzz 10% -fill none -draw "color 0,0 floodfill" -shave 1x1 -alpha extract "$out"'
    [magick-20]='"$magick" "$shot" -bordercolor $side -border 1 -alpha set -fuzz 20% -fill none -draw "color 0,0 floodfill" -shave 1x1 -alpha extract "$out"'
)
for way in ${WAYS:-threshold studio studio-cutout zel7 zel7-hard zel7-holes magick-10 magick-20}; do
    mkdir -p "$work/$way"
    for shot in "$work"/shots/*.jpg; do
        name=$(basename "$shot" .jpg)
        side=$([[ $name == *-black-* ]] && echo black || echo white)
        out="$work/$way/$name.png"
        echo "side=$side shot=$shot out=$out; ${ways[$way]}"
    done | mask=$mask magick=$magick xargs -d '\n' -P 2 -I{} bash -c '{}'
    inverted=$([[ $way == magick-* ]] && echo --inverted || true)
    echo "== $way"
    "$studio" score "$work/shots" "$work/$way" $inverted | sed -n '/^group/,$p'
done
