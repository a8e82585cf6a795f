"""Errors, sources, Ensemble objects and the descriptions of files and formats."""

import pathlib

import numpy as np
import pytest

import qorimage
from conftest import picture


def test_missing_file_raises_code_2(folder):
    with pytest.raises(qorimage.Error) as caught:
        qorimage.imread(folder / "no-such.bmp")
    assert caught.value.code == 2 and "no-such.bmp" in caught.value.message
    assert isinstance(caught.value, Exception)


@pytest.mark.parametrize("data", [b"not an image at all", b"BM" + bytes(60)])
def test_unknown_or_damaged_bytes_raise_code_3(data):
    with pytest.raises(qorimage.Error) as caught:
        qorimage.imread(data)
    assert caught.value.code == 3


@pytest.mark.parametrize("fmt", ["png", "bmp", "tiff", "jpeg", "pcx", "tga"])
def test_truncated_files_raise(fmt):
    data = qorimage.imencode(picture(64, 64, seed=1), fmt)
    with pytest.raises(qorimage.Error):
        qorimage.imread(data[: len(data) // 2])


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda p: qorimage.imread(p, mode="cmyk"), ValueError),
        (lambda p: qorimage.imread(p, index=1), IndexError),
        (lambda p: qorimage.imread(12), TypeError),
        (lambda p: qorimage.imwrite(p.with_suffix(".xyz"), np.zeros((2, 2), np.uint8)), ValueError),
        (lambda p: qorimage.imwrite(p, np.zeros((2, 2), np.float32)), TypeError),
        (lambda p: qorimage.imwrite(p, np.zeros((2, 2, 4), np.uint8)), ValueError),
        (lambda p: qorimage.imwrite(p, np.zeros((2, 2), np.uint8), quality=5), TypeError),
        (lambda p: qorimage.imwrite(p, np.zeros((2, 2), np.uint8), palette=np.zeros((2, 4))), ValueError),
        (lambda p: qorimage.open(p, "a"), ValueError),
    ],
)
def test_bad_requests_raise_python_errors(folder, call, error):
    path = folder / "ok.png"
    qorimage.imwrite(path, np.zeros((3, 3), np.uint8))
    with pytest.raises(error):
        call(path)


@pytest.mark.parametrize(
    "name, array, kwargs",
    [
        ("x.bmp", np.zeros((4, 4), np.uint8), {"rle": True}),  # BMP is written uncompressed
        ("x.jpg", np.zeros((4, 4), bool), {}),  # no bilevel JPEG
        ("x.tga", np.zeros((4, 4), np.int16), {}),
    ],
)
def test_refused_writes_leave_no_file(folder, name, array, kwargs):
    with pytest.raises(qorimage.Error) as caught:
        qorimage.imwrite(folder / name, array, **kwargs)
    assert caught.value.code == 3
    assert not (folder / name).exists()


def test_sources_by_str_pathlike_and_bytes(folder):
    a = picture()
    qorimage.imwrite(str(folder / "s.png"), a)
    for source in [str(folder / "s.png"), folder / "s.png", (folder / "s.png").read_bytes()]:
        np.testing.assert_array_equal(qorimage.imread(source), a)


def test_write_into_unwritable_folder_raises_code_2(folder):
    with pytest.raises(qorimage.Error) as caught:
        qorimage.imwrite(folder / "missing" / "x.png", picture())
    assert caught.value.code == 2


def test_info_describes_the_natural_layout(folder):
    qorimage.imwrite(folder / "i.tga", picture(10, 12))
    assert qorimage.info(folder / "i.tga") == {
        "format": "tga", "width": 12, "height": 10, "images": 1, "coding": 24,
        "palette_size": 0, "dtype": np.dtype(np.uint8), "shape": (10, 12, 3),
    }
    qorimage.imwrite(folder / "i.kav", np.zeros((5, 6)))
    info = qorimage.info((folder / "i.kav").read_bytes())
    assert (info["format"], info["dtype"], info["shape"]) == ("native", np.float64, (5, 6))


def test_formats_table():
    table = {f["name"]: f for f in qorimage.formats()}
    for name in ["bmp", "pcx", "dcx", "tga", "tiff", "png", "jpeg", "native", "fits"]:
        assert table[name]["read"] and table[name]["write"]
    assert ".tif" in table["tiff"]["extensions"] and table["dcx"]["multi_image"]
    assert not table["memory"]["write"]
    assert qorimage.__version__.count(".") == 2


def test_ensemble_reads_by_index_and_closes(folder):
    frames = [np.full((6, 9), k * 300 - 400, np.int16) for k in range(4)]
    with qorimage.open(folder / "stack.kav", "w", coding=8, size=(9, 6), count=4) as e:
        for k, f in enumerate(frames):
            e.write(k, f)
    with qorimage.open(folder / "stack.kav") as e:
        assert (len(e), e.size, e.format, e.palette) == (4, (9, 6), "native", None)
        np.testing.assert_array_equal(np.stack(list(e)), np.stack(frames))
        np.testing.assert_array_equal(e.read(2, mode="float64"), frames[2].astype(np.float64))
        with pytest.raises(IndexError):
            e[4]
    assert e.closed
    with pytest.raises(qorimage.Error):
        e[0]


def test_ensemble_over_bytes_keeps_them(folder):
    data = bytearray(qorimage.imencode(picture(colour=False), "bmp"))
    e = qorimage.open(data)
    with pytest.raises(BufferError):
        data.extend(b"x")  # the ensemble reads from this memory until closed
    np.testing.assert_array_equal(e[0], picture(colour=False))
    assert e.palette.shape == (256, 3)
    e.close()
    data.extend(b"x")


def test_error_carries_code_and_message():
    e = qorimage.Error(3, "bad")
    assert (e.code, e.message) == (3, "bad") and "bad" in str(e)
    assert pathlib.Path(qorimage.__file__).with_name("qorimage.pyi").exists()
