"""Makes the sample picture of the demo: a photo-like landscape with
scratches and a scribble on it, and the mask that marks them.

    .venv/bin/python scripts/make_sample.py            # samples/sample*.png
    .venv/bin/python scripts/make_sample.py --figure   # also docs/before_after.png

The picture is drawn here from seeded noise, so it is the project's own
and the same on every run. --figure repairs it with the installed
`patchwell` command and puts damaged and repaired side by side.
"""
import argparse
import os
import subprocess
import sys
import sysconfig

import numpy as np
from PIL import Image, ImageDraw

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
W, H = 240, 160


def smooth_noise(rng, h, w, cell):
    """Value noise: a coarse random grid upsampled with bicubic filtering."""
    grid = rng.random((h // cell + 3, w // cell + 3)).astype(np.float32)
    img = Image.fromarray(grid, mode="F").resize(
        ((w // cell + 3) * cell, (h // cell + 3) * cell), Image.BICUBIC)
    return np.asarray(img)[cell:cell + h, cell:cell + w]


def landscape(seed=2025, width=W, height=H):
    """The sample's landscape at any size: the scene scales with the
    picture, the grain of rock and grass stays a pixel's."""
    rng = np.random.default_rng(seed)
    sx, sy = width / W, height / H
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    y, x = y / sy, x / sx  # scene coordinates of the 240 x 160 sample
    img = np.zeros((height, width, 3), np.float32)

    def noise(h, w, cell):
        return smooth_noise(rng, h, w, max(1, int(round(cell * (sx + sy) / 2))))

    # Sky: a gradient with soft clouds and a low sun.
    t = y / H
    sky = np.stack([90 + 120 * t, 140 + 90 * t, 215 + 30 * t], -1)
    clouds = np.clip(noise(height, width, 24) * 1.6 - 0.7, 0, 1)[..., None]
    sky = sky * (1 - 0.7 * clouds) + 245 * 0.7 * clouds
    sun = np.exp(-(((x - 175) ** 2 + (y - 38) ** 2) / 90.0))[..., None]
    img[:] = sky * (1 - sun) + np.array([255, 240, 200]) * sun

    # Mountains: a ridge of sines and noise, rock texture, snow on the tops.
    xs = x[0]
    ridge = 70 + 14 * np.sin(xs / 23.0) + 9 * np.sin(xs / 7.3 + 1) \
        + 10 * noise(1, width, 16)[0]
    rock = (noise(height, width, 6) - 0.5) * 40 + rng.normal(0, 5, (height, width))
    mountain = (y > ridge[None, :])
    shade = np.clip((y - ridge[None, :]) / 40.0, 0, 1)
    rock_col = np.stack([105 + rock - 30 * shade, 110 + rock - 25 * shade,
                         125 + rock - 20 * shade], -1)
    snow = (y < ridge[None, :] + 9 - 6 * noise(height, width, 5)) & mountain
    img[mountain] = rock_col[mountain]
    img[snow] = (235 + rock[snow, None] * 0.2) * np.array([1.0, 1.0, 1.03])

    # Meadow: green grass with blades of noise, darker towards the front.
    horizon = 108 + 6 * np.sin(xs / 31.0) + 4 * noise(1, width, 12)[0]
    meadow = y > horizon[None, :]
    grass = rng.normal(0, 10, (height, width)) + (noise(height, width, 8) - 0.5) * 50
    depth = np.clip((y - horizon[None, :]) / 50.0, 0, 1)
    green = np.stack([70 + grass * 0.6 - 30 * depth, 125 + grass - 35 * depth,
                      45 + grass * 0.4 - 15 * depth], -1)
    img[meadow] = green[meadow]

    # A few dark trees on the horizon.
    for cx in rng.integers(10, W - 10, 7):
        col = int(cx * sx)
        top = int((horizon[col] - rng.integers(12, 22)) * sy)
        base = int((horizon[col] + 2) * sy)
        for row in range(top, base):
            half = max(1, int((row - top) / sy / 3 * sx))
            img[row, max(0, col - half):col + half + 1] = (35, 70 + (row % 3) * 6, 40)
    return np.clip(img, 0, 255).astype(np.uint8)


def damage():
    """The mask: two scratches, a scribble and a blot."""
    mask = Image.new("L", (W, H), 0)
    draw = ImageDraw.Draw(mask)
    draw.line([(12, 20), (96, 150)], fill=255, width=3)
    draw.line([(150, 8), (228, 60)], fill=255, width=2)
    draw.line([(40, 128), (70, 118), (100, 134), (130, 120), (160, 136)],
              fill=255, width=3)
    draw.ellipse([(184, 112), (202, 128)], fill=255)
    return np.asarray(mask)


def figure(damaged, repaired, path):
    gap, label = 6, 16
    out = Image.new("RGB", (2 * W + gap, H + label), (255, 255, 255))
    out.paste(Image.fromarray(damaged), (0, label))
    out.paste(Image.fromarray(repaired), (W + gap, label))
    draw = ImageDraw.Draw(out)
    draw.text((4, 2), "before: damaged sample", fill=(0, 0, 0))
    draw.text((W + gap + 4, 2), "after: patchwell sample.png sample_mask.png",
              fill=(0, 0, 0))
    out.save(path, optimize=True)


def source_mask_figure(path):
    """Repairs a blot at the foot of the trees twice: searching the whole
    picture (the trees grow down into the meadow) and with a source mask
    that excludes the trees (the meadow is rebuilt from meadow)."""
    import patchwell
    from PIL import ImageFilter
    img = landscape(width=480, height=320)
    r, g, b = (img[..., k].astype(int) for k in range(3))
    trees = (abs(r - 35) < 3) & (g >= 68) & (g <= 84) & (abs(b - 40) < 3)
    excluded = np.asarray(Image.fromarray(trees.astype(np.uint8) * 255)
                          .filter(ImageFilter.MaxFilter(5))) > 128
    blot = Image.new("L", (480, 320), 0)
    ImageDraw.Draw(blot).ellipse([(60, 215), (200, 262)], fill=255)
    hole = np.asarray(blot) > 128
    damaged = img.copy()
    damaged[hole] = (250, 250, 245)
    shown = damaged.copy()  # the excluded sources tinted
    shown[excluded & ~hole] = (shown[excluded & ~hole] * 0.5 + [120, 0, 120]).astype(np.uint8)
    results = []
    for source_mask in (None, ~excluded):
        out, _ = patchwell.repair(img, hole, 4, source_mask=source_mask)
        results.append(out)
    crop = lambda a: a[175:275, 40:220]
    panels = [crop(shown), crop(results[0]), crop(results[1])]
    scale, gap, label = 2, 6, 16
    ph, pw = panels[0].shape[0] * scale, panels[0].shape[1] * scale
    out = Image.new("RGB", (3 * pw + 2 * gap, ph + label), (255, 255, 255))
    draw = ImageDraw.Draw(out)
    texts = ["damaged; tinted: excluded by the source mask",
             "whole picture searched", "with the source mask"]
    for k, (panel, text) in enumerate(zip(panels, texts)):
        tile = Image.fromarray(panel).resize((pw, ph), Image.NEAREST)
        out.paste(tile, (k * (pw + gap), label))
        draw.text((k * (pw + gap) + 4, 2), text, fill=(0, 0, 0))
    out.save(path, optimize=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figure", action="store_true",
                        help="also repair the sample and write docs/before_after.png")
    parser.add_argument("--source-mask-figure", action="store_true",
                        help="write docs/source_mask.png (a repair with a source mask)")
    args = parser.parse_args()
    if args.source_mask_figure:
        path = os.path.join(ROOT, "docs", "source_mask.png")
        source_mask_figure(path)
        print(f"wrote {path}")
        return 0

    photo, mask = landscape(), damage()
    damaged = photo.copy()
    damaged[mask > 128] = (250, 250, 245)  # the scratches show white
    sample = os.path.join(ROOT, "samples", "sample.png")
    sample_mask = os.path.join(ROOT, "samples", "sample_mask.png")
    Image.fromarray(damaged).save(sample, optimize=True)
    Image.fromarray(mask).save(sample_mask, optimize=True)
    print(f"wrote {sample} and {sample_mask}")
    if args.figure:
        os.makedirs(os.path.join(ROOT, "out"), exist_ok=True)
        repaired = os.path.join(ROOT, "out", "sample_inpaint.png")
        exe = os.path.join(sysconfig.get_path("scripts"), "patchwell")
        subprocess.run([exe, sample, sample_mask, "-o", repaired, "-q"], check=True)
        path = os.path.join(ROOT, "docs", "before_after.png")
        figure(damaged, np.asarray(Image.open(repaired)), path)
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
