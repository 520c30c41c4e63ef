#!/usr/bin/python3
"""Scores masks of photos with truth at other sizes than their own, or under other light: how
far a mask depends on the picture's scale (the sample step, a shadow's fade and a drawn frame
are measured in pixels), on a light that falls off across the frame, and on a sensor's noise.

  bench/scales.py ZEL7_MASK FOLDER [VARIANT...] -- [OPTION...]

FOLDER holds img/STEM.jpg, truth/STEM.png (255 = object) and backdrops.tsv (a header, then
STEM, white or black, ...), as a folder of development photos does. Each photo is made
again as each VARIANT says (default 1 2 4 0.6: 1 recompresses it alike, the control) and
saved as a JPEG of quality 92:
  a number  resizes it by that factor with Lanczos, its truth alike;
  downN     relights it, the light falling N levels from the top row to the bottom one:
            on white every pixel scaled as the backdrop falls from 255 (a product with
            it), on black each lifted by N times its distance from white, down the frame;
  acrossN   the same from the left column to the right one.
  noiseN    adds a sensor's noise: the backdrop first moved off the end of the scale
            (every pixel scaled by 0.96, on black lifted by 8 besides: a white backdrop to
            245, a black one to 8), so that the noise is not clipped, then Gaussian noise
            of deviation N on every channel of every pixel, the same draw for every run.
Each is masked with --white or --black and the OPTIONs (default --studio). Prints, for each
variant, the mean IoU of the object, the share of photos at 0.95 or more, and the five that
lost most against variant 1.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image


def as_picture(pixels):
    """Levels of any range as an 8-bit picture, rounded and clipped."""
    return Image.fromarray(np.clip(pixels + 0.5, 0, 255).astype(np.uint8))


def made(variant, picture, truth, side):
    """The picture and its truth as variant says (see above)."""
    for way, axis in (("down", 0), ("across", 1)):
        if variant.startswith(way):
            fall = float(variant[len(way):])
            pixels = np.asarray(picture).astype(np.float64)
            shape = [1, 1, 1]
            shape[axis] = pixels.shape[axis]
            share = np.linspace(0, 1, pixels.shape[axis]).reshape(shape)
            if side == "white":
                pixels = pixels * (1 - fall / 255 * share)
            else:
                pixels = pixels + fall * share * (1 - pixels / 255)
            return as_picture(pixels), truth
    if variant.startswith("noise"):
        deviation = float(variant[len("noise"):])
        pixels = np.asarray(picture).astype(np.float64) * 0.96 + (0 if side == "white" else 8)
        pixels += np.random.default_rng(1).normal(0, deviation, pixels.shape)
        return as_picture(pixels), truth
    scale = float(variant)
    size = (round(picture.width * scale), round(picture.height * scale))
    return picture.resize(size, Image.LANCZOS), truth.resize(size, Image.BILINEAR)


def main():
    args = sys.argv[1:]
    options = ["--studio"]
    if "--" in args:
        options = args[args.index("--") + 1:]
        args = args[:args.index("--")]
    if len(args) < 2:
        sys.exit(__doc__)
    mask, folder = args[0], args[1]
    variants = args[2:] or ["1", "2", "4", "0.6"]
    variants.sort(key=lambda variant: variant != "1")  # the control first
    rows = [line.rstrip("\n").split("\t")[:2]
            for line in open(os.path.join(folder, "backdrops.tsv"))][1:]
    scores = {}
    with tempfile.TemporaryDirectory() as work:
        for variant in variants:
            for stem, side in rows:
                picture = Image.open(os.path.join(folder, "img", stem + ".jpg")).convert("RGB")
                truth = Image.open(os.path.join(folder, "truth", stem + ".png")).convert("L")
                shot, out = os.path.join(work, "shot.jpg"), os.path.join(work, "mask.png")
                picture, truth = made(variant, picture, truth, side)
                picture.save(shot, quality=92)
                truth = np.asarray(truth) >= 128
                done = subprocess.run([mask, "--" + side, *options, shot, out],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                iou = 0.0
                if done.returncode == 0:
                    obj = np.asarray(Image.open(out).convert("L")) < 128
                    iou = (obj & truth).sum() / max(1, (obj | truth).sum())
                scores[variant, stem] = iou
            values = [scores[variant, stem] for stem, _ in rows]
            line = f"{variant}: mean IoU {np.mean(values):.4f}, " \
                   f"at least 0.95 {np.mean([v >= 0.95 for v in values]):.2f}"
            if variant != "1" and "1" in variants:
                lost = sorted((scores[variant, s] - scores["1", s], s) for s, _ in rows)[:5]
                line += "; lost most: " + ", ".join(f"{s} {d:+.2f}" for d, s in lost)
            print(line, flush=True)


if __name__ == "__main__":
    main()
