"""retag-wheel.py WHEEL TAG: the wheel as one for CPython TAG (cp310, say):
its WHEEL file's tags, its RECORD and its file name, written beside it; the
original is removed. For a wheel built for another CPython than the one
that drove the build, whose tags are the driver's. Its extension modules
must already carry TAG's suffix."""
import base64
import hashlib
import os
import re
import sys
import zipfile


def digest(data):
    sha = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return f"sha256={sha.decode()},{len(data)}"


def main(path, tag):
    name = os.path.basename(path)
    m = re.fullmatch(r"(?P<dist>[^-]+-[^-]+)-(?P<py>cp\d+)-(?P=py)-(?P<plat>[^-]+)\.whl", name)
    if not m:
        sys.exit(f"{name}: not a CPython wheel name")
    old, plat = m["py"], m["plat"]
    with zipfile.ZipFile(path) as src:
        items = [(i, src.read(i)) for i in src.infolist()]
    modules = [i.filename for i, _ in items if i.filename.endswith(".so") and ".cpython-" in i.filename]
    bad = [f for f in modules if f".cpython-{tag[2:]}-" not in f]
    if not modules or bad:
        sys.exit(f"{name}: extension modules {bad or 'missing'} lack the suffix of {tag}")
    out = os.path.join(os.path.dirname(path), f"{m['dist']}-{tag}-{tag}-{plat}.whl")
    files = {}
    for info, data in items:
        if info.filename.endswith(".dist-info/WHEEL"):
            data = data.replace(f"Tag: {old}-{old}-".encode(), f"Tag: {tag}-{tag}-".encode())
            if f"Tag: {tag}-{tag}-".encode() not in data:
                sys.exit(f"{name}: no tag {old}-{old} in {info.filename}")
        files[info.filename] = (info, data)
    record = next(f for f in files if f.endswith(".dist-info/RECORD"))
    lines = [f"{f},{digest(d)}" for f, (_, d) in files.items() if f != record]
    files[record] = (files[record][0], ("\n".join(lines + [f"{record},,"]) + "\n").encode())
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as dst:
        for info, data in files.values():
            dst.writestr(info, data)
    os.remove(path)
    print(out)


if __name__ == "__main__":
    main(*sys.argv[1:])
