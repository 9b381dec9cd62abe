"""How well patchwell.find_damage finds synthetic damage on real photos.

Photos that scikit-image ships (`pip install -r requirements-bench.txt`)
get a film grain, then one kind of damage each: soft-edged dust specks
(dark as on prints, bright as on scans of negatives), curved fibres and
straight scratches (dark and bright), or dust and hairs that also darken a
synthetic infrared channel. A damaged pixel counts when a defect covers at
least half of it and changes it by at least 24 levels; a marked pixel more
than 2 pixels from any defect is a false positive. Clean grainy photos show
how much texture is mistaken for damage. The end-to-end figure repairs the
picture with the mask found and with the true mask (every pixel a defect
touches) and tells how much of the damage's squared error against the
undamaged photo the found mask removes, as a share of what the true mask
removes. Last, the time of find_damage on a 12-megapixel picture (the
median of five runs).

    python bench/find_quality.py [--size 512] [--threads 2] [--no-repair]
                                 [--kinds dust,scratches]

`--kinds` chooses what find_damage looks for in the picture scenes (the
infrared scene always looks for infrared damage alone): `--kinds
scratches` gives the fibres', the scratches' and the clean photos' figures
of the line finder alone.
"""
import argparse
import time

import numpy as np
import patchwell
import skimage.data as data
from scipy import ndimage
from scipy.spatial import cKDTree

from radius_quality import picture

PHOTOS = ["astronaut", "camera", "chelsea", "coffee", "rocket", "grass", "gravel"]
VISIBLE = 24  # levels a defect must change a pixel by to count


def photo(name, size):
    """The centred square crop radius_quality.py takes, as floats."""
    return picture(name, size).astype(np.float64)


def grain(img, rng, strength=5.0):
    """Film grain: blurred noise, strongest in the mid-tones."""
    noise = ndimage.gaussian_filter(rng.normal(0, 1, img.shape[:2]), 0.7) * 2.2
    luma = img.mean(axis=2, keepdims=True) / 255
    amplitude = strength * (0.4 + 2.4 * luma * (1 - luma))
    return np.clip(img + noise[..., None] * amplitude, 0, 255)


def profile(distance, half_width, softness):
    return 1 / (1 + np.exp((distance - half_width) / softness))


def specks(shape, rng, count, margin=8):
    """Soft-edged, slightly elliptic specks of 2 to 14 pixels across, their
    centres at least `margin` pixels inside the picture."""
    h, w = shape
    cover, alpha = np.zeros(shape), np.zeros(shape)
    for _ in range(count):
        cy, cx = rng.uniform(margin, h - margin), rng.uniform(margin, w - margin)
        radius = rng.uniform(1.0, 7.0)
        stretch, angle = rng.uniform(0.7, 1.3), rng.uniform(0, np.pi)
        y0, y1 = int(max(cy - 12, 0)), int(min(cy + 13, h))
        x0, x1 = int(max(cx - 12, 0)), int(min(cx + 13, w))
        yy, xx = np.mgrid[y0:y1, x0:x1]
        u = (xx - cx) * np.cos(angle) + (yy - cy) * np.sin(angle)
        v = -(xx - cx) * np.sin(angle) + (yy - cy) * np.cos(angle)
        d = np.hypot(u * stretch, v / stretch)
        c = profile(d, radius, rng.uniform(0.3, 1.0))
        add(cover, alpha, (slice(y0, y1), slice(x0, x1)), c, rng.uniform(0.6, 1.0))
    return cover, alpha


def curve(rng, h, w, length, bend):
    """Points 0.5 px apart along a smooth random curve (bend 0: straight)."""
    y, x = rng.uniform(0, h), rng.uniform(0, w)
    heading, turn = rng.uniform(0, 2 * np.pi), 0.0
    points = []
    for _ in range(int(length * 2)):
        points.append((y, x))
        turn = 0.98 * turn + rng.normal(0, bend)
        heading += turn
        y, x = y + 0.5 * np.sin(heading), x + 0.5 * np.cos(heading)
    return np.array(points)


def lines(shape, rng, count, straight):
    h, w = shape
    cover, alpha = np.zeros(shape), np.zeros(shape)
    for _ in range(count):
        if straight:
            pts = curve(rng, h, w, rng.uniform(0.3, 0.8) * min(h, w), 0.0)
            half = rng.uniform(0.5, 1.5)
        else:
            pts = curve(rng, h, w, rng.uniform(30, 150), 0.002)
            half = rng.uniform(0.4, 1.2)
        stroke(cover, alpha, pts, half, rng, (0.5, 0.9))
    return cover, alpha


def stroke(cover, alpha, pts, half, rng, opacity):
    """One line along the points, `half` its half width, of an opacity
    drawn from the range."""
    h, w = cover.shape
    y0, x0 = np.maximum(pts.min(axis=0).astype(int) - 5, 0)
    y1, x1 = np.minimum(pts.max(axis=0).astype(int) + 6, [h, w])
    if y1 <= y0 or x1 <= x0:
        return
    yy, xx = np.mgrid[y0:y1, x0:x1]
    d, _ = cKDTree(pts).query(np.stack([yy.ravel(), xx.ravel()], axis=1))
    c = profile(d.reshape(yy.shape), half, rng.uniform(0.3, 0.7))
    add(cover, alpha, (slice(y0, y1), slice(x0, x1)), c, rng.uniform(*opacity))


def add(cover, alpha, box, c, opacity):
    """One defect: `c` its cover of each pixel, `opacity` how much of the
    picture it hides where it covers all."""
    cover[box] = np.maximum(cover[box], c)
    alpha[box] = np.maximum(alpha[box], c * opacity)


