"""Peak memory and time of the `patchwell` command on decoder bombs.

Writes small hostile files that declare huge pictures, runs the command on
each under GNU time (`/usr/bin/time -v`, Debian package `time`) and prints
the peak resident memory, the wall time and how the command ended:

- jpeg-empty-scans.jpg: a progressive JPEG of a few hundred bytes that
  declares 26000 x 26000 pixels and holds two scans without data;
- jpeg-999-scans.jpg: a progressive JPEG of about 15 KB that declares
  26000 x 26000 pixels and holds 999 scans of one byte each;
- png-26000.png: a valid PNG of 26000 x 26000 black pixels (about 2 MB);
- text-sparse.txt: a sparse 1.5 GiB text file whose header is wrong.

With --max-pixels the command runs with that pixel limit (the default
limit refuses the 26000 x 26000 files from their header alone).

    python bench/decoder_bombs.py [--cli PATH] [--dir DIR] [--max-pixels N]
"""
import argparse
import io
import os
import re
import struct
import subprocess
import sysconfig
import tempfile
import zlib

import numpy as np
from PIL import Image

SIDE = 26000


def segments(jpeg):
    """(marker, bytes of the whole segment) up to the first SOS, then the
    scans as (SOS segment, entropy-coded data) pairs."""
    assert jpeg[:2] == b"\xff\xd8"
    pos, head, scans = 2, [], []
    while pos < len(jpeg):
        marker = jpeg[pos + 1]
        if marker == 0xD9:
            break
        length = struct.unpack(">H", jpeg[pos + 2:pos + 4])[0]
        seg = jpeg[pos:pos + 2 + length]
        pos += 2 + length
        if marker != 0xDA:
            (head if not scans else scans[-1][2]).append(seg)
            continue
        end = pos
        while not (jpeg[end] == 0xFF and jpeg[end + 1] not in (0,) and
                   not 0xD0 <= jpeg[end + 1] <= 0xD7):
            end += 1
        scans.append((seg, jpeg[pos:end], []))
        pos = end
    return head, scans


def with_size(head, width, height):
    out = []
    for seg in head:
        if seg[1] in (0xC0, 0xC1, 0xC2):
            seg = seg[:5] + struct.pack(">HH", height, width) + seg[9:]
        if seg[1] != 0xE0:  # drop the JFIF header, it is optional
            out.append(seg)
    return out


def progressive_source(subsampling):
    img = (np.arange(64 * 64 * 3) % 251).astype(np.uint8).reshape(64, 64, 3)
    buf = io.BytesIO()
    Image.fromarray(img).save(buf, "JPEG", progressive=True, quality=90,
                              subsampling=subsampling)
    return buf.getvalue()


def jpeg_empty_scans(width, height):
    head, scans = segments(progressive_source(0))
    body = b"".join(with_size(head, width, height))
    for sos, _, tables in scans[:2]:
        body += sos
        body += b"".join(tables)
    return b"\xff\xd8" + body + b"\xff\xd9"


def jpeg_many_scans(width, height, count=999):
    head, scans = segments(progressive_source(2))
    sos = scans[0][0]  # the DC scan of every component
    body = b"".join(with_size(head, width, height))
    body += (sos + b"\x00") * count
    return b"\xff\xd8" + body + b"\xff\xd9"


def black_png(width, height):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    row = b"\0" * (1 + 3 * width)
    z = zlib.compressobj(9)
    idat = b"".join(z.compress(row) for _ in range(height)) + z.flush()
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", idat) + chunk(b"IEND", b""))


def write_bombs(folder):
    files = {
        "jpeg-empty-scans.jpg": jpeg_empty_scans(SIDE, SIDE),
        "jpeg-999-scans.jpg": jpeg_many_scans(SIDE, SIDE),
    }
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    png = os.path.join(folder, "png-26000.png")
    if not os.path.exists(png):
        with open(png, "wb") as f:
            f.write(black_png(SIDE, SIDE))
    text = os.path.join(folder, "text-sparse.txt")
    with open(text, "wb") as f:
        f.write(b"NHORZ\n")  # no number: the header is wrong
        f.truncate(3 << 29)
    Image.fromarray(np.zeros((4, 4), np.uint8)).save(os.path.join(folder, "mask.png"))
    return ["jpeg-empty-scans.jpg", "jpeg-999-scans.jpg", "png-26000.png",
            "text-sparse.txt"]


def measure(cli, folder, name, extra):
    cmd = ["/usr/bin/time", "-v", cli, os.path.join(folder, name),
           os.path.join(folder, "mask.png"), "-o", os.path.join(folder, "out.png"),
           "-q", *extra]
    r = subprocess.run(cmd, capture_output=True, text=True)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", r.stderr)
    wall = re.search(r"Elapsed \(wall clock\) time.*: (\S+)", r.stderr)
    said = [l for l in r.stderr.splitlines() if l.startswith("patchwell:")]
    return int(rss.group(1)) / 1024 if rss else float("nan"), \
        wall.group(1) if wall else "?", said[0] if said else ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cli", default=os.path.join(sysconfig.get_path("scripts"), "patchwell"))
    ap.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "patchwell-bombs"))
    ap.add_argument("--max-pixels", type=int)
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    extra = ["--max-pixels", str(args.max_pixels)] if args.max_pixels else []
    for name in write_bombs(args.dir):
        size = os.path.getsize(os.path.join(args.dir, name))
        rss, wall, said = measure(args.cli, args.dir, name, extra)
        print(f"{name:22s} {size:>12d} bytes  peak {rss:8.1f} MiB  {wall:>8s}  {said}")


if __name__ == "__main__":
    main()
