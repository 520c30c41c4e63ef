"""The Python package against zel7-mask: the same pixels give the same masks whatever the
array's layout and whichever keywords stand for the command's options, refusals come with
the command's words, and zel7.dask plans and reports a batch as the command does. What each
option does to the pixels is the library's, seen in refine_test through the same table of
options."""

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


def read_mask(path):
    """A BMP mask's one channel, or a cut-out's pixels: 8-bit RGBA PNG, unfiltered."""
    data, pos, idat = path.read_bytes(), 8, b""
    if data[:2] == b"BM":
        offset, w, h = struct.unpack_from("<I", data, 10)[0], *struct.unpack_from("<ii", data, 18)
        rows = np.frombuffer(data, np.uint8, h * ((w * 3 + 3) // 4 * 4), offset).reshape(h, -1)
        return rows[::-1, : w * 3 : 3]
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack_from(">IIBB", data, pos + 8)
        idat += data[pos + 8 : pos + 8 + length] if kind == b"IDAT" else b""
        pos += 12 + length
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(h, 1 + w * 4)
    assert (depth, colour, rows[:, 0].any()) == (8, 6, False)
    return rows[:, 1:].reshape(h, w, 4)


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


def with_alpha(rgb, level):
    """Transparency reveals the backdrop's side."""
    alpha = np.random.default_rng(2).choice([0, 0, 90, 255, 255], rgb.shape[:2])[..., None]
    over = (rgb * alpha + level * (255 - alpha) + 127) // 255
    return np.dstack([rgb, alpha]).astype(np.uint8), over.astype(np.uint8)


def sixteen(order):
    """Any low bytes: samples are read by their top byte."""
    low = np.random.default_rng(3).integers(0, 256, (24, 32, 3))
    return lambda rgb, _: ((rgb * 256 + low).astype(order), rgb)


LAYOUTS = {  # an array, and the pixels it holds, as a file holds them
    "plain": lambda p, _: (p, p),
    "grey": lambda p, _: (p[..., 1].copy(), p[..., 1]),
    "uint16": sixteen("=u2"),
    "uint16 swapped": sixteen(">u2" if np.little_endian else "<u2"),
    "alpha": with_alpha,
    "one channel": lambda p, _: (p[..., :1], p[..., 0]),
    "stepped slice": lambda p, _: (p[1::2, ::3], p[1::2, ::3]),
    "flipped": lambda p, _: (p[::-1, ::-1, ::-1], p[::-1, ::-1, ::-1]),
    "Fortran order": lambda p, _: (np.asfortranarray(p), p),
    "transposed": lambda p, _: (p.transpose(1, 0, 2), p.transpose(1, 0, 2)),
    "grey column view": lambda p, _: (p[:, :, 1].T, p[:, :, 1].T),
}


@pytest.mark.parametrize("options, arguments", OPTIONS, ids=[" ".join(a) for _, a in OPTIONS])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrays_masked_as_zel7_mask_masks_their_file(tmp_path, layout, options, arguments):
    black = options.get("background") == "black"
    pixels, held = LAYOUTS[layout](255 - photo() if black else photo(), 0 if black else 255)
    write_bmp(tmp_path / "p.bmp", held if held.ndim == 3 else np.repeat(held[..., None], 3, 2))
    destination = tmp_path / ("m.png" if options.get("cutout") else "m.bmp")
    assert cli(*arguments, tmp_path / "p.bmp", destination).returncode == 0
    np.testing.assert_array_equal(zel7.mask(pixels, **options), read_mask(destination))


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


# The one table's refusals, in zel7-mask's words as Python spells them (hole_area).
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
    (["--margin=50%"], {"margin": "50%"}),
    (["--size=0x5"], {"size": "0x5"}),
    (["--trim", "--soft"], {"trim": True, "soft": True}),
    (["--format=webp"], {"format": "webp"}),
    (["--cutout", "--format=png", "--lossless"], {"cutout": True, "format": "png", "lossless": True}),
    (["--soft", "--lossless", "--quality=80"], {"soft": True, "lossless": True, "quality": 80}),
])
def test_front_ends_refuse_options_alike(tmp_path, arguments, keywords):
    said = cli("--white", "-o", tmp_path, *arguments, tmp_path / "p.bmp").stderr.split("\n")[0]
    words = re.sub(r"--([a-z-]+)", lambda m: m.group(1).replace("-", "_"), said[len("zel7-mask: "):])
    suffix = keywords.pop("suffix", "")
    with pytest.raises(ValueError, match=f"^{re.escape(words)}$"):  # before any cluster starts
        zel7.dask.mask_files([tmp_path / "p.bmp"], tmp_path, suffix=suffix, **keywords)
    if not suffix:
        with pytest.raises(ValueError, match=f"^{re.escape(words)}$"):
            zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.png", **keywords)


