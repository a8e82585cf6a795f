"""Threads reading and writing at once, and the README's Dask example."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import qorimage
from conftest import picture


def test_threads_read_and_write_every_format_at_once(folder):
    exts = ["png", "bmp", "tif", "tga", "pcx", "dcx", "jpg", "kav"]
    jobs = [(folder / f"t{k}.{exts[k % len(exts)]}", picture(40, 50, colour=k % 3 != 0, seed=k)) for k in range(32)]
    jobs = [(p, a if p.suffix != ".kav" or a.ndim == 2 else a[..., 0]) for p, a in jobs]

    def round_trip(job):
        path, a = job
        qorimage.imwrite(path, a)
        return qorimage.imread(path), qorimage.imread(path.read_bytes())

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(round_trip, jobs))
    for (path, a), (from_file, from_bytes) in zip(jobs, results):
        np.testing.assert_array_equal(from_file, from_bytes)
        if path.suffix != ".jpg":
            np.testing.assert_array_equal(from_file, a)


def test_threads_share_one_ensemble(folder):
    pages = [picture(30, 20, seed=s) for s in range(6)]
    with qorimage.open(folder / "p.dcx", "w", coding=24, size=(20, 30), count=6) as e:
        for i, p in enumerate(pages):
            e[i] = p
    with qorimage.open(folder / "p.dcx") as e, ThreadPoolExecutor(3) as pool:
        got = list(pool.map(lambda i: e[i % 6], range(30)))
    for i, g in enumerate(got):
        np.testing.assert_array_equal(g, pages[i % 6])


def test_dask_stack_of_40_files_matches_serial_read(folder):
    dask = pytest.importorskip("dask", reason="python3-dask is not installed")
    import dask.array as da

    paths = []
    for k in range(40):
        paths.append(str(folder / f"frame{k:02}.png"))
        qorimage.imwrite(paths[-1], picture(24, 32, seed=k))

    # the README's example
    first = qorimage.info(paths[0])
    lazy = [da.from_delayed(dask.delayed(qorimage.imread)(p), shape=first["shape"], dtype=first["dtype"])
            for p in paths]
    stack = da.stack(lazy)
    result = stack.compute(scheduler="threads")

    serial = np.stack([qorimage.imread(p) for p in paths])
    assert stack.shape == (40, 24, 32, 3)
    np.testing.assert_array_equal(result, serial)
