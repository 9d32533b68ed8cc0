# Writes the seed corpus of the GeoTIFF reader's fuzz target
# (fuzz/corpus/geotiff/), TIFFs built byte by byte: small DEMs of every
# layout the direct reader takes (strips, tiles, both byte orders, BigTIFF,
# each sample type, a nodata), one it leaves to GDAL (FillOrder 2), and
# headers claiming sizes the file cannot hold.
#   python3 fuzz/make_tiff_seeds.py
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "geotiff")
SIZES = {2: 1, 3: 2, 4: 4, 16: 8}  # ASCII, SHORT, LONG, LONG8
TYPES = {"Byte": (8, 1, "B"), "Int16": (16, 2, "h"), "UInt16": (16, 1, "H"), "Int32": (32, 2, "i"),
         "UInt32": (32, 1, "I"), "Float32": (32, 3, "f"), "Float64": (64, 3, "d")}


def tiff(entries, data, bigtiff=False, big_endian=False):
    """One directory of (tag, type, values) entries, then data; the values
    of StripOffsets and TileOffsets count from the data's first byte."""
    o = ">" if big_endian else "<"
    entries = sorted(entries)
    head, number, entry, word = (16, "Q", 20, 8) if bigtiff else (8, "H", 12, 4)
    spill = head + struct.calcsize(number) + len(entries) * entry + word
    start = spill + sum(len(v) * SIZES[t] for _, t, v in entries if len(v) * SIZES[t] > word)
    out = (b"MM" if big_endian else b"II") + struct.pack(o + "H", 43 if bigtiff else 42)
    out += struct.pack(o + "HHQ", 8, 0, head) if bigtiff else struct.pack(o + "I", head)
    out += struct.pack(o + number, len(entries))
    extra = b""
    for tag, typ, values in entries:
        if tag in (273, 324):
            values = [v + start for v in values]
        code = {2: "B", 3: "H", 4: "I", 16: "Q"}[typ]
        packed = struct.pack(o + code * len(values), *values)
        out += struct.pack(o + "HH" + ("Q" if bigtiff else "I"), tag, typ, len(values))
        if len(packed) > word:
            out += struct.pack(o + ("Q" if bigtiff else "I"), spill + len(extra))
            extra += packed
        else:
            out += packed.ljust(word, b"\0")
    out += b"\0" * word  # no other directory
    return out + extra + data


def dem(name, typ="Int16", rows=7, cols=9, block=(0, 3), big_endian=False, bigtiff=False, nodata=None, extra=()):
    """rows x cols cells of type in strips of block[1] rows (block[0] == 0)
    or tiles of block[0] x block[1], stored one after another."""
    bits, fmt, code = TYPES[typ]
    o = ">" if big_endian else "<"
    tw, th = block
    tiled = tw > 0
    bw = tw if tiled else cols
    nbx, nby = ((cols + bw - 1) // bw), (rows + th - 1) // th
    data, offsets, counts = b"", [], []
    for by in range(nby):
        for bx in range(nbx):
            n = bw * (th if tiled else min(th, rows - by * th))
            values = [(by * 31 + bx * 17 + k * 7) % 120 - (0 if code in "BHI" else 40) for k in range(n)]
            block_bytes = struct.pack(o + code * n, *values)
            offsets.append(len(data))
            counts.append(len(block_bytes))
            data += block_bytes
    off = 16 if bigtiff else 4
    e = [(256, 4, [cols]), (257, 4, [rows]), (258, 3, [bits]), (259, 3, [1]), (262, 3, [1]), (277, 3, [1]),
         (284, 3, [1]), (339, 3, [fmt])]
    if tiled:
        e += [(322, 4, [tw]), (323, 4, [th]), (324, off, offsets), (325, 4, counts)]
    else:
        e += [(278, 4, [th]), (273, off, offsets), (279, 4, counts)]
    if nodata is not None:
        e.append((42113, 2, list(nodata.encode() + b"\0")))
    e += list(extra)
    write(name, tiff(e, data, bigtiff, big_endian))


def write(name, b):
    with open(os.path.join(HERE, name + ".tif"), "wb") as f:
        f.write(b)


os.makedirs(HERE, exist_ok=True)
dem("int16_strips_le")
dem("int16_strips_be_nodata", big_endian=True, nodata="-40")
dem("int16_tiles_le", rows=20, cols=18, block=(16, 16))
dem("uint16_bigtiff_be", typ="UInt16", big_endian=True, bigtiff=True)
dem("int32_tiles_bigtiff", typ="Int32", rows=17, cols=17, block=(16, 16), bigtiff=True, nodata="7")
dem("byte_one_strip", typ="Byte", block=(0, 7))
dem("uint32_strips1_be", typ="UInt32", block=(0, 1), big_endian=True)
dem("float32_tiles_be_nodata", typ="Float32", rows=16, cols=32, block=(16, 16), big_endian=True, nodata="-40")
dem("float64_strips_le", typ="Float64", block=(0, 2))
dem("int16_fillorder2", extra=[(266, 3, [2])])
i16 = [(256, 4, [3]), (257, 4, [2147483647]), (258, 3, [16]), (259, 3, [1]), (262, 3, [1]), (277, 3, [1]),
       (284, 3, [1]), (339, 3, [2])]
write("claims_3x2147483647_one_strip", tiff(i16 + [(278, 4, [2147483647]), (273, 4, [0]), (279, 4, [4294967295])],
                                            bytes(64)))
i16[1] = (257, 4, [2147483632])
i16[0] = (256, 4, [16])
write("claims_tiles_16x2147483632", tiff(i16 + [(322, 4, [16]), (323, 4, [2147483632]), (324, 4, [0]),
                                                (325, 4, [4294967295])], bytes(64)))
