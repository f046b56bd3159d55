import hashlib
import threading

import numpy as np
import pytest

import blockwright

# SHA-256 of each sample picture's file with the default settings.
EXPECTED = {
    "camera": "052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd",
    "coffee": "0d59d82951c0c0a31349e80c1df712d676c05ce0b95e01343569ed2f2b182c96",
    "astronaut": "10f2628f2e5023a715e9eb7c3817da47c246e656a1d2cb2ee83dfae8b107086d",
    "gravel": "1b13d3e5ed48e64604d550aa943c1e795eb9cc607b2808d18c080913c1a956da",
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
@pytest.mark.parametrize("threads", [1, 2])
def test_sample_pictures(pictures, name, threads):
    assert hashlib.sha256(blockwright.encode(pictures[name], threads=threads)).hexdigest() == EXPECTED[name]


# Crops read in place (lines apart by the full width), odd sizes, settings:
# the same bytes as the program gives for the crop in a PGM file.
@pytest.mark.parametrize("name, rows, cols, quality, restart", [
    ("camera", slice(7, 500), slice(13, 700), 75, 0),
    ("coffee", slice(0, 1024), slice(1, 1280), 90, 7),
    ("gravel", slice(3, 4), slice(5, 1280), 30, 1),
    ("astronaut", slice(100, 109), slice(640, 641), 100, 0),
    ("gravel", slice(0, 1024, 3), slice(0, 999), 50, 160),   # every third line
    ("camera", slice(1, 1023), slice(0, 1280), 1, 65535),
])
def test_crops_match_the_program(pictures, program, tmp_path, name, rows, cols, quality, restart):
    crop = pictures[name][rows, cols]
    expected = program(tmp_path, crop, quality, restart)
    assert blockwright.encode(crop, quality=quality, restart_interval=restart) == expected
    assert blockwright.encode(crop, quality=quality, restart_interval=restart, threads=3) == expected


def layouts(a):
    """The same 37 x 50 frame in every layout a buffer can have."""
    flat = a.tobytes()
    padded = np.zeros((37, 64), np.uint8)
    padded[:, :50] = a
    readonly = a.copy()
    readonly.flags.writeable = False
    return [
        ("contiguous", a, {}),
        ("read-only", readonly, {}),
        ("memoryview", memoryview(a), {}),
        ("bytes with shape", flat, {"shape": (37, 50)}),
        ("bytearray with shape", bytearray(flat), {"shape": [37, 50]}),
        ("padded lines with stride", padded.tobytes(), {"shape": (37, 50), "stride": 64}),
        ("padded lines, last one short", padded.tobytes()[:36 * 64 + 50], {"shape": (37, 50), "stride": 64}),
        ("crop of padded", padded[:, :50], {}),
        ("Fortran order (copied)", np.asfortranarray(a), {}),
        ("every other sample (copied)", np.repeat(a, 2, axis=1)[:, ::2], {}),
        ("lines reversed (copied)", a[::-1].copy()[::-1], {}),
        ("both reversed (copied)", a[::-1, ::-1].copy()[::-1, ::-1], {}),
        ("transposed (copied)", a.T.copy().T, {}),
        ("numpy int as setting", a, {"quality": np.int64(75)}),
    ]


def test_every_layout_gives_the_same_bytes():
    a = np.random.default_rng(1).integers(0, 256, (37, 50), np.uint8)
    expected = blockwright.encode(a)
    for what, image, kwargs in layouts(a):
        assert blockwright.encode(image, **kwargs) == expected, what


@pytest.mark.parametrize("image, expected_program_input", [
    (np.broadcast_to(np.arange(50, dtype=np.uint8), (37, 50)), "lines 0 bytes apart"),
    (np.broadcast_to(np.arange(37, dtype=np.uint8)[:, None], (37, 50)), "samples 0 bytes apart"),
    (np.zeros((1, 1), np.uint8)[:, ::-1], "one sample, reversed"),
    (np.arange(300, dtype=np.uint8).reshape(3, 100)[::-2, 5:6], "one column, lines reversed"),
])
def test_odd_strides(image, expected_program_input):
    assert blockwright.encode(image) == blockwright.encode(np.ascontiguousarray(image)), expected_program_input


g = np.zeros((16, 16), np.uint8)


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("frame",), {}, TypeError, "buffer protocol"),
    ((None,), {}, TypeError, "buffer protocol"),
    ((g.astype(np.uint16),), {}, TypeError, "must be uint8, not uint16"),
    ((g.astype(np.int8),), {}, TypeError, "must be uint8, not int8"),
    ((g.astype(np.float32),), {}, TypeError, "must be uint8, not float32"),
    ((g.astype(bool),), {}, TypeError, "must be uint8"),
    ((memoryview(g.astype(np.int16)),), {}, TypeError, "format 'h'"),
    ((np.zeros((4, 4, 2), np.uint8),), {}, ValueError, "not 2 channels"),
    ((np.zeros((4, 4, 3, 1), np.uint8),), {}, ValueError, "not 4-D"),
    ((np.zeros(16, np.uint8),), {}, ValueError, "needs shape="),
    ((np.uint8(7),), {}, ValueError, "not 0-D"),
    ((np.zeros((0, 5), np.uint8),), {}, ValueError, "width and height must be 1 to 65535 (width 5, height 0)"),
    ((np.zeros((5, 0), np.uint8),), {}, ValueError, "width and height must be 1 to 65535"),
    ((np.zeros((1, 65536), np.uint8),), {}, ValueError, "width and height must be 1 to 65535"),
    ((b"",), {"shape": (0, 0)}, ValueError, "width and height must be 1 to 65535"),
    ((b"abc",), {"shape": (-1, -3)}, ValueError, "width and height must be 1 to 65535"),
    ((bytes(11),), {"shape": (3, 4)}, ValueError, "does not fit the buffer's 11 bytes"),
    ((bytes(19),), {"shape": (3, 4), "stride": 8}, ValueError, "does not fit the buffer's 19 bytes"),
    ((bytes(99),), {"shape": (3, 4), "stride": 3}, ValueError, "stride 3 is less than a line's 4 bytes"),
    ((bytes(99),), {"shape": (3, 4), "stride": 2**70}, ValueError, "does not fit"),
    ((bytes(99),), {"shape": (3, 4), "stride": -4}, ValueError, "stride -4 is less than a line's 4 bytes"),
    ((bytes(99),), {"shape": (3, 4), "stride": 4.0}, TypeError, "stride must be an integer"),
    ((bytes(12),), {"shape": (3, 4, 1, 1)}, ValueError, "shape must be (height, width) or (height, width, channels)"),
    ((bytes(12),), {"shape": 12}, TypeError, "shape must be a (height, width) or (height, width, channels) tuple"),
    ((bytes(12),), {"shape": (3, "4")}, TypeError, "shape must hold integers"),
    ((g.T,), {"shape": (16, 16)}, ValueError, "shape= needs a contiguous buffer"),
    ((g,), {"stride": 16}, ValueError, "stride= is for a flat buffer"),
    ((g,), {"quality": 0}, ValueError, "quality must be 1 to 100 (quality=0)"),
    ((g,), {"quality": 101}, ValueError, "quality must be 1 to 100"),
    ((g,), {"quality": -1}, ValueError, "quality must be 1 to 100"),
    ((g,), {"quality": 2**32 + 75}, ValueError, "quality must be 1 to 100"),
    ((g,), {"quality": 75.0}, TypeError, "quality must be an integer, not float"),
    ((g,), {"quality": "75"}, TypeError, "quality must be an integer, not str"),
    ((g,), {"quality": None}, TypeError, "quality must be an integer"),
    ((g,), {"restart_interval": 65536}, ValueError, "restart interval must be 0 to 65535"),
    ((g,), {"restart_interval": -1}, ValueError, "restart interval must be 0 to 65535"),
    ((g,), {"threads": 0}, ValueError, "threads must be 1 to 64 (threads=0)"),
    ((g,), {"threads": 65}, ValueError, "threads must be 1 to 64"),
    ((g, 75), {}, TypeError, "positional argument"),
    ((g,), {"qualty": 75}, TypeError, "qualty"),
    ((), {}, TypeError, "image"),
])
def test_refusals(args, kwargs, error, message):
    with pytest.raises(error) as e:
        blockwright.encode(*args, **kwargs)
    assert message in str(e.value)


