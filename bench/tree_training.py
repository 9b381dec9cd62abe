"""What the model trainers share: the photos they learn from, random crops
of them, and the writer of the trees as C++."""
import argparse

import numpy as np
import skimage.data as data

import find_quality as fq

PHOTOS = fq.PHOTOS + ["brick", "clock", "coins", "moon", "immunohistochemistry",
                      "stereo_motorcycle", "retina", "hubble_deep_field", "cell", "page", "text"]
SIZE = 512
NODES_A_LINE = 4


def crop(name, rng):
    """A random crop of up to SIZE x SIZE of a photo, RGB, as floats."""
    img = getattr(data, name)()
    img = img[0] if isinstance(img, tuple) else img
    img = np.dstack([img] * 3) if img.ndim == 2 else img[..., :3]
    h, w = img.shape[:2]
    s = min(SIZE, h, w)
    y, x = rng.integers(0, h - s + 1), rng.integers(0, w - s + 1)
    return img[y:y + s, x:x + s].astype(np.float64)


def write_trees(model, path, script):
    """A fitted HistGradientBoostingClassifier as the C++ tables that
    src/detect/tree_model.h evaluates."""
    nodes, roots = [], []
    for (tree,) in model._predictors:
        base = len(nodes)
        roots.append(base)
        for node in tree.nodes:
            if node["is_leaf"]:
                nodes.append((-1, 0, 0, float(node["value"])))
            else:
                nodes.append((int(node["feature_idx"]), base + int(node["left"]),
                              base + int(node["right"]), float(node["num_threshold"])))
    lines = [f"// Written by bench/{script}: do not edit.",
             f"constexpr double kBaseline = {float(np.ravel(model._baseline_prediction)[0])!r};",
             "constexpr uint32_t kTreeRoots[] = {" + ", ".join(map(str, roots)) + "};",
             "constexpr TreeNode kNodes[] = {"]
    cells = [f"{{{f}, {l}, {r}, {v!r}}}," for f, l, r, v in nodes]
    lines += ["    " + " ".join(cells[i:i + NODES_A_LINE]) for i in range(0, len(cells), NODES_A_LINE)]
    lines.append("};")
    path.write_text("\n".join(lines) + "\n")
    print(f"wrote {path} ({len(roots)} trees, {len(nodes)} nodes)")


def main(doc, draws, fit, holdout, out, script):
    """The trainers' command: fit(photos, draws) on every photo and write the
    model to `out`, or with --holdout PHOTO leave it out and report on it."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--draws", type=int, default=draws, help="damaged crops per photo")
    parser.add_argument("--holdout", help="a photo to leave out and report on")
    args = parser.parse_args()
    model = fit([p for p in PHOTOS if p != args.holdout], args.draws)
    if args.holdout:
        holdout(model, args.holdout)
    else:
        write_trees(model, out, script)
