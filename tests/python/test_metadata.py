"""What a file says besides its pixels: EXIF, ICC profile and XMP go from
input to output byte for byte (as Pillow reads them; in a TIFF, EXIF is the
first IFD's descriptive tags and its EXIF and GPS IFDs) but for an EXIF
thumbnail, which is cut out, and an EXIF block that other readers cannot parse,
which is dropped; a picture with an EXIF (or XMP) orientation is repaired as
shown when the mask is drawn so, and a JPEG is
written again with its input's quantisation unless a quality is given."""
import os
import subprocess
import sysconfig

import numpy as np
import pytest
import tifffile
from PIL import ExifTags, Image, ImageCms, ImageOps, JpegImagePlugin, PngImagePlugin
from PIL.TiffImagePlugin import IFDRational

import patchwell
from conftest import photo_like

RADIUS = 2
CLI = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")
ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
XMP = (b'<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
       b'<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"/></x:xmpmeta>'
       b'<?xpacket end="w"?>')
# The tags of a TIFF's first IFD that are kept (the others describe its pixels).
DESCRIPTIVE = (0x010E, 0x010F, 0x0110, 0x0112, 0x0131, 0x0132, 0x013B, 0x013C, 0x8298)


def exif(orientation=None):
    tags = Image.Exif()
    tags[0x010F] = "Patchwell test camera"
    tags[0x0131] = "scanner 2.1"
    if orientation is not None:
        tags[0x0112] = orientation
    tags.get_ifd(0x8769).update({0x829A: IFDRational(1, 250), 0x829D: IFDRational(28, 10),
                                 0x9003: "2024:05:06 07:08:09"})
    tags.get_ifd(0x8825).update({0: b"\2\2\0\0", 1: "N",
                                 2: (IFDRational(51), IFDRational(30), IFDRational(1234, 100))})
    return tags


def exif_of(image):
    """The EXIF a picture carries, as Pillow reads it: its first IFD's
    descriptive tags and its EXIF and GPS IFDs."""
    tags = image.getexif()
    return ({tag: value for tag, value in tags.items() if tag in DESCRIPTIVE},
            tags.get_ifd(0x8769), tags.get_ifd(0x8825))


def save(pixels, path, tags, icc=ICC, xmp=XMP, **options):
    image = Image.fromarray(pixels)
    if isinstance(tags, Image.Exif):  # as bytes, with the sub-IFDs
        if path.suffix == ".tif":  # Pillow writes XMP into a TIFF from there
            tags[0x02BC] = xmp
        tags = tags.tobytes()
    if path.suffix == ".png":
        info = PngImagePlugin.PngInfo()
        info.add_itxt("XML:com.adobe.xmp", xmp.decode())
        image.save(path, pnginfo=info, exif=tags, icc_profile=icc)
    else:
        image.save(path, exif=tags, icc_profile=icc, xmp=xmp, **options)


