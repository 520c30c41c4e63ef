#!/usr/bin/python3
"""Scores studio cut-outs of products on a clean white backdrop (255, no noise) saved as
JPEGs, whose strong edges ring across their blocks: how much of the ripples stays object.

  bench/ripples.py ZEL7_MASK [OPTION...]

Draws a rectangle with an elliptic hole, red, dark grey and yellow, at 4 x 4 points a pixel
(its true coverage known), sharp and blurred by 0.7 and 1.5 pixels, at JPEG quality 75 and
90, 800 x 600; cuts each out with --white --studio --cutout and the OPTIONs. Prints each
picture's IoU of the object (alpha at least 128) and mean alpha error per mille, then the
mean and the worst.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

zel7, options = sys.argv[1], sys.argv[2:]
width, height, points = 800, 600, 4
shape = Image.new("L", (width * points, height * points), 0)
draw = ImageDraw.Draw(shape)
draw.rectangle((200 * points, 150 * points, 600 * points - 1, 450 * points - 1), fill=255)
draw.ellipse((320 * points, 200 * points, 480 * points, 400 * points), fill=0)
sharp = shape.resize((width, height), Image.BOX)
ious, errors = [], []
with tempfile.TemporaryDirectory() as work:
    shot, cut = os.path.join(work, "shot.jpg"), os.path.join(work, "cut.png")
    for blur in (0, 0.7, 1.5):
        coverage = sharp.filter(ImageFilter.GaussianBlur(blur)) if blur else sharp
        alpha = np.asarray(coverage).astype(float) / 255
        for quality in (75, 90):
            for colour in ((200, 20, 20), (40, 40, 40), (230, 200, 60)):
                mixed = alpha[..., None] * np.array(colour) + (1 - alpha[..., None]) * 255
                Image.fromarray(np.round(mixed).astype(np.uint8)).save(shot, quality=quality)
                subprocess.run([zel7, "--white", "--studio", "--cutout", *options, shot, cut],
                               check=True, stderr=subprocess.DEVNULL)
                result = np.asarray(Image.open(cut).convert("RGBA"))[..., 3].astype(float) / 255
                truth, found = alpha >= 0.5, result >= 128 / 255
                ious.append((truth & found).sum() / (truth | found).sum())
                errors.append(1000 * np.abs(result - alpha).mean())
                print(f"blur {blur} quality {quality} colour {colour}: IoU {ious[-1]:.4f}, "
                      f"alpha error {errors[-1]:.2f} per mille")
print(f"ripples: mean IoU {np.mean(ious):.4f}, worst {min(ious):.4f}, "
      f"mean alpha error {np.mean(errors):.2f} per mille")
