"""Batches of picture files masked on a Dask cluster.

    from distributed import Client
    import zel7.dask

    client = Client("scheduler-host:8786")
    report = zel7.dask.mask_files(paths, "/shared/masks", client, suffix="-mask")
    failed = [entry for entry in report if entry["status"] == "failed"]

The files are cut into partitions, a task each, and each task masks its files one
after another with zel7.mask_file: a few tasks per worker thread keep the cluster busy
without paying the scheduler for each file. The workers open the paths as given, so on
a cluster of several machines the sources and out_dir must lie on a filesystem every
worker sees under the same names, and zel7 must be installed on every worker.

Each file's outcome is a dict with the keys and words of zel7-mask's --report lines:
source, destination, status ("written", "failed" or "skipped"), reason (why it failed,
a remark on one written, or why one listed again was skipped) and milliseconds; and for refined masks and cut-outs written,
confidence: a dict of score (0 doubtful to 1), border_object, object_share,
ambiguous_edges and unevenness, to route doubtful pictures to a person.
"""

from __future__ import annotations

import logging
import numbers
import os
import time
from collections.abc import Iterable
from typing import Any

import distributed

import zel7

__all__ = ["mask_files"]

Entry = dict[str, Any]
# A file to mask: its place in the caller's list, its source and its destination.
Job = tuple[int, str, str]


def mask_files(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    client: distributed.Client | str | None = None,
    *,
    partitions: int | None = None,
    suffix: str = "",
    background: str = "white",
    skip_existing: bool = False,
    **options: Any,
) -> list[Entry]:
    """Masks every file of paths into out_dir on a Dask cluster; returns their report.

    Each mask is named as zel7-mask names it in a batch: out_dir/mask_name(path,
    suffix, format, cutout). As in zel7-mask, a source whose mask would replace a
    picture of the batch is refused, and so are two files that would share a mask
    (one file listed under two names keeps it by the name first in byte order; the
    other listing is "skipped").
    With keep_tree=True, each path's folders below the deepest folder holding every
    path are kept below out_dir (a/x/p.jpg and a/y/p.jpg give out_dir/x/p.png and
    out_dir/y/p.png), made as needed and never through a symbolic link; base="DIR"
    keeps them below DIR instead, and refuses the paths outside it.

    client: the cluster's client, or its scheduler's address ("host:8786", connected to
        for the batch); None takes the current default client, or, when there is none,
        starts a cluster of processes on this machine for the batch and closes it
        afterwards.
    partitions: how many tasks the files are cut into, from 1 up; None: four per worker
        thread. Never more than there are files.
    skip_existing: a file whose mask exists and is not older than it is "skipped".
    options: the keyword options of zel7.mask_file (format, max_pixels, connected,
        cutout, ...) and keep_tree and base; they are checked here, before any work,
        as zel7-mask checks its own, and a bad one raises ValueError or TypeError. So
        is out_dir: one that is missing or cannot be written to raises zel7.WriteError.

    Returns one dict per path, in the order of paths (see the module's docstring). A
    file that fails never raises: its dict says why, even when it kills the workers that
    mask it (its partition's other files are then masked again, a task each). A failure
    of the cluster itself (zel7 missing on its workers, say) is raised.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        # A name is iterable too, and its letters would each be masked.
        raise TypeError("paths is a list of files, not one name: [path] masks one file")
    if partitions is not None:
        if isinstance(partitions, bool) or not isinstance(partitions, numbers.Integral):
            raise TypeError(f"partitions is a whole number or None, not {partitions!r}")
        if partitions < 1:
            raise ValueError(f"partitions is a whole number from 1 up, not {partitions}")
    # (a client is known by what it does, as distributed's own stand-ins are)
    if client is not None and not isinstance(client, str) and not hasattr(client, "nthreads"):
        raise TypeError(
            f"client is a distributed.Client, a scheduler's address or None, not {type(client).__name__}")
    paths = [os.fspath(path) for path in paths]
    out_dir = os.fspath(out_dir)
    # The library plans the batch as zel7-mask plans its own, options checked first.
    jobs, refused = zel7._zel7._plan(paths, out_dir, suffix, background, skip_existing, **options)
    report: list[Entry | None] = [None] * len(paths)
    for index, source, destination, reason, repeat in refused:
        report[index] = _entry(source, destination, "skipped" if repeat else "failed", reason)
    if jobs:
        with _connected(client) as active:
            threads = sum(active.nthreads().values()) or 1
            count = max(1, min(partitions or 4 * threads, len(jobs)))
            parts = [jobs[start::count] for start in range(count)]
            task = {"out_dir": out_dir, "background": background,
                    "skip_existing": skip_existing, "options": options}
            for index, entry in _masked(active, parts, task):
                report[index] = entry
    return report  # type: ignore[return-value]


def _masked(
    client: distributed.Client, parts: list[list[Job]], task: dict[str, Any]
) -> list[tuple[int, Entry]]:
    """Each part's files masked by a task of its own. A task whose workers all died (say
    of a picture that took all their memory) is run again a file a task, and a file whose
    own task dies so once more alone, for the tasks queued on a dying worker die with it:
    only the file that kills its worker fails. What the lost tasks wrote is there when
    they run again, and is masked again rather than skipped. Any other failure of a task
    (zel7 missing on the workers, say) is the cluster's, and is raised."""
    futures = client.map(_mask_partition, parts, pure=False, **task)
    again = {**task, "skip_existing": False}
    done: list[tuple[int, Entry]] = []
    split: list[list[Job]] = []
    alone: list[Job] = []
    for part, future in zip(parts, futures):
        try:
            done.extend(future.result())
        except distributed.KilledWorker:
            if len(part) > 1:
                split.extend([job] for job in part)
            else:
                alone.extend(part)
    if split:
        done.extend(_masked(client, split, again))
    for job in alone:
        try:
            done.extend(client.submit(_mask_partition, [job], pure=False, **again).result())
        except distributed.KilledWorker:
            index, source, destination = job
            reason = "every worker that masked it died (out of memory, or killed)"
            done.append((index, _entry(source, destination, "failed", reason)))
    return done


