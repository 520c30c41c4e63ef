#!/usr/bin/env bash
# Times zel7-mask --keep-tree over a catalogue laid out as sku001..sku101/{main,side,detail}.jpg
# (303 files of one name each, which a flat --out-dir would refuse but for 3), and checks that
# every mask was written where the tree puts it and nowhere else.
#
#   bench/tree.sh [BUILD_DIR]     (default: build-bench, configured here)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=${1:-build-bench}
configure_bench "$build"
cmake --build "$build" --target zel7-mask zel7-make-picture >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/zel7-tree-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/catalogue" "$work/out"
"$build/bench/zel7-make-picture" white 640 480 "$work/shot.jpg"
for i in $(seq -f %03g 1 101); do
    mkdir "$work/catalogue/sku$i"
    for view in main side detail; do cp "$work/shot.jpg" "$work/catalogue/sku$i/$view.jpg"; done
done
start=$EPOCHREALTIME
"$build/cli/zel7-mask" --white --out-dir "$work/out" --keep-tree "$work"/catalogue/sku*/*.jpg
end=$EPOCHREALTIME
# The tree mirrored: the same folders, each picture's mask under its stem, nothing else.
expected=$(cd "$work/catalogue" && find . -name '*.jpg' | sed 's/\.jpg$/.png/' | sort)
written=$(cd "$work/out" && find . -type f | sort)
if [ "$expected" != "$written" ]; then
    echo "tree.sh: the masks do not mirror the catalogue" >&2
    diff <(echo "$expected") <(echo "$written") >&2 || true
    exit 1
fi
awk -v a="$start" -v b="$end" -v n="$(echo "$written" | wc -l)" \
    'BEGIN { printf "%d JPEGs of 640 x 480 in 101 folders, --keep-tree: %.3f s, every mask in its folder\n", n, b - a }'
