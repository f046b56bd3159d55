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


def read_pgm(path):
    """A binary PGM (P5, maxval 255) as a (height, width) uint8 array."""
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
    assert fields[0] == b"P5" and fields[3] == b"255", f"{path}: not an 8-bit binary PGM"
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(data, np.uint8, width * height, pos + 1).reshape(height, width)


def write_pgm(path, frame):
    frame = np.ascontiguousarray(frame)
    Path(path).write_bytes(b"P5\n%d %d\n255\n" % (frame.shape[1], frame.shape[0]) + frame.tobytes())


@pytest.fixture(scope="session")
def pictures():
    """The four 1280 x 1024 sample pictures by name."""
    missing = [n for n in PICTURES if not (IMAGES / f"{n}.y").is_file()]
    if missing:
        pytest.fail(f"sample pictures not found in {IMAGES} (set BLOCKWRIGHT_IMAGES_DIR)")
    return {n: read_pgm(IMAGES / f"{n}.y") for n in PICTURES}


@pytest.fixture(scope="session")
def program():
    """Runs the blockwright program on a frame: the C library's bytes."""
    path = Path(os.environ.get("BLOCKWRIGHT_PROGRAM", REPO / "build" / "programs" / "blockwright"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"{path}: no blockwright program there (build the repository, "
                    "or set BLOCKWRIGHT_PROGRAM)")

    def run(tmp_path, frame, quality=75, restart_interval=0):
        pgm, jpg = tmp_path / "frame.pgm", tmp_path / "frame.jpg"
        write_pgm(pgm, frame)
        subprocess.run([str(path), "-q", str(quality), "--restart", str(restart_interval),
                        "-o", str(jpg), str(pgm)], check=True)
        return jpg.read_bytes()

    return run
