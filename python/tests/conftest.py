"""Fixtures of the qorimage tests: pictures, the qorimg tool beside the module, and files written by other tools."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

import qorimage

MAGICK = "/usr/bin/convert"


def picture(height=23, width=37, colour=True, seed=0):
    """Gradients with noise: every byte value is likely, and no two rows are alike."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = (x * 255 // max(width - 1, 1) + y * 7) % 256
    if not colour:
        return ((base + rng.integers(0, 40, base.shape)) % 256).astype(np.uint8)
    planes = [base, (y * 255 // max(height - 1, 1)) % 256, rng.integers(0, 256, base.shape)]
    return np.stack(planes, axis=-1).astype(np.uint8)


@pytest.fixture(scope="session")
def qorimg():
    """The qorimg of the build the module comes from, or a skip."""
    tool = pathlib.Path(qorimage.__file__).resolve().parent.parent / "qorimg"
    if not tool.exists():
        pytest.skip("qorimg is not built beside the module")
    return str(tool)


def dump(qorimg, path, kind):
    """The pixel memory qorimg (the C++ interface) reads from path as kind (uchar, rgb, sshort, double)."""
    return subprocess.run([qorimg, "dump", str(path), "--type", kind], check=True, capture_output=True).stdout


@pytest.fixture(scope="session")
def magick():
    if not os.path.exists(MAGICK):
        pytest.skip("ImageMagick is not installed")
    return MAGICK


@pytest.fixture(scope="session")
def data_dir():
    return pathlib.Path(__file__).resolve().parents[2] / "tests" / "data"


@pytest.fixture
def folder(tmp_path):
    return tmp_path


