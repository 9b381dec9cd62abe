"""Module surface: names, enumeration, version, docstrings, device info."""
import importlib.metadata
import inspect
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import patchwell
import patchwell.batch


@pytest.mark.parametrize("function, parameters", [
    (patchwell.inpaint, "image_file, mask_file, rad, method, verbose=False, *, device='auto', "
                        "progress=None, search_radius=None, source_mask=None"),
    # rad and method have no default although out_file before them has one.
    (patchwell.inpaint_file, "image_file, mask_file, out_file=None, rad=<required>, "
                             "method=<required>, verbose=False, *, device='auto', "
                             "progress=None, search_radius=None, source_mask=None, quality=80"),
])
def test_displayed_signatures(function, parameters):
    signature = inspect.signature(function)
    names_and_defaults = signature.replace(
        parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
        return_annotation=signature.empty)
    assert str(names_and_defaults) == f"({parameters})"


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two usable cores")
def test_default_threads_follow_the_cpu_affinity():
    # The batch's count of workers asks the core, which honours the same limits.
    code = ("import patchwell, patchwell.batch; "
            "print(patchwell.get_num_threads(), patchwell.device_info()); "
            "print(patchwell.batch._cores())")
    cores = os.cpu_count()
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       preexec_fn=lambda: os.sched_setaffinity(0, {0}),
                       env={k: v for k, v in os.environ.items() if k != "PATCHWELL_NUM_THREADS"})
    assert r.stdout.startswith(f"1 CPU: 1 thread (1 of {cores} cores usable: CPU affinity)")
    assert r.stdout.endswith("\n1\n")


def test_version_and_largest_radius_are_written_once():
    """pyproject.toml holds the version, the core the largest radius: the
    build, the package, the docs and the docstrings follow them."""
    version = importlib.metadata.version("patchwell")
    assert patchwell.__version__ == version == patchwell._core.__version__
    assert patchwell.version() == f"Patchwell {version} (gpu)"
    largest = patchwell._core._MAX_RADIUS
    docs = pathlib.Path(__file__).resolve().parents[2] / "docs"
    texts = [p.read_text() for p in docs.glob("*.rst")] + [
        inspect.getdoc(f) for f in (patchwell.inpaint, patchwell.inpaint_file, patchwell.repair)]
    bounds = [int(n) for text in texts
              for n in re.findall(r"radius\D{0,20}?\b0 ?(?:to|\.{2,3}) ?(\d+)", text)]
    assert len(bounds) >= 5 and set(bounds) == {largest}
    assert not [t for t in texts if version in t]
    # inpaint_file's docstring names every extension of the core's table.
    named = set(re.findall(r"\.[a-z]+\b", inspect.getdoc(patchwell.inpaint_file)))
    assert set(patchwell._core._picture_extensions(written=True)) <= named
    with pytest.raises(ValueError, match=f"between 0 and {largest}"):
        patchwell.repair(np.zeros((4, 4), np.uint8), np.zeros((4, 4), bool), largest + 1)


@pytest.mark.parametrize("name", ["version", "inpaint", "inpaint_file", "repair",
                                  "device_info", "_last_run_stats"])
def test_every_function_has_a_true_docstring_with_its_signature(name):
    function = getattr(patchwell, name)
    doc = inspect.cleandoc(function.__doc__)
    if name == "repair":
        assert list(inspect.signature(function).parameters)[:3] == ["image", "mask", "radius"]
    elif not inspect.isfunction(function):
        assert doc.startswith(name + "(")  # the signature line of a compiled function
    assert "Returns\n-------" in doc
