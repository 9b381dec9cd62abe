"""From what a user names (files, folders, globs, masks) to the list of
pictures to repair: each with its mask and output file, checked up front so
that a batch never writes over an input or writes two pictures to one file."""
from __future__ import annotations

import fnmatch
import glob
import os
import string
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple, Union

from .. import _core

PathLike = Union[str, "os.PathLike[str]"]
Item = Union[PathLike, Tuple[PathLike, PathLike]]

#: What a folder or a glob contributes: the picture formats that can be
#: read, from the core's table (text images are left out: a folder's .txt
#: files are seldom pictures).
PICTURE_EXTENSIONS = tuple(_core._picture_extensions())

_PATTERN_FIELDS = ("stem", "name", "ext")


@dataclass(frozen=True)
class Task:
    """One picture's work: repair `image` with `mask` into `output`."""

    image: str
    mask: str
    output: str


def expand_inputs(inputs: Iterable[PathLike]) -> List[Tuple[str, bool]]:
    """The files that `inputs` name, in order, each once, with a flag that
    tells whether it was named itself (rather than found in a folder or by
    a glob). A folder gives its pictures (not those of its subfolders), a
    glob (``*``, ``?``, ``[``; ``**`` for any depth) its matches, sorted by
    name. Raises FileNotFoundError for a name that is neither a file nor a
    folder and matches nothing."""
    found: List[Tuple[str, bool]] = []
    for entry in inputs:
        path = os.fspath(entry)
        if not isinstance(path, str):
            raise TypeError(f"input names must be str or os.PathLike, not {type(entry).__name__}")
        if os.path.isdir(path):
            found.extend((p, False) for p in _pictures_in(path))
        elif os.path.exists(path) or not glob.has_magic(path):
            found.append((path, True))  # a missing file fails as a picture
        else:
            matches = sorted(_glob(path))
            if not matches:
                raise FileNotFoundError(f"no file matches '{path}'")
            pictures = []
            for match in matches:
                if os.path.isdir(match):
                    pictures.extend(_pictures_in(match))
                elif _is_picture_name(match):
                    pictures.append(match)
            if not pictures:
                raise FileNotFoundError(
                    f"'{path}' matches no picture (a folder or a glob takes "
                    f"the files ending in {', '.join(PICTURE_EXTENSIONS)})")
            found.extend((p, False) for p in pictures)
    seen: Set[str] = set()
    unique = []
    for path, named in found:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            unique.append((path, named))
    return unique


def check_mask_pattern(pattern: str) -> None:
    """Raises ValueError unless `pattern` uses only the plain fields
    {stem}, {name} and {ext} (and {{ }} for braces): no conversion, no
    width, fill or other formatting, nothing nested."""
    try:
        parsed = list(string.Formatter().parse(pattern))
    except ValueError as e:
        raise ValueError(f"mask pattern '{pattern}' is not valid: {e}") from None
    fields = []
    for _, field, formatting, conversion in parsed:
        if field is None:
            continue
        if field not in _PATTERN_FIELDS or formatting or conversion:
            shown = (field + (f"!{conversion}" if conversion else "")
                     + (f":{formatting}" if formatting else ""))
            raise ValueError(
                f"mask pattern '{pattern}' may use the plain fields {{stem}}, {{name}} "
                f"and {{ext}} only, not {{{shown}}}")
        fields.append(field)
    if not fields:
        raise ValueError(
            f"mask pattern '{pattern}' names one file for every picture: use it "
            "as the shared mask instead, or put {stem} or {name} in it")


def mask_for(image: str, mask: Optional[PathLike], mask_dir: Optional[PathLike],
             mask_pattern: Optional[str]) -> str:
    """The mask of `image` by the rules of repair_files; "" with no rule
    (the damage found is the mask)."""
    if mask is None and mask_dir is None and mask_pattern is None:
        return ""
    if mask is not None:
        return os.fspath(mask)
    folder, name = os.path.split(image)
    if mask_pattern is not None:
        stem, ext = os.path.splitext(name)
        name = mask_pattern.format(stem=stem, name=name, ext=ext)
    if mask_dir is not None:
        folder = os.fspath(mask_dir)
    return os.path.join(folder, name)


