"""Sphinx configuration of patchwell's documentation.

Build it with ``make docs`` (HTML into build/docs/html, then the doctests).
The API pages come from the docstrings of the installed package; the
functions of the compiled core take their signatures from its type stubs
(``_core.pyi``), which carry the precise types that the compiled functions
cannot show. The gallery (examples/) runs when the documentation is built.
"""
import ast
import os
import time
from typing import Any, Dict, List, Optional, Tuple

import sphinx.util.inspect

import patchwell

HERE = os.path.dirname(os.path.abspath(__file__))

project = "patchwell"
author = "the patchwell developers"
copyright = f"{time.gmtime().tm_year}, {author}"
release = patchwell.__version__
version = release
# The pages quote the version through these, never as a literal.
rst_prolog = f"""
.. |version_text| replace:: ``"Patchwell {release} (gpu)"``
.. |version_number| replace:: ``"{release}"``
.. |version_line| replace:: ``Patchwell {release} (gpu) · CPU: 2 threads (no NVIDIA driver)``
"""

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
# The package's annotations are strings (PEP 563) naming the short aliases
# of patchwell/_typing.py: show those names (explained on the API page),
# not the NumPy unions they stand for. Only plain names work here: the
# signatures of overloaded functions look them up as names.
autodoc_type_aliases = {name: name for name in (
    "ImageLike", "MaskLike", "Image", "Mask", "SourceMap", "ImageArray", "MaskArray")}
# Sphinx (9.0) names an alias well on its own but prints its placeholder's
# repr inside Optional[...] or Tuple[...]: make that repr the name.
sphinx.util.inspect.TypeAliasForwardRef.__repr__ = lambda self: str(self.name)

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

def _stub_signatures() -> Dict[str, Tuple[str, Optional[str]]]:
    """name -> (argument list, return annotation) of every public function
    in the core's stubs."""
    path = os.path.join(os.path.dirname(patchwell.__file__), "_core.pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {node.name: (f"({ast.unparse(node.args)})",
                        None if node.returns is None else ast.unparse(node.returns))
            for node in tree.body
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")}


_STUBS = _stub_signatures()


def _core_signature(app: Any, what: str, name: str, obj: Any, options: Any,
                    signature: Optional[str], return_annotation: Optional[str]
                    ) -> Optional[Tuple[str, Optional[str]]]:
    if what != "function" or getattr(obj, "__module__", None) != "patchwell._core":
        return None
    return _STUBS.get(name.rsplit(".", 1)[-1])


def setup(app: Any) -> None:
    # Before numpydoc's own handler, which cannot read compiled functions.
    app.connect("autodoc-process-signature", _core_signature, priority=400)
