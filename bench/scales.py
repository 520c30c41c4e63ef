#!/usr/bin/python3
"""Scores masks of photos with truth at other sizes than their own: how far a mask depends
on the picture's scale (the sample step, a shadow's fade and a drawn frame are measured in
pixels).

  bench/scales.py ZEL7_MASK FOLDER [SCALE...] -- [OPTION...]

FOLDER holds img/STEM.jpg, truth/STEM.png (255 = object) and backdrops.tsv (a header, then
STEM, white or black, ...), as a folder of development photos does. Each photo is resized
by each SCALE (default 1 2 4 0.6: 1 recompresses it alike, the control) with Lanczos and
saved as a JPEG of quality 92, its truth resized alike; each is masked with --white or
--black and the OPTIONs (default --studio). Prints, for each scale, the mean IoU of the
object, the share of photos at 0.95 or more, and the five that lost most against scale 1.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image


def main():
    args = sys.argv[1:]
    options = ["--studio"]
    if "--" in args:
        options = args[args.index("--") + 1:]
        args = args[:args.index("--")]
    if len(args) < 2:
        sys.exit(__doc__)
    mask, folder = args[0], args[1]
    scales = [float(s) for s in args[2:]] or [1, 2, 4, 0.6]
    scales.sort(key=lambda scale: scale != 1)  # the control first
    rows = [line.rstrip("\n").split("\t")[:2]
            for line in open(os.path.join(folder, "backdrops.tsv"))][1:]
    scores = {}
    with tempfile.TemporaryDirectory() as work:
        for scale in scales:
            for stem, side in rows:
                picture = Image.open(os.path.join(folder, "img", stem + ".jpg")).convert("RGB")
                size = (round(picture.width * scale), round(picture.height * scale))
                shot, out = os.path.join(work, "shot.jpg"), os.path.join(work, "mask.png")
                picture.resize(size, Image.LANCZOS).save(shot, quality=92)
                truth = Image.open(os.path.join(folder, "truth", stem + ".png")).convert("L")
                truth = np.asarray(truth.resize(size, Image.BILINEAR)) >= 128
                done = subprocess.run([mask, "--" + side, *options, shot, out],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                iou = 0.0
                if done.returncode == 0:
                    obj = np.asarray(Image.open(out).convert("L")) < 128
                    iou = (obj & truth).sum() / max(1, (obj | truth).sum())
                scores[scale, stem] = iou
            values = [scores[scale, stem] for stem, _ in rows]
            line = f"scale {scale:g}: mean IoU {np.mean(values):.4f}, " \
                   f"at least 0.95 {np.mean([v >= 0.95 for v in values]):.2f}"
            if scale != 1 and 1 in scales:
                lost = sorted((scores[scale, s] - scores[1, s], s) for s, _ in rows)[:5]
                line += "; lost most: " + ", ".join(f"{s} {d:+.2f}" for d, s in lost)
            print(line, flush=True)


if __name__ == "__main__":
    main()
