"""How well each window radius repairs real photos: PSNR of the repaired
pixels against the originals, per radius and kind of damage.

Photos and textures that scikit-image ships (no download; install it with
`pip install -r requirements-bench.txt`) are damaged on purpose (thin
scratches, dust specks, a square hole), repaired with the exhaustive method
at each radius, and compared with the undamaged picture over the damaged
pixels only. Prints one table per kind of damage (PSNR in dB per picture
and the mean, higher is better) and the time each radius took. This is how
the command's default radius was chosen; it is a measurement, not a test.

    python bench/radius_quality.py [--radii 2,3,4,5,7,9] [--size 384] [--device cpu]

With --search-radii it measures the search radius instead, at window
radius 3, on the holes of bench/damage_kinds.py (three 56 pixel discs in
each of five textured photos) and on one 120 pixel disc or square in the
middle of the same photos, where a bounded search from the centre of the
hole may reach only pixels filled before: PSNR, texture kept, the share
of hole pixels copied straight from undamaged ones ("real"), the time of
the exhaustive search of the holes and its work (billions of pixel and
window pairs scored, which the time follows), per search radius. "none" searches the
whole picture; "d+K" is max(48, d + 2 * radius + K), with d the largest
distance (in both axes) from a hole pixel to the nearest undamaged one.

    python bench/radius_quality.py --search-radii 24,32,48,64,96,none,d+0,d+16
"""
import argparse
import os
import sys
import time

import numpy as np
import patchwell
import skimage.data as data

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damage_kinds as dk  # noqa: E402

PICTURES = ["astronaut", "camera", "coffee", "chelsea", "rocket", "brick", "gravel"]


def picture(name, size):
    img = getattr(data, name)()
    if img.ndim == 2:
        img = np.dstack([img] * 3)
    h, w = img.shape[:2]
    s = min(size, h, w)
    y, x = (h - s) // 2, (w - s) // 2
    return np.ascontiguousarray(img[y:y + s, x:x + s, :3])


def scratches(shape, rng, count=12):
    """Thin lines, one or two pixels wide, across the picture."""
    h, w = shape
    mask = np.zeros(shape, bool)
    for _ in range(count):
        y0, x0 = rng.uniform(0, h), rng.uniform(0, w)
        angle, length = rng.uniform(0, np.pi), rng.uniform(0.2, 0.5) * min(h, w)
        width = rng.integers(1, 3)
        for t in np.linspace(0, length, int(length) * 2):
            y, x = int(y0 + t * np.sin(angle)), int(x0 + t * np.cos(angle))
            mask[max(y, 0):y + width, max(x, 0):x + width] = True
    return mask


def dust(shape, rng, count=None):
    """Specks of one to three pixels across, about 1 % of the picture."""
    h, w = shape
    count = count or h * w // 400
    mask = np.zeros(shape, bool)
    for _ in range(count):
        y, x, r = rng.integers(0, h), rng.integers(0, w), rng.integers(1, 4)
        mask[y:y + r, x:x + r] = True
    return mask


