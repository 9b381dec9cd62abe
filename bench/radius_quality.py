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
"""
import argparse
import time

import numpy as np
import patchwell
import skimage.data as data

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


def psnr(a, b, where):
    err = (a[where].astype(float) - b[where].astype(float)) ** 2
    return 10 * np.log10(255.0 ** 2 / max(err.mean(), 1e-9))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--radii", default="2,3,4,5,7,9")
    ap.add_argument("--size", type=int, default=384)
    ap.add_argument("--pictures", default=",".join(PICTURES))
    ap.add_argument("--device", default="cpu")
    args = ap.parse_args()
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
                scores[k][r].append(psnr(out, img, where))
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
