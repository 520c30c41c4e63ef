#!/usr/bin/env bash
# Times a shop's main picture made from a 6000 x 4000 studio shot (a JPEG made by
# zel7-studio): zel7-mask's one command, against zel7-mask's cut-out followed by
# ImageMagick's trim, resize, extent and flatten, and by the same in libvips's
# command-line tools; with each one's peak memory.
#
#   bench/marketplace.sh [BUILD_DIR]     (default: build-bench, configured here)
#
# ROUNDS (default 5) and WORK (a tmpfs folder, /dev/shm when present) can be set in
# the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

build=${1:-build-bench}
rounds=${ROUNDS:-5}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-studio >/dev/null

base=${WORK:-$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
work=$(mktemp -d "$base/zel7-marketplace-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench/studio/zel7-studio" generate "$work" --count 1 --size 6000x4000 \
    --families label --backdrops white --jpeg 92 >/dev/null
photo="$work/label-white-01.jpg"
mask="$(realpath "$build/cli/zel7-mask")"

# The larger side at 1700 of a 2000 x 2000 white square: 85%, a margin of 7.5% each side.
cat >"$work/imagemagick.sh" <<END
set -e
$mask --white --studio --cutout $photo $work/cut-im.png
MAGICK_CONFIGURE_PATH=$PWD/bench/imagemagick /usr/bin/convert $work/cut-im.png -trim +repage \
    -resize 1700x1700 -background white -gravity center -extent 2000x2000 -flatten \
    -quality 90 $work/imagemagick.jpg
END
# libvips's tools one operation a call, through its own .v files in the same tmpfs;
# find_trim flattens the transparency over white before it looks for the edges.
cat >"$work/vips.sh" <<END
set -e
$mask --white --studio --cutout $photo $work/cut-vips.png
set -- \$(vips find_trim $work/cut-vips.png --background 255 | tr '\n' ' ')
vips crop $work/cut-vips.png $work/crop.v "\$1" "\$2" "\$3" "\$4"
vips thumbnail_image $work/crop.v $work/small.v 1700 --height 1700
vips flatten $work/small.v $work/flat.v --background 255
vips gravity $work/flat.v "$work/vips.jpg[Q=90]" centre 2000 2000 --extend background \
    --background 255
END

declare -A commands=(
    [zel7]="$mask --white --studio --trim --margin 7.5% --square --size 2000x2000 --flatten white --quality 90 $photo $work/zel7.jpg"
    [imagemagick]="sh $work/imagemagick.sh"
    [vips]="sh $work/vips.sh"
)
order=(zel7 imagemagick vips)
source bench/timing.sh
run "$rounds" "${order[@]}"

ours=$(echo "${times[zel7]}" | median)
printf '%-34s %10s %10s %10s\n' command "median s" "x zel7" "peak MiB"
declare -A labels=([zel7]="zel7-mask, one command" [imagemagick]="zel7-mask --cutout + convert"
    [vips]="zel7-mask --cutout + vips tools")
for name in "${order[@]}"; do
    m=$(echo "${times[$name]}" | median)
    awk -v n="${labels[$name]}" -v m="$m" -v z="$ours" -v k="${peaks[$name]}" \
        'BEGIN { printf "%-34s %10.3f %10.2f %10.1f\n", n, m, m / z, k / 1024 }'
done
for name in "${order[@]}"; do
    /usr/bin/identify -format "$name.jpg %wx%h %b, the object " "$work/$name.jpg"
    /usr/bin/convert "$work/$name.jpg" -fuzz 3% -trim -format "%wx%h at %X%Y\n" info:
done