def hole(shape, side):
    mask = np.zeros(shape, bool)
    h, w = shape
    mask[(h - side) // 2:(h + side) // 2, (w - side) // 2:(w + side) // 2] = True
    return mask


BIG_HOLES = {"disc 120": "disc", "square 120": "square"}


def search_cases(case):
    """(name, photo, hole mask) of the search study: the holes of the
    damage kinds ("disc 56"), or one disc or square 120 pixels across in the
    middle of each of the same photos."""
    if case == "disc 56":
        return dk.cases("holes")
    out = []
    for name, rows, cols in dk.CROPS["holes"]:
        img = dk.crop(name, rows, cols)
        h, w = img.shape[:2]
        yy, xx = np.mgrid[0:h, 0:w]
        dy, dx = np.abs(yy - (h - 1) / 2), np.abs(xx - (w - 1) / 2)
        if BIG_HOLES[case] == "disc":
            mask = dy ** 2 + dx ** 2 < 60 ** 2
        else:
            mask = (dy < 60) & (dx < 60)
        out.append((name, img, mask))
    return out


def search_radius_for(rule, mask, radius):
    """The search radius a rule gives for this damage: a number, "none"
    (None, the whole picture) or "d+K"."""
    if rule == "none":
        return None
    if rule.startswith("d+"):
        return max(48, dk.largest_depth(dk.split(mask, radius)[0]) + 2 * radius + int(rule[2:]))
    return int(rule)


def real_share(sources, hole, mask):
    """The share of the hole's pixels copied straight from undamaged ones
    (the rest copy pixels filled before them)."""
    taken = sources[hole]
    return float((~mask.ravel()[taken[taken >= 0]]).sum() / hole.sum())


def candidate_pairs(mask, search_radius, radius):
    """How many (pixel, candidate window) pairs the exhaustive search scores
    for this mask: the work, free of the timing noise of a shared machine.
    Candidates are the whole windows centred within the search radius."""
    h, w = mask.shape
    ys, xs = np.nonzero(mask)
    s = max(h, w) if search_radius is None else search_radius
    across = np.minimum(xs + s, w - 1 - radius) - np.maximum(xs - s, radius) + 1
    down = np.minimum(ys + s, h - 1 - radius) - np.maximum(ys - s, radius) + 1
    return int((across.astype(np.int64) * down).sum())


def search_study(rules, device):
    import quality_kinds as qk

    radius = qk.WINDOW_RADIUS
    for case in ["disc 56"] + list(BIG_HOLES):
        cases = search_cases(case)
        print("\nholes: %s px (%s); exhaustive search, window radius %d, device %s"
              % (case, ", ".join(n for n, _, _ in cases), radius, device))
        print("the photos' own texture ratio: %.2f"
              % np.mean([dk.texture_kept(img, mask) for _, img, mask in cases]))
        print("%-8s %8s %9s %9s %8s %9s %9s"
              % ("search", "radius", "PSNR dB", "texture", "real", "time s", "pairs G"))
        for rule in rules:
            scores, textures, reals, seconds, pairs, used = [], [], [], 0.0, 0, set()
            for _, img, mask in cases:
                s = search_radius_for(rule, mask, radius)
                used.add("none" if s is None else str(s))
                damaged = dk.painted(img, mask)
                t = time.perf_counter()
                out, hole, _, sources = qk.fill_holes(damaged, mask, s, device)
                seconds += time.perf_counter() - t
                pairs += candidate_pairs(hole, s, radius)
                scores.append(dk.psnr(out, img, mask))
                textures.append(dk.texture_kept(out, mask))
                reals.append(real_share(sources, hole, mask))
            print("%-8s %8s %9.2f %9.2f %8.2f %9.2f %9.2f"
                  % (rule, "/".join(sorted(used)), np.mean(scores), np.mean(textures),
                     np.mean(reals), seconds, pairs / 1e9), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--search-radii", help="measure these search radii instead (numbers, "
                    "none, d+K)")
    ap.add_argument("--radii", default="2,3,4,5,7,9")
    ap.add_argument("--size", type=int, default=384)
    ap.add_argument("--pictures", default=",".join(PICTURES))
    ap.add_argument("--device", default="cpu")
    args = ap.parse_args()
    if args.search_radii:
        search_study(args.search_radii.split(","), args.device)
        return
    radii = [int(r) for r in args.radii.split(",")]
    names = args.pictures.split(",")
    rng = np.random.default_rng(2024)
    pictures = {n: picture(n, args.size) for n in names}
    damages = {}
    for n, img in pictures.items():
        shape = img.shape[:2]
        damages[n] = {
            "scratches": scratches(shape, rng),
            "dust": dust(shape, rng),
            "hole %d" % (args.size // 12): hole(shape, args.size // 12),
            "hole %d" % (args.size // 6): hole(shape, args.size // 6),
        }
    kinds = list(next(iter(damages.values())))
    scores = {k: {r: [] for r in radii} for k in kinds}
    seconds = {r: 0.0 for r in radii}
    for r in radii:
        for n, img in pictures.items():
            for k in kinds:
                where = damages[n][k]
                out = img.copy()
                mask = np.where(where, 255, 0).astype(np.uint8)
                t = time.perf_counter()
                patchwell.inpaint(out, mask, r, patchwell.InpaintGPU, device=args.device)
                seconds[r] += time.perf_counter() - t
                scores[k][r].append(dk.psnr(out, img, where))
        print("radius %d done (%.1f s)" % (r, seconds[r]), flush=True)

    print("\nPSNR in dB over the damaged pixels, %d x %d crops, exhaustive method"
          % (args.size, args.size))
    for k in kinds:
        print("\n%s" % k)
        print("radius " + "".join("%10s" % n[:9] for n in names) + "      mean")
        for r in radii:
            row = scores[k][r]
            print("%6d " % r + "".join("%10.2f" % v for v in row) + "%10.2f" % np.mean(row))
    print("\ntime per radius, all pictures and damages")
    for r in radii:
        print("%6d %8.1f s" % (r, seconds[r]))


if __name__ == "__main__":
    main()
