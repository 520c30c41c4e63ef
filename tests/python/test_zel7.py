"""The Python package against zel7-mask: the same pixels give the same masks whatever the
array's layout and whichever keywords stand for the command's options, refusals come with
the command's words, and zel7.dask plans and reports a batch as the command does. What each
option does to the pixels is the library's, seen in refine_test through the same table of
options."""

import json
import os
import subprocess
from types import SimpleNamespace

import numpy as np
import pytest
from distributed import KilledWorker
from PIL import Image, ImageFilter

import zel7
import zel7.dask

MASK = os.environ.get("ZEL7_MASK", "zel7-mask")
SAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "samples", "object-on-white.bmp")


def photo(seed=1, h=24, w=32):
    """Backdrop noise across the threshold, an object of any colours, specks and a hole."""
    rng = np.random.default_rng(seed)
    rgb = rng.integers(232, 256, (h, w, 3), dtype=np.uint8)
    rgb[5:19, 8:25] = rng.integers(0, 256, (14, 17, 3), dtype=np.uint8)
    rgb[10:13, 14:18], rgb[2, 3], rgb[21, 28] = 255, 0, (250, 120, 250)
    return rgb


def read_mask(path):
    """A BMP mask's one channel, or a cut-out's pixels, RGBA."""
    with Image.open(path) as image:
        return np.asarray(image) if image.mode == "RGBA" else np.asarray(image)[..., 0]


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
    "transposed": lambda p, _: (p.transpose(1, 0, 2), p.transpose(1, 0, 2)),
    "bgr": lambda p, _: (p[..., ::-1].copy(), p),  # OpenCV's: cut-outs come back blue first
}


@pytest.mark.parametrize("options, arguments", OPTIONS, ids=[" ".join(a) for _, a in OPTIONS])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrays_masked_as_zel7_mask_masks_their_file(tmp_path, layout, options, arguments):
    black = options.get("background") == "black"
    pixels, held = LAYOUTS[layout](255 - photo() if black else photo(), 0 if black else 255)
    rgb = held if held.ndim == 3 else np.repeat(held[..., None], 3, 2)  # a grey BMP is not masked
    Image.fromarray(rgb).save(tmp_path / "p.bmp")
    destination = tmp_path / ("m.png" if options.get("cutout") else "m.bmp")
    assert cli(*arguments, tmp_path / "p.bmp", destination).returncode == 0
    bgr = layout == "bgr"
    made = zel7.mask(pixels, channels="bgr" if bgr else None, **options)
    np.testing.assert_array_equal(made[..., [2, 1, 0, 3]] if bgr and made.ndim == 3 else made,
                                  read_mask(destination))


# The one planner, on a cluster: a kept tree's masks in zel7-mask's folders, each source
# with zel7-mask's destination, status, reason and confidence (refused: two sources for one
# mask, a damaged picture, a link in the output folder to a folder outside), and the
# module's mask; run again with skip_existing, what is there is skipped. (Which sources a
# plan refuses is zel7_mask_test's and batch_plan_test's.)
def test_front_ends_plan_and_report_batches_alike(tmp_path):
    from distributed import Client, LocalCluster

    names = ["a/s1/m.bmp", "a/s2/m.bmp", "a/s2/d/m.bmp", "b/m.bmp", "a/s2/../s1/m.bmp", "a/bad.bmp"]
    for i, name in enumerate(names[:4]):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(photo(i)).save(tmp_path / name)
    (tmp_path / "a/bad.bmp").write_bytes(b"BM" + bytes(20))
    out, elsewhere = tmp_path / "out", tmp_path / "elsewhere"
    out.mkdir()
    elsewhere.mkdir()
    (elsewhere / "m.bmp").write_bytes(b"kept")  # newer than b/m.bmp, but through a link
    (out / "b").symlink_to(elsewhere)
    paths = [f"{tmp_path}/{name}" for name in names]  # the workers' folder is their own
    said = cli("-w", "-c", "-o", out, "--keep-tree", "--report=-", *paths).stdout.splitlines()
    command = {entry["source"]: {**entry, "milliseconds": 0} for entry in map(json.loads, said)}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      timeout=60) as cluster, Client(cluster, timeout=60) as client:
        report, again = (zel7.dask.mask_files(paths, out, client, connected=True, keep_tree=True,
                                              skip_existing=skip) for skip in (False, True))
    assert [{**entry, "milliseconds": 0} for entry in report] == [command[path] for path in paths]
    assert [entry["status"] for entry in again] == ["skipped"] * 3 + ["failed", "skipped", "failed"]
    written = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert written == ["a/s1/m.bmp", "a/s2/d/m.bmp", "a/s2/m.bmp"]
    assert [(p.name, p.read_bytes()) for p in elsewhere.iterdir()] == [("m.bmp", b"kept")]
    np.testing.assert_array_equal(read_mask(out / "a/s2/d/m.bmp"),
                                  zel7.mask(photo(2), connected=True))


