import os
import select
import sys

import pytest
from PIL import Image

import patchwell

# The pictures the tests use are the benchmarks' own.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from common import photo_like  # noqa: E402,F401
from common import specks as speckled_mask  # noqa: E402,F401
from common import square_hole  # noqa: E402,F401

HAS_CUDA = patchwell._core._cuda_usable()

# The small picture of the file-system tests: in/img0.png, in/img1.png and
# mask.png, with an empty out/ beside them.
H, W = 24, 30


@pytest.fixture
def pics(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    for k in range(2):
        Image.fromarray(photo_like(H, W, seed=k)).save(tmp_path / "in" / f"img{k}.png")
    Image.fromarray(speckled_mask(H, W, 10, seed=5)).save(tmp_path / "mask.png")
    return tmp_path


def snapshot(folder):
    """The bytes of every file of a folder, by name."""
    return {p: open(os.path.join(folder, p), "rb").read() for p in sorted(os.listdir(folder))
            if os.path.isfile(os.path.join(folder, p))}


def drained(master):
    """What is left to read on a terminal whose command has ended."""
    drawn = b""
    while select.select([master], [], [], 0)[0]:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the other end is closed
            break
        if not chunk:
            break
        drawn += chunk
    return drawn

# The emulated CUDA run (scripts/test-emulated) must not test another build.
if os.environ.get("PATCHWELL_EMULATED_CUDA") == "1" and \
        not patchwell.device_info().startswith("CUDA: emulated on "):
    raise RuntimeError("expected the module of the emulated CUDA device, got "
                       f"{patchwell.__file__} ({patchwell.device_info()})")


def pytest_collection_modifyitems(config, items):
    if HAS_CUDA:
        return
    skip = pytest.mark.skip(reason="no usable CUDA device")
    for item in items:
        if "gpu" in item.keywords:
            item.add_marker(skip)


def exact_repair(image, mask, radius, **options):
    """repair as inpaint and inpaint_file fill: one exhaustive search over
    the whole picture (repair's own defaults choose a fill per kind of
    damage and bound the search)."""
    options.setdefault("method", "exhaustive")
    options.setdefault("search_radius", None)
    return patchwell.repair(image, mask, radius, **options)
