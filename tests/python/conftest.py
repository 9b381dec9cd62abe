import os
import sys

import pytest

import patchwell

# The pictures the tests use are the benchmarks' own.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from common import photo_like  # noqa: E402,F401
from common import specks as speckled_mask  # noqa: E402,F401
from common import square_hole  # noqa: E402,F401

HAS_CUDA = patchwell.device_info().startswith("CUDA")


def pytest_collection_modifyitems(config, items):
    if HAS_CUDA:
        return
    skip = pytest.mark.skip(reason="no usable CUDA device")
    for item in items:
        if "gpu" in item.keywords:
            item.add_marker(skip)