class _DyingCluster:
    """A client whose tasks run as they are asked for, a task dying (KilledWorker, as the
    scheduler says once every worker it tried has died) when it reaches a file of `kills`,
    after masking the files before it; `beside` dies once, the first time it runs alone,
    as a task queued on a dying worker does."""

    def __init__(self, kills, beside=(), error=None):
        self.kills, self.beside, self.error, self.runs = set(kills), set(beside), error, []

    def nthreads(self):
        return {"worker": 1}

    def map(self, task, parts, pure, **keywords):
        return [self.submit(task, part, pure, **keywords) for part in parts]

    def submit(self, task, part, pure, **keywords):
        sources = [source for _, source, _ in part]
        self.runs.append(sources)
        alone = len(sources) == 1 and sources[0] in self.beside
        self.beside -= set(sources) if alone else set()
        killer = next((i for i, source in enumerate(sources) if source in self.kills), None)

        def result():
            if self.error:
                raise self.error
            if alone or killer is not None:
                task(part[:killer or 0], **keywords)
                raise KilledWorker("a task", SimpleNamespace(address="tcp://gone:1"), 3)
            return task(part, **keywords)

        return SimpleNamespace(result=result)


# A picture that kills every worker masking it fails alone: the other files of its
# partition are masked again, a task each, and one whose task died beside it once more,
# alone; what the lost task wrote is masked again, not skipped. A task that fails
# otherwise (zel7 missing on the workers) is the cluster's fault, raised.
@pytest.mark.parametrize("skip", [False, True])
def test_a_file_that_kills_its_workers_fails_alone(tmp_path, skip):
    paths = [str(tmp_path / f"p{i}.bmp") for i in range(5)]
    for i, path in enumerate(paths):
        Image.fromarray(photo(i)).save(path)
    (tmp_path / "out").mkdir()
    cluster = _DyingCluster(kills={paths[2]}, beside={paths[4]})
    report = zel7.dask.mask_files(paths, tmp_path / "out", cluster, partitions=2,
                                  skip_existing=skip)
    assert [(entry["status"], entry["reason"]) for entry in report] == [
        ("failed", "every worker that masked it died (out of memory, or killed)")
        if path == paths[2] else ("written", "") for path in paths]
    assert cluster.runs == [paths[0::2], paths[1::2], [paths[0]], [paths[2]], [paths[4]],
                            [paths[2]], [paths[4]]]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "p0.bmp", "p1.bmp", "p3.bmp", "p4.bmp"]
    with pytest.raises(ModuleNotFoundError):
        zel7.dask.mask_files(paths, tmp_path / "out", _DyingCluster(
            (), error=ModuleNotFoundError("No module named 'zel7'")))


# A scheduler's address serves as the client, connected to for the call.
def test_an_address_serves_as_the_client(tmp_path):
    from distributed import LocalCluster

    Image.fromarray(photo()).save(tmp_path / "p.bmp")
    with LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as cluster:
        report = zel7.dask.mask_files([tmp_path / "p.bmp"], tmp_path, cluster.scheduler_address,
                                      suffix="-m")
    assert [entry["status"] for entry in report] == ["written"]
    assert (tmp_path / "p-m.bmp").exists()


