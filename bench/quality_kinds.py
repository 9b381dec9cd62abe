"""patchwell against the fills a user would pick instead, per kind of damage.

Every kind of damage of bench/damage_kinds.py (dust, thin scratches, a
scratch along an edge, holes in texture; five photos each) is repaired by
each method and scored over the damaged pixels (PSNR in dB, mean over the
five photos; for the holes also "texture kept", defined in
bench/damage_kinds.py: about 1 keeps the texture, about 0.1 is a smooth
fill). The time rows are the wall time of each method summed over the
pictures of each kind and over all of them, and the last lines compare
each of patchwell's settings with the three peers together.

Methods (--methods, comma separated):

default         patchwell.repair(image, mask) with its defaults
exhaustive      method="exhaustive", the whole picture searched
exhaustive-48   method="exhaustive", search_radius=48
auto            method="auto" (left out, with a note, where the installed
                patchwell does not have it)
proto           the holes (see damage_kinds.split) filled by the exhaustive
                search at search_radius=48 with every damaged pixel near
                them in the same run, then the thin damage by the
                biharmonic fill below, with the holes' pixels known
telea, ns       OpenCV's cv2.inpaint, INPAINT_TELEA and INPAINT_NS, radius 3
biharmonic      scikit-image's inpaint_biharmonic

Needs scikit-image and OpenCV (pip install -r requirements-bench.txt).
About a minute on two cores with the default methods.

    python bench/quality_kinds.py [--methods default,auto,proto,telea,ns,biharmonic]
                                  [--kinds dust,scratches,edge,holes]
                                  [--device cpu] [--json results.json]
"""
import argparse
import json
import os
import sys
import time
import warnings

import cv2
import numpy as np
import patchwell
from scipy import ndimage
from skimage.restoration import inpaint_biharmonic

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damage_kinds as dk  # noqa: E402

PEERS = ["telea", "ns", "biharmonic"]
DEFAULT_METHODS = ["default", "auto", "proto"] + PEERS
WINDOW_RADIUS = 3
PROTO_SEARCH = 48


def has_auto():
    """Whether the installed patchwell knows method="auto"."""
    image = np.zeros((16, 16), np.uint8)
    mask = np.zeros((16, 16), bool)
    mask[8, 8] = True
    try:
        patchwell.repair(image, mask, method="auto", device="cpu")
    except (ValueError, TypeError):
        return False
    return True


def biharmonic(image, mask):
    out = inpaint_biharmonic(image, mask, channel_axis=-1 if image.ndim == 3 else None)
    return np.clip(np.rint(out * 255), 0, 255).astype(np.uint8)


def opencv(flag):
    return lambda image, mask, device: cv2.inpaint(image, mask.astype(np.uint8), 3, flag)


