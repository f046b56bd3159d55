"""Colour frames: interleaved RGB and its orders, YUV planes and NV12."""
import hashlib

import numpy as np
import pytest

import blockwright
from conftest import IMAGES, read_pnm


@pytest.fixture(scope="module")
def chelsea():
    """451 x 300: an odd width, a height that is not a multiple of 16."""
    return read_pnm(IMAGES / "chelsea.ppm")


def ycbcr(rgb):
    """The library's integer RGB to YCbCr, as full-size planes."""
    r, g, b = (rgb[..., i].astype(np.int64) for i in range(3))
    y = (19595 * r + 38470 * g + 7471 * b + 32768) >> 16
    cb = (-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16
    cr = (32768 * r - 27439 * g - 5329 * b + 8421375) >> 16
    return [p.astype(np.uint8) for p in (y, cb, cr)]


def halve(plane, vertical):
    """Chroma averaged over horizontal pairs, or 2 x 2 groups; an odd last
    column or line paired with itself."""
    p = np.pad(plane.astype(np.int64), ((0, plane.shape[0] % 2 if vertical else 0), (0, plane.shape[1] % 2)),
               mode="edge")
    if vertical:
        return ((p[0::2, 0::2] + p[0::2, 1::2] + p[1::2, 0::2] + p[1::2, 1::2] + 2) >> 2).astype(np.uint8)
    return ((p[:, 0::2] + p[:, 1::2] + 1) >> 1).astype(np.uint8)


# The sample pictures' files as they must be.
@pytest.mark.parametrize("name, sampling, quality, restart, sha", [
    ("astronaut", "420", 75, 0, "f280924e345586ad4806629d3fad1501d55f195814227d08487041e1c607000f"),
    ("astronaut", "422", 75, 0, "160a94d1398ff156fd571d57f9b61ee1f1aeeb18cdc8681a7e7bf03cd9229709"),
    ("astronaut", "444", 75, 0, "385e90e53c14effd867930c6216e9dc7caf3343ae2becaf1aa7acb2add9ae560"),
    ("coffee", "420", 75, 0, "5ec155d26e76d15964ff556d4a0ebe03ad9923a98ca8e67f4f61b20e67440b4b"),
    ("coffee", 422, 75, 0, "25edbf06a713f1e0ae1ec19f1db3652b2858a1f49c9538496f40b14a7c0d9583"),
    ("coffee", 444, 75, 0, "c7fe51e6f4384ab699b625455f205d02d5f2ebf7d7a9acf32ad82e92643f39e6"),
    ("chelsea", None, 75, 0, "3121f40e140cb159e3d3983a1a61b6bacfdff50ed84266944ba5343ea9a0e6c1"),
    ("chelsea", "422", 75, 0, "8458eea0c753828fcc80bf852c2a53f978ced0df716ae48c11b08c5a945ff2bd"),
    ("chelsea", "444", 75, 0, "bc9ea1834e3c1c63022e361527b833269474345bd1481dc0cfd48c022f91b91c"),
    ("chelsea", "420", 90, 5, "c3c716c5003f1c8b6e29e9c176c909e49f2615e125d534dc24fb0509666034e2"),
    ("chelsea", "422", 30, 7, "96f7a8068558dfc528f4c58ed1c75ee5ec2a54f8c728acc2ee164fd23dd3ded4"),
])
@pytest.mark.parametrize("threads", [1, 2])
def test_colour_pictures(name, sampling, quality, restart, sha, threads):
    rgb = read_pnm(IMAGES / f"{name}.ppm")
    settings = {"quality": quality, "restart_interval": restart, "threads": threads}
    if sampling is not None:
        settings["sampling"] = sampling
    assert hashlib.sha256(blockwright.encode(rgb, **settings)).hexdigest() == sha


def test_gray_from_colour(chelsea):
    sha = "f98d369c8278881fe25017d8ab87cf8e05590064b8e6f9d30bd32e2995221a77"
    y, cb, cr = ycbcr(chelsea)
    for jpeg in (blockwright.encode(chelsea, gray=True), blockwright.encode(y),
                 blockwright.encode_yuv(y, halve(cb, True), halve(cr, True), gray=True),
                 blockwright.encode_nv12(y, np.dstack([halve(cb, True), halve(cr, True)]), gray=True)):
        assert hashlib.sha256(jpeg).hexdigest() == sha


@pytest.mark.parametrize("sampling", ["444", "422", "420"])
def test_every_input_kind_gives_the_same_file(chelsea, sampling):
    """RGB in any order and layout, and the YUV planes of the same picture."""
    h, w, _ = chelsea.shape
    expected = blockwright.encode(chelsea, sampling=sampling)
    pad = np.random.default_rng(5).integers(0, 256, (h, w, 1), np.uint8)
    wide = np.zeros((h + 9, w + 13, 3), np.uint8)
    wide[4:4 + h, 7:7 + w] = chelsea
    y, cb, cr = ycbcr(chelsea)
    layouts = [
        ("BGR", chelsea[..., ::-1].copy(), {"order": "BGR"}),
        ("RGBX", np.concatenate([chelsea, pad], axis=2), {}),
        ("BGRX", np.concatenate([chelsea[..., ::-1], pad], axis=2), {"order": "BGR"}),
        ("flat bytes", chelsea.tobytes(), {"shape": (h, w, 3)}),
        ("padded lines", wide.tobytes()[(4 * (w + 13) + 7) * 3:], {"shape": (h, w, 3), "stride": (w + 13) * 3}),
        ("crop", wide[4:4 + h, 7:7 + w], {}),
        ("channels reversed twice (copied)", chelsea[..., ::-1][..., ::-1], {}),
        ("Fortran order (copied)", np.asfortranarray(chelsea), {}),
        ("lines reversed (copied)", chelsea[::-1].copy()[::-1], {}),
        ("planar in memory (copied)", np.moveaxis(np.ascontiguousarray(np.moveaxis(chelsea, 2, 0)), 0, 2), {}),
        ("I444 planes", None, (y, cb, cr)),
        ("I444 planes, transposed (copied)", None, (y.T.copy().T, cb.T.copy().T, cr[::-1].copy()[::-1])),
    ]
    if sampling in ("422", "420"):
        layouts.append(("I422 planes", None, (y, halve(cb, False), halve(cr, False))) if sampling == "422"
                       else ("I420 planes", None, (y, halve(cb, True), halve(cr, True))))
    if sampling == "420":
        cbcr = np.dstack([halve(cb, True), halve(cr, True)])
        layouts += [("NV12 pairs", None, cbcr), ("NV12 lines", None, cbcr.reshape(cbcr.shape[0], -1))]
    for what, image, extra in layouts:
        if image is not None:
            jpeg = blockwright.encode(image, sampling=sampling, **extra)
        elif isinstance(extra, tuple):
            jpeg = blockwright.encode_yuv(*extra, sampling=sampling)
        else:
            jpeg = blockwright.encode_nv12(y, extra, sampling=sampling)
        assert jpeg == expected, what


@pytest.mark.parametrize("rows, cols, sampling, quality, restart", [
    (slice(7, 300), slice(13, 450), "420", 75, 0),
    (slice(1, 300, 2), slice(0, 451), "422", 90, 3),
    (slice(0, 17), slice(5, 6), "444", 50, 1),
    (slice(100, 101), slice(0, 451, 3), "420", 100, 0),
])
def test_colour_crops_match_the_program(chelsea, program, tmp_path, rows, cols, sampling, quality, restart):
    crop = chelsea[rows, cols]
    expected = program(tmp_path, crop, quality, restart, ["--sampling", sampling])
    assert blockwright.encode(crop, sampling=sampling, quality=quality, restart_interval=restart) == expected


@pytest.mark.parametrize("fmt, vertical, sampling", [
    ("i444", None, None), ("i444", None, "420"), ("i422", False, None), ("i422", False, "420"),
    ("i420", True, None), ("nv12", True, None),
])
def test_planes_match_the_program(chelsea, program, tmp_path, fmt, vertical, sampling):
    crop = chelsea[3:290, 2:449]  # 447 x 287: odd both ways
    y, cb, cr = ycbcr(crop)
    if vertical is not None:
        cb, cr = halve(cb, vertical), halve(cr, vertical)
    raw = y.tobytes() + (np.dstack([cb, cr]).tobytes() if fmt == "nv12" else cb.tobytes() + cr.tobytes())
    args = ["--size", "447x287", "--format", fmt] + (["--sampling", sampling] if sampling else [])
    expected = program(tmp_path, raw, 80, 2, args)
    settings = {"quality": 80, "restart_interval": 2, "sampling": sampling}
    if fmt == "nv12":
        assert blockwright.encode_nv12(y, np.dstack([cb, cr]), **settings) == expected
    else:
        assert blockwright.encode_yuv(y, cb, cr, **settings) == expected


y8, c4 = np.zeros((8, 8), np.uint8), np.zeros((4, 4), np.uint8)
rgb8 = np.zeros((8, 8, 3), np.uint8)


@pytest.mark.parametrize("call, args, kwargs, error, message", [
    (blockwright.encode, (rgb8,), {"sampling": "411"}, ValueError, "sampling must be 444, 422 or 420"),
    (blockwright.encode, (rgb8,), {"sampling": 0}, ValueError, "sampling must be 444, 422 or 420"),
    (blockwright.encode, (rgb8,), {"sampling": 4.2}, TypeError, "sampling must be"),
    (blockwright.encode, (rgb8,), {"order": "RGBA"}, ValueError, "order must be \"RGB\" or \"BGR\""),
    (blockwright.encode, (rgb8,), {"order": 1}, ValueError, "order must be"),
    (blockwright.encode, (y8,), {"order": "rgb"}, ValueError, "order must be"),
    (blockwright.encode, (rgb8[..., :2],), {}, ValueError, "not 2 channels"),
    (blockwright.encode, (bytes(8 * 8 * 5),), {"shape": (8, 8, 5)}, ValueError, "not 5 channels"),
    (blockwright.encode, (bytes(191),), {"shape": (8, 8, 3)}, ValueError, "does not fit"),
    (blockwright.encode_yuv, (y8, c4, c4), {"sampling": "444"}, ValueError, "no finer than the input's"),
    (blockwright.encode_yuv, (y8, y8, c4), {}, ValueError, "cb is (8, 8) but cr (4, 4)"),
    (blockwright.encode_yuv, (y8, c4[:3], c4[:3]), {}, ValueError, "cb and cr are (8, 8), (8, 4) or (4, 4)"),
    (blockwright.encode_yuv, (y8, rgb8, rgb8), {}, ValueError, "cb: a plane is a 2-D"),
    (blockwright.encode_yuv, (y8, c4.astype(np.int16), c4), {}, TypeError, "cb: samples must be uint8"),
    (blockwright.encode_yuv, (y8, c4, "cr"), {}, TypeError, "cr must be a uint8 array"),
    (blockwright.encode_yuv, (y8[:0], c4[:0], c4[:0]), {}, ValueError, "width and height must be 1 to 65535"),
    (blockwright.encode_yuv, (y8, c4), {}, TypeError, "cr"),
    (blockwright.encode_nv12, (y8, np.zeros((4, 4, 3), np.uint8)), {}, ValueError, "cbcr is (4, 4, 2) or (4, 8)"),
    (blockwright.encode_nv12, (y8, np.zeros((4, 7), np.uint8)), {}, ValueError, "cbcr is (4, 4, 2) or (4, 8)"),
    (blockwright.encode_nv12, (y8, np.zeros((4, 8), np.uint8)), {"sampling": 422}, ValueError, "no finer"),
    (blockwright.max_encoded_size, ((8, 8, 2),), {}, ValueError, "not 2 channels"),
])
def test_colour_refusals(call, args, kwargs, error, message):
    with pytest.raises(error) as e:
        call(*args, **kwargs)
    assert message in str(e.value)


def test_colour_bound(chelsea):
    for sampling in ("444", "422", "420"):
        bound = blockwright.max_encoded_size(chelsea.shape, sampling=sampling, quality=100, restart_interval=1)
        assert len(blockwright.encode(chelsea, sampling=sampling, quality=100, restart_interval=1)) <= bound
        assert bound > blockwright.max_encoded_size(chelsea.shape[:2], quality=100, restart_interval=1)
    assert blockwright.max_encoded_size(chelsea.shape, gray=True) == blockwright.max_encoded_size(chelsea.shape[:2])


EXIF = b"Exif\x00\x00MM\x00*\x00\x00\x00\x08\x00\x00"


@pytest.mark.parametrize("frame, kwargs, args", [
    ("gray", {"comment": "camera 3, frame 17"}, ["--comment", "camera 3, frame 17"]),
    ("gray", {"exif": EXIF}, ["--exif", "EXIF"]),
    ("colour", {"exif": bytearray(EXIF), "comment": b"x" * 65533, "sampling": "444"},
     ["--exif", "EXIF", "--comment", "x" * 65533, "--sampling", "444"]),
    ("colour", {"comment": "", "gray": True}, ["--comment", "", "--gray"]),
])
def test_metadata_matches_the_program(pictures, chelsea, program, tmp_path, frame, kwargs, args):
    image = pictures["camera"][:200, :300] if frame == "gray" else chelsea
    (tmp_path / "EXIF").write_bytes(EXIF)
    args = [str(tmp_path / "EXIF") if a == "EXIF" else a for a in args]
    expected = program(tmp_path, image, 75, 0, args)
    assert blockwright.encode(image, **kwargs) == expected
    bound = blockwright.max_encoded_size(image.shape, **{k: v for k, v in kwargs.items()})
    assert len(expected) <= bound


@pytest.mark.parametrize("kwargs, error, message", [
    ({"exif": bytes(65534)}, ValueError, "metadata segments must be APP1 to APP15 or COM, of at most 65533 bytes"),
    ({"comment": "é" * 40000}, ValueError, "of at most 65533 bytes"),
    ({"exif": "Exif"}, TypeError, "exif must be bytes, not str"),
    ({"comment": 17}, TypeError, "comment must be bytes or str, not int"),
])
def test_metadata_refusals(kwargs, error, message):
    with pytest.raises(error) as e:
        blockwright.encode(y8, **kwargs)
    assert message in str(e.value)
