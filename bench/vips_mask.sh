#!/usr/bin/env bash
# The white-background mask with libvips, in the two steps its command line needs, for
# bench/compare.sh: vips_mask.sh SOURCE DEST.png
set -euo pipefail
step=$(mktemp --suffix=.v)
trap 'rm -f "$step"' EXIT
vips relational_const "$1" "$step" moreeq 240
vips bandbool "$step" "$2" and
