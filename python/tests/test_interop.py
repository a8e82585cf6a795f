"""Files written by Pillow and ImageMagick read with their pixels, and with the
pixels the C++ interface (qorimg dump) gives."""

import subprocess

import numpy as np
import pytest
from PIL import Image

import qorimage
from conftest import dump, picture

# (format, extension, Pillow mode, save arguments)
PILLOW_FILES = [
    ("bmp", "bmp", "1", {}),
    ("bmp", "bmp", "L", {}),
    ("bmp", "bmp", "P", {}),
    ("bmp", "bmp", "RGB", {}),
    ("pcx", "pcx", "1", {}),
    ("pcx", "pcx", "L", {}),
    ("pcx", "pcx", "P", {}),
    ("pcx", "pcx", "RGB", {}),
    ("tga", "tga", "L", {}),
    ("tga", "tga", "P", {}),
    ("tga", "tga", "RGB", {}),
    ("tga", "tga", "RGB", {"compression": "tga_rle"}),
    ("tga", "tga", "RGBA", {"compression": "tga_rle"}),
    ("tiff", "tif", "1", {"compression": "group4"}),
    ("tiff", "tif", "L", {"compression": "tiff_lzw"}),
    ("tiff", "tif", "P", {"compression": "packbits"}),
    ("tiff", "tif", "RGB", {"compression": "tiff_adobe_deflate"}),
    ("tiff", "tif", "RGB", {}),
    ("png", "png", "1", {}),
    ("png", "png", "L", {}),
    ("png", "png", "P", {}),
    ("png", "png", "RGB", {}),
    ("png", "png", "RGBA", {}),
    ("png", "png", "LA", {}),
    ("png", "png", "RGB", {"interlace": 1}),
    ("jpeg", "jpg", "L", {"quality": 90}),
    ("jpeg", "jpg", "RGB", {"quality": 90}),
    ("jpeg", "jpg", "RGB", {"quality": 80, "progressive": True}),
]

# (extension, ImageMagick output prefix and arguments)
MAGICK_FILES = [
    ("bmp", ["BMP3:"], ["-type", "TrueColor"]),
    ("bmp", ["BMP3:"], ["-colors", "40", "-type", "Palette"]),
    ("pcx", [""], ["-type", "TrueColor"]),
    ("pcx", [""], ["-colors", "40", "-type", "Palette"]),
    ("tga", [""], ["-compress", "RLE"]),
    ("tif", [""], ["-compress", "Zip"]),
    ("tif", [""], ["-type", "Grayscale", "-compress", "LZW"]),
    ("png", ["PNG48:"], []),
    ("png", ["PNG8:"], []),
    ("jpg", [""], ["-quality", "85"]),
]


def pillow_picture(mode):
    rgb = Image.fromarray(picture(29, 41, seed=7))
    if mode == "P":
        return rgb.quantize(37)
    if mode in ("RGBA", "LA"):
        im = rgb.convert(mode)
        im.putalpha(128)
        return im
    return rgb.convert(mode)


def dump_type(array):
    return "rgb" if array.ndim == 3 else "uchar"


def check_against_cxx(qorimg, path):
    """The natural read equals the C++ interface's image memory, from a path and from bytes."""
    natural = qorimage.imread(path)
    assert natural.dtype == np.uint8
    assert natural.tobytes() == dump(qorimg, path, dump_type(natural))
    np.testing.assert_array_equal(qorimage.imread(path.read_bytes()), natural)
    return natural


def check_rgb(path, lossy):
    rgb = qorimage.imread(path, mode="rgb")
    want = np.asarray(Image.open(path).convert("RGB"))
    if lossy:
        assert np.abs(rgb.astype(int) - want).mean() < 1.5
    else:
        np.testing.assert_array_equal(rgb, want)
    grey = qorimage.imread(path, mode="L")
    r, g, b = rgb.astype(int).transpose(2, 0, 1)
    levels = (77 * r + 151 * g + 28 * b) >> 8
    np.testing.assert_array_equal(grey, levels)


@pytest.mark.parametrize("fmt, ext, mode, save", PILLOW_FILES, ids=lambda v: str(v))
def test_pillow_files(folder, qorimg, fmt, ext, mode, save):
    path = folder / f"pillow.{ext}"
    pillow_picture(mode).save(path, **save)
    assert qorimage.info(path)["format"] == fmt
    natural = check_against_cxx(qorimg, path)
    colour = mode in ("RGB", "RGBA")
    assert natural.ndim == (3 if colour else 2)
    if mode == "1":
        assert set(np.unique(natural)) <= {0, 1}
    check_rgb(path, lossy=fmt == "jpeg")


@pytest.mark.parametrize("ext, prefix, args", MAGICK_FILES, ids=lambda v: str(v))
def test_magick_files(folder, qorimg, magick, ext, prefix, args):
    source = folder / "in.png"
    Image.fromarray(picture(29, 41, seed=9)).save(source)
    path = folder / f"magick.{ext}"
    subprocess.run([magick, str(source)] + args + [prefix[0] + str(path)], check=True)
    check_against_cxx(qorimg, path)
    if ext != "png" or prefix[0] != "PNG48:":  # 16-bit samples: the library keeps the high byte
        check_rgb(path, lossy=ext == "jpg")
    else:
        np.testing.assert_array_equal(qorimage.imread(path, mode="rgb"), np.asarray(Image.open(source)))


def test_fixture_bmp_files(data_dir, qorimg):
    files = sorted((data_dir / "bmp").glob("*.bmp"))
    assert files
    for path in files:
        check_against_cxx(qorimg, path)
        check_rgb(path, lossy=False)


@pytest.mark.parametrize("kind, mode", [("uchar", "uint8"), ("schar", "int8"), ("sshort", "int16"), ("double", "float64")])
def test_converter_modes_match_cxx(folder, qorimg, kind, mode):
    path = folder / "c.kav"
    qorimage.imwrite(path, picture(colour=False, seed=2))
    assert qorimage.imread(path, mode=mode).tobytes() == dump(qorimg, path, kind)


@pytest.mark.parametrize("ext", ["png", "bmp", "tif", "tga", "pcx"])
@pytest.mark.parametrize("colour", [False, True], ids=["grey", "rgb"])
def test_other_tools_read_what_qorimage_writes(folder, magick, ext, colour):
    a = picture(colour=colour, seed=11)
    qorimage.imwrite(folder / f"out.{ext}", a)
    if ext == "pcx":  # Pillow refuses PCX rows padded beyond an even width; ImageMagick reads them
        subprocess.run([magick, str(folder / "out.pcx"), str(folder / "check.png")], check=True)
        got = Image.open(folder / "check.png")
    else:
        got = Image.open(folder / f"out.{ext}")
    np.testing.assert_array_equal(np.asarray(got.convert("RGB" if colour else "L")), a)
