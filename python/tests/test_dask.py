"""The Dask example on a LocalCluster of two worker processes: the same bytes
as encoding in this process."""
import subprocess
import sys
from pathlib import Path

import dask.array as da
import numpy as np
from dask import distributed

import blockwright
from conftest import IMAGES, PICTURES, read_pnm, write_pnm

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def test_folder_on_two_worker_processes(tmp_path, pictures):
    source, target = tmp_path / "frames", tmp_path / "jpegs"
    source.mkdir()
    for name in PICTURES:
        (source / f"{name}.y").symlink_to(IMAGES / f"{name}.y")
    write_pnm(source / "crop.pgm", pictures["gravel"][3:333, 17:650])
    (source / "chelsea.ppm").symlink_to(IMAGES / "chelsea.ppm")
    (source / "notes.txt").write_text("not a frame")
    run = subprocess.run([sys.executable, str(EXAMPLES / "dask_encode.py"), str(source), str(target),
                          "--workers", "2", "--quality", "80", "--restart-interval", "9",
                          "--sampling", "422"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    names = sorted(p.stem for p in source.iterdir() if p.suffix != ".txt")
    assert sorted(p.name for p in target.iterdir()) == [n + ".jpg" for n in names]
    for name in names:
        frame = read_pnm(next(source.glob(name + ".*")))
        expected = blockwright.encode(frame, quality=80, restart_interval=9, sampling="422")
        assert (target / f"{name}.jpg").read_bytes() == expected, name
        assert f"{name}.jpg {len(expected)}" in run.stdout


def test_stack_on_two_worker_processes(pictures):
    sys.path.insert(0, str(EXAMPLES))  # the worker processes start with this path too
    try:
        from dask_encode import encode_stack
        stack = np.stack([pictures[n] for n in PICTURES] + [pictures["camera"][::-1]])
        expected = [blockwright.encode(f, quality=60) for f in stack]
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            assert len(client.scheduler_info()["workers"]) == 2
            assert encode_stack(client, stack, quality=60) == expected
            assert encode_stack(client, da.from_array(stack, chunks=(2, 512, 640)), quality=60) == expected
            rgb = read_pnm(IMAGES / "chelsea.ppm")
            colour = np.stack([rgb, rgb[::-1], rgb[:, ::-1]])
            assert encode_stack(client, da.from_array(colour, chunks=(2, 150, 200, 3)), sampling="444") == \
                [blockwright.encode(f, sampling="444") for f in colour]
    finally:
        sys.path.remove(str(EXAMPLES))
