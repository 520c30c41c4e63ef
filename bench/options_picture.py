#!/usr/bin/python3
"""Makes the README's picture of the options: four studio shots from zel7-studio, each
masked the dialog's way and the studio way, cut out, and cut out with its shadow kept.

    bench/options_picture.py ZEL7_MASK ZEL7_STUDIO OUT.jpg

Rows: a grey product with a cable in its soft cast shadow, a white product a few levels
off a white backdrop, a pink card with holes on a sweep lit brighter at its centre, and a
ring on black. Columns: the photo; --white or --black alone (the fixed threshold); with
--studio; its --cutout over a chequerboard; and with --shadow keep over a colour (on
black, which has no shadows to keep, the cut-out as it is).
"""

import subprocess
import sys
import tempfile
from pathlib import Path

from PIL import Image

ROWS = [("cast", "white", 1), ("pale", "white", 2), ("sweep", "white", 2), ("ring", "black", 1)]
CELL = (240, 180)
GAP = 4  # white between the cells
SEED = "11"


def chequerboard(size, square=12):
    board = Image.new("RGB", size, (255, 255, 255))
    grey = Image.new("RGB", (square, square), (204, 204, 204))
    for y in range(0, size[1], square):
        for x in range((y // square) % 2 * square, size[0], 2 * square):
            board.paste(grey, (x, y))
    return board


def main():
    mask, studio, out = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        families = ",".join(sorted({family for family, _, _ in ROWS}))
        subprocess.run([studio, "generate", work, "--count", "2", "--size", "640x480",
                        "--families", families, "--backdrops", "white,black", "--seed", SEED],
                       check=True, stdout=subprocess.DEVNULL)
        sheet = Image.new("RGB", ((CELL[0] + GAP) * 5 - GAP, (CELL[1] + GAP) * len(ROWS) - GAP),
                          (255, 255, 255))
        for row, (family, side, number) in enumerate(ROWS):
            photo = work / f"{family}-{side}-{number:02d}.jpg"
            runs = [[f"--{side}"], [f"--{side}", "--studio"],
                    [f"--{side}", "--studio", "--cutout"],
                    [f"--{side}", "--studio", "--cutout"]
                    + (["--shadow", "keep"] if side == "white" else [])]
            cells = [Image.open(photo).convert("RGB")]
            for column, options in enumerate(runs):
                result = work / f"{row}-{column}.png"
                subprocess.run([mask, *options, photo, result], check=True)
                image = Image.open(result)
                if image.mode == "RGBA":
                    ground = (chequerboard(image.size) if column == 2
                              else Image.new("RGB", image.size, (120, 170, 210)))
                    ground.paste(image, mask=image.getchannel("A"))
                    image = ground
                cells.append(image.convert("RGB"))
            for column, cell in enumerate(cells):
                sheet.paste(cell.resize(CELL, Image.LANCZOS),
                            (column * (CELL[0] + GAP), row * (CELL[1] + GAP)))
        sheet.save(out, quality=85, optimize=True)


if __name__ == "__main__":
    main()
