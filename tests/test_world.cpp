// The files of the world: pictures written by other programs (Pillow,
// ImageMagick, libtiff's tiffcp, netpbm, libvips, OpenImageIO) in the modes
// they commonly write, read here as RGB and in their own coding and compared
// with Pillow's decoding; and every file qorimg convert writes, read by
// Pillow and ImageMagick. A tool that is not installed skips its rows.
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "oracle.h"

#ifndef QORIMG_PATH
#define QORIMG_PATH QOR_BUILD_DIR "/qorimg"
#endif

namespace {

using namespace qortest;

// The share of the tool-written files that must open here.
constexpr double kRequiredOpenShare = 0.97;

// One file a tool writes from one of the script's pictures.
struct WorldRow {
  const char* tool;    // pillow, magick, tiffcp, netpbm, vips or oiio
  const char* ext;     // bmp, pcx, dcx, tga, tif, jpg or png
  const char* source;  // b1, p4, p8, p40 (a palette of 40 entries), g8, g16, ga, rgb, rgba, rgb16 or cmyk
  // Pillow's key=value save options; ImageMagick's options, a word ending
  // in ':' prefixing the file; tiffcp's options; vips' [options]; oiiotool's
  // options; the netpbm program and its options.
  const char* args;
};

const WorldRow kWorld[] = {
    // Pillow
    {"pillow", "bmp", "b1", ""},
    {"pillow", "bmp", "p8", ""},
    {"pillow", "bmp", "g8", ""},
    {"pillow", "bmp", "rgb", ""},
    {"pillow", "bmp", "rgba", ""},
    {"pillow", "bmp", "p40", ""},
    {"pillow", "pcx", "b1", ""},
    {"pillow", "pcx", "p8", ""},
    {"pillow", "pcx", "g8", ""},
    {"pillow", "pcx", "rgb", ""},
    {"pillow", "tga", "p8", ""},
    {"pillow", "tga", "g8", ""},
    {"pillow", "tga", "rgb", ""},
    {"pillow", "tga", "rgba", ""},
    {"pillow", "tga", "p8", "compression=tga_rle"},
    {"pillow", "tga", "g8", "compression=tga_rle"},
    {"pillow", "tga", "rgb", "compression=tga_rle"},
    {"pillow", "tga", "rgba", "compression=tga_rle"},
    {"pillow", "tga", "rgb", "orientation=1"},
    {"pillow", "tga", "p8", "compression=tga_rle orientation=1"},
    {"pillow", "tga", "rgba", "compression=tga_rle orientation=1"},
    {"pillow", "tga", "p40", ""},
    {"pillow", "tif", "b1", ""},
    {"pillow", "tif", "p4", ""},
    {"pillow", "tif", "p8", ""},
    {"pillow", "tif", "g8", ""},
    {"pillow", "tif", "g16", ""},
    {"pillow", "tif", "ga", ""},
    {"pillow", "tif", "rgb", ""},
    {"pillow", "tif", "rgba", ""},
    {"pillow", "tif", "cmyk", ""},
    {"pillow", "tif", "rgb", "compression=tiff_lzw"},
    {"pillow", "tif", "rgb", "compression=tiff_adobe_deflate"},
    {"pillow", "tif", "rgb", "compression=packbits"},
    {"pillow", "tif", "rgb", "compression=jpeg"},
    {"pillow", "tif", "g8", "compression=tiff_lzw"},
    {"pillow", "tif", "g8", "compression=tiff_adobe_deflate"},
    {"pillow", "tif", "p8", "compression=tiff_lzw"},
    {"pillow", "tif", "g16", "compression=tiff_adobe_deflate"},
    {"pillow", "tif", "p8", "compression=packbits"},
    {"pillow", "tif", "b1", "compression=packbits"},
    {"pillow", "tif", "cmyk", "compression=tiff_lzw"},
    {"pillow", "jpg", "g8", ""},
    {"pillow", "jpg", "rgb", ""},
    {"pillow", "jpg", "cmyk", ""},
    {"pillow", "jpg", "rgb", "progressive=True"},
    {"pillow", "jpg", "rgb", "subsampling=0"},
    {"pillow", "png", "b1", ""},
    {"pillow", "png", "p4", ""},
    {"pillow", "png", "p8", ""},
    {"pillow", "png", "g8", ""},
    {"pillow", "png", "g16", ""},
    {"pillow", "png", "ga", ""},
    {"pillow", "png", "rgb", ""},
    {"pillow", "png", "rgba", ""},
    {"pillow", "png", "p40", ""},
    // ImageMagick
    {"magick", "bmp", "b1", "-type bilevel BMP3:"},
    {"magick", "bmp", "p4", "-type palette BMP3:"},
    {"magick", "bmp", "p8", "-type palette BMP3:"},
    {"magick", "bmp", "g8", "-type grayscale BMP3:"},
    {"magick", "bmp", "rgb", "-type truecolor BMP3:"},
    {"magick", "bmp", "p8", "-type palette -compress RLE BMP3:"},
    {"magick", "bmp", "rgb", "BMP2:"},
    {"magick", "bmp", "b1", "-type bilevel"},
    {"magick", "bmp", "p8", "-type palette"},
    {"magick", "bmp", "g8", "-type grayscale"},
    {"magick", "bmp", "rgb", "-type truecolor"},
    {"magick", "bmp", "rgba", ""},
    {"magick", "bmp", "rgb", "-type palette -compress RLE BMP3:"},
    {"magick", "bmp", "p8", "-compress None BMP3:"},
    {"magick", "bmp", "rgb", "-alpha set -define bmp3:alpha=true BMP3:"},
    {"magick", "bmp", "b1", "BMP2:"},
    {"magick", "bmp", "p4", "BMP2:"},
    {"magick", "bmp", "p8", "BMP2:"},
    {"magick", "bmp", "p4", "-type palette"},
    {"magick", "bmp", "rgb", "-type palette"},
    {"magick", "bmp", "rgb", "-type TrueColorAlpha"},
    {"magick", "bmp", "p8", "-type TrueColor"},
    {"magick", "bmp", "rgb", "-type bilevel"},
    {"magick", "bmp", "rgb", "-type grayscale"},
    {"magick", "pcx", "b1", "-type bilevel"},
    {"magick", "pcx", "p4", "-type palette"},
    {"magick", "pcx", "p8", "-type palette"},
    {"magick", "pcx", "g8", "-type grayscale"},
    {"magick", "pcx", "rgb", "-type truecolor"},
    {"magick", "dcx", "b1", "-type bilevel"},
    {"magick", "dcx", "p8", "-type palette"},
    {"magick", "dcx", "rgb", "-type truecolor"},
    {"magick", "tga", "p8", "-type palette"},
    {"magick", "tga", "g8", "-type grayscale"},
    {"magick", "tga", "rgb", ""},
    {"magick", "tga", "rgba", ""},
    {"magick", "tga", "p8", "-type palette -compress RLE"},
    {"magick", "tga", "g8", "-type grayscale -compress RLE"},
    {"magick", "tga", "rgb", "-compress RLE"},
    {"magick", "tga", "rgba", "-compress RLE"},
    {"magick", "tif", "b1", "-type bilevel"},
    {"magick", "tif", "p4", "-type palette"},
    {"magick", "tif", "p8", "-type palette"},
    {"magick", "tif", "g8", "-type grayscale"},
    {"magick", "tif", "g16", "-depth 16"},
    {"magick", "tif", "ga", "-type GrayscaleAlpha"},
    {"magick", "tif", "rgb", ""},
    {"magick", "tif", "rgba", ""},
    {"magick", "tif", "rgb16", "-depth 16"},
    {"magick", "tif", "cmyk", ""},
    {"magick", "tif", "rgb", "-colorspace CMYK"},
    {"magick", "tif", "rgb", "-interlace plane"},
    {"magick", "tif", "rgb", "-compress LZW"},
    {"magick", "tif", "rgb", "-compress Zip"},
    {"magick", "tif", "rgb", "-compress RLE"},
    {"magick", "tif", "rgb", "-compress JPEG"},
    {"magick", "tif", "g8", "-type grayscale -compress LZW"},
    {"magick", "tif", "b1", "-type bilevel -compress RLE"},
    {"magick", "tif", "rgb", "-define tiff:endian=msb"},
    {"magick", "tif", "rgb", "-define tiff:rows-per-strip=1"},
    {"magick", "tif", "rgb", "-define tiff:tile-geometry=16x16"},
    {"magick", "tif", "rgb", "-define tiff:tile-geometry=16x16 -compress lzw"},
    {"magick", "tif", "rgb", "-colors 16 -depth 4 -type palette"},
    {"magick", "tif", "rgb", "-colors 16 -depth 4 -type palette -define tiff:tile-geometry=32x16"},
    {"magick", "tif", "g8", "-threshold 50% -depth 1 -compress none -define quantum:polarity=min-is-white"},
    {"magick", "tif", "g8", "-threshold 50% -depth 1 -compress fax"},
    {"magick", "tif", "g8", "-compress none -define quantum:polarity=min-is-white"},
    {"magick", "tif", "g8", "-posterize 16 -depth 4 -compress lzw"},
    // two pages: the first is read
    {"magick", "tif", "rgb", "( +clone -flip ) -compress lzw"},
    {"magick", "jpg", "g8", ""},
    {"magick", "jpg", "rgb", ""},
    {"magick", "jpg", "cmyk", ""},
    {"magick", "jpg", "rgb", "-colorspace CMYK"},
    {"magick", "jpg", "rgb", "-interlace Plane"},
    {"magick", "jpg", "rgb", "-sampling-factor 4:2:2"},
    {"magick", "png", "b1", "-type bilevel"},
    {"magick", "png", "p4", "PNG8:"},
    {"magick", "png", "p8", "PNG8:"},
    {"magick", "png", "g8", "-type grayscale"},
    {"magick", "png", "g8", "-type grayscale -depth 4"},
    {"magick", "png", "g16", "-depth 16"},
    {"magick", "png", "ga", "-type GrayscaleAlpha"},
    {"magick", "png", "rgb", "PNG24:"},
    {"magick", "png", "rgba", "PNG32:"},
    {"magick", "png", "rgb16", "PNG48:"},
    {"magick", "png", "rgb16", "PNG64:"},
    {"magick", "png", "rgb", "-interlace PNG"},
    {"magick", "png", "p8", "-interlace PNG PNG8:"},
    {"magick", "png", "rgb", "-interlace PNG PNG24:"},
    {"magick", "png", "rgba", "-interlace PNG PNG32:"},
    {"magick", "png", "b1", "-define png:color-type=0 -define png:bit-depth=1 -interlace PNG"},
    {"magick", "png", "g8", "-interlace PNG -define png:color-type=0"},
    {"magick", "png", "g8", "-posterize 4 -depth 2 -define png:bit-depth=2 -define png:color-type=0"},
    {"magick", "png", "g8", "-posterize 16 -depth 4 -define png:bit-depth=4 -define png:color-type=0 -interlace PNG"},
    {"magick", "png", "g8", "-colors 4 -define png:bit-depth=2 -define png:color-type=3"},
    {"magick", "png", "g8", "-colors 16 -define png:bit-depth=4 -define png:color-type=3 -interlace PNG"},
    {"magick", "png", "g8", "-alpha set -define png:color-type=4"},
    // tiffcp, from Pillow's uncompressed TIFF
    {"tiffcp", "tif", "rgb", "-c none"},
    {"tiffcp", "tif", "rgb", "-c lzw"},
    {"tiffcp", "tif", "rgb", "-c lzw:2"},
    {"tiffcp", "tif", "rgb", "-c zip"},
    {"tiffcp", "tif", "rgb", "-c zip:2"},
    {"tiffcp", "tif", "rgb", "-c packbits"},
    {"tiffcp", "tif", "rgb", "-c jpeg"},
    {"tiffcp", "tif", "rgb", "-p separate"},
    {"tiffcp", "tif", "rgb", "-p separate -c lzw"},
    {"tiffcp", "tif", "rgb", "-t"},
    {"tiffcp", "tif", "rgb", "-r 1"},
    {"tiffcp", "tif", "rgb", "-B"},
    {"tiffcp", "tif", "rgba", "-c lzw"},
    {"tiffcp", "tif", "rgba", "-p separate"},
    {"tiffcp", "tif", "g8", "-c lzw"},
    {"tiffcp", "tif", "g8", "-c jpeg"},
    {"tiffcp", "tif", "g16", "-c zip"},
    {"tiffcp", "tif", "g16", "-c lzw:2"},
    {"tiffcp", "tif", "p8", "-c lzw"},
    {"tiffcp", "tif", "b1", "-c packbits"},
    {"tiffcp", "tif", "cmyk", "-c lzw"},
    {"tiffcp", "tif", "cmyk", "-p separate"},
    // netpbm, from PNM
    {"netpbm", "bmp", "b1", "ppmtobmp -bpp 1"},
    {"netpbm", "bmp", "p4", "ppmtobmp -bpp 4"},
    {"netpbm", "bmp", "p8", "ppmtobmp -bpp 8"},
    {"netpbm", "bmp", "g8", "ppmtobmp"},
    {"netpbm", "bmp", "rgb", "ppmtobmp -bpp 24"},
    {"netpbm", "bmp", "rgb", "ppmtobmp -os2"},
    {"netpbm", "pcx", "b1", "ppmtopcx"},
    {"netpbm", "pcx", "p4", "ppmtopcx"},
    {"netpbm", "pcx", "p4", "ppmtopcx -packed"},
    {"netpbm", "pcx", "p8", "ppmtopcx -8bit"},
    {"netpbm", "pcx", "g8", "ppmtopcx"},
    {"netpbm", "pcx", "rgb", "ppmtopcx"},
    {"netpbm", "tga", "p8", "pamtotga -cmap"},
    {"netpbm", "tga", "g8", "pamtotga -mono"},
    {"netpbm", "tga", "rgb", "pamtotga -rgb"},
    {"netpbm", "tga", "rgb", "pamtotga -rgb -norle"},
    {"netpbm", "tga", "rgba", "pamtotga"},
    {"netpbm", "tif", "b1", "pnmtotiff"},
    {"netpbm", "tif", "p8", "pnmtotiff"},
    {"netpbm", "tif", "g8", "pnmtotiff"},
    {"netpbm", "tif", "g16", "pnmtotiff"},
    {"netpbm", "tif", "rgb", "pnmtotiff"},
    {"netpbm", "tif", "rgb16", "pnmtotiff"},
    {"netpbm", "tif", "rgb", "pnmtotiff -lzw"},
    {"netpbm", "tif", "rgb", "pnmtotiff -flate"},
    {"netpbm", "tif", "rgb", "pnmtotiff -packbits"},
    {"netpbm", "tif", "rgb", "pnmtotiffcmyk"},
    {"netpbm", "jpg", "g8", "pnmtojpeg"},
    {"netpbm", "jpg", "rgb", "pnmtojpeg"},
    {"netpbm", "jpg", "rgb", "pnmtojpeg --progressive"},
    {"netpbm", "png", "b1", "pnmtopng"},
    {"netpbm", "png", "p8", "pnmtopng"},
    {"netpbm", "png", "g8", "pnmtopng"},
    {"netpbm", "png", "g16", "pnmtopng"},
    {"netpbm", "png", "rgb", "pnmtopng"},
    {"netpbm", "png", "rgb16", "pnmtopng"},
    {"netpbm", "png", "rgb", "pnmtopng -interlace"},
    {"netpbm", "png", "ga", "pamtopng"},
    {"netpbm", "png", "rgba", "pamtopng"},
    // libvips
    {"vips", "tif", "g8", "bitdepth=1"},
    {"vips", "tif", "g8", ""},
    {"vips", "tif", "g16", ""},
    {"vips", "tif", "rgb", ""},
    {"vips", "tif", "rgba", ""},
    {"vips", "tif", "cmyk", ""},
    {"vips", "tif", "rgb", "compression=lzw"},
    {"vips", "tif", "rgb", "compression=lzw,predictor=horizontal"},
    {"vips", "tif", "rgb", "compression=deflate"},
    {"vips", "tif", "rgb", "compression=packbits"},
    {"vips", "tif", "rgb", "compression=jpeg"},
    {"vips", "tif", "rgb", "tile"},
    {"vips", "jpg", "g8", ""},
    {"vips", "jpg", "rgb", ""},
    {"vips", "jpg", "cmyk", ""},
    {"vips", "jpg", "rgb", "interlace"},
    {"vips", "png", "g8", ""},
    {"vips", "png", "g16", ""},
    {"vips", "png", "ga", ""},
    {"vips", "png", "rgb", ""},
    {"vips", "png", "rgba", ""},
    {"vips", "png", "rgb16", ""},
    {"vips", "png", "rgb", "interlace"},
    {"vips", "png", "rgb", "palette"},
    // OpenImageIO
    {"oiio", "bmp", "g8", ""},
    {"oiio", "bmp", "rgb", ""},
    {"oiio", "bmp", "rgba", ""},
    {"oiio", "tga", "g8", ""},
    {"oiio", "tga", "rgb", ""},
    {"oiio", "tga", "rgba", ""},
    {"oiio", "tga", "rgb", "--compression rle"},
    {"oiio", "tif", "g8", ""},
    {"oiio", "tif", "g16", ""},
    {"oiio", "tif", "rgb", ""},
    {"oiio", "tif", "rgba", ""},
    {"oiio", "tif", "rgb16", ""},
    {"oiio", "tif", "rgb", "--compression lzw"},
    {"oiio", "tif", "rgb", "--compression zip"},
    {"oiio", "tif", "rgb", "--planarconfig separate"},
    {"oiio", "tif", "rgb", "--tile 16 16"},
    {"oiio", "jpg", "g8", ""},
    {"oiio", "jpg", "rgb", ""},
    {"oiio", "png", "g8", ""},
    {"oiio", "png", "g16", ""},
    {"oiio", "png", "rgb", ""},
    {"oiio", "png", "rgba", ""},
};

// "world JOBS" makes the rows of JOBS (tool|file|source|args a line) and
// answers in JOBS.out; "decode FILE..." leaves Pillow's RGB in FILE.rgb.
const char* const kWorldScript = R"PY(
import os, shutil, subprocess, sys
import numpy as np
from PIL import Image

W, H = 37, 21
TOOLS = {'magick': '/usr/bin/convert', 'tiffcp': '/usr/bin/tiffcp', 'vips': '/usr/bin/vips',
         'oiio': '/usr/bin/oiiotool'}
FORMATS = {'bmp': 'BMP', 'pcx': 'PCX', 'tga': 'TGA', 'tif': 'TIFF', 'jpg': 'JPEG', 'png': 'PNG'}

def pictures():
    rng = np.random.default_rng(20240611)
    y, x = np.mgrid[0:H, 0:W]
    # gradients, with runs of 4 equal pixels on every third row for run-length writers
    rgb = np.dstack([x * 255 // (W - 1), y * 255 // (H - 1), 255 - (x + y) * 255 // (W + H - 2)])
    rgb[::3] = np.repeat(rng.integers(0, 256, (len(rgb[::3]), W // 4 + 1, 3)), 4, axis=1)[:, :W]
    rgb = rgb.astype(np.uint8)
    idx = ((x // 3 + y * 5) % 200).astype(np.uint8)
    pal = rng.integers(0, 256, 768).astype(np.uint8)
    g16 = (x * 1771 + y * 3001 + (x * y) % 251).astype(np.uint16)
    rgb16 = np.dstack([g16, 65535 - g16, (g16 * 7) & 0xFFFF]).astype(np.uint16)
    alpha = (64 + (x * 5 + y * 3) % 192).astype(np.uint8)
    cmyk = np.dstack([rgb, (x * 4 + y) % 256]).astype(np.uint8)
    return {'b1': ((x + y // 2) % 3 == 0) * 255, 'p4': (idx % 16, pal[:48]), 'p8': (idx, pal),
            'p40': (idx % 40, pal[:120]), 'g8': rgb[:, :, 1],
            'g16': g16, 'rgb': rgb, 'rgba': np.dstack([rgb, alpha]), 'ga': np.dstack([rgb[:, :, 1], alpha]),
            'rgb16': rgb16, 'cmyk': cmyk}

def pillow_image(name, a):
    if name == 'b1': return Image.fromarray(a.astype(np.uint8)).convert('1')
    if name in ('p4', 'p8', 'p40'):
        im = Image.fromarray(a[0], 'P'); im.putpalette(a[1].tobytes()); return im
    if name == 'g16': return Image.fromarray(a, 'I;16')
    if name == 'rgb16': return None
    if name == 'cmyk': return Image.fromarray(a, 'CMYK')
    return Image.fromarray(a)

# The picture as the RGB a reader shows: 16-bit samples by their high byte, alpha dropped.
def as_rgb(name, a):
    if name in ('p4', 'p8', 'p40'): return a[1].reshape(-1, 3)[a[0]]
    if name in ('g16', 'rgb16'): a = (a >> 8).astype(np.uint8)
    if name == 'cmyk': return np.asarray(Image.fromarray(a, 'CMYK').convert('RGB'))
    if a.ndim == 2: return np.dstack([a, a, a]).astype(np.uint8)
    return a[:, :, :3] if a.shape[2] >= 3 else np.dstack([a[:, :, 0]] * 3)

def pnm(path, a, maxval):
    a = np.asarray(a)
    depth = 1 if a.ndim == 2 else a.shape[2]
    data = a.astype('>u2' if maxval > 255 else np.uint8).tobytes()
    with open(path, 'wb') as f:
        if depth in (2, 4):
            tupl = 'GRAYSCALE_ALPHA' if depth == 2 else 'RGB_ALPHA'
            f.write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n'
                    % (W, H, depth, maxval, tupl.encode()))
        else:
            f.write(b'%s\n%d %d\n%d\n' % (b'P5' if depth == 1 else b'P6', W, H, maxval))
        f.write(data)

# The file a tool starts from: PNM for netpbm, uncompressed TIFF for tiffcp,
# else PNG (PPM for 16-bit colour, TIFF for CMYK).
def source_file(dirname, tool, name, a):
    im = pillow_image(name, a)
    if tool == 'netpbm':
        path = os.path.join(dirname, 'src-%s.pnm' % name)
        if name == 'b1': im.save(path, format='PPM')
        elif name in ('p4', 'p8', 'p40'): pnm(path, as_rgb(name, a), 255)
        elif name in ('g16', 'rgb16'): pnm(path, a, 65535)
        else: pnm(path, a, 255)
    elif tool == 'tiffcp' or name == 'cmyk':
        path = os.path.join(dirname, 'src-%s.tif' % name)
        im.save(path, format='TIFF')
    elif name == 'rgb16':
        path = os.path.join(dirname, 'src-%s.ppm' % name)
        pnm(path, a, 65535)
    else:
        path = os.path.join(dirname, 'src-%s.png' % name)
        im.save(path, format='PNG')
    return path

def option(v):
    if v in ('True', 'False'): return v == 'True'
    return int(v) if v.lstrip('-').isdigit() else v

def make(tool, dest, name, a, args, dirname):
    ext = ext_of(dest)
    if tool == 'pillow':
        im = pillow_image(name, a)
        if im is None: raise RuntimeError('Pillow holds no 16-bit colour')
        im.save(dest, format=FORMATS[ext], **dict((k, option(v)) for k, v in (s.split('=', 1) for s in args)))
        return
    src = source_file(dirname, tool, name, a)
    if tool == 'magick':
        prefix = [s for s in args if s.endswith(':')]
        cmd = [TOOLS[tool], src] + [s for s in args if not s.endswith(':')] + [''.join(prefix) + dest]
    elif tool == 'tiffcp':
        cmd = [TOOLS[tool]] + args + [src, dest]
    elif tool == 'vips':
        cmd = [TOOLS[tool], 'copy', src, dest + ('[%s]' % ','.join(args) if args else '')]
    elif tool == 'oiio':
        cmd = [TOOLS[tool], src] + args + ['-o', dest]
    else:  # netpbm: the program and its options, the file on standard input
        with open(src, 'rb') as i, open(dest, 'wb') as o:
            subprocess.run(['/usr/bin/' + args[0]] + args[1:], stdin=i, stdout=o, stderr=subprocess.PIPE, check=True)
        return
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)

# Pillow's picture of a file as RGB, 16-bit grey by its high byte.
def pillow_rgb(path):
    im = Image.open(path)
    im.load()
    if im.mode in ('I', 'I;16', 'I;16B', 'I;16L'):
        g = (np.asarray(im).astype(np.uint32) >> 8).astype(np.uint8)
        return np.dstack([g, g, g])
    return np.asarray(im.convert('RGB'))

# ImageMagick's picture of a file as RGB: the reference for DCX, whose page
# palettes Pillow looks for at the end of the whole file.
def magick_rgb(path):
    rgb = subprocess.run([TOOLS['magick'], path, '-depth', '8', 'rgb:-'], stdout=subprocess.PIPE, check=True).stdout
    w, h = Image.open(path).size
    return np.frombuffer(rgb, np.uint8).reshape(h, w, 3)

def ext_of(path):
    return path.rsplit('.', 1)[1]

def tool_present(tool, args):
    if tool == 'pillow': return True
    if tool == 'netpbm': return os.access('/usr/bin/' + args[0], os.X_OK)
    return os.access(TOOLS[tool], os.X_OK)

# "world JOBS": JOBS holds one row a line, tool|file|source|args; the answer,
# JOBS.out, one line a row: absent, unmade WHY, noref WHY, or
# made WIDTH HEIGHT REFERENCE with the reference's RGB bytes in FILE.rgb.
def world(jobs):
    dirname = os.path.dirname(jobs)
    pics = pictures()
    out = []
    for line in open(jobs).read().splitlines():
        tool, dest, name, args = line.split('|')
        args = args.split()
        if not tool_present(tool, args):
            out.append('absent'); continue
        try:
            make(tool, dest, name, pics[name], args, dirname)
        except Exception as e:
            why = getattr(e, 'stderr', None) or str(e)
            out.append('unmade ' + ' '.join(str(why).split())[:200]); continue
        try:
            ref, kind = (magick_rgb(dest), 'magick') if ext_of(dest) == 'dcx' else (pillow_rgb(dest), 'pillow')
        except Exception as e:
            lossy = dest.endswith('.jpg') or 'jpeg' in args
            if lossy:
                out.append('noref ' + ' '.join(str(e).split())[:200]); continue
            ref, kind = as_rgb(name, pics[name]), 'source'
        ref.astype(np.uint8).tofile(dest + '.rgb')
        out.append('made %d %d %s' % (ref.shape[1], ref.shape[0], kind))
    open(jobs + '.out', 'w').write('\n'.join(out) + '\n')

# "decode FILE...": Pillow's RGB of each FILE into FILE.rgb, with FILE.size.
def decode(files):
    for f in files:
        try:
            ref = pillow_rgb(f)
        except Exception:
            continue
        ref.astype(np.uint8).tofile(f + '.rgb')
        open(f + '.size', 'w').write('%d %d\n' % (ref.shape[1], ref.shape[0]))

if sys.argv[1] == 'world':
    world(sys.argv[2])
else:
    decode(sys.argv[2:])
)PY";

std::string shellWord(const std::string& s) { return "'" + s + "'"; }

bool runWorldScript(const TempDir& dir, const std::string& args) {
  const bool written = (std::ofstream(dir.file("world.py")) << kWorldScript).good();
  return written &&
         std::system((std::string(kPython) + " " + shellWord(dir.file("world.py")) + " " + args).c_str()) == 0;
}

// Up to 8 bits a pixel, the file read in its own coding (bits or indices)
// and shown through its palette, or grey levels without one; else nothing.
Bytes codingAsRgb(TImageEnsemble& e) {
  const int coding = e.coding();
  if (coding != 1 && coding != 4 && coding != 8) return {};
  const size_t w = size_t(e.sizeX()), h = size_t(e.sizeY());
  const Bytes raw = readPixels(e, coding == 1 ? stOneBit : stUChar);
  const TqorPaletteItem* palette = e.hasPalette() ? e.getPalette() : nullptr;
  const size_t bitRow = size_t(TOneBitImage::getSizeOfRow(int(w)));
  Bytes rgb;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      const int v = coding == 1 ? raw[y * bitRow + x / 8] >> (7 - x % 8) & 1 : raw[y * w + x];
      const TqorPaletteItem c = palette ? palette[v] : TqorPaletteItem{uint8_t(v), uint8_t(v), uint8_t(v)};
      rgb.insert(rgb.end(), {c.red, c.green, c.blue});
    }
  return rgb;
}

// The largest difference of two samples, or 256 when the sizes differ.
int largestDifference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return 256;
  int d = 0;
  for (size_t k = 0; k < a.size(); ++k) d = std::max(d, std::abs(int(a[k]) - int(b[k])));
  return d;
}

// How far samples may differ: decoders of JPEG by 3, conversions of CMYK by 6.
int sampleTolerance(const WorldRow& r) {
  std::string words = std::string(r.source) + " " + r.args;
  std::transform(words.begin(), words.end(), words.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (words.find("cmyk") != std::string::npos) return 6;
  return std::string(r.ext) == "jpg" || words.find("jpeg") != std::string::npos ? 3 : 0;
}

// Files of the codec formats are left out of a build without their driver.
bool driverBuilt(const std::string& ext) {
  if (ext == "png") return QOR_WITH_PNG;
  if (ext == "jpg" || ext == "jpeg") return QOR_WITH_JPEG;
  if (ext == "tif" || ext == "tiff") return QOR_WITH_TIFF;
  return true;
}

struct Tally {
  int made = 0, opened = 0, refused = 0, wrong = 0;
  void add(const Tally& t) { made += t.made, opened += t.opened, refused += t.refused, wrong += t.wrong; }
};

TEST(World, ToolWrittenFilesReadWithTheirPixels) {
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  TempDir dir;
  std::vector<std::string> files;
  {
    std::ofstream jobs(dir.file("jobs"));
    for (const WorldRow& r : kWorld) {
      if (!driverBuilt(r.ext)) {
        files.push_back("");
        continue;
      }
      files.push_back(dir.file(r.tool + std::string("-") + std::to_string(files.size()) + "." + r.ext));
      jobs << r.tool << '|' << files.back() << '|' << r.source << '|' << r.args << '\n';
    }
  }
  ASSERT_TRUE(runWorldScript(dir, "world " + shellWord(dir.file("jobs"))));
  std::ifstream answers(dir.file("jobs.out"));
  std::map<std::string, Tally> tallies;  // by tool and format
  std::string notes;
  Manager manager;
  for (size_t k = 0; k < files.size(); ++k) {
    const WorldRow& r = kWorld[k];
    const std::string row = std::string(r.tool) + " " + r.ext + " " + r.source + " [" + r.args + "]";
    std::string line, state;
    if (files[k].empty()) continue;
    std::getline(answers, line);
    std::istringstream words(line);
    std::string kind;  // of the reference: pillow's or (for DCX) magick's decoding, or the source picture
    int w = 0, h = 0;
    words >> state >> w >> h >> kind;
    if (state != "made") {
      if (state != "absent") notes += "  not made: " + row + ": " + line + "\n";
      continue;
    }
    Tally& t = tallies[std::string(r.tool) + " " + r.ext];
    ++t.made;
    const Bytes want = readFile(files[k] + ".rgb");
    const int tolerance = sampleTolerance(r);
    if (kind == "source") notes += "  compared with the source picture (Pillow cannot read it): " + row + "\n";
    try {
      TImageEnsemble e(files[k].c_str(), manager.m);
      const int asRgb = e.sizeX() == w && e.sizeY() == h ? largestDifference(readPixels(e, stRGB), want) : 256;
      const Bytes own = codingAsRgb(e);
      const int asCoding = own.empty() ? 0 : largestDifference(own, want);
      if (asRgb > tolerance || asCoding > tolerance) {
        ++t.wrong;
        ADD_FAILURE() << row << ": opens with another picture (" << e.sizeX() << " x " << e.sizeY() << ", coding "
                      << e.coding() << "; largest difference as RGB " << asRgb << ", in its coding " << asCoding << ")";
      } else {
        ++t.opened;
      }
    } catch (const x_qor& x) {
      ++t.refused;
      notes += "  refused: " + row + ": " + x.msg() + "\n";
    }
  }
  Tally all;
  std::printf("%-8s %-6s %5s %5s %8s %6s\n", "tool", "format", "made", "open", "refused", "wrong");
  for (const auto& [key, t] : tallies) {
    std::printf("%-15s %5d %5d %8d %6d\n", key.c_str(), t.made, t.opened, t.refused, t.wrong);
    all.add(t);
  }
  const double share = all.made ? double(all.opened) / all.made : 0;
  std::printf("%-15s %5d %5d %8d %6d  (%.1f %% open)\n%s", "all", all.made, all.opened, all.refused, all.wrong,
              100 * share, notes.c_str());
  EXPECT_GE(share, kRequiredOpenShare) << all.opened << " of " << all.made << " tool-written files open";
}

// One file qorimg convert writes from the colour or the grey source.
struct QorimgRow {
  const char* ext;
  const char* source;  // colour.bmp (24 bits) or grey.bmp (8 bits, grey palette)
  const char* args;
};

const QorimgRow kQorimgWrites[] = {
    {"bmp", "colour", ""},
    {"bmp", "grey", ""},
    {"pcx", "colour", ""},
    {"pcx", "grey", ""},
    {"pcx", "colour", "--raw"},
    {"dcx", "colour", ""},
    {"dcx", "grey", ""},
    {"tga", "colour", ""},
    {"tga", "grey", ""},
    {"tga", "colour", "--rle"},
    {"tif", "colour", ""},
    {"tif", "grey", ""},
    {"png", "colour", ""},
    {"png", "grey", ""},
    {"png", "colour", "--level 1"},
    {"png", "colour", "--level 12"},
    {"jpg", "colour", "--quality 95"},
    {"jpg", "grey", ""},
};

// A test picture: gradients and runs.
void makeSource(TQORDataManager*& m, const std::string& path, bool colour) {
  constexpr int w = 37, h = 21;
  Bytes rgb;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      rgb.insert(rgb.end(), {uint8_t(x * 7), uint8_t(y % 3 ? y * 12 : x / 4 * 29), uint8_t(255 - x * 3 - y * 5)});
  TImageEnsemble e(path.c_str(), fiBmpFileInfo(colour ? 24 : 8, w, h), m);
  if (colour) {
    e.writeRGBImage(0, rgb.data());
    return;
  }
  TUCharImage* g = e.getEmptyUCharImage(0);
  for (int k = 0; k < w * h; ++k) g->elements()[k] = rgb[3 * size_t(k) + 1];
  for (int c = 0; c < 256; ++c) g->getPalette()[c] = TqorPaletteItem{uint8_t(c), uint8_t(c), uint8_t(c)};
  g->setPaletteSize(256);
  e.putImage(0);
}

TEST(World, QorimgFilesReadInPillowAndMagick) {
  if (!haveTool(QORIMG_PATH)) GTEST_SKIP() << QORIMG_PATH << " is not built";
  TempDir dir;
  Manager manager;
  makeSource(manager.m, dir.file("colour.bmp"), true);
  makeSource(manager.m, dir.file("grey.bmp"), false);
  std::vector<std::string> files;
  std::string decode = "decode";
  for (const QorimgRow& r : kQorimgWrites) {
    if (!driverBuilt(r.ext)) {
      files.push_back("");
      continue;
    }
    files.push_back(dir.file("out-" + std::to_string(files.size()) + "." + r.ext));
    const std::string cmd = QORIMG_PATH " convert " + shellWord(dir.file(r.source + std::string(".bmp"))) + " " +
                            shellWord(files.back()) + " " + r.args;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    decode += " " + shellWord(files.back());
    const std::string magick =
        std::string(kMagick) + " " + shellWord(files.back()) + " -depth 8 " + shellWord("rgb:" + files.back() + ".im");
    if (haveMagick()) {
      EXPECT_EQ(std::system(magick.c_str()), 0) << magick;
    }
  }
  if (havePillow()) {
    ASSERT_TRUE(runWorldScript(dir, decode));
  }
  for (size_t k = 0; k < files.size(); ++k) {
    const QorimgRow& r = kQorimgWrites[k];
    if (files[k].empty()) continue;
    SCOPED_TRACE(std::string(r.source) + " to " + r.ext + " " + r.args);
    // the source's pixels, or for JPEG what this library decodes
    const bool lossy = std::string(r.ext) == "jpg";
    Bytes want;
    try {
      TImageEnsemble e((lossy ? files[k] : dir.file(r.source + std::string(".bmp"))).c_str(), manager.m);
      want = readPixels(e, stRGB);
    } catch (const x_qor& x) {
      ADD_FAILURE() << x.msg();
      continue;
    }
    const int tolerance = lossy ? 3 : 0;
    // Pillow decodes PCX lines as run-length ones only, and looks for an
    // 8-bit page's palette at the end of a DCX file and its lines at offset 128
    const bool pillowReads = std::string(r.args).find("--raw") == std::string::npos && std::string(r.ext) != "dcx";
    if (havePillow() && pillowReads) {
      EXPECT_LE(largestDifference(readFile(files[k] + ".rgb"), want), tolerance) << "Pillow";
    }
    if (haveMagick()) {
      EXPECT_LE(largestDifference(readFile(files[k] + ".im"), want), tolerance) << "ImageMagick";
    }
  }
}

}  // namespace
