#!/usr/bin/env python3
"""Encodes many grayscale frames on a Dask cluster with blockwright.

A folder of frames (binary PGM and PPM files: *.pgm, *.ppm, and *.y
rasters with a PGM header) to a folder of JPEG files:

    python3 dask_encode.py FRAMES/ JPEGS/ --workers 4 --quality 85
    python3 dask_encode.py FRAMES/ JPEGS/ --scheduler tcp://host:8786

Without --scheduler it starts a LocalCluster of worker processes. Each
worker reads, encodes and writes its own files; only names and sizes travel.

A stack of frames already in memory, a numpy or dask array of shape
(frames, height, width), from a script of your own:

    from dask.distributed import Client
    from dask_encode import encode_stack
    with Client(n_workers=2) as client:
        jpegs = encode_stack(client, stack, quality=85)   # a list of bytes
"""
import argparse
import contextlib
import sys
from pathlib import Path

import dask
import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import blockwright


def read_pnm(path):
    """A binary PGM (P5) or PPM (P6), maxval 255, as a (height, width) or
    (height, width, 3) uint8 array."""
    data = Path(path).read_bytes()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.find(b"\n", pos) + 1 or len(data)
            continue
        end = pos
        while end < len(data) and not data[end:end + 1].isspace():
            end += 1
        if end == pos:
            raise ValueError(f"{path}: the header ends early")
        fields.append(data[pos:end])
        pos = end
    if fields[0] not in (b"P5", b"P6") or fields[3] != b"255":
        raise ValueError(f"{path}: not a binary 8-bit PGM or PPM (P5 or P6, maxval 255)")
    width, height = int(fields[1]), int(fields[2])
    shape = (height, width, 3) if fields[0] == b"P6" else (height, width)
    count = int(np.prod(shape))
    if len(data) - pos - 1 < count:
        raise ValueError(f"{path}: {len(data) - pos - 1} of {count} samples")
    return np.frombuffer(data, np.uint8, count, pos + 1).reshape(shape)


def encode_file(source, target, settings):
    """Runs on a worker: one frame file to one JPEG file."""
    jpeg = blockwright.encode(read_pnm(source), **settings)
    Path(target).write_bytes(jpeg)
    return Path(target).name, len(jpeg)


def encode_folder(client, source, target, **settings):
    """Every *.pgm, *.ppm and *.y file of source to target/<name>.jpg;
    returns (name, bytes) pairs in name order."""
    source, target = Path(source), Path(target)
    target.mkdir(parents=True, exist_ok=True)
    frames = sorted(p for p in source.iterdir() if p.suffix in (".pgm", ".ppm", ".y") and p.is_file())
    futures = client.map(encode_file, [str(p) for p in frames],
                         [str(target / (p.stem + ".jpg")) for p in frames],
                         settings=settings, pure=False)
    return client.gather(futures)


def encode_block(block, settings):
    """Runs on a worker: every frame of a (frames, height, width) block."""
    return [blockwright.encode(frame, **settings) for frame in block]


def encode_stack(client, stack, **settings):
    """The frames of a (frames, height, width) uint8 array, or
    (frames, height, width, 3) for colour, numpy or dask,
    as a list of JPEG files' bytes in order. A dask array is read where its
    chunks are (a numpy array is sent over first)."""
    if not isinstance(stack, da.Array):
        stack = da.from_array(np.asarray(stack), chunks=(1, -1, -1))
    if stack.ndim not in (3, 4):
        raise ValueError(f"a stack of frames is (frames, height, width[, 3]), not {stack.shape}")
    stack = stack.rechunk({a: -1 for a in range(1, stack.ndim)})  # whole frames in every chunk
    blocks = [dask.delayed(encode_block)(b, settings) for b in stack.to_delayed().ravel()]
    return [jpeg for block in client.compute(blocks, sync=True) for jpeg in block]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="folder of *.pgm, *.ppm and *.y frames")
    parser.add_argument("target", help="folder for the JPEG files")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    parser.add_argument("--quality", type=int, default=75)
    parser.add_argument("--restart-interval", type=int, default=0)
    parser.add_argument("--sampling", default="420", choices=["444", "422", "420"],
                        help="chroma sampling of colour frames (default 420)")
    args = parser.parse_args(argv)
    settings = {"quality": args.quality, "restart_interval": args.restart_interval,
                "sampling": args.sampling}
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                       processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        for name, size in encode_folder(client, args.source, args.target, **settings):
            print(f"{name} {size}")
    return 0

if __name__ == "__main__":
    sys.exit(main())