class _connected:
    """The client given, the default one, or one of a cluster started for the batch."""

    def __init__(self, client: distributed.Client | str | None) -> None:
        self._client = client
        self._own: list[Any] = []

    def __enter__(self) -> distributed.Client:
        if isinstance(self._client, str):  # a scheduler's address
            self._own = [distributed.Client(self._client)]
            self._client = self._own[0]
        elif self._client is None:
            try:
                self._client = distributed.default_client()
            except ValueError:
                # Processes: the masking releases the GIL, but a worker's own Python
                # work (and a crash) stays in its process.
                cluster = distributed.LocalCluster(
                    processes=True, dashboard_address=":0", silence_logs=logging.ERROR
                )
                self._own = [cluster, distributed.Client(cluster)]
                self._client = self._own[1]
        return self._client

    def __exit__(self, *exception: object) -> None:
        for started in reversed(self._own):
            started.close()


def _entry(
    source: str,
    destination: str,
    status: str,
    reason: str = "",
    ms: float = 0.0,
    confidence: dict[str, float] | None = None,
) -> Entry:
    entry = {
        "source": source,
        "destination": destination,
        "status": status,
        "reason": reason,
        "milliseconds": ms,
    }
    if confidence is not None:
        entry["confidence"] = confidence
    return entry


def _mask_partition(
    jobs: list[Job],
    out_dir: str,
    background: str,
    skip_existing: bool,
    options: dict[str, Any],
) -> list[tuple[int, Entry]]:
    """A task: masks its files one after another, on a worker."""
    done = []
    for index, source, destination in jobs:
        if skip_existing and zel7._zel7._up_to_date(
            source, destination, background, out_dir, **options
        ):
            done.append((index, _entry(source, destination, "skipped")))
            continue
        start = time.perf_counter()
        confidence = None
        try:
            _, remark, confidence = zel7._zel7._mask_file_noted(
                source, destination, background, out_dir, **options
            )
            status, reason = "written", remark
        except zel7.Error as error:
            status, reason = "failed", error.reason
        except Exception as error:  # one file's trouble is its entry's, never the batch's
            status, reason = "failed", str(error) or type(error).__name__
        milliseconds = round((time.perf_counter() - start) * 1000, 1)  # as --report has it
        done.append(
            (index, _entry(source, destination, status, reason, milliseconds, confidence))
        )
    return done
