"""Trains the dust model that patchwell.find_damage uses for "dust", and
writes it as C++ (src/detect/dust_model.inc).

Photos that scikit-image ships get a film grain and soft-edged dust specks,
dark and bright (the generators of find_quality.py), at random places of
random crops; a few flat grainy fields and fields full of small regular
dots (a texture, not damage) join them. Each candidate pixel (one the
finder would look at) is an example, labelled as find_quality.py counts
damage: a speck covers at least half of it and changes it by at least 24
levels. Pixels a speck touches less are left out of training; the
features are read through the compiled finder itself
(`patchwell._core._speck_features`), so that training and use see the
same numbers.

    pip install -r requirements-bench.txt
    python bench/train_dust_model.py [--draws 4] [--holdout PHOTO]

`--holdout` leaves a photo out of training and reports how the model
finds the dust on it (recall and false positives, as find_quality.py
counts them), without writing the model. Deterministic for a given
scikit-learn version.
"""
import pathlib

import numpy as np
from scipy import ndimage
from sklearn.ensemble import HistGradientBoostingClassifier

import find_quality as fq
from patchwell import _core
from tree_training import crop, main

OUT = pathlib.Path(__file__).resolve().parents[1] / "src" / "detect" / "dust_model.inc"
NEGATIVE_SHARE = 0.3  # of the candidate pixels far from any speck


def dotted_field(rng):
    """Flat gray full of small soft dots a few pixels apart: a texture."""
    level, tone = rng.uniform(60, 200), rng.uniform(0, 255)
    img = np.full((256, 256, 3), level)
    step = rng.integers(5, 9)
    cover = np.zeros((256, 256))
    yy, xx = np.mgrid[0:256, 0:256]
    for cy in range(4, 252, step):
        for cx in range(4, 252, step):
            d = np.hypot(yy[cy - 4:cy + 5, cx - 4:cx + 5] - cy, xx[cy - 4:cy + 5, cx - 4:cx + 5] - cx)
            cover[cy - 4:cy + 5, cx - 4:cx + 5] = np.maximum(
                cover[cy - 4:cy + 5, cx - 4:cx + 5], fq.profile(d, rng.uniform(1, 2), 0.5))
    return img * (1 - cover[..., None]) + tone * cover[..., None]


def dusty(picture, rng, with_specks=True):
    """The picture with a film grain and soft specks anywhere (on the edge
    too: dust cut by the edge of a scan is dust): the damaged picture, the
    pixels that count as dust, those a speck touches at all, and those more
    than 2 pixels from any."""
    clean = fq.grain(picture, rng)
    h, w = clean.shape[:2]
    if with_specks:
        cover, alpha = fq.specks((h, w), rng, h * w // 6000, margin=0)
    else:
        cover, alpha = np.zeros((h, w)), np.zeros((h, w))
    damaged = np.rint(fq.damage(clean, alpha, rng)).astype(np.uint8)
    changed = np.abs(damaged - clean).max(axis=2) >= fq.VISIBLE
    near = alpha > 0.02
    return damaged, changed & (cover >= 0.5), near, ~ndimage.binary_dilation(near, iterations=2)


def examples(picture, rng, with_specks=True):
    """The features and labels of one damaged picture."""
    damaged, positive, _, negative = dusty(picture, rng, with_specks)
    features = _core._speck_features(damaged)
    candidate = np.isfinite(features[..., 0])
    keep = candidate & (positive | (negative & (rng.random(positive.shape) < NEGATIVE_SHARE)))
    return features[keep], positive[keep].astype(np.int8), (damaged, positive, negative)


def training_set(photos, draws, seed):
    rng = np.random.default_rng(seed)
    xs, ys = [], []
    for name in photos:
        for _ in range(draws):
            x, y, _ = examples(crop(name, rng), rng)
            xs.append(x), ys.append(y)
    for _ in range(draws * 2):
        x, y, _ = examples(np.full((256, 256, 3), rng.uniform(30, 225)), rng)
        xs.append(x), ys.append(y)
        x, y, _ = examples(dotted_field(rng), rng, with_specks=False)
        xs.append(x), ys.append(y)
    return np.concatenate(xs), np.concatenate(ys)


def train(x, y):
    model = HistGradientBoostingClassifier(max_iter=100, max_depth=5, learning_rate=0.15,
                                           early_stopping=False, random_state=0)
    return model.fit(x, y)


def holdout(model, name):
    """Recall and false positives on a photo left out, at the finder's own
    thresholds (seed 0.9, growth 0.5)."""
    rng = np.random.default_rng(7)
    _, _, (damaged, positive, negative) = examples(crop(name, rng), rng)
    features = _core._speck_features(damaged)
    candidate = np.isfinite(features[..., 0])
    p = np.zeros(candidate.shape)
    p[candidate] = model.predict_proba(features[candidate])[:, 1]
    labels, _ = ndimage.label(p > 0.5, structure=np.ones((3, 3)))
    found = np.isin(labels, np.unique(labels[p > 0.9])) & (labels > 0)
    print(f"{name}: recall {(found & positive).sum() / max(positive.sum(), 1):.3f}, "
          f"false positives {100 * (found & negative).mean():.3f} %")


def fit(photos, draws):
    x, y = training_set(photos, draws, seed=1)
    print(f"{len(y)} examples, {y.mean():.3f} of them in specks")
    return train(x, y)


if __name__ == "__main__":
    main(__doc__, 4, fit, holdout, OUT, "train_dust_model.py")
