"""Trains the dust region model that patchwell.find_damage uses for "dust",
and writes it as C++ (src/detect/dust_region_model.inc).

The dust finder proposes regions: pixels its pixel model finds likely,
grown from those it is fairly sure of. The region model then judges each
region whole, by its size and shape, how sure the pixel model was, its
contrast against its background and how many like it are near, since a
texture repeats what dust does once. The pictures are those the dust
model learns from (train_dust_model.py): photos that scikit-image ships
with a film grain and soft-edged specks, dark and bright, flat grainy
fields, and fields of small regular dots. A region is a speck when a speck
covers at least half of its pixels, and texture when none of its pixels
is within 2 pixels of one; other regions are left out of training. Each
counts by its pixels, as the benchmark counts recall and false positives.
The features are read through the compiled finder
(`patchwell._core._dust_regions`).

    pip install -r requirements-bench.txt
    python bench/train_dust_region_model.py [--draws 8] [--holdout PHOTO]

`--holdout` leaves a photo out of training and reports how the finder,
with the model, finds the dust on it, without writing the model.
Deterministic for a given scikit-learn version.
"""
import pathlib

import numpy as np
from sklearn.ensemble import HistGradientBoostingClassifier

from patchwell import _core
from train_dust_model import dotted_field, dusty
from tree_training import crop, main

OUT = pathlib.Path(__file__).resolve().parents[1] / "src" / "detect" / "dust_region_model.inc"
KEEP = 0.5  # the finder's probability for a region at sensitivity 1


def examples(picture, rng, with_specks=True):
    """Every region of one damaged picture: features, labels (1 speck,
    0 texture, -1 neither), pixel counts, and what --holdout scores."""
    damaged, positive, near, far = dusty(picture, rng, with_specks)
    features, regions = _core._dust_regions(damaged)
    count = len(features) + 1
    size = np.bincount(regions.ravel(), minlength=count)[1:]
    on = np.bincount(regions.ravel(), weights=near.ravel(), minlength=count)[1:]
    off = np.bincount(regions.ravel(), weights=far.ravel(), minlength=count)[1:]
    labels = np.where(on >= 0.5 * size, 1, np.where(off == size, 0, -1)).astype(np.int8)
    return features, labels, size.astype(np.float64), (positive, far, regions)


def training_set(photos, draws, seed):
    rng = np.random.default_rng(seed)
    parts = []
    for name in photos:
        for _ in range(draws):
            parts.append(examples(crop(name, rng), rng)[:3])
    for _ in range(draws * 2):
        parts.append(examples(np.full((256, 256, 3), rng.uniform(30, 225)), rng)[:3])
        parts.append(examples(dotted_field(rng), rng, with_specks=False)[:3])
    x, y, weight = (np.concatenate(p) for p in zip(*parts))
    return x[y >= 0], y[y >= 0], weight[y >= 0]


def holdout(model, name):
    """Recall and false positives on crops of a photo left out, of every
    region proposed and of those the model keeps (before they are grown to
    their soft edge)."""
    rng = np.random.default_rng(7)
    totals = np.zeros(5)
    for _ in range(4):
        features, _, _, (positive, far, regions) = examples(crop(name, rng), rng)
        kept = np.flatnonzero(model.predict_proba(features)[:, 1] > KEEP) + 1
        for k, found in enumerate((regions > 0, np.isin(regions, kept))):
            totals[2 * k] += (found & positive).sum()
            totals[2 * k + 1] += (found & far).sum()
        totals[4] += positive.sum()
    size = 4 * crop(name, np.random.default_rng(0)).shape[0] ** 2
    print(f"{name}: every region {totals[0] / totals[4]:.3f} / {100 * totals[1] / size:.3f} %, "
          f"kept {totals[2] / totals[4]:.3f} / {100 * totals[3] / size:.3f} %")


def fit(photos, draws):
    x, y, weight = training_set(photos, draws, seed=1)
    print(f"{len(y)} regions, {y.mean():.3f} of them specks")
    model = HistGradientBoostingClassifier(max_iter=100, max_depth=4, learning_rate=0.1,
                                           early_stopping=False, random_state=0)
    return model.fit(x, y, sample_weight=weight)


if __name__ == "__main__":
    main(__doc__, 8, fit, holdout, OUT, "train_dust_region_model.py")
