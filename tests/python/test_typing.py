"""The shipped type information: mypy --strict accepts an example that uses
every public function, refuses a wrong call, and the stub names everything
the compiled core exports."""
import ast
import os
import subprocess
import sys

import pytest

import patchwell

pytest.importorskip("mypy")

GOOD = '''
import numpy as np
import numpy.typing as npt
import patchwell

image: npt.NDArray[np.uint8] = np.zeros((16, 16, 3), np.uint8)
mask = np.zeros((16, 16), bool)
ok: bool = patchwell.inpaint(image, mask, np.int64(3), patchwell.InpaintGPU,
                             True, device="cpu", progress=lambda p: None,
                             search_radius=16, source_mask=mask)
ok = patchwell.inpaint_file("a.png", "m.png", rad=3, method=patchwell.InpaintGPUfast)
ok = patchwell.inpaint_file("a.png", "m.png", "out.png", 3, patchwell.InpaintMethod.InpaintCPU)
ok = patchwell.inpaint_file("cut.png", None, rad=3, method=patchwell.InpaintGPU, quality=95)
patchwell.set_max_image_pixels(1 << 30)
limit: int | None = patchwell.max_image_pixels()
result, unfilled = patchwell.repair(image, mask, 3, method="fast", search_radius=8)
pixels: npt.NDArray[np.uint8] = result
holes: npt.NDArray[np.bool_] = unfilled
texts: list[str] = [patchwell.version(), patchwell.device_info(), patchwell.__version__]
elapsed: int = patchwell._last_run_stats()["elapsed_ms"]
number: int = int(patchwell.InpaintGPU)
patchwell.set_num_threads(2)
patchwell.set_num_threads(None)
threads: int = patchwell.get_num_threads()

import patchwell.batch, patchwell.dask
from distributed import Client
records: list[patchwell.batch.BatchRecord] = list(patchwell.batch.repair_files(
    ["scans", ("a.png", "m.png")], "out", mask="m.png", radius=3, method="fast", jobs=2))
def on_cluster(client: Client) -> list[patchwell.batch.BatchRecord]:
    return list(patchwell.dask.repair_files(client, ["scans"], "out",
                                            mask_pattern="{stem}_mask.png"))
'''

BAD = '''
import numpy as np
import patchwell

patchwell.inpaint(np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4)), "3", patchwell.InpaintGPU)
patchwell.inpaint_file("a.png", "m.png", rad=3)
text: int = patchwell.version()
'''


def test_mypy_strict_checks_against_the_shipped_types(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    # Outside the source tree, so that mypy reads the installed package.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if e.startswith("good.py")], proc.stdout
    assert sorted({int(e.split(":")[1]) for e in errors}) == [5, 6, 7], proc.stdout


def test_stub_and_package_name_everything_the_core_exports():
    stub = os.path.join(os.path.dirname(patchwell.__file__), "_core.pyi")
    tree = ast.parse(open(stub).read())
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
    core = {n for n in dir(patchwell._core) if not n.startswith("__")} | {"__version__"}
    assert core <= declared
    # The package exports the core's public names, and only those.
    public = {n for n in core if not n.startswith("_")}
    assert public <= set(dir(patchwell))
    assert not {n for n in core if n.startswith("_") and n != "_last_run_stats"
                and n != "__version__"} & set(dir(patchwell))
    assert os.path.exists(os.path.join(os.path.dirname(stub), "py.typed"))