def plan(items: Iterable[Item], out_dir: PathLike, *,
         mask: Optional[PathLike] = None, mask_dir: Optional[PathLike] = None,
         mask_pattern: Optional[str] = None,
         source_mask: Optional[PathLike] = None, find: bool = False) -> List[Task]:
    """The tasks of a batch. `items` are picture files, folders and globs
    (whose masks follow from `mask`, `mask_dir` and `mask_pattern`) or
    (picture, mask) pairs; each output is the picture's file name in
    `out_dir`. Masks found in a folder or by a glob are not taken for
    pictures, nor are files of `out_dir` itself.

    Raises ValueError for contradicting or missing mask options, an empty
    batch, an output that would replace its own input, or two pictures with
    one output name; FileNotFoundError for a name that matches nothing."""
    if mask is not None and (mask_dir is not None or mask_pattern is not None):
        raise ValueError("give either one mask for every picture, or a mask "
                         "folder and/or a mask pattern, not both")
    if mask_pattern is not None:
        check_mask_pattern(mask_pattern)
    out = os.fspath(out_dir)
    if not out:
        raise ValueError("the output folder must not be empty")

    pairs: List[Tuple[str, Optional[str], bool]] = []
    plain: List[PathLike] = []
    for item in _as_list(items):
        if isinstance(item, tuple):
            if len(item) != 2:
                raise ValueError(f"a batch item is a picture or a (picture, mask) pair, not {item!r}")
            pairs.append((os.fspath(item[0]), os.fspath(item[1]), True))
        else:
            plain.append(item)
    if plain and mask is None and mask_dir is None and mask_pattern is None and not find:
        raise ValueError("no mask: give one mask for every picture, a mask folder "
                         "or a mask pattern, or (picture, mask) pairs")
    found = [(p, mask_for(p, mask, mask_dir, mask_pattern), named)
             for p, named in expand_inputs(plain)]

    # Files in a folder or a glob that serve as masks, or that a batch
    # wrote, are not pictures to repair.
    not_pictures = {_key(m) for _, m, _ in found + pairs if m}
    if source_mask is not None:
        not_pictures.add(_key(os.fspath(source_mask)))
    out_key = _key(out)
    inputs: Dict[str, str] = {}
    for image, image_mask, _ in pairs + found:
        inputs.setdefault(_key(image), "an input picture")
        if image_mask:
            inputs.setdefault(_key(image_mask), "a mask")
    if source_mask is not None:
        inputs[_key(os.fspath(source_mask))] = "the source mask"
    tasks = []
    for image, image_mask, named in pairs + found:
        if not named and (_key(image) in not_pictures
                          or os.path.dirname(_key(image)) == out_key):
            continue
        assert image_mask is not None
        tasks.append(Task(image, image_mask, os.path.join(out, os.path.basename(image))))
    if not tasks:
        raise ValueError("no pictures to repair")

    outputs: Dict[str, str] = {}
    for task in tasks:
        if not os.path.basename(task.image):
            raise ValueError(f"'{task.image}' names no file")
        key = _output_key(task.output)
        if key == _key(task.image):
            raise ValueError(f"the output of '{task.image}' would replace it: "
                             "choose another output folder")
        if key in inputs:
            raise ValueError(f"the output of '{task.image}', '{task.output}', is "
                             f"{inputs[key]} of this batch: choose another output folder")
        if key in outputs:
            raise ValueError(f"'{outputs[key]}' and '{task.image}' would both be "
                             f"written to '{task.output}': repair them in two batches")
        outputs[key] = task.image
    return tasks


def _as_list(items: Iterable[Item]) -> Sequence[Item]:
    if isinstance(items, (str, bytes, os.PathLike)):
        return [items]  # one name, not a sequence of characters
    return list(items)


def _pictures_in(folder: str) -> List[str]:
    # Hidden files are left out, as a glob leaves them out: they are
    # unfinished outputs or another system's notes ("._scan.jpg").
    names = sorted(os.listdir(folder))
    return [os.path.join(folder, n) for n in names
            if not n.startswith(".") and _is_picture_name(n)
            and os.path.isfile(os.path.join(folder, n))]


def _is_picture_name(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in PICTURE_EXTENSIONS


def _key(path: str) -> str:
    return os.path.normcase(os.path.realpath(path))


def _output_key(path: str) -> str:
    # The file an output replaces: a link in its place is replaced, not
    # followed.
    folder, name = os.path.split(path)
    return os.path.normcase(os.path.join(os.path.realpath(folder or "."), name))


def _glob(pattern: str) -> List[str]:
    """glob.glob(pattern, recursive=True), but ``**`` never enters a link
    to a folder, so that a link back up the tree cannot make the walk
    endless: each real folder below the pattern's root is read once, and
    each step of the pattern tried once in it, however many ``**`` the
    pattern holds (a run of them counts as one)."""
    if "**" not in pattern:
        return glob.glob(pattern)
    parts: List[str] = []
    for part in pattern.split(os.sep):
        if not (part == "**" and parts and parts[-1] == "**"):
            parts.append(part)
    fixed = 0
    while fixed < len(parts) and not glob.has_magic(parts[fixed]):
        fixed += 1
    root = os.sep.join(parts[:fixed]) or ("" if not pattern.startswith(os.sep) else os.sep)
    walk = _Walk(parts[fixed:])
    walk.below(root, 0)
    return walk.found


class _Walk:
    """One glob's walk: the folders it read and the (folder, step) pairs it
    tried, so that none is done twice."""

    def __init__(self, parts: List[str]) -> None:
        self.parts = parts
        self.found: List[str] = []
        self._found: Set[str] = set()
        self._tried: Set[Tuple[str, int]] = set()
        self._entries: Dict[str, List[os.DirEntry]] = {}

    def entries(self, folder: str) -> List[os.DirEntry]:
        if folder not in self._entries:
            try:
                self._entries[folder] = sorted(os.scandir(folder or "."),
                                               key=lambda e: e.name)
            except OSError:
                self._entries[folder] = []
        return self._entries[folder]

    def add(self, path: str) -> None:
        if path and path not in self._found:
            self._found.add(path)
            self.found.append(path)

    def below(self, folder: str, step: int) -> None:
        if (folder, step) in self._tried:
            return
        self._tried.add((folder, step))
        if step == len(self.parts):
            self.add(folder)
            return
        part, last = self.parts[step], step + 1 == len(self.parts)
        join = (lambda name: os.path.join(folder, name)) if folder else (lambda name: name)
        if part == "**":
            self.below(folder, step + 1)  # zero folders
            for entry in self.entries(folder):
                if entry.name.startswith("."):
                    continue
                if entry.is_dir(follow_symlinks=False):
                    self.below(join(entry.name), step)
                elif last:
                    self.add(join(entry.name))
            return
        if not glob.has_magic(part):
            path = join(part)
            if not last or os.path.lexists(path):
                if last or os.path.isdir(path):
                    self.below(path, step + 1)
            return
        for entry in self.entries(folder):
            if entry.name.startswith(".") and not part.startswith("."):
                continue
            if fnmatch.fnmatchcase(entry.name, part):
                if not last and not entry.is_dir():
                    continue
                self.below(join(entry.name), step + 1)
