"""Module surface: names, enumeration, version, docstrings, device info."""
import doctest
import inspect
import os
import subprocess
import sys

import pytest

import patchwell


def test_version_text():
    assert patchwell.version() == "Patchwell 1.0.2 (gpu)"
    assert "return version" in patchwell.version.__doc__
    assert patchwell.__version__ == "1.0.2"


def test_enumeration_members_and_exports():
    M = patchwell.InpaintMethod
    assert int(M.InpaintCPU) == 0
    assert int(M.InpaintGPU) == 1
    assert int(M.InpaintGPUfast) == 2
    assert patchwell.InpaintGPU is M.InpaintGPU
    assert patchwell.InpaintCPU is M.InpaintCPU
    assert patchwell.InpaintGPUfast is M.InpaintGPUfast


def test_inpaint_signature_and_docstring():
    doc = patchwell.inpaint.__doc__
    assert "swap red and green" not in doc
    head = doc.splitlines()[0]
    assert head.startswith(
        "inpaint(image_file: numpy.ndarray[numpy.uint8], "
        "mask_file: numpy.ndarray[numpy.uint8], rad: int, "
        "method: patchwell.InpaintMethod, verbose: bool = False, *")
    assert "device: str = 'auto'" in head


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
    else:
        assert doc.startswith(name + "(")  # the generated signature line
    assert "Returns\n-------" in doc
    assert "swap red and green" not in doc and "load weights" not in doc


def test_package_docstrings_and_their_examples():
    assert "repair(" in patchwell.__doc__ and "inpaint(" in patchwell.__doc__
    for module in (patchwell, patchwell._repair):
        assert doctest.testmod(module).failed == 0
