"""patchwell batch INPUTS... --out-dir DIR: the command line of batch
repair (the native `patchwell` command hands `batch` over to this)."""
from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import time
from typing import List, Optional, Union

from .. import _core
from .._arguments import MAX_RADIUS
from .._inpaint import set_max_image_pixels
from .._repair import DEFAULT_RADIUS
from . import _check_jobs, _make_output_folder, _prepare, _run
from ._items import PICTURE_EXTENSIONS
from ._progress import ProgressBar, duration_text, rate_text
from ._record import FAILED, INCOMPLETE, REPAIRED, SKIPPED, UNCHANGED, BatchRecord

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INCOMPLETE = 4
EXIT_INTERRUPTED = 130

_METHODS = {"auto": "auto", "gpu": _core.InpaintGPU, "cpu": _core.InpaintCPU,
            "gpu-fast": _core.InpaintGPUfast, "exhaustive": _core.InpaintGPU,
            "fast": _core.InpaintGPUfast}

DESCRIPTION = """\
Repairs many pictures: every file named, the pictures of every folder
({extensions}, not in subfolders) and every match of a glob
('scans/*.png', 'roll/**/*.jpg'), each with its mask, into the output
folder under its own file name. A picture that fails is reported and
skipped; outputs already present are skipped unless --overwrite, so a batch
that was stopped (Ctrl+C) goes on where it stopped when run again.
""".format(extensions=" ".join(PICTURE_EXTENSIONS))

EPILOG = """\
masks: --mask FILE uses one mask for every picture; --mask-dir DIR takes
the mask of the same file name from DIR; --mask-pattern P makes the mask's
name from the picture's with {stem} (name without extension), {name} and
{ext}, in the picture's folder (or in --mask-dir): '{stem}_mask.png'.

threads: on the CPU each worker runs PATCHWELL_NUM_THREADS threads when
that is set, else its share of the cores.

outputs: written as regular files in the output folder (a symbolic link
there is replaced, never followed), never over an input picture, a mask or
the source mask of the batch; a replaced file keeps its owner, group and
mode. A picture some of whose holes found no source is written as far as
it could be filled and counted 'incomplete'; a hidden .NAME.incomplete file
beside its output (there from the start of each repair until it ends
whole) makes the next run repair it again. Anything but a regular file or
a link in the place of an output or of such a file is reported, never
written into.

Prints a summary on standard output (one line per picture with -v) and
every failure and incomplete picture on standard error, with a progress
bar there on a terminal. Exit status: 0 when every picture was repaired,
copied or skipped; 1 when any failed; 4 when none failed but some are
incomplete; 2 for a wrong command line or a batch refused up front (a
search radius not above the radius, an output that is an input);
130 when stopped by Ctrl+C, SIGTERM or SIGHUP.
"""


def _whole_number(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'")
    return int(text)


def _search_radius(text: str) -> Union[int, None, str]:
    """--search-radius: pixels, "all" (the whole picture) or "auto"."""
    if text == "all":
        return None
    if text == "auto":
        return text
    return _whole_number(text)


# The most pixels --max-pixels takes: 18 digits, as for the command.
_MAX_PIXELS_DIGITS = 18


def _max_pixels(text: str) -> int:
    if not (text.isdigit() and text.isascii()) or len(text) > _MAX_PIXELS_DIGITS \
            or int(text) < 1:
        raise argparse.ArgumentTypeError(
            f"max-pixels must be a whole number above 0, not '{text}'")
    return int(text)


def _quality(text: str) -> Union[int, str]:
    return text if text == "keep" else _whole_number(text)


def _device(text: str) -> str:
    if text in ("auto", "cpu", "cuda") or re.fullmatch(r"cuda:[0-9]{1,9}", text):
        return text
    raise argparse.ArgumentTypeError(f"not auto, cpu, cuda or cuda:N: '{text}'")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="patchwell batch", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="picture files, folders or globs")
    p.add_argument("--out-dir", required=True, metavar="DIR",
                   help="where the repaired pictures go (made when missing)")
    masks = p.add_argument_group("masks (one of --mask, or --mask-dir and/or --mask-pattern)")
    masks.add_argument("--mask", metavar="FILE", help="one mask for every picture")
    masks.add_argument("--mask-dir", metavar="DIR",
                       help="folder of masks named as the pictures")
    masks.add_argument("--mask-pattern", metavar="PATTERN",
                       help="mask name from the picture's, e.g. '{stem}_mask.png'")
    fill = p.add_argument_group("repair (as for one picture)")
    fill.add_argument("-r", "--radius", type=_whole_number, default=DEFAULT_RADIUS,
                      metavar="N",
                      help=f"window radius, 0 to {MAX_RADIUS} (default {DEFAULT_RADIUS})")
    fill.add_argument("-m", "--method", choices=sorted(_METHODS), default="auto",
                      help="auto (default): thin damage by a smooth fill, holes by the "
                           "exhaustive search; gpu or exhaustive: exhaustive search on "
                           "the chosen device; cpu: the same on the CPU; gpu-fast or "
                           "fast: pruned search")
    fill.add_argument("--device", type=_device, default="auto", metavar="D",
                      help="auto (CUDA when usable, default), cpu, cuda or cuda:N")
    fill.add_argument("--search-radius", type=_search_radius, default="auto", metavar="N",
                      help="take sources only from within N pixels of each "
                           "damaged pixel; all: the whole picture; default auto: 48, "
                           "or more where a hole is deeper")
    fill.add_argument("--source-mask", metavar="FILE",
                      help="take sources only where FILE is brighter than 128")
    fill.add_argument("--find", metavar="K",
                      help="also fill the damage found in each picture: dust, "
                           "scratches, infrared, separated by commas (then a "
                           "mask is optional)")
    files = p.add_argument_group("files")
    files.add_argument("--quality", type=_quality, default="keep", metavar="Q",
                       help="JPEG quality of JPEG outputs, 1 to 100, or keep: that "
                            "of each JPEG input (default: keep, 80 for other inputs)")
    files.add_argument("--max-pixels", type=_max_pixels, metavar="N",
                       help="refuse input files of more than N pixels "
                            "(default 268435456 = 2^28)")
    run = p.add_argument_group("running")
    run.add_argument("-j", "--jobs", type=_whole_number, metavar="N",
                     help="worker processes (default: one per CPU core, or one "
                          "per GPU on CUDA); 0 works in this process")
    run.add_argument("--overwrite", action="store_true",
                     help="repair pictures whose output is already there")
    talk = run.add_mutually_exclusive_group()
    talk.add_argument("-v", "--verbose", action="store_true",
                      help="one line per picture")
    talk.add_argument("-q", "--quiet", action="store_true",
                      help="print nothing but failures")
    return p


