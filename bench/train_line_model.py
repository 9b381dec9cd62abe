"""Trains the line model that patchwell.find_damage uses for "scratches",
and writes it as C++ (src/detect/line_model.inc).

The line finder proposes runs of pixels darker or brighter than both their
flanks; many are the picture's own thin details (the rim of a cup, a
highlight on a wire, a seam). Photos that scikit-image ships get a film
grain and then fibres of every bend (straight to curling) or straight
scratches (the generators of find_quality.py), or no damage at all; each run the finder proposes (at
sensitivity LENIENCY, so that the model sees the fainter damage too) is an
example: damage when at least half of its pixels lie within 2 pixels of a
defect, weighted by its pixel count (false positives and recall are
counted in pixels). The runs and their features come from the compiled
finder itself (`patchwell._core._line_runs`).

    pip install -r requirements-bench.txt
    python bench/train_line_model.py [--draws 8] [--holdout PHOTO]

`--holdout` leaves a photo out of training and reports recall and false
positives on it (as find_quality.py counts them, before gaps are joined
and the mask is widened), without writing the model.
"""
import pathlib

import numpy as np
from scipy import ndimage
from sklearn.ensemble import HistGradientBoostingClassifier

import find_quality as fq
from patchwell import _core
from tree_training import crop, main

OUT = pathlib.Path(__file__).resolve().parents[1] / "src" / "detect" / "line_model.inc"
LENIENCY = 1.5  # the run finder's sensitivity under the model's


def varied_fibres(shape, rng, count):
    """Fibres and hairs of every bend, from nearly straight to curling,
    1 to 3 pixels wide: the model must not learn one generator's shapes."""
    h, w = shape
    cover, alpha = np.zeros(shape), np.zeros(shape)
    for _ in range(count):
        pts = fq.curve(rng, h, w, rng.uniform(30, 200), rng.uniform(0, 0.03))
        fq.stroke(cover, alpha, pts, rng.uniform(0.4, 1.5), rng, (0.5, 0.95))
    return cover, alpha


def scene(picture, rng, kind):
    clean = fq.grain(picture, rng)
    h, w = clean.shape[:2]
    n = h * w // 6000
    if kind == "fibres":
        cover, alpha = varied_fibres((h, w), rng, max(n // 3, 2))
    elif kind == "scratches":
        cover, alpha = fq.lines((h, w), rng, max(n // 12, 2), True)
    else:
        cover, alpha = np.zeros((h, w)), np.zeros((h, w))
    damaged = np.rint(fq.damage(clean, alpha, rng))
    changed = np.abs(damaged - clean).max(axis=2) >= fq.VISIBLE
    near = ndimage.binary_dilation(alpha > 0.02, iterations=2)
    return damaged, changed & (cover >= 0.5), near


def runs(damaged, near):
    features, runmap = _core._line_runs(damaged.astype(np.uint8), sensitivity=LENIENCY)
    r = len(features)
    area = np.bincount(runmap.ravel(), minlength=r + 1)[1:]
    inside = np.bincount(runmap.ravel(), weights=near.ravel(), minlength=r + 1)[1:]
    return features, (2 * inside >= area).astype(np.int8), area, runmap


def training_set(photos, draws, seed):
    rng = np.random.default_rng(seed)
    xs, ys, ws = [], [], []
    for name in photos:
        for _ in range(draws):
            for kind in ("fibres", "scratches", "clean"):
                damaged, _, near = scene(crop(name, rng), rng, kind)
                x, y, area, _ = runs(damaged, near)
                xs.append(x), ys.append(y), ws.append(area)
    return np.concatenate(xs), np.concatenate(ys), np.concatenate(ws).astype(np.float64)


# More contrast, against the grain too, more seeds and more length never
# make a run less likely to be damage: without this the few thousand runs
# teach the trees quirks of the training photos.
MONOTONE = {"extent": 1, "mean": 1, "max": 1, "seeds": 1, "mean_to_grain": 1}
FEATURES = ["area", "extent", "area_to_extent", "mean", "max", "evenness", "seeds", "grain",
            "mean_to_grain", "dark", "level", "level_spread", "major", "minor",
            "minor_to_major", "diagonal_to_area", "flank_difference"]


def train(x, y, weight):
    model = HistGradientBoostingClassifier(
        max_iter=100, max_depth=4, learning_rate=0.1, min_samples_leaf=40,
        monotonic_cst=[MONOTONE.get(f, 0) for f in FEATURES], early_stopping=False,
        random_state=0)
    return model.fit(x, y, sample_weight=weight)


def holdout(model, name):
    rng = np.random.default_rng(7)
    for kind in ("fibres", "scratches", "clean"):
        damaged, counted, near = scene(crop(name, rng), rng, kind)
        features, _, _, runmap = runs(damaged, near)
        keep = np.concatenate([[False], model.predict_proba(features)[:, 1] > 0.5]) \
            if len(features) else np.zeros(1, bool)
        for label, found in (("all runs", runmap > 0), ("model", keep[runmap])):
            print(f"{name} {kind:9s} {label:8s}: recall "
                  f"{(found & counted).sum() / max(counted.sum(), 1):.3f}, "
                  f"false positives {100 * (found & ~near).mean():.3f} %")


def fit(photos, draws):
    x, y, weight = training_set(photos, draws, seed=2)
    print(f"{len(y)} runs, {y.mean():.3f} of them damage")
    return train(x, y, weight)


if __name__ == "__main__":
    main(__doc__, 8, fit, holdout, OUT, "train_line_model.py")
