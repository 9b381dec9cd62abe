"""The README's code blocks work as written: each Python block runs, from a
folder that holds the repository's samples as the repository does, and
every line of a shell block is a make target that exists, a `patchwell`
command that succeeds there, or a pip install of what `make wheel` makes."""
import os
import re
import shlex
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXE = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)


def readme_blocks(*languages):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return [m.group(2) for m in FENCE.finditer(f.read()) if m.group(1) in languages]


def shell_lines():
    lines = []
    for block in readme_blocks("sh", "console", "bash"):
        for line in block.splitlines():
            line = line.split("#", 1)[0].strip()
            if line.startswith("$ "):
                line = line[2:]
            if line:
                lines.append(line)
    return lines


def make_targets():
    with open(os.path.join(ROOT, "Makefile"), encoding="utf-8") as f:
        return set(re.findall(r"^([A-Za-z][\w.-]*)\s*:", f.read(), re.M))


@pytest.fixture
def checkout(tmp_path):
    """A working folder in which `samples/` is the repository's."""
    os.symlink(os.path.join(ROOT, "samples"), tmp_path / "samples")
    return tmp_path


def test_the_readme_shows_python_and_shell():
    assert readme_blocks("python") and shell_lines()


@pytest.mark.parametrize("code", [pytest.param(code, id=f"block{k}")
                                  for k, code in enumerate(readme_blocks("python"))])
def test_python_block_runs(code, checkout):
    # A warning (UnfilledWarning above all) would be a fault of the example.
    done = subprocess.run([sys.executable, "-W", "error::UserWarning", "-c", code],
                          cwd=checkout, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("line", shell_lines())
def test_shell_line_works(line, checkout):
    words = shlex.split(line)
    if words[0] == "make":
        assert words[1:] and set(words[1:]) <= make_targets(), line
    elif words[:2] == ["pip", "install"]:
        # Only what `make wheel` puts into dist/.
        assert "wheel" in make_targets() and all(
            re.fullmatch(r"dist/patchwell-[\w*-]*\.(whl|tar\.gz)", w) for w in words[2:]), line
    elif os.path.basename(words[0]) == "patchwell":
        done = subprocess.run([EXE, *words[1:]], cwd=checkout, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
    else:
        pytest.fail(f"the README's shell line '{line}' is neither a make target "
                    "nor a patchwell command, so this test cannot check it")