def hole(height, width):
    mask = np.zeros((height, width), np.uint8)
    mask[height // 3:height // 3 + 4, width // 2:width // 2 + 3] = 255
    return mask


def cli(*args, quiet=True):
    return subprocess.run([CLI, *map(str, args), "-r", str(RADIUS), "--device", "cpu",
                           "-q" if quiet else "-v"], capture_output=True, text=True, timeout=60)


def repaired(tmp_path, source, target, *options, shape=(24, 31), quiet=True):
    """The command's run from in.<source> to out.<target>, a hole in the mask."""
    Image.fromarray(hole(*shape)).save(tmp_path / "mask.png")
    done = cli(tmp_path / f"in.{source}", tmp_path / "mask.png", "-o", tmp_path / f"out.{target}",
               *options, quiet=quiet)
    assert done.returncode == 0, done.stderr
    return done


def xmp_of(image):
    xmp = image.info.get("xmp")
    return xmp.encode() if isinstance(xmp, str) else xmp


@pytest.mark.parametrize("source, target", [("jpg", "jpg"), ("png", "png"), ("jpg", "png"),
                                            ("png", "jpg"), ("jpg", "webp"), ("png", "tif"),
                                            ("jpg", "tif"), ("tif", "tif"), ("tif", "jpg")])
def test_metadata_blocks_are_kept(tmp_path, source, target):
    save(photo_like(24, 31, 5), tmp_path / f"in.{source}", exif())
    repaired(tmp_path, source, target)
    with Image.open(tmp_path / f"in.{source}") as image, \
            Image.open(tmp_path / f"out.{target}") as out:
        assert out.info.get("icc_profile") == ICC
        assert xmp_of(out) == XMP
        assert exif_of(out) == exif_of(image)
        assert exif_of(out)[1][0x829A] == IFDRational(1, 250)


def first_ifd(block):
    """The byte order of an EXIF block and where its first IFD's entries
    and link to the next IFD lie."""
    order = "little" if block[:2] == b"II" else "big"
    at = int.from_bytes(block[4:8], order)
    count = int.from_bytes(block[at:at + 2], order)
    return order, [at + 2 + 12 * i for i in range(count)], at + 2 + 12 * count


def with_thumbnail(block, thumbnail):
    """The block with a second IFD that locates `thumbnail` (a JPEG)."""
    order, _, link = first_ifd(block)
    u16, u32 = (lambda v: v.to_bytes(2, order)), (lambda v: v.to_bytes(4, order))
    at = len(block) + len(block) % 2
    ifd1 = u16(2) + b"".join(u16(tag) + u16(4) + u32(1) + u32(value)  # JPEGInterchangeFormat(Length)
                             for tag, value in ((0x0201, at + 30), (0x0202, len(thumbnail))))
    return (block[:link] + u32(at) + block[link + 4:] + bytes(at - len(block)) + ifd1 + u32(0)
            + thumbnail)


@pytest.mark.parametrize("target", ["jpg", "png", "webp"])
def test_the_exif_thumbnail_is_cut_out_and_the_rest_kept(tmp_path, target):
    marker = b"thumbnail of the unrepaired picture"
    Image.fromarray(photo_like(8, 8, 2)).save(tmp_path / "thumbnail.jpg", comment=marker)
    tags = exif()
    tags[0x011A] = IFDRational(300)  # XResolution: not descriptive, kept all the same
    block = with_thumbnail(tags.tobytes()[6:], (tmp_path / "thumbnail.jpg").read_bytes())
    save(photo_like(24, 31, 5), tmp_path / "in.jpg", b"Exif\0\0" + block)
    assert marker in (tmp_path / "in.jpg").read_bytes()
    repaired(tmp_path, "jpg", target)
    assert marker not in (tmp_path / f"out.{target}").read_bytes()
    with Image.open(tmp_path / "in.jpg") as image, \
            Image.open(tmp_path / f"out.{target}") as out:
        got, want = out.getexif(), image.getexif()
        assert 0x0201 in want.get_ifd(ExifTags.IFD.IFD1) and not got.get_ifd(ExifTags.IFD.IFD1)
        assert {tag: got[tag] for tag in got if tag not in (0x8769, 0x8825)} == \
            {tag: want[tag] for tag in want if tag not in (0x8769, 0x8825)}
        assert exif_of(out) == exif_of(image)


def broken(problem):
    """An EXIF block that other readers cannot parse."""
    block = exif().tobytes()[6:]
    order, entries, _ = first_ifd(block)
    return {"no TIFF header": b"XX" + block[2:],
            "first IFD outside the block": block[:4] + (len(block) - 1).to_bytes(4, order)
            + block[8:],
            "first IFD cut short": block[:entries[-1] + 4],
            "kept": b"Exif\0\0" + block}[problem]


@pytest.mark.parametrize("problem, target", [("no TIFF header", "jpg"),
                                             ("first IFD outside the block", "png"),
                                             ("first IFD cut short", "webp"),
                                             ("kept", "webp")])
def test_exif_that_other_readers_cannot_parse_is_dropped(tmp_path, problem, target):
    # A WebP file may hold a block after its own "Exif\0\0": that one is kept.
    source = "webp" if problem == "kept" else "jpg"
    save(photo_like(24, 31, 5), tmp_path / f"in.{source}", b"Exif\0\0" + broken(problem))
    done = repaired(tmp_path, source, target, quiet=False)
    dropped = f"EXIF Dropped:       {problem}\n"
    assert (dropped in done.stdout) == (problem != "kept"), done.stdout
    with Image.open(tmp_path / f"out.{target}") as out:
        ImageOps.exif_transpose(out)  # fails on such a block
        got = exif_of(out)
    if problem != "kept":
        assert got == ({}, {}, {})
    else:
        with Image.open(tmp_path / f"in.{source}") as image:
            assert got == exif_of(image)


def long_orientation(block):
    """The block with its orientation, a SHORT, made a LONG."""
    order, entries, _ = first_ifd(block)
    block = bytearray(block)
    at, = (e for e in entries if int.from_bytes(block[e:e + 2], order) == 0x0112)
    value = int.from_bytes(block[at + 8:at + 10], order)
    block[at + 2:at + 4] = (4).to_bytes(2, order)
    block[at + 8:at + 12] = value.to_bytes(4, order)
    return bytes(block)


XMP_ORIENTATION = {"xmp attribute": b'<rdf:Description tiff:Orientation="%d"/>',
                   "xmp element": b"<rdf:Description><tiff:Orientation>%d</tiff:Orientation>"
                                  b"</rdf:Description>"}


# The orientation is EXIF's (a SHORT, or a LONG), or, where EXIF has none, XMP's.
@pytest.mark.parametrize("orientation, kind, stored_as",
                         [(o, "png", "short") for o in range(1, 9)]
                         + [(6, "tif", "short"), (6, "png", "long"), (8, "png", "xmp attribute"),
                            (5, "png", "xmp element")])
def test_turned_pictures_are_repaired_as_shown(tmp_path, orientation, kind, stored_as):
    stored = photo_like(24, 31, orientation)
    tags, xmp = exif(orientation), XMP
    if stored_as == "long":
        tags = b"Exif\0\0" + long_orientation(tags.tobytes()[6:])
    elif stored_as in XMP_ORIENTATION:
        tags = exif()
        xmp = XMP.replace(b'-ns#"/>', b'-ns#" xmlns:tiff="http://ns.adobe.com/tiff/1.0/">'
                          + XMP_ORIENTATION[stored_as] % orientation + b"</rdf:RDF>")
    save(stored, tmp_path / f"in.{kind}", tags, xmp=xmp)
    with Image.open(tmp_path / f"in.{kind}") as image:
        shown = np.asarray(ImageOps.exif_transpose(image))
    # Where the sizes agree (2 to 4) the mask is taken as drawn on the shown picture.
    for drawn, pixels in (("shown", shown), ("stored", stored))[:1 if orientation < 5 else 2]:
        repaired(tmp_path, kind, kind, shape=pixels.shape[:2])
        want = patchwell.repair(pixels, hole(*pixels.shape[:2]) > 128, RADIUS, device="cpu")[0]
        with Image.open(tmp_path / f"out.{kind}") as out:
            turned = drawn == "shown" and orientation != 1
            assert out.getexif().get(0x0112) == (1 if turned else orientation)
            assert out.getexif().get(0x010F) == "Patchwell test camera"
            if stored_as in XMP_ORIENTATION:  # only the value changes
                value = XMP_ORIENTATION[stored_as]
                assert xmp_of(out) == (xmp.replace(value % orientation, value % 1) if turned
                                       else xmp)
            # Pillow turns a TIFF as it reads its pixels; tifffile does not.
            got = tifffile.imread(out.filename) if kind == "tif" else np.asarray(out)
            np.testing.assert_array_equal(got, want)


def test_a_mask_of_neither_size_names_the_shown_one(tmp_path):
    save(photo_like(20, 30, 1), tmp_path / "in.jpg", exif(6))
    Image.fromarray(hole(21, 30)).save(tmp_path / "mask.png")
    done = cli(tmp_path / "in.jpg", tmp_path / "mask.png", "-o", tmp_path / "out.jpg")
    assert done.returncode == 1
    assert "is 30x21 pixels but image" in done.stderr
    assert "is 30x20 (shown as 20x30: EXIF orientation 6)" in done.stderr
    # A batch says so too.
    from patchwell.batch import repair_files
    record, = repair_files([(tmp_path / "in.jpg", tmp_path / "mask.png")], tmp_path / "out",
                           jobs=0, device="cpu")
    assert record.error.endswith("is 30x20 (shown as 20x30: EXIF orientation 6)")


@pytest.mark.parametrize("quality, subsampling", [(95, 0), (60, 2), (85, 1)])
def test_jpeg_quality_is_kept_unless_given(tmp_path, quality, subsampling):
    save(photo_like(40, 48, 2), tmp_path / "in.jpg", exif(), quality=quality,
         subsampling=subsampling)
    with Image.open(tmp_path / "in.jpg") as image:
        tables, sampling = image.quantization, JpegImagePlugin.get_sampling(image)
    for option in ([], ["--quality", "keep"], ["--quality", "30"], "keep", 80):
        if isinstance(option, list):
            repaired(tmp_path, "jpg", "jpg", *option, shape=(40, 48))
        else:  # the package's default stays 80
            assert patchwell.inpaint_file(tmp_path / "in.jpg", tmp_path / "mask.png",
                                          tmp_path / "out.jpg", RADIUS, patchwell.InpaintGPU,
                                          device="cpu", quality=option)
        with Image.open(tmp_path / "out.jpg") as out:
            kept = out.quantization == tables and JpegImagePlugin.get_sampling(out) == sampling
            assert kept == (option in ([], ["--quality", "keep"], "keep"))


@pytest.mark.parametrize("route", ["command", "inpaint_file", "batch"])
def test_kept_tables_with_zeros_are_written_as_baseline(tmp_path, route):
    # Entries of 0 in the first table (Pillow reads such a file) used to
    # end the process with a division by zero.
    save(photo_like(40, 48, 2), tmp_path / "in.jpg", exif())
    data = bytearray((tmp_path / "in.jpg").read_bytes())
    table = data.index(b"\xff\xdb") + 5
    data[table + 10:table + 20] = bytes(10)
    (tmp_path / "in.jpg").write_bytes(data)
    save(photo_like(40, 48, 3), tmp_path / "later.jpg", exif())
    Image.fromarray(hole(40, 48)).save(tmp_path / "mask.png")
    (tmp_path / "out").mkdir()
    outputs = [tmp_path / "out" / "in.jpg", tmp_path / "out" / "later.jpg"]
    if route == "command":
        done = cli(tmp_path / "in.jpg", tmp_path / "mask.png", "-o", outputs[0])
        assert done.returncode == 0, done.stderr
        outputs.pop()
    elif route == "inpaint_file":
        assert patchwell.inpaint_file(tmp_path / "in.jpg", tmp_path / "mask.png", outputs[0],
                                      RADIUS, patchwell.InpaintGPU, device="cpu",
                                      quality="keep")
        outputs.pop()
    else:
        from patchwell.batch import repair_files
        records = repair_files([(tmp_path / name, tmp_path / "mask.png")
                                for name in ("in.jpg", "later.jpg")], tmp_path / "out",
                               jobs=0, device="cpu", quality="keep")
        assert [r.status for r in records] == ["repaired"] * 2
    with Image.open(tmp_path / "in.jpg") as image:
        tables = image.quantization[0]
    for output in outputs:
        data = output.read_bytes()
        assert b"\xff\xc0" in data and b"\xff\xc1" not in data  # baseline
        with Image.open(output) as out:
            assert output.name == "later.jpg" or \
                list(out.quantization[0]) == [max(v, 1) for v in tables]
    assert not [p for p in (tmp_path / "out").iterdir() if p.suffix == ".tmp"]


def test_a_gray_jpeg_comes_back_gray_at_its_density(tmp_path):
    Image.fromarray(photo_like(24, 31, 5)[:, :, 1]).save(tmp_path / "in.jpg", dpi=(600, 600),
                                                         quality=70)
    repaired(tmp_path, "jpg", "jpg")
    with Image.open(tmp_path / "in.jpg") as image, Image.open(tmp_path / "out.jpg") as out:
        assert out.mode == "L"
        assert out.info["dpi"] == (600, 600)
        assert out.quantization == image.quantization


@pytest.mark.parametrize("source, target, unit", [("png", "png", None), ("tif", "tif", 2),
                                                  ("tif", "tif", 3), ("tif", "png", 2)])
def test_resolution_is_kept(tmp_path, source, target, unit):
    pixels = photo_like(12, 14, 3)
    if source == "png":  # pHYs: 23622 pixels per metre
        Image.fromarray(pixels).save(tmp_path / "in.png", dpi=(600, 600))
    else:
        tifffile.imwrite(tmp_path / "in.tif", pixels, photometric="rgb",
                         resolution=(600, 300) if unit == 2 else (236.22, 118.11),
                         resolutionunit=unit)
    repaired(tmp_path, source, target, shape=(12, 14))
    if target == "tif":
        tags = tifffile.TiffFile(tmp_path / "out.tif").pages[0].tags
        assert tags["ResolutionUnit"].value == unit
        want = (600, 300) if unit == 2 else (236.22, 118.11)
        got = [numerator / denominator for numerator, denominator in
               (tags["XResolution"].value, tags["YResolution"].value)]
        assert got == pytest.approx(want, rel=1e-6)
    else:
        with Image.open(tmp_path / f"out.{target}") as out:
            assert out.info["dpi"] == pytest.approx((600, 300 if source == "tif" else 600),
                                                    abs=0.01)