def _record_line(record: BatchRecord) -> str:
    if record.status == REPAIRED:
        line = f"{record.output}: {record.filled} pixels filled"
        if record.unfilled:
            line += f", {record.unfilled} found no source"
        return line + f" ({record.seconds:.2f} s)"
    if record.status == INCOMPLETE:
        return f"{record.output}: {record.filled} pixels filled, {record.error}"
    if record.status == UNCHANGED:
        return f"{record.output}: nothing to fill, copied"
    return f"{record.output}: already there, skipped"


def _summary(records: List[BatchRecord], total: int, seconds: float) -> str:
    count = {s: 0 for s in (REPAIRED, INCOMPLETE, UNCHANGED, SKIPPED, FAILED)}
    for r in records:
        count[r.status] += 1
    filled = sum(r.filled for r in records)
    unfilled = sum(r.unfilled for r in records)
    parts = [f"{count[REPAIRED]} repaired"]
    if count[INCOMPLETE]:
        parts.append(f"{count[INCOMPLETE]} incomplete (holes left)")
    if count[UNCHANGED]:
        parts.append(f"{count[UNCHANGED]} with nothing to fill (copied)")
    if count[SKIPPED]:
        parts.append(f"{count[SKIPPED]} skipped (output already there)")
    parts.append(f"{count[FAILED]} failed")
    took = f"{seconds:.1f} s" if seconds < 60 else duration_text(seconds)
    text = (f"{_counted(total, 'picture')}: {', '.join(parts)}; "
            f"{_counted(filled, 'pixel')} filled "
            f"in {took} ({rate_text(filled / max(seconds, 1e-9))})")
    if unfilled:
        text += f"; {unfilled} pixels found no source"
    return text


def _counted(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _close(bar: Optional[ProgressBar]) -> None:
    if bar is not None:
        bar.close()


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.mask is not None and (args.mask_dir is not None or args.mask_pattern is not None):
        parser.error("--mask cannot be combined with --mask-dir or --mask-pattern")
    if (args.mask is None and args.mask_dir is None and args.mask_pattern is None
            and args.find is None):
        parser.error("a mask is needed: --mask, --mask-dir, --mask-pattern or --find")
    try:
        if args.max_pixels is not None:
            set_max_image_pixels(args.max_pixels)
        tasks, options = _prepare(
            args.inputs, args.out_dir, mask=args.mask, mask_dir=args.mask_dir,
            mask_pattern=args.mask_pattern, radius=args.radius,
            method=_METHODS[args.method], device=args.device,
            search_radius=args.search_radius, source_mask=args.source_mask,
            overwrite=args.overwrite, quality=args.quality, find=args.find)
        jobs = _check_jobs(args.jobs)
        if args.device == "cuda" and not _core._cuda_usable():
            raise RuntimeError("--device cuda, but no CUDA device is usable here "
                               f"({_core.device_info()})")
        _make_output_folder(args.out_dir)
    except (ValueError, TypeError, OSError, RuntimeError) as error:
        parser.error(str(error))

    # SIGTERM and SIGHUP end the batch as Ctrl+C does: running pictures are
    # stopped and nothing half-written stays.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    bar = (ProgressBar(sys.stderr, len(tasks))
           if not (args.quiet or args.verbose) and sys.stderr.isatty() else None)
    records: List[BatchRecord] = []
    start = time.monotonic()
    results = _run(tasks, options, jobs)
    try:
        for record in results:
            records.append(record)
            if record.status in (FAILED, INCOMPLETE):
                text = f"patchwell: {record.input}: {record.error}"
                if bar:
                    bar.message(text)
                else:
                    print(text, file=sys.stderr, flush=True)
            elif args.verbose:
                print(_record_line(record), flush=True)
            if bar:
                bar.advance(record.filled, record.status != SKIPPED)
    except KeyboardInterrupt:
        results.close()  # stops the workers
        _close(bar)
        print(f"patchwell: stopped after {len(records)} of {len(tasks)} pictures; "
              "run the same command again to go on", file=sys.stderr, flush=True)
        return EXIT_INTERRUPTED
    except Exception as error:  # the batch itself failed, not a picture
        results.close()
        _close(bar)
        if isinstance(error, OSError) and not records:
            print(f"patchwell: {error.strerror or error}", file=sys.stderr, flush=True)
        else:
            print(f"patchwell: the batch stopped after {len(records)} of {len(tasks)} "
                  f"pictures: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
        return EXIT_FAILED
    _close(bar)
    if not args.quiet:
        print(_summary(records, len(tasks), time.monotonic() - start), flush=True)
    if any(r.status == FAILED for r in records):
        return EXIT_FAILED
    return EXIT_INCOMPLETE if any(r.status == INCOMPLETE for r in records) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(EXIT_INTERRUPTED)
