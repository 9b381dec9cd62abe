"""Module surface: names, enumeration, version, docstrings, device info."""
import doctest
import inspect

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


def test_module_is_importable_under_its_own_name():
    assert patchwell.__name__ == "patchwell"
    assert inspect.ismodule(patchwell)


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