@pytest.mark.parametrize("call, kind, words", [
    (lambda: zel7.mask(np.zeros((4, 4), np.int16)), TypeError, "uint8 or uint16"),
    (lambda: zel7.mask(np.zeros((4, 4, 2), np.uint8)), ValueError, "shape"),
    (lambda: zel7.mask(photo(), "grey"), ValueError, "'white', 'black' or 'auto'"),
    (lambda: zel7.mask(photo(), format="png"), TypeError, "unexpected keyword argument 'format'"),
    (lambda: zel7.mask(photo(), srgb=True), TypeError, "unexpected keyword argument 'srgb'"),
    (lambda: zel7.mask(np.zeros((70000, 1), np.uint8)), zel7.PictureError, "65535 a side"),
    (lambda: zel7.mask(photo(), channels="hsv"), ValueError, "'rgb', 'bgr', 'rgba' or 'bgra'"),
    (lambda: zel7.mask(photo(), channels="bgra"), ValueError, "names 4 channels; the array has 3"),
    (lambda: zel7.mask_file("a.bmp", "b.bmp", keep_tree=True), TypeError, "'keep_tree'"),
    (lambda: zel7.mask(photo(), trim=True), TypeError, "unexpected keyword argument 'trim'"),
    # Files refused: the source's or the destination's error, naming it as zel7-mask does.
    (lambda: zel7.mask_file("missing.bmp", "m.bmp"), zel7.PictureError,
     "^missing.bmp: cannot open file"),
    (lambda: zel7.mask_file(SAMPLE, "/nonexistent-zel7/m.bmp"), zel7.WriteError,
     "^/nonexistent-zel7/m.bmp: cannot create file"),
    # The library's rules in Python's spelling, checked before any file is read or any
    # cluster started. (The rules themselves are zel7_mask_test's.)
    (lambda: zel7.mask_file("a.bmp", "b.bmp", hole_area=9), ValueError,
     "^hole_area goes with connected$"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", suffix="a/b"), ValueError, "^suffix may not"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", base=""), ValueError, "base folder name"),
    # A switch is a bool or a number: a word would be true, whatever it says.
    (lambda: zel7.mask(photo(), connected="no"), TypeError, "^connected is a switch"),
    (lambda: zel7.mask(photo(), confidence="no"), TypeError, "^confidence is a switch"),
    # A word of the wrong type is named, not the whole call with its samples listed.
    (lambda: zel7.mask(photo(), 3), TypeError, "^background is a str, not int$"),
    (lambda: zel7.mask(photo(), channels=b"rgb"), TypeError,
     "^channels is a str or None, not bytes$"),
    (lambda: zel7.mask_file("a.bmp", "b.bmp", None), TypeError,
     "^background is a str, not NoneType$"),
    # Paths are refused as open() refuses them.
    (lambda: zel7.mask_file("a\0.bmp", "b.bmp"), ValueError, "^embedded null byte$"),
    (lambda: zel7.mask_name(b"a\0.bmp"), ValueError, "^embedded null byte$"),
    (lambda: zel7.dask.mask_files(["a.bmp", "b\0.bmp"], "out"), ValueError, "^embedded null"),
    (lambda: zel7.mask_file(3, "b.bmp"), TypeError, "^expected str, bytes or os.PathLike"),
    (lambda: zel7.dask.mask_files("a.bmp", "out"), TypeError, "^paths is a list"),
    (lambda: zel7.mask_name("a.jpg", "/../x"), ValueError, "^suffix may not hold '/'"),
    (lambda: zel7.mask_name("photos/"), ValueError, "^'photos/' names no file to name a mask"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", 42), TypeError,
     "^client is a distributed.Client, a scheduler's address or None, not int$"),
    (lambda: zel7.mask_name("a.bmp", format="bmp", cutout=True), ValueError, "^cut-outs are"),
    (lambda: zel7.mask_name("a.png", format="webp", soft=True, cutout=True), ValueError,
     "^cutout and soft exclude"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", skip_existing="no"), TypeError,
     "^skip_existing is a switch"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "out", partitions=0), ValueError, "^partitions is"),
    (lambda: zel7.dask.mask_files(["a.bmp"], "/nonexistent-zel7"), zel7.WriteError,
     "^/nonexistent-zel7: No such file"),
])
def test_bad_calls_refused(call, kind, words):
    with pytest.raises(kind, match=words):
        call()


