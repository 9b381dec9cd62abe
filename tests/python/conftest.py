import os
import sys

import pytest

import patchwell

# The pictures the tests use are the benchmarks' own.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from common import photo_like  # noqa: E402,F401
from common import specks as speckled_mask  # noqa: E402,F401
from common import square_hole  # noqa: E402,F401

HAS_CUDA = patchwell._core._cuda_usable()

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