def fill_holes(image, mask, search_radius, device):
    """The hole part of `mask` filled by the exhaustive search; returns the
    picture with only the hole pixels changed (none when there is no hole),
    the hole and thin parts of the mask, and the source map of the run.
    The thin damage that a source window of a hole pixel may overlap is
    marked as damage in the same run, so that its damaged pixels are
    neither sources nor compared before they are filled."""
    hole, thin = dk.split(mask, WINDOW_RADIUS)
    out = image.copy()
    if not hole.any():
        return out, hole, thin, np.full(mask.shape, -1, np.int32)
    near = mask
    if search_radius is not None:  # what the source windows can reach
        near = ndimage.binary_dilation(hole, structure=np.ones((3, 3)),
                                       iterations=search_radius + WINDOW_RADIUS + 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", patchwell.UnfilledWarning)
        result, _, sources = patchwell.repair(image, hole | (thin & near), WINDOW_RADIUS,
                                              method="exhaustive", search_radius=search_radius,
                                              device=device, return_sources=True)
    out[hole] = result[hole]
    return out, hole, thin, sources


def proto(image, mask, device):
    out, _, thin, _ = fill_holes(image, mask, PROTO_SEARCH, device)
    if thin.any():
        out[thin] = biharmonic(out, thin)[thin]
    return out


def repair(**options):
    def run(image, mask, device):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", patchwell.UnfilledWarning)
            return patchwell.repair(image, mask, device=device, **options)[0]
    return run


METHODS = {
    "default": repair(),
    "exhaustive": repair(method="exhaustive", search_radius=None),
    "exhaustive-48": repair(method="exhaustive", search_radius=48),
    "auto": repair(method="auto"),
    "proto": proto,
    "telea": opencv(cv2.INPAINT_TELEA),
    "ns": opencv(cv2.INPAINT_NS),
    "biharmonic": lambda image, mask, device: biharmonic(image, mask),
}
LABELS = {"telea": "TELEA", "ns": "NS"}


def measure(kinds, methods, device):
    """{kind: {method: {"psnr": [...], "texture": [...], "seconds": s}}},
    and the photos' own texture ratio per kind."""
    results, truth = {}, {}
    for kind in kinds:
        results[kind] = {m: {"psnr": [], "texture": [], "seconds": 0.0} for m in methods}
        truth[kind] = []
        for name, image, mask in dk.cases(kind):
            damaged = dk.painted(image, mask)
            if kind == "holes":
                truth[kind].append(dk.texture_kept(image, mask))
            for m in methods:
                start = time.perf_counter()
                out = METHODS[m](damaged, mask, device)
                results[kind][m]["seconds"] += time.perf_counter() - start
                results[kind][m]["psnr"].append(dk.psnr(out, image, mask))
                if kind == "holes":
                    results[kind][m]["texture"].append(dk.texture_kept(out, mask))
        print("%s done" % kind, file=sys.stderr, flush=True)
    return results, truth


def table(results, truth, methods):
    labels = [LABELS.get(m, m) for m in methods]
    lines = ["| damage | " + " | ".join(labels) + " |",
             "|---" * (len(methods) + 1) + "|"]
    for kind, row in results.items():
        lines.append("| %s (PSNR, dB) | " % kind
                     + " | ".join("%.1f" % np.mean(row[m]["psnr"]) for m in methods) + " |")
        if truth[kind]:
            lines.append("| %s: texture kept (photo %.2f) | " % (kind, np.mean(truth[kind]))
                         + " | ".join("%.2f" % np.mean(row[m]["texture"]) for m in methods)
                         + " |")
    for kind, row in results.items():
        lines.append("| time (s): %s | " % kind
                     + " | ".join("%.2f" % row[m]["seconds"] for m in methods) + " |")
    seconds = {m: sum(row[m]["seconds"] for row in results.values()) for m in methods}
    lines.append("| time (s, all pictures) | "
                 + " | ".join("%.2f" % seconds[m] for m in methods) + " |")
    peers = sum(seconds[m] for m in PEERS if m in seconds)
    if peers > 0:
        for m in methods:
            if m not in PEERS:
                lines.append("%s time / the peers' time (%s): %.1fx"
                             % (m, " + ".join(LABELS.get(p, p) for p in PEERS if p in seconds),
                                seconds[m] / peers))
    return "\n".join(lines), seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--methods", default=",".join(DEFAULT_METHODS))
    ap.add_argument("--kinds", default=",".join(dk.KINDS))
    ap.add_argument("--device", default="cpu", help="patchwell's device (default cpu, "
                    "where the peers run)")
    ap.add_argument("--json", help="also write the scores and times to this file")
    args = ap.parse_args()
    methods = args.methods.split(",")
    kinds = args.kinds.split(",")
    for m in methods:
        if m not in METHODS:
            ap.error("unknown method %r (choose from %s)" % (m, ", ".join(METHODS)))
    for k in kinds:
        if k not in dk.KINDS:
            ap.error("unknown kind %r (choose from %s)" % (k, ", ".join(dk.KINDS)))
    if "auto" in methods and not has_auto():
        print("note: this patchwell (%s) has no method=\"auto\"; left out" % patchwell.__version__)
        methods.remove("auto")

    results, truth = measure(kinds, methods, args.device)
    text, seconds = table(results, truth, methods)
    print("patchwell %s, device %s; PSNR over the damaged pixels, mean over five photos"
          % (patchwell.__version__, args.device))
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"patchwell": patchwell.__version__, "device": args.device,
                       "results": results, "photo_texture": truth, "seconds": seconds},
                      f, indent=1)


if __name__ == "__main__":
    main()
