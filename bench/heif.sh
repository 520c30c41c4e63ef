#!/usr/bin/env bash
# Times zel7-mask making the mask of a 12-megapixel HEIC (the repository's synthetic studio
# shot, through libheif's x265 encoder at quality 80) against libheif decoding the same
# file alone, alternating, with the peak memory of each; zel7-mask should stay within 1.3
# times the decoding.
#
#   bench/heif.sh [BUILD_DIR]     (default: build-bench, configured here)
#
# ROUNDS (default 7), WIDTH and HEIGHT (4000 x 3000), FORMAT (heic or avif) and WORK (a
# tmpfs folder, /dev/shm when present) can be set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

build=${1:-build-bench}
rounds=${ROUNDS:-7}
width=${WIDTH:-4000}
height=${HEIGHT:-3000}
format=${FORMAT:-heic}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-make-picture zel7-bench-heif-decode >/dev/null

base=${WORK:-$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
work=$(mktemp -d "$base/zel7-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
picture="$work/picture.$format"
"$build/bench/zel7-make-picture" white "$width" "$height" "$picture"
echo "picture: ${width} x ${height} $format, $(($(stat -c %s "$picture") / 1024)) KiB, in $work"

declare -A commands=(
    [decode]="$build/bench/zel7-bench-heif-decode $picture"
    [zel7-mask]="$build/cli/zel7-mask --white $picture $work/mask.png"
    [zel7-studio]="$build/cli/zel7-mask --white --studio $picture $work/studio.png"
)
source bench/timing.sh
run "$rounds" decode zel7-mask zel7-studio

decode=$(echo "${times[decode]}" | median)
printf '\n%-16s %10s %10s %14s\n' command "median s" "x decode" "peak MiB"
for name in decode zel7-mask zel7-studio; do
    m=$(echo "${times[$name]}" | median)
    awk -v n="$name" -v m="$m" -v d="$decode" -v k="${peaks[$name]}" \
        'BEGIN { printf "%-16s %10.3f %10.2f %14.1f\n", n, m, m / d, k / 1024 }'
done
