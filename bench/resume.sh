#!/usr/bin/env bash
# Times zel7-mask --skip-existing over a batch of 1,000 files that is already done:
# what resuming a finished or nearly finished batch costs.
#
#   bench/resume.sh [BUILD_DIR]     (default: build-bench, configured here)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build-bench}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-make-picture >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/zel7-resume-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/photos" "$work/masks"
"$build/bench/zel7-make-picture" white 640 480 "$work/photos/p0.jpg"
for i in $(seq 1 999); do cp "$work/photos/p0.jpg" "$work/photos/p$i.jpg"; done
find "$work/photos" -name '*.jpg' -print0 >"$work/list"
mask=("$build/cli/zel7-mask" --white --out-dir "$work/masks" --files-from "$work/list" -0)
start=$EPOCHREALTIME
"${mask[@]}"
middle=$EPOCHREALTIME
"${mask[@]}" --skip-existing --report "$work/report"
end=$EPOCHREALTIME
awk -v a="$start" -v b="$middle" -v c="$end" -v s="$(grep -c '"skipped"' "$work/report")" \
    'BEGIN { printf "1,000 JPEGs of 640 x 480: masked in %.3f s; run again with --skip-existing %.3f s (%d skipped)\n", b - a, c - b, s }'
