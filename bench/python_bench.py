#!/usr/bin/python3
"""Figures for the Python module zel7: what a call costs beside the C++ it wraps, whether
threads mask in parallel, and how zel7.dask compares with zel7-mask --jobs.

    PYTHONPATH=BUILD/python /usr/bin/python3 bench/python_bench.py --build BUILD

BUILD is a build folder configured with -DZEL7_BUILD_BENCH=ON, with zel7-mask,
zel7-make-picture, zel7_kernels_bench and the module built. Prints a table; not a test.
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import zel7
import zel7.dask


def best(function, repeat):
    """The fastest of repeat runs, in seconds: the others met other work on the machine."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def studio_photo(height, width):
    """A noisy white backdrop with a coloured object in the middle third."""
    rng = np.random.default_rng(7)
    pixels = np.full((height, width, 3), 247, np.uint8)
    pixels += rng.integers(0, 9, (1, width, 3), dtype=np.uint8)
    pixels[height // 3 : 2 * height // 3, width // 3 : 2 * width // 3] = (150, 60, 40)
    return pixels


def write_bmp(path, rgb):
    height, width, _ = rgb.shape
    stride = (width * 3 + 3) // 4 * 4
    rows = np.zeros((height, stride), np.uint8)
    rows[:, : width * 3] = rgb[::-1, :, ::-1].reshape(height, -1)
    header = struct.pack("<2sIIIIiiHHIIiiII", b"BM", 54 + rows.size, 0, 54, 40, width, height,
                         1, 24, 0, rows.size, 0, 0, 0, 0)
    with open(path, "wb") as file:
        file.write(header)
        rows.tofile(file)


def kernel_seconds(build, pixels):
    """The fastest masking kernel's time for this many pixels, from its own benchmark on a
    picture of 8000 x 6000 (out of cache, as a whole picture is)."""
    output = subprocess.run(
        [os.path.join(build, "bench", "zel7_kernels_bench"), "--benchmark_format=json",
         "--benchmark_filter=^mask/.*/48000000$", "--benchmark_repetitions=3"],
        check=True, capture_output=True, text=True).stdout
    rates = [run["bytes_per_second"] for run in json.loads(output)["benchmarks"]
             if run.get("run_type") == "iteration" and "error_occurred" not in run]
    return pixels * 3 / max(rates)


def row(name, seconds, base=None):
    ratio = f"{seconds / base:6.2f}x" if base else ""
    print(f"  {name:<58} {seconds * 1000:10.3f} ms  {ratio}")


def array_figures(build, work, repeat):
    print("(a) one 6000 x 4000 x 3 uint8 picture, best of", repeat)
    pixels = studio_photo(4000, 6000)
    kernel = kernel_seconds(build, pixels.shape[0] * pixels.shape[1])
    row("C++ masking kernel (zel7_kernels_bench, scaled)", kernel)
    masked = best(lambda: zel7.mask(pixels), repeat)
    row("zel7.mask(array), ratio to the kernel", masked, kernel)
    row("zel7.mask(array[::-1, ::-1]) (negative strides)", best(
        lambda: zel7.mask(pixels[::-1, ::-1]), repeat), kernel)
    row("zel7.mask(array, connected=True)", best(
        lambda: zel7.mask(pixels, connected=True), repeat), kernel)
    tiny = np.zeros((1, 1, 3), np.uint8)
    row("zel7.mask(1 x 1 array): the cost of a call", best(lambda: zel7.mask(tiny), 1000))
    source, destination = os.path.join(work, "p.bmp"), os.path.join(work, "m.bmp")
    write_bmp(source, pixels)
    command = [os.path.join(build, "cli", "zel7-mask"), "--white", source, destination]
    cli = best(lambda: subprocess.run(command, check=True), repeat)
    row("zel7-mask --white p.bmp m.bmp (files, whole run)", cli, kernel)
    row("zel7.mask_file(p.bmp, m.bmp)", best(
        lambda: zel7.mask_file(source, destination), repeat), kernel)
    return pixels


def thread_figures(pixels, repeat):
    print("(b) two 6000 x 4000 pictures: two Python threads against one doing both")
    other = pixels.copy()
    sequential = best(lambda: (zel7.mask(pixels), zel7.mask(other)), repeat)

    def threaded():
        threads = [threading.Thread(target=zel7.mask, args=(p,)) for p in (pixels, other)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    row("one thread, one after the other", sequential)
    row("two threads at once, ratio to one thread", best(threaded, repeat), sequential)


def batch_figures(build, work, count):
    from distributed import Client, LocalCluster

    print(f"(c) {count} JPEGs of 3000 x 2000 into BMP masks, a run each")
    first = os.path.join(work, "shot-00.jpg")
    subprocess.run([os.path.join(build, "bench", "zel7-make-picture"), "white", "3000", "2000",
                    first], check=True)
    paths = [first] + [os.path.join(work, f"shot-{i:02}.jpg") for i in range(1, count)]
    for path in paths[1:]:
        shutil.copyfile(first, path)
    out = os.path.join(work, "out")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        os.mkdir(out)

    for jobs in (1, 2):
        fresh()
        command = [os.path.join(build, "cli", "zel7-mask"), "--white", "--jobs", str(jobs), "-o"]
        start = time.perf_counter()
        subprocess.run(command + [out] + paths, check=True)
        cli = time.perf_counter() - start
        row(f"zel7-mask --white --jobs {jobs} -o DIR FILES...", cli)
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            fresh()
            start = time.perf_counter()
            report = zel7.dask.mask_files(paths, out, client)
            seconds = time.perf_counter() - start
            assert all(entry["status"] == "written" for entry in report), report
            row(f"zel7.dask.mask_files, {workers} worker(s), ratio to --jobs 2", seconds, cli)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (default: build)")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each timing (default 5)")
    parser.add_argument("--files", type=int, default=48, help="pictures of the batch (default 48)")
    arguments = parser.parse_args()
    # Figures taken while other work runs mean little: the load says whether it did.
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    print(f"zel7 from {os.path.dirname(zel7.__file__)}, {os.cpu_count()} cores, load {load}")
    with tempfile.TemporaryDirectory(prefix="zel7-python-bench-") as work:
        pixels = array_figures(arguments.build, work, arguments.repeat)
        thread_figures(pixels, arguments.repeat)
        batch_figures(arguments.build, work, arguments.files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
