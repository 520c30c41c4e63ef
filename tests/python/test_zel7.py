"""The Python package against zel7-mask: the same pixels give the same masks whatever the
array's layout, refusals come with the command's words, and a Dask batch reports each file."""

import json
import os
import re
import struct
import subprocess
import zlib

import numpy as np
import pytest

import zel7
import zel7.dask

MASK = os.environ.get("ZEL7_MASK", "zel7-mask")


def photo(seed=1, h=24, w=32):
    """Backdrop noise across the threshold, an object of any colours, specks and a hole."""
    rng = np.random.default_rng(seed)
    rgb = rng.integers(232, 256, (h, w, 3), dtype=np.uint8)
    rgb[5:19, 8:25] = rng.integers(0, 256, (14, 17, 3), dtype=np.uint8)
    rgb[10:13, 14:18], rgb[2, 3], rgb[21, 28] = 255, 0, (250, 120, 250)
    return rgb


def write_bmp(path, rgb):
    h, w, _ = rgb.shape
    rows = np.zeros((h, (w * 3 + 3) // 4 * 4), np.uint8)
    rows[:, : w * 3] = rgb[::-1, :, ::-1].reshape(h, -1)
    header = struct.pack("<2sIIIIiiHHIIiiII", b"BM", 54 + rows.size, 0, 54, 40, w, h, 1, 24, 0,
                         rows.size, 0, 0, 0, 0)
    path.write_bytes(header + rows.tobytes())


def read_bmp(path):
    data = path.read_bytes()
    offset, w, h = struct.unpack_from("<I", data, 10)[0], *struct.unpack_from("<ii", data, 18)
    rows = np.frombuffer(data, np.uint8, h * ((w * 3 + 3) // 4 * 4), offset).reshape(h, -1)
    return rows[::-1, : w * 3 : 3]


def read_png(path):
    """8-bit RGBA, any filters: what cut-outs are written as."""
    data, pos, idat = path.read_bytes(), 8, b""
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack_from(">IIBB", data, pos + 8)
        idat += data[pos + 8 : pos + 8 + length] if kind == b"IDAT" else b""
        pos += 12 + length
    assert (depth, colour) == (8, 6)
    raw, stride, prev, rows = zlib.decompress(idat), w * 4, [0] * w * 4, []
    for y in range(h):
        kind, row = raw[y * (stride + 1)], list(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            a, b, c = (row[i - 4], prev[i], prev[i - 4]) if i >= 4 else (0, prev[i], 0)
            p = a + b - c
            paeth = a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c
            row[i] = (row[i] + [0, a, b, (a + b) // 2, paeth][kind]) % 256
        rows.append(prev := row)
    return np.array(rows, np.uint8).reshape(h, w, 4)


def cli(*args):
    return subprocess.run([MASK, *map(str, args)], capture_output=True, text=True, timeout=60)


OPTIONS = [  # keyword arguments, and zel7-mask's options for them
    ({}, ["--white"]),
    ({"background": "black"}, ["--black"]),
    ({"background": "auto", "connected": True, "despeckle": 4}, ["-a", "-c", "-d", "4"]),
    ({"soft": True, "tolerance": 30, "invert": True}, ["--white", "--soft", "-t", "30", "--invert"]),
    ({"cutout": True, "connected": True, "hole_area": 5}, ["-w", "--cutout", "-c", "--hole-area=5"]),
    ({"cutout": True, "hard_edges": True}, ["--white", "--cutout", "--hard-edges"]),
]


@pytest.mark.parametrize("grey", [False, True])
@pytest.mark.parametrize("options, arguments", OPTIONS)
def test_arrays_masked_as_zel7_mask_masks_their_file(tmp_path, options, arguments, grey):
    rgb = photo() if options.get("background") != "black" else 255 - photo()
    pixels = rgb[..., 1].copy() if grey else rgb
    write_bmp(tmp_path / "p.bmp", np.repeat(pixels[..., None], 3, 2) if grey else rgb)
    cutout = options.get("cutout", False)
    destination = tmp_path / ("m.png" if cutout else "m.bmp")
    assert cli(*arguments, tmp_path / "p.bmp", destination).returncode == 0
    expected = read_png(destination) if cutout else read_bmp(destination)
    np.testing.assert_array_equal(zel7.mask(pixels, **options), expected)


def with_alpha(rgb, level):
    """Transparency reveals the backdrop's side."""
    alpha = np.random.default_rng(2).choice([0, 0, 90, 255, 255], rgb.shape[:2])[..., None]
    over = (rgb * alpha + level * (255 - alpha) + 127) // 255
    return np.dstack([rgb, alpha]).astype(np.uint8), over.astype(np.uint8)


def sixteen(order):
    """Any low bytes: samples are read by their top byte."""
    low = np.random.default_rng(3).integers(0, 256, (24, 32, 3))
    return lambda rgb, _: ((rgb * 256 + low).astype(order), rgb)


LAYOUTS = {  # an array, and one known to mask alike
    "uint16": sixteen("=u2"),
    "uint16 swapped": sixteen(">u2" if np.little_endian else "<u2"),
    "alpha": with_alpha,
    "one channel": lambda p, _: (p[..., :1], p[..., 0].copy()),
    "stepped slice": lambda p, _: (p[1::2, ::3], p[1::2, ::3].copy()),
    "flipped": lambda p, _: (p[::-1, ::-1, ::-1], p[::-1, ::-1, ::-1].copy()),
    "Fortran order": lambda p, _: (np.asfortranarray(p), p),
    "transposed": lambda p, _: (p.transpose(1, 0, 2), p.transpose(1, 0, 2).copy()),
    "grey column view": lambda p, _: (p[:, :, 1].T, p[:, :, 1].T.copy()),
}


@pytest.mark.parametrize("options", [options for options, _ in OPTIONS])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_masks_as_its_equivalent(layout, options):
    black = options.get("background") == "black"
    pixels, equivalent = LAYOUTS[layout](255 - photo(4) if black else photo(4), 0 if black else 255)
    np.testing.assert_array_equal(zel7.mask(pixels, **options), zel7.mask(equivalent, **options))


@pytest.mark.parametrize("source, destination, kind", [
    ("broken.bmp", "m.bmp", zel7.PictureError),
    ("cut.jpg", "m.png", zel7.PictureError),
    ("missing.png", "m.png", zel7.PictureError),
    ("p.bmp", "no-folder/m.bmp", zel7.WriteError),
])
def test_files_refused_with_zel7_mask_words(tmp_path, source, destination, kind):
    write_bmp(tmp_path / "p.bmp", photo())
    (tmp_path / "broken.bmp").write_bytes(b"BM" + bytes(20))
    (tmp_path / "cut.jpg").write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00")
    with pytest.raises(kind) as raised:
        zel7.mask_file(tmp_path / source, tmp_path / destination)
    assert raised.value.path == str(tmp_path / (destination if kind is zel7.WriteError else source))
    said = cli("--white", tmp_path / source, tmp_path / destination).stderr
    assert said == f"zel7-mask: {raised.value}\n"


class SyncClient:
    """A Dask client that runs each task at once, in this process: zel7.dask's own code
    without a cluster."""

    def nthreads(self):
        return {"here": 1}

    def map(self, function, partitions, pure=True, **keywords):
        return [function(partition, **keywords) for partition in partitions]

    def gather(self, futures):
        return futures


def spelled(said):
    """zel7-mask's words as Python spells options: --hole-area is hole_area."""
    return re.sub(r"--([a-z-]+)", lambda m: m.group(1).replace("-", "_"), said)


# The same questions to zel7-mask, the module and zel7.dask: options refused, and
# sources a batch refuses, decided by the library alike.
@pytest.mark.parametrize("arguments, keywords", [
    (["--hole-area=9"], {"hole_area": 9}),
    (["--tolerance=300"], {"tolerance": 300}),
    (["--despeckle=-1"], {"despeckle": -1}),
    (["--hard-edges"], {"hard_edges": True}),
    (["--cutout", "--soft"], {"cutout": True, "soft": True}),
    (["--cutout", "--format=bmp"], {"cutout": True, "format": "bmp"}),
    (["--format=gif"], {"format": "gif"}),
    (["--max-pixels=0"], {"max_pixels": 0}),
    (["--suffix=a/b"], {"suffix": "a/b"}),
])
def test_front_ends_refuse_options_alike(tmp_path, arguments, keywords):
    said = cli("--white", "-o", tmp_path, *arguments, tmp_path / "p.bmp").stderr.split("\n")[0]
    words = spelled(said.removeprefix("zel7-mask: "))
    suffix = keywords.pop("suffix", "")
    with pytest.raises(ValueError) as batch:
        zel7.dask.mask_files([tmp_path / "p.bmp"], tmp_path, SyncClient(), suffix=suffix, **keywords)
    assert str(batch.value) == words
    if not suffix:
        with pytest.raises(ValueError) as one:
            zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.png", **keywords)
        assert str(one.value) == words


def test_front_ends_plan_batches_alike(tmp_path):
    for folder in ("a", "b", "out"):
        (tmp_path / folder).mkdir()
    paths = [tmp_path / "a" / "x.bmp", tmp_path / "b" / "x.bmp", tmp_path / "out" / "y.bmp",
             tmp_path / "a" / "."]
    for path in paths[:3]:
        write_bmp(path, photo())
    said = cli("--white", "-o", tmp_path / "out", "--report=-", *paths).stdout.splitlines()
    command = {entry["source"]: entry for entry in map(json.loads, said)}
    for entry in zel7.dask.mask_files(paths, tmp_path / "out", SyncClient()):
        assert {key: entry[key] for key in ("destination", "status", "reason")} == \
            {key: command[entry["source"]][key] for key in ("destination", "status", "reason")}
    assert [command[str(path)]["status"] for path in paths] == ["written", "failed", "failed", "failed"]


@pytest.mark.parametrize("call, kind, words", [
    (lambda: zel7.mask(np.zeros((4, 4), np.int16)), TypeError, "uint8 or uint16"),
    (lambda: zel7.mask(np.zeros((4, 4, 2), np.uint8)), ValueError, "shape"),
    (lambda: zel7.mask(photo(), "grey"), ValueError, "'white', 'black' or 'auto'"),
    (lambda: zel7.mask(photo(), format="png"), TypeError, "unexpected keyword argument 'format'"),
    (lambda: zel7.mask(np.zeros((70000, 1), np.uint8)), zel7.PictureError, "65535 a side"),
    (lambda: zel7.mask_file("a.bmp", "a.jpg"), ValueError, "masks are written as PNG"),
    (lambda: zel7.mask_file("a.bmp", "a.bmp", cutout=True), ValueError, "cut-outs are"),
])
def test_bad_calls_refused(call, kind, words):
    with pytest.raises(kind, match=words):
        call()


def test_dask_batch_reports_each_file(tmp_path):
    from distributed import Client, LocalCluster

    paths = [tmp_path / f"p{i}.bmp" for i in range(5)] + [tmp_path / "broken.bmp"]
    for i, path in enumerate(paths[:-1]):
        write_bmp(path, photo(i))
    paths[-1].write_bytes(b"BM" + bytes(20))
    (tmp_path / "out").mkdir()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=60) as cluster, Client(cluster, timeout=60) as client:
        report = zel7.dask.mask_files(paths, tmp_path / "out", client, suffix="-m", connected=True)
        again = zel7.dask.mask_files(paths, tmp_path / "out", client, suffix="-m", skip_existing=True)
    assert [entry["source"] for entry in report] == list(map(str, paths))
    assert [entry["status"] for entry in report] == ["written"] * 5 + ["failed"]
    assert [entry["status"] for entry in again] == ["skipped"] * 5 + ["failed"]
    assert report[-1]["reason"] == cli("-w", paths[-1], tmp_path / "m.bmp").stderr.split(": ", 2)[2].strip()
    for i, entry in enumerate(report[:-1]):
        assert entry["destination"] == str(tmp_path / "out" / f"p{i}-m.bmp")
        np.testing.assert_array_equal(read_bmp(tmp_path / "out" / f"p{i}-m.bmp"),
                                      zel7.mask(photo(i), connected=True))