def test_max_encoded_size():
    """The library's bound: a fixed size per block and for the header, blocks
    counted from (height, width); a colour frame's MCUs likewise."""
    bound = blockwright.max_encoded_size
    block = bound((8, 16)) - bound((8, 8))
    header = bound((8, 8)) - block
    assert block >= 64 and header >= 300
    assert bound((1024, 1280)) == 20480 * block + header
    assert bound([1, 65535], quality=100, restart_interval=1, threads=64) == 8192 * block + header
    assert bound((16, 8, 3), sampling="422") > bound((8, 16, 3), sampling="422")  # 2 MCUs against 1


@pytest.mark.parametrize("shape, kwargs, error", [
    ((0, 8), {}, ValueError),
    ((8, 8), {"quality": 0}, ValueError),
    ((8,), {}, ValueError),
    ("ab", {}, TypeError),
])
def test_max_encoded_size_refusals(shape, kwargs, error):
    with pytest.raises(error):
        blockwright.max_encoded_size(shape, **kwargs)


def test_the_bound_holds_for_noise():
    noise = np.random.default_rng(2).integers(0, 256, (64, 72), np.uint8)
    jpeg = blockwright.encode(noise, quality=100, restart_interval=1)
    assert len(jpeg) <= blockwright.max_encoded_size(noise.shape, quality=100, restart_interval=1)
    assert jpeg[:2] == b"\xff\xd8" and jpeg[-2:] == b"\xff\xd9"


