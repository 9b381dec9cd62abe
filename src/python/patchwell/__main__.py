"""python -m patchwell: the `patchwell` command, for environments whose
scripts folder is not on the PATH. ``python -m patchwell batch ...`` runs
the batch command in this interpreter; everything else runs the native
command installed beside it."""
from __future__ import annotations

import os
import sys
import sysconfig
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["batch"]:
        from .batch.__main__ import main as batch_main
        return batch_main(args[1:])
    command = os.path.join(sysconfig.get_path("scripts"), "patchwell")
    if not os.access(command, os.X_OK):
        print(f"patchwell: the command is not installed beside this Python ({command}); "
              "install patchwell with pip", file=sys.stderr)
        return 1
    sys.stdout.flush()
    os.execv(command, [command, *args])
    return 1  # not reached


if __name__ == "__main__":
    sys.exit(main())