def damage(clean, alpha, rng):
    """Half the defects dark, half bright, by connected region."""
    labels, n = ndimage.label(alpha > 0.02)
    bright = rng.random(n + 1) < 0.5
    tone = np.where(bright[labels], rng.uniform(215, 255), rng.uniform(0, 40))
    return np.clip(clean * (1 - alpha[..., None]) + tone[..., None] * alpha[..., None], 0, 255)


def score(found, clean, damaged, cover, alpha):
    changed = np.abs(damaged - clean).max(axis=2) >= VISIBLE
    counted = changed & (cover >= 0.5)
    allowed = ndimage.binary_dilation(alpha > 0.02, iterations=2)
    recall = (found & counted).sum() / max(counted.sum(), 1)
    false = (found & ~allowed).sum() / found.size
    return recall, false


def removed_share(clean, damaged, found, truth, args):
    """The share of the damage's squared error that the found mask removes,
    against what the true mask removes."""
    picture = np.rint(damaged).astype(np.uint8)  # what a file would hold

    def error(mask):
        out = picture
        if mask.any():
            out, _ = patchwell.repair(picture, mask, 3,
                                      search_radius=args.search_radius, device="cpu")
        return ((out.astype(np.float64) - clean) ** 2).sum()
    # Error before any repair, measured on the same 8-bit picture, so that
    # rounding does not count as damage left or removed.
    before = error(np.zeros(found.shape, bool))
    gain = before - error(truth)
    # No visible damage to remove (the defects fell off the picture): no figure.
    return (before - error(found)) / gain if gain > 1e-6 * before else float("nan")


def infrared_scene(clean, rng, count):
    h, w = clean.shape[:2]
    (c1, a1), (c2, a2) = specks((h, w), rng, count), lines((h, w), rng, count // 4, False)
    cover, alpha = np.maximum(c1, c2), np.maximum(a1, a2)
    yy, xx = np.mgrid[0:h, 0:w]
    level = 52000 - 9000 * (((yy - h / 2) / h) ** 2 + ((xx - w / 2) / w) ** 2)
    leak = 900 * (clean.mean(axis=2) / 255 - 0.5)  # the dyes show faintly
    ir = level + leak + rng.normal(0, 350, (h, w))
    ir = ir * (1 - 0.85 * alpha)
    damaged = np.clip(clean * (1 - alpha[..., None]) + 20 * alpha[..., None], 0, 255)
    return damaged, cover, alpha, np.clip(ir, 0, 65535).astype(np.uint16)


def run(args):
    rng = np.random.default_rng(7)
    rows = []
    for name in PHOTOS:
        clean = grain(photo(name, args.size), rng)
        n = clean.shape[0] * clean.shape[1] // 6000
        row = {"photo": name}
        plain = patchwell.find_damage(clean.astype(np.uint8), args.kinds)
        row["clean"] = plain.mean()
        scenes = {"dust": specks(clean.shape[:2], rng, n),
                  "fibres": lines(clean.shape[:2], rng, max(n // 6, 2), False),
                  "scratches": lines(clean.shape[:2], rng, max(n // 12, 2), True)}
        for kind, (cover, alpha) in scenes.items():
            damaged = damage(clean, alpha, rng)
            found = patchwell.find_damage(damaged.astype(np.uint8), args.kinds)
            row[kind] = score(found, clean, damaged, cover, alpha)
            if args.repair and kind != "scratches":
                row[kind + " e2e"] = removed_share(clean, damaged, found, alpha > 0.02, args)
        damaged, cover, alpha, ir = infrared_scene(clean, rng, n)
        found = patchwell.find_damage(damaged.astype(np.uint8), "infrared", infrared=ir)
        row["infrared"] = score(found, clean, damaged, cover, alpha)
        rows.append(row)
        print(format_row(row), flush=True)
    print("mean".ljust(10) + "  " + "  ".join(
        f"{kind}: recall {np.mean([r[kind][0] for r in rows]):.3f} "
        f"fp {100 * np.mean([r[kind][1] for r in rows]):.3f} %"
        for kind in ("dust", "fibres", "scratches", "infrared")))
    print(f"clean photos: at most {100 * max(r['clean'] for r in rows):.3f} % marked")


def format_row(row):
    parts = [f"clean {100 * row['clean']:.3f} %"]
    for kind in ("dust", "fibres", "scratches", "infrared"):
        recall, false = row[kind]
        parts.append(f"{kind} {recall:.3f}/{100 * false:.3f}%")
        if kind + " e2e" in row:
            parts.append(f"e2e {row[kind + ' e2e']:.2f}")
    return row["photo"].ljust(10) + "  " + "  ".join(parts)


def timing(threads, kinds):
    patchwell.set_num_threads(threads)
    tile = np.ascontiguousarray(data.astronaut())
    big = np.tile(tile, (6, 8, 1))[:3000, :4000]
    patchwell.find_damage(big, kinds)
    times = []
    for _ in range(5):
        start = time.perf_counter()
        patchwell.find_damage(big, kinds)
        times.append(time.perf_counter() - start)
    print(f"12 MP (4000 x 3000 RGB), {kinds}, {threads} threads: median of 5 "
          f"{np.median(times):.2f} s (from {min(times):.2f} to {max(times):.2f})")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--search-radius", type=int, default=32)
    parser.add_argument("--no-repair", dest="repair", action="store_false")
    parser.add_argument("--no-timing", dest="timing", action="store_false")
    parser.add_argument("--photos", default=",".join(PHOTOS))
    parser.add_argument("--kinds", default="dust,scratches",
                        help="what find_damage looks for in the picture scenes")
    arguments = parser.parse_args()
    PHOTOS = arguments.photos.split(",")
    run(arguments)
    if arguments.timing:
        timing(arguments.threads, arguments.kinds)
