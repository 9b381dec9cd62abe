"""Sphinx configuration of patchwell's documentation.

Build it with ``make docs`` (HTML into build/docs/html, then the doctests).
The API pages come from the docstrings of the installed package; the
functions of the compiled core take their signatures from its type stubs
(``_core.pyi``), which carry the precise types that the compiled functions
cannot show. The gallery (examples/) runs when the documentation is built.
"""
import ast
import copy
import os
import time
from typing import Any, Dict, List, Optional, Tuple

import patchwell

HERE = os.path.dirname(os.path.abspath(__file__))

project = "patchwell"
author = "the patchwell developers"
copyright = f"{time.gmtime().tm_year}, {author}"
release = patchwell.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

# The gallery's sources are not pages; its generated pages (auto_examples)
# are.
exclude_patterns = ["examples"]
templates_path: List[str] = []
html_static_path: List[str] = []
html_theme = "pydata_sphinx_theme"
html_title = f"patchwell {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars: Dict[str, List[str]] = {"index": []}
html_show_sourcelink = False

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
autodoc_member_order = "bysource"
# The package's annotations are strings (PEP 563): show NumPy's alias by
# name, not the union it stands for.
autodoc_type_aliases = {"npt.ArrayLike": "numpy.typing.ArrayLike"}

doctest_global_setup = "import numpy as np\nimport patchwell"

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "sphinx_gallery.sorting.FileNameSortKey",
    "download_all_examples": False,
    "abort_on_example_error": True,
    "min_reported_time": 0,
    "remove_config_comments": True,
    "show_signature": False,
}


# ---- signatures of the compiled functions, from the type stubs -------------

def _stub_signatures() -> Dict[str, List[Tuple[str, Optional[str]]]]:
    """name -> [(argument list, return annotation)] of every public function
    in the core's stubs, one entry per overload in the stubs' order, with
    the stubs' private type aliases written out."""
    path = os.path.join(os.path.dirname(patchwell.__file__), "_core.pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    aliases = {node.targets[0].id: node.value for node in tree.body
               if isinstance(node, ast.Assign) and len(node.targets) == 1
               and isinstance(node.targets[0], ast.Name)
               and node.targets[0].id.startswith("_")}

    class WriteOut(ast.NodeTransformer):
        def visit_Name(self, node: ast.Name) -> ast.AST:
            alias = aliases.get(node.id)
            return node if alias is None else self.visit(copy.deepcopy(alias))

        def visit_Constant(self, node: ast.Constant) -> ast.AST:
            # "os.PathLike[str]" written as a string in the stub
            if isinstance(node.value, str) and node.value.startswith("os."):
                return ast.parse(node.value, mode="eval").body
            return node

    signatures: Dict[str, List[Tuple[str, Optional[str]]]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            args = WriteOut().visit(node.args)
            returns = None if node.returns is None else ast.unparse(node.returns)
            signatures.setdefault(node.name, []).append(
                (f"({ast.unparse(args)})", returns))
    return signatures


_STUBS = _stub_signatures()


def _core_signature(app: Any, what: str, name: str, obj: Any, options: Any,
                    signature: Optional[str], return_annotation: Optional[str]
                    ) -> Optional[Tuple[str, Optional[str]]]:
    if what != "function" or getattr(obj, "__module__", None) != "patchwell._core":
        return None
    overloads = _STUBS.get(name.rsplit(".", 1)[-1])
    if not overloads:
        return None
    # The first overload is the positional form; the docstring says which
    # arguments may go by keyword (inpaint_file's rad and method).
    return overloads[0]


def _core_docstring(app: Any, what: str, name: str, obj: Any, options: Any,
                    lines: List[str]) -> None:
    # The compiled functions' docstrings are plain text for help(): a bar
    # (|cx - x| <= S) is not reStructuredText markup there.
    if getattr(obj, "__module__", None) == "patchwell._core":
        lines[:] = [line.replace("|", "\\|") for line in lines]


def setup(app: Any) -> None:
    # Before numpydoc's own handlers, which cannot read compiled functions
    # and parse the docstrings.
    app.connect("autodoc-process-signature", _core_signature, priority=400)
    app.connect("autodoc-process-docstring", _core_docstring, priority=400)
