"""What the tests share: the sample pictures and the blockwright program.

BLOCKWRIGHT_IMAGES_DIR names the sample pictures (default: ../shared/images
beside the repository); BLOCKWRIGHT_PROGRAM the blockwright program the
bytes are compared with (default: the repository's build/programs/blockwright).
"""
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]
IMAGES = Path(os.environ.get("BLOCKWRIGHT_IMAGES_DIR", REPO.parent / "shared" / "images"))
PICTURES = ["camera", "coffee", "astronaut", "gravel"]


def read_pnm(path):
    """A binary PGM (P5) or PPM (P6), maxval 255, as a (height, width) or
    (height, width, 3) uint8 array."""
    data = Path(path).read_bytes()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] in (b"P5", b"P6") and fields[3] == b"255", f"{path}: not an 8-bit binary PGM or PPM"
    width, height, channels = int(fields[1]), int(fields[2]), 3 if fields[0] == b"P6" else 1
    frame = np.frombuffer(data, np.uint8, width * height * channels, pos + 1)
    return frame.reshape(height, width, channels) if channels == 3 else frame.reshape(height, width)


def write_pnm(path, frame):
    frame = np.ascontiguousarray(frame)
    magic = b"P6" if frame.ndim == 3 else b"P5"
    Path(path).write_bytes(b"%s\n%d %d\n255\n" % (magic, frame.shape[1], frame.shape[0]) + frame.tobytes())


@pytest.fixture(scope="session")
def pictures():
    """The four 1280 x 1024 sample pictures by name."""
    missing = [n for n in PICTURES if not (IMAGES / f"{n}.y").is_file()]
    if missing:
        pytest.fail(f"sample pictures not found in {IMAGES} (set BLOCKWRIGHT_IMAGES_DIR)")
    return {n: read_pnm(IMAGES / f"{n}.y") for n in PICTURES}


@pytest.fixture(scope="session")
def program():
    """Runs the blockwright program on a frame: the C library's bytes."""
    path = Path(os.environ.get("BLOCKWRIGHT_PROGRAM", REPO / "build" / "programs" / "blockwright"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"{path}: no blockwright program there (build the repository, "
                    "or set BLOCKWRIGHT_PROGRAM)")

    def run(tmp_path, frame, quality=75, restart_interval=0, args=()):
        """frame: an array, given as a PGM or PPM file, or raw bytes for
        args such as --size and --format."""
        source, jpg = tmp_path / "frame.in", tmp_path / "frame.jpg"
        if isinstance(frame, bytes):
            source.write_bytes(frame)
        else:
            write_pnm(source, frame)
        subprocess.run([str(path), "-q", str(quality), "--restart", str(restart_interval), *args,
                        "-o", str(jpg), str(source)], check=True)
        return jpg.read_bytes()

    return run