@pytest.fixture(scope="module")
def client():
    """Two workers on this machine, for the tests of zel7.dask."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=60) as cluster, Client(cluster, timeout=60) as connected:
        yield connected


def reported(entries):
    return [{**entry, "milliseconds": 0} for entry in entries]


# The one planner: on a cluster, each source gets zel7-mask's destination, status and
# reason, and the module's mask; run again with skip_existing, what is there is skipped.
def test_front_ends_plan_and_report_batches_alike(tmp_path, client):
    for folder in ("a", "b", "out"):
        (tmp_path / folder).mkdir()
    names = ["a/x.bmp", "b/x.bmp", "out/y.bmp", "out/y-m.bmp", "a/.", "a/broken.bmp", "b/z.bmp"]
    paths = [f"{tmp_path}/{name}" for name in names]
    for i in (0, 1, 2, 3, 6):
        write_bmp(tmp_path / names[i], photo(i))
    (tmp_path / "a/broken.bmp").write_bytes(b"BM" + bytes(20))
    said = cli("-w", "-c", "-o", tmp_path / "out", "-s-m", "--report=-", *paths).stdout.splitlines()
    command = {entry["source"]: {**entry, "milliseconds": 0} for entry in map(json.loads, said)}
    report, again = (zel7.dask.mask_files(paths, tmp_path / "out", client, suffix="-m",
                                          connected=True, skip_existing=skip)
                     for skip in (False, True))
    assert reported(report) == [command[path] for path in paths]
    assert [entry["status"] for entry in report] == ["written", "failed", "failed", "written",
                                                     "failed", "failed", "written"]
    assert [entry["status"] for entry in again] == ["skipped", "failed", "failed", "skipped",
                                                    "failed", "failed", "skipped"]
    for i, name in ((0, "x-m.bmp"), (3, "y-m-m.bmp"), (6, "z-m.bmp")):
        np.testing.assert_array_equal(read_mask(tmp_path / "out" / name),
                                      zel7.mask(photo(i), connected=True))


# A kept tree on a cluster: the masks in zel7-mask's folders, with its refusals (outside
# the base, two sources for one mask, a link in the output folder to a folder outside).
@pytest.mark.parametrize("base, written", [
    (None, ["a/s1/m.bmp", "a/s2/d/m.bmp", "a/s2/m.bmp"]),
    ("a/s2", ["d/m.bmp", "m.bmp"]),
])
def test_trees_kept_alike(tmp_path, client, base, written):
    names = ["a/s1/m.bmp", "a/s2/m.bmp", "a/s2/d/m.bmp", "a/s2/../s1/m.bmp", "b/m.bmp"]
    for name in names[:3] + names[4:]:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        write_bmp(tmp_path / name, photo())
    (tmp_path / "elsewhere").mkdir()
    paths = [f"{tmp_path}/{name}" for name in names]  # the workers' folder is their own
    base = base and f"{tmp_path}/{base}"
    keywords = {"base": base} if base else {"keep_tree": True}
    runs = {}
    for run in ("command", "module"):
        out = tmp_path / run
        out.mkdir()
        (out / "b").symlink_to(tmp_path / "elsewhere")
        if run == "command":
            tree = f"--base={base}" if base else "--keep-tree"
            said = cli("-w", "-o", out, "--report=-", tree, *paths).stdout
            entries = sorted(map(json.loads, said.splitlines()), key=lambda e: e["source"])
        else:
            entries = sorted(zel7.dask.mask_files(paths, out, client, **keywords),
                             key=lambda e: e["source"])
        runs[run] = json.dumps(reported(entries)).replace(str(out), "OUT")
        assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()) == written
    assert runs["module"] == runs["command"]
    assert not any((tmp_path / "elsewhere").iterdir())


# OpenCV's arrays: blue first, with or without alpha, give the mask of the same pixels red
# first, and a cut-out blue first.
@pytest.mark.parametrize("channels", ["bgr", "bgra"])
@pytest.mark.parametrize("options", [{}, {"connected": True, "soft": True}, {"cutout": True}])
def test_bgr_arrays_come_back_in_their_order(channels, options):
    rgb = photo() if channels == "bgr" else with_alpha(photo(), 255)[0]
    bgr = np.ascontiguousarray(rgb[..., [2, 1, 0, 3][: rgb.shape[2]]])
    expected = zel7.mask(rgb, **options)
    if options.get("cutout"):
        expected = expected[..., [2, 1, 0, 3]]
    np.testing.assert_array_equal(zel7.mask(bgr, channels=channels, **options), expected)
    named = zel7.mask(rgb, channels=channels.replace("bgr", "rgb"), **options)
    np.testing.assert_array_equal(named, zel7.mask(rgb, **options))


@pytest.mark.parametrize("call, kind, words", [
    (lambda: zel7.mask(np.zeros((4, 4), np.int16)), TypeError, "uint8 or uint16"),
    (lambda: zel7.mask(np.zeros((4, 4, 2), np.uint8)), ValueError, "shape"),
    (lambda: zel7.mask(photo(), "grey"), ValueError, "'white', 'black' or 'auto'"),
    (lambda: zel7.mask(photo(), format="png"), TypeError, "unexpected keyword argument 'format'"),
    (lambda: zel7.mask(photo(), srgb=True), TypeError, "unexpected keyword argument 'srgb'"),
    (lambda: zel7.mask(np.zeros((70000, 1), np.uint8)), zel7.PictureError, "65535 a side"),
    (lambda: zel7.mask_file("a.bmp", "a.jpg"), ValueError, "masks are written as PNG"),
    (lambda: zel7.mask_file("a.bmp", "a.bmp", cutout=True), ValueError, "cut-outs are"),
    (lambda: zel7.mask(photo(), channels="hsv"), ValueError, "'rgb', 'bgr', 'rgba' or 'bgra'"),
    (lambda: zel7.mask(photo(), channels="bgra"), ValueError, "names 4 channels; the array has 3"),
    (lambda: zel7.mask(photo()[..., 0], channels="rgb"), ValueError, "the array has 1"),
    (lambda: zel7.mask_file("a.bmp", "b.bmp", keep_tree=True), TypeError, "'keep_tree'"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", base=""), ValueError, "base folder name"),
    (lambda: zel7.mask(photo(), trim=True), TypeError, "unexpected keyword argument 'trim'"),
    (lambda: zel7.mask_file("a.bmp", "a.webp"), ValueError, "two-tone masks are written as PNG"),
    (lambda: zel7.mask_file("a.bmp", "a.png", cutout=True, quality=50), ValueError,
     "quality goes with JPEG and WebP destinations"),
])
def test_bad_calls_refused(call, kind, words):
    with pytest.raises(kind, match=words):
        call()


# A shop's picture through the module: the frame's size exactly, a JPEG, and the same
# bytes as zel7-mask writes for the same options.
def test_framed_jpeg_as_zel7_mask_writes_it(tmp_path):
    rgb = np.full((60, 80, 3), 255, np.uint8)
    rgb[10:30, 20:70] = (200, 40, 30)
    write_bmp(tmp_path / "p.bmp", rgb)
    options = {"trim": True, "margin": "10%", "square": True, "size": "50x50", "quality": 95}
    assert zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.jpg", studio=True, **options) == \
        str(tmp_path / "m.jpg")
    cli("--white", "--studio", "--trim", "--margin=10%", "--square", "--size=50x50",
        "--quality=95", tmp_path / "p.bmp", tmp_path / "c.jpg")
    written = (tmp_path / "m.jpg").read_bytes()
    assert written[:3] == b"\xff\xd8\xff" and written == (tmp_path / "c.jpg").read_bytes()
    size = written.index(b"\xff\xc0") + 5  # the frame header's height, then width
    assert written[size:size + 4] == bytes([0, 50, 0, 50])
def adobe_like_profile():
    """An ICC v2 display profile written field by field: Adobe RGB (1998)'s colorants (as
    adapted to D50) and its gamma of 563/256."""
    def xyz(x, y, z):
        return b"XYZ " + bytes(4) + struct.pack(">3i", *(round(v * 65536) for v in (x, y, z)))
    text = b"Adobe-like RGB\0"
    tags = [(b"desc", b"desc" + bytes(4) + struct.pack(">I", len(text)) + text + bytes(4 + 4 + 3 + 67)),
            (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
            (b"rXYZ", xyz(0.60974, 0.31111, 0.01947)),
            (b"gXYZ", xyz(0.20528, 0.62567, 0.06087)),
            (b"bXYZ", xyz(0.14919, 0.06322, 0.74457))]
    tags += [(name, b"curv" + bytes(4) + struct.pack(">IH", 1, 563) + bytes(2))
             for name in (b"rTRC", b"gTRC", b"bTRC")]
    table, data, at = b"", b"", 128 + 4 + 12 * len(tags)
    for name, body in tags:
        table += name + struct.pack(">II", at + len(data), len(body))
        data += body + bytes(-len(body) % 4)
    size = at + len(data)
    header = (struct.pack(">I4sI4s4s4s", size, b"none", 0x02100000, b"mntr", b"RGB ", b"XYZ ")
              + bytes(12) + b"acsp" + bytes(24) + struct.pack(">I", 0)
              + struct.pack(">3i", *(round(v * 65536) for v in (0.9642, 1.0, 0.8249))) + bytes(48))
    return header + struct.pack(">I", len(tags)) + table + data


def png_chunks(data):
    pos, chunks = 8, {}
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        chunks[kind] = data[pos + 8 : pos + 8 + length]
        pos += 12 + length
    return chunks


def write_png(path, rgb, profile):
    h, w, _ = rgb.shape
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = np.concatenate([np.zeros((h, 1), np.uint8), rgb.reshape(h, -1)], axis=1)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                     + chunk(b"iCCP", b"Adobe-like RGB\0\0" + zlib.compress(profile))
                     + chunk(b"IDAT", zlib.compress(rows.tobytes())) + chunk(b"IEND", b""))


# srgb from the one table: the module, zel7.dask and zel7-mask convert alike, and only the
# converted cut-out goes without the profile.
def test_front_ends_convert_to_srgb_alike(tmp_path):
    from distributed import Client, LocalCluster

    rgb = np.full((24, 32, 3), 255, np.uint8)
    rgb[6:18, 8:24] = (200, 150, 120)
    profile = adobe_like_profile()
    write_png(tmp_path / "p.png", rgb, profile)
    for srgb in (False, True):
        assert cli("-w", "--cutout", *(["--srgb"] if srgb else []), tmp_path / "p.png",
                   tmp_path / f"cli-{srgb}.png").returncode == 0
        zel7.mask_file(tmp_path / "p.png", tmp_path / f"py-{srgb}.png", cutout=True, srgb=srgb)
        written = (tmp_path / f"cli-{srgb}.png").read_bytes()
        assert (tmp_path / f"py-{srgb}.png").read_bytes() == written
        iccp = png_chunks(written).get(b"iCCP")
        assert (iccp is None) if srgb else (zlib.decompress(iccp.split(b"\0", 1)[1][1:]) == profile)
        inside = tuple(read_mask(tmp_path / f"cli-{srgb}.png")[12, 16, :3])
        assert inside == ((217, 151, 119) if srgb else (200, 150, 120))
    (tmp_path / "dask").mkdir()
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=":0",
                      timeout=60) as cluster, Client(cluster, timeout=60) as client:
        report = zel7.dask.mask_files([tmp_path / "p.png"], tmp_path / "dask", client,
                                      cutout=True, srgb=True)
    assert (report[0]["status"], report[0]["reason"]) == ("written", "")
    assert (tmp_path / "dask" / "p.png").read_bytes() == (tmp_path / "cli-True.png").read_bytes()
