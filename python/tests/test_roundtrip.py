"""imwrite / imencode followed by imread give back the array, format by format."""

import numpy as np
import pytest

import qorimage
from conftest import picture

LOSSLESS = ["png", "bmp", "tif", "tga", "pcx", "dcx"]


@pytest.mark.parametrize("ext", LOSSLESS)
@pytest.mark.parametrize("colour", [False, True], ids=["grey", "rgb"])
def test_file_round_trip_is_exact(folder, ext, colour):
    a = picture(colour=colour)
    kept = a.copy()
    path = folder / f"pic.{ext}"
    qorimage.imwrite(path, a)
    back = qorimage.imread(path)
    assert back.dtype == np.uint8 and back.shape == a.shape
    np.testing.assert_array_equal(back, a)
    np.testing.assert_array_equal(a, kept)  # the caller's array is left alone


@pytest.mark.parametrize("fmt", ["png", "bmp", "tiff", "tga", "pcx", "dcx", "native"])
def test_bytes_round_trip_matches_file(folder, fmt):
    a = picture(colour=False, seed=3)
    data = qorimage.imencode(a, fmt)
    np.testing.assert_array_equal(qorimage.imread(data), a)
    np.testing.assert_array_equal(qorimage.imread(bytearray(data)), a)
    np.testing.assert_array_equal(qorimage.imread(memoryview(data)), a)


@pytest.mark.parametrize(
    "fmt, options",
    [("pcx", {"rle": True}), ("tga", {"rle": True}), ("png", {"interlace": True}), ("bmp", {"rle": False})],
)
def test_options_keep_pixels(fmt, options):
    a = picture(seed=5)
    np.testing.assert_array_equal(qorimage.imread(qorimage.imencode(a, fmt, **options)), a)


def test_run_length_makes_flat_pictures_smaller():
    flat = np.zeros((64, 64, 3), np.uint8)
    assert len(qorimage.imencode(flat, "tga", rle=True)) < len(qorimage.imencode(flat, "tga")) // 4


@pytest.mark.parametrize("dtype, coding", [(np.uint8, 9), (np.int8, 7), (np.int16, 8), (np.float64, 6)])
def test_native_keeps_element_types(folder, dtype, coding):
    a = (picture(colour=False).astype(np.int64) - 100).astype(dtype)
    if dtype == np.float64:
        a = a * 0.25  # quarters survive the power-of-two scale
    path = folder / "scan.kav"
    qorimage.imwrite(path, a)
    back = qorimage.imread(path)
    assert back.dtype == dtype and qorimage.info(path)["coding"] == coding
    np.testing.assert_array_equal(back, a)


def test_fits_holds_int16(folder):
    a = (picture(colour=False).astype(np.int16) - 128) * 200
    qorimage.imwrite(folder / "sky.fits", a)
    np.testing.assert_array_equal(qorimage.imread(folder / "sky.fits"), a)


@pytest.mark.parametrize("ext", ["png", "bmp", "tif", "tga", "pcx"])
def test_palette_file_keeps_indices_and_colours(folder, ext):
    palette = np.array([[255, 0, 0], [0, 128, 0], [10, 20, 250], [200, 200, 0]], np.uint8)
    idx = (picture(colour=False) % 4).astype(np.uint8)
    qorimage.imwrite(folder / f"p.{ext}", idx, palette=palette)
    np.testing.assert_array_equal(qorimage.imread(folder / f"p.{ext}"), idx)
    np.testing.assert_array_equal(qorimage.imread(folder / f"p.{ext}", mode="rgb"), palette[idx])
    with qorimage.open(folder / f"p.{ext}") as e:
        np.testing.assert_array_equal(e.palette[:4], palette)


@pytest.mark.parametrize("ext", ["png", "bmp", "tif", "pcx"])
def test_bilevel_from_bool(folder, ext):
    bits = picture(colour=False) > 128
    qorimage.imwrite(folder / f"b.{ext}", bits)
    assert qorimage.info(folder / f"b.{ext}")["coding"] == 1
    np.testing.assert_array_equal(qorimage.imread(folder / f"b.{ext}"), bits.astype(np.uint8))
    np.testing.assert_array_equal(qorimage.imread(folder / f"b.{ext}", mode="L"), bits * np.uint8(255))


def test_four_bit_coding(folder):
    idx = (picture(colour=False) % 16).astype(np.uint8)
    qorimage.imwrite(folder / "n.bmp", idx, coding=4)
    assert qorimage.info(folder / "n.bmp")["coding"] == 4
    np.testing.assert_array_equal(qorimage.imread(folder / "n.bmp"), idx)


@pytest.mark.parametrize("colour", [False, True], ids=["grey", "rgb"])
def test_jpeg_is_close_and_follows_quality(colour):
    y, x = np.mgrid[0:64, 0:96]
    smooth = ((x * 2 + y) % 256).astype(np.uint8)
    a = np.stack([smooth, smooth[::-1], 255 - smooth], -1) if colour else smooth
    fine, coarse = qorimage.imencode(a, "jpeg", quality=95), qorimage.imencode(a, "jpeg", quality=20)
    assert len(coarse) < len(fine)
    back = qorimage.imread(fine)
    assert back.shape == a.shape
    assert np.abs(back.astype(int) - a).mean() < 3


def test_ensemble_writes_pages(folder):
    pages = [picture(seed=s) for s in range(3)]
    with qorimage.open(folder / "doc.dcx", "w", coding=24, size=(37, 23), count=3) as e:
        for i, p in enumerate(pages):
            e[i] = p
    with qorimage.open(folder / "doc.dcx") as e:
        assert (len(e), e.format, e.size, e.coding) == (3, "dcx", (37, 23), 24)
        for got, want in zip(e, pages):
            np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(e[-1], pages[-1])