def test_version():
    parts = blockwright.__version__.split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)


def test_four_threads_at_once(pictures):
    """Each thread's own frame and settings, many times over: each gets its own bytes."""
    jobs = [(pictures["camera"], 75, 0, 1), (pictures["gravel"][5:900, 3:1201], 90, 13, 1),
            (pictures["coffee"].T, 40, 0, 2), (pictures["astronaut"][::2, ::-1], 75, 160, 1)]
    expected = [blockwright.encode(np.ascontiguousarray(f), quality=q, restart_interval=r)
                for f, q, r, _ in jobs]
    results = [[] for _ in jobs]
    barrier = threading.Barrier(len(jobs))

    def work(i):
        f, q, r, t = jobs[i]
        barrier.wait()
        for _ in range(8):
            results[i].append(blockwright.encode(f, quality=q, restart_interval=r, threads=t))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, e in enumerate(expected):
        assert results[i] == [e] * 8, f"thread {i}"


def test_the_frame_is_held_while_coding():
    """The buffer stays exported while the GIL is released, so another thread
    cannot resize (and move) a bytearray under the encoder."""
    frame = bytearray(np.random.default_rng(3).integers(0, 256, 1024 * 1024, np.uint8).tobytes())
    expected = blockwright.encode(bytes(frame), shape=(1024, 1024))
    done = threading.Event()

    def resize():
        while not done.is_set():
            try:
                frame.extend(bytes(4096))
                del frame[-4096:]
            except BufferError:
                pass  # exported: the encoder holds it

    t = threading.Thread(target=resize)
    t.start()
    try:
        for _ in range(6):
            assert blockwright.encode(frame, shape=(1024, 1024)) == expected
    finally:
        done.set()
        t.join()


@pytest.mark.parametrize("shape", [(70, 90), (70, 90, 3)])
def test_random_views_and_settings(shape):
    """Views of every kind of a random frame, with random settings: the bytes
    of the same samples laid out contiguously, or a ValueError."""
    rng = np.random.default_rng(4)
    base = rng.integers(0, 256, shape, np.uint8)
    for _ in range(300):
        view = base[tuple(slice(rng.choice([None, 1, 5, -7, -1]), rng.choice([None, 2, 40, -4]),
                                rng.choice([1, 2, 3, -1, -2])) for _ in range(2))]
        if len(shape) == 3 and rng.integers(2):
            view = view[..., ::-1]
        if rng.integers(4) == 0:
            view = view.swapaxes(0, 1)
        settings = {"quality": int(rng.integers(-1, 102)), "restart_interval": int(rng.integers(0, 70)),
                    "threads": int(rng.integers(1, 4)), "sampling": str(rng.choice(["444", "422", "420"]))}
        try:
            jpeg = blockwright.encode(view, **settings)
        except ValueError as e:
            assert view.size == 0 or not 1 <= settings["quality"] <= 100, e
            continue
        assert jpeg == blockwright.encode(np.ascontiguousarray(view), **settings)
