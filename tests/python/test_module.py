"""Module surface: names, enumeration, version, docstrings, device info."""
import inspect
import os
import subprocess
import sys

import pytest

import patchwell


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


def test_device_info_without_gpu_names_the_cpu():
    info = patchwell.device_info()
    assert isinstance(info, str) and "\n" not in info
    if not info.startswith("CUDA"):
        cpu = info.split("; ")[0]  # devices that cannot run may follow
        assert cpu.startswith("CPU: ")
        assert cpu.endswith("thread") or cpu.endswith("threads")


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two usable cores")
def test_default_threads_follow_the_cpu_affinity():
    code = "import patchwell; print(patchwell.get_num_threads(), patchwell.device_info())"
    cores = os.cpu_count()
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       preexec_fn=lambda: os.sched_setaffinity(0, {0}),
                       env={k: v for k, v in os.environ.items() if k != "PATCHWELL_NUM_THREADS"})
    assert r.stdout.startswith(f"1 CPU: 1 thread (1 of {cores} cores usable: CPU affinity)")


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
