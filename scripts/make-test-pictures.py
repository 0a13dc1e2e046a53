#!/usr/bin/python3
"""Writes the seed corpus of the picture-reader fuzzer: small pictures of
every PNG, JPEG and BMP variant the reader accepts, a few it refuses, and a
few damaged ones. PNG and BMP files are assembled here byte by byte so that
every variant is exactly what its name says; JPEGs come from Pillow.

Usage: scripts/make-test-pictures.py   (rewrites tests/fuzz/corpus/)
"""
import io
import os
import struct
import zlib

import numpy as np
from PIL import Image

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fuzz", "corpus")
SIZE = 8
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def pack_row(samples, depth):
    """Packs one row of integer samples at the given bit depth."""
    if depth == 16:
        return b"".join(struct.pack(">H", int(v)) for v in samples)
    if depth == 8:
        return bytes(int(v) for v in samples)
    bits = "".join(format(int(v), "0%db" % depth) for v in samples)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


def png(samples, colour_type, depth, interlaced=False, palette=None, trns=None):
    """samples: height x width x channels integers."""
    height, width = samples.shape[:2]
    raw = b""
    passes = ADAM7 if interlaced else [(0, 0, 1, 1)]
    for x0, y0, dx, dy in passes:
        part = samples[y0::dy, x0::dx]
        for row in part:
            raw += b"\0" + pack_row(row.reshape(-1), depth)
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                                       1 if interlaced else 0))
    if palette is not None:
        data += chunk(b"PLTE", bytes(v for colour in palette for v in colour))
    if trns is not None:
        data += chunk(b"tRNS", trns)
    data += chunk(b"IDAT", zlib.compress(raw, 9))
    return data + chunk(b"IEND", b"")


def bmp(pixels, bits, palette=(), top_down=False, compression=0, masks=(), header=40):
    """pixels: rows top first of palette indices or packed pixel values."""
    height, width = len(pixels), len(pixels[0])
    row_bytes = (width * bits + 31) // 32 * 4
    rows = []
    for row in pixels:
        if bits <= 8:
            packed = pack_row(row, bits)
        else:
            packed = b"".join(int(v).to_bytes(bits // 8, "little") for v in row)
        rows.append(packed + b"\0" * (row_bytes - len(packed)))
    if not top_down:
        rows.reverse()
    entry = 3 if header == 12 else 4
    colours = b"".join(bytes((b, g, r)) + b"\0" * (entry - 3) for r, g, b in palette)
    mask_bytes = b"".join(struct.pack("<I", m) for m in masks)
    if header == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", header, width, -height if top_down else height, 1,
                           bits, compression, row_bytes * height, 2835, 2835, len(palette), 0)
        if header > 40:
            info += mask_bytes.ljust(header - 40, b"\0")
            mask_bytes = b""
    offset = 14 + len(info) + len(mask_bytes) + len(colours)
    body = info + mask_bytes + colours + b"".join(rows)
    return b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, offset) + body


def jpeg(image, **options):
    out = io.BytesIO()
    image.save(out, "JPEG", **options)
    return out.getvalue()


def main():
    os.makedirs(CORPUS, exist_ok=True)
    for name in os.listdir(CORPUS):
        os.remove(os.path.join(CORPUS, name))
    y, x = np.mgrid[0:SIZE, 0:SIZE]
    ramp = (x * 32 + y * 4) % 256
    rgb = np.stack([ramp, (255 - ramp), (x * y * 4) % 256], axis=-1)
    files = {}
    for depth in (1, 2, 4, 8, 16):
        files["grey%d.png" % depth] = png((ramp % (1 << depth))[..., None], 0, depth)
    files["grey-alpha.png"] = png(np.stack([ramp, 255 - ramp], axis=-1), 4, 8)
    palette = [(i * 16, 255 - i * 16, i * 8) for i in range(16)]
    files["palette4.png"] = png((ramp % 16)[..., None], 3, 4, palette=palette)
    files["palette8-trns.png"] = png((ramp % 16)[..., None], 3, 8, palette=palette,
                                     trns=bytes([0, 128]))
    files["rgb.png"] = png(rgb, 2, 8)
    files["rgb16.png"] = png(rgb * 257, 2, 16)
    files["rgb-key.png"] = png(rgb, 2, 8, trns=struct.pack(">HHH", 0, 255, 0))
    files["rgba.png"] = png(np.concatenate([rgb, ramp[..., None]], axis=-1), 6, 8)
    files["rgb-interlaced.png"] = png(rgb, 2, 8, interlaced=True)
    files["grey-interlaced16.png"] = png((ramp * 257)[..., None], 0, 16, interlaced=True)

    colour = Image.fromarray(rgb.astype(np.uint8), "RGB")
    files["baseline.jpg"] = jpeg(colour, quality=90)
    files["progressive.jpg"] = jpeg(colour, quality=90, progressive=True)
    files["grey.jpg"] = jpeg(colour.convert("L"), quality=90)
    files["cmyk.jpg"] = jpeg(colour.convert("CMYK"), quality=90)

    indices = (ramp % 16).tolist()
    bmp_palette = palette
    files["1bit.bmp"] = bmp((ramp % 2).tolist(), 1, bmp_palette[:2])
    files["4bit.bmp"] = bmp(indices, 4, bmp_palette)
    files["8bit-top-down.bmp"] = bmp(indices, 8, bmp_palette, top_down=True)
    files["8bit-core.bmp"] = bmp(indices, 8, bmp_palette, header=12)
    packed24 = (rgb[..., 0] << 16 | rgb[..., 1] << 8 | rgb[..., 2]).tolist()
    files["24bit.bmp"] = bmp(packed24, 24)
    files["24bit-top-down.bmp"] = bmp(packed24, 24, top_down=True)
    files["32bit.bmp"] = bmp(packed24, 32)
    files["32bit-alpha-v5.bmp"] = bmp([[v | 0x80000000 for v in row] for row in packed24], 32,
                                      compression=3, header=124,
                                      masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000))
    packed565 = ((rgb[..., 0] >> 3) << 11 | (rgb[..., 1] >> 2) << 5 | rgb[..., 2] >> 3).tolist()
    files["16bit-565.bmp"] = bmp(packed565, 16, compression=3, masks=(0xF800, 0x07E0, 0x001F))
    files["rle8.bmp"] = bmp(indices, 8, bmp_palette, compression=1)

    files["truncated.png"] = files["rgb.png"][:60]
    files["truncated.jpg"] = files["baseline.jpg"][: len(files["baseline.jpg"]) // 2]
    files["offset-past-end.bmp"] = files["24bit.bmp"][:10] + struct.pack("<I", 1 << 20) + \
        files["24bit.bmp"][14:]
    # Only padding is lost, but the file is shorter than its header says.
    files["truncated-padding.bmp"] = files["1bit.bmp"][:-3]
    files["text.txt"] = b"not a picture\n"

    for name, data in sorted(files.items()):
        with open(os.path.join(CORPUS, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
