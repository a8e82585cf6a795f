#!/usr/bin/python3
"""Decoding to numpy: qorimage beside Pillow (and imageio where installed), and
threads reading at once.

  PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--size 4096] [--repeat 3]

Writes 4096 x 4096 colour BMP, TGA, PCX, TIFF, PNG and JPEG files (with
Pillow, into a temporary folder), times the best of --repeat decodes of each
into a numpy array, and then times 8 reads of a 2048 x 2048 BMP on 1 and on 2
threads.
"""

import argparse
import os
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image

import qorimage

try:
    import imageio.v3 as iio
except ImportError:
    try:
        import imageio as iio  # before 2.16: imageio.imread
    except ImportError:
        iio = None

FORMATS = [("BMP", "bmp", {}), ("TGA", "tga", {}), ("PCX", "pcx", {}), ("TIFF", "tif", {}),
           ("PNG", "png", {"compress_level": 6}), ("JPEG", "jpg", {"quality": 90})]


def photo(size):
    """Smooth gradients with some noise: compresses like a photograph, not like noise or a flat field."""
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    planes = [np.sin(7 * x + 3 * y), np.cos(5 * x * y + 2 * y), np.sin(11 * (x - y) ** 2)]
    rgb = np.stack([(p * 0.5 + 0.5) * 230 for p in planes], -1) + rng.normal(0, 6, (size, size, 3))
    return np.clip(rgb, 0, 255).astype(np.uint8)


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def imageio_time(path, repeat):
    """imageio's best time, or nan where it is absent or cannot read the file."""
    if iio is None:
        return float("nan")
    try:
        return best(lambda: np.asarray(iio.imread(path)), repeat)
    except Exception:
        return float("nan")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    warnings.simplefilter("ignore")  # imageio's optional plugins complain on import
    with tempfile.TemporaryDirectory() as folder:
        picture = Image.fromarray(photo(args.size))
        print(f"decode {args.size} x {args.size} RGB to numpy, best of {args.repeat} (s)")
        print(f"{'format':6} {'MB':>7} {'qorimage':>9} {'Pillow':>8} {'ratio':>6} {'imageio':>8}")
        for name, ext, save in FORMATS:
            path = os.path.join(folder, f"photo.{ext}")
            picture.save(path, **save)
            ours = qorimage.imread(path)
            theirs = np.asarray(Image.open(path))
            assert ours.shape == theirs.shape
            if name == "JPEG":
                assert np.abs(ours.astype(int) - theirs).mean() < 1, name
            else:
                assert np.array_equal(ours, theirs), name
            q = best(lambda: qorimage.imread(path), args.repeat)
            p = best(lambda: np.asarray(Image.open(path)), args.repeat)
            i = imageio_time(path, args.repeat)
            mb = os.path.getsize(path) / 1e6
            print(f"{name:6} {mb:7.1f} {q:9.3f} {p:8.3f} {q / p:6.2f} {i:8.3f}")

        path = os.path.join(folder, "threads.bmp")
        Image.fromarray(photo(2048)).save(path)
        print("8 reads of a 2048 x 2048 24-bit BMP (s)")
        results = {}
        for threads in (1, 2):
            def run():
                with ThreadPoolExecutor(threads) as pool:
                    list(pool.map(lambda _: qorimage.imread(path), range(8)))
            results[threads] = best(run, args.repeat)
            print(f"  {threads} thread{'s' if threads > 1 else ''}: {results[threads]:.3f}")
        print(f"  2 threads / 1 thread: {results[2] / results[1]:.2f}")


if __name__ == "__main__":
    main()