# A batch's mask goes where the plan put it, or fails: a folder in its way is not entered,
# as zel7-mask's batches do not enter it. A remark on a source whose name is not UTF-8
# comes as a warning naming it as os.fsdecode does, after the file is written; an error
# names it printably.
def test_batch_masks_and_remarks_keep_to_their_names(tmp_path):
    source = os.fsencode(tmp_path) + b"/caf\xe9.bmp"
    Image.fromarray(photo()).convert("RGBA").save(os.fsdecode(source))  # 32 bits: copied
    (tmp_path / "out/m.bmp").mkdir(parents=True)
    with pytest.raises(zel7.WriteError, match="Is a directory"):
        zel7._zel7._mask_file_noted(source, tmp_path / "out/m.bmp", out_dir=tmp_path / "out")
    with pytest.warns(UserWarning, match="copied unchanged") as caught:
        assert zel7.mask_file(source, tmp_path / "m.bmp") == str(tmp_path / "m.bmp")
    assert str(caught[0].message).startswith(os.fsdecode(source))
    # Said with the odd byte escaped, so that any stream prints it; path keeps the name.
    with pytest.raises(zel7.PictureError) as missing:
        zel7.mask_file(source[:-4] + b"-gone.bmp", tmp_path / "g.bmp")
    assert missing.value.path == os.fsdecode(source[:-4] + b"-gone.bmp")
    assert str(missing.value).startswith(f"{tmp_path}/caf\\xe9-gone.bmp: cannot open file")
    assert str(zel7.PictureError("why", 3)) == "3: why"  # no name: as it stands


# A shop's picture through the module, its options those only files take: a JPEG, the same
# bytes as zel7-mask writes for the same options. (What they do is framing_test's and
# colour_test's, which reads --srgb through the same table.)
def test_framed_jpeg_as_zel7_mask_writes_it(tmp_path):
    rgb = np.full((60, 80, 3), 255, np.uint8)
    rgb[10:30, 20:70] = (200, 40, 30)
    Image.fromarray(rgb).save(tmp_path / "p.bmp")
    options = {"studio": True, "trim": True, "margin": "10%", "square": True, "size": "50x50",
               "quality": 95, "srgb": True, "format": "jpeg", "max_pixels": 5000}
    assert zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.jpg", **options) == \
        str(tmp_path / "m.jpg")
    cli("--white", *(f"--{key.replace('_', '-')}" + ("" if value is True else f"={value}")
                     for key, value in options.items()), tmp_path / "p.bmp", tmp_path / "c.jpg")
    written = (tmp_path / "m.jpg").read_bytes()
    assert written[:3] == b"\xff\xd8\xff" and written == (tmp_path / "c.jpg").read_bytes()


# A refined mask's confidence counts the faint pixels of its object's edge: none on a dark
# square, sharp or blurred over a few pixels, nearly half on a square 6 levels off the
# backdrop so blurred. An array's is the file's; a doubtful array's mask warns, as a
# doubtful file's does.
def test_confidence_counts_faint_edges(tmp_path):
    square, shares = np.full((60, 80, 3), 250, np.uint8), []
    square[20:40, 30:50] = 40
    pale = square.copy()
    pale[20:40, 30:50] = 244
    for picture, radius in ((square, 0), (square, 2), (pale, 2)):
        Image.fromarray(picture).filter(ImageFilter.BoxBlur(radius)).save(tmp_path / "p.bmp")
        written, judged = zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.png", studio=True,
                                         confidence=True)
        mask, confidence = zel7.mask(np.asarray(Image.open(tmp_path / "p.bmp")), studio=True,
                                     confidence=True)
        assert confidence == judged and mask.shape == (60, 80) and written.endswith("m.png")
        shares.append(confidence["ambiguous_edges"])
    assert shares[0] == shares[1] == 0 and shares[2] > 0.4
    assert zel7.mask(square, confidence=True)[1] is None
    assert zel7.mask_file(tmp_path / "p.bmp", tmp_path / "m.png", confidence=True)[1] is None
    with pytest.warns(UserWarning, match="no object told from it"):
        zel7.mask(np.full((60, 80, 3), 250, np.uint8), studio=True)
