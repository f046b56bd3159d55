#!/usr/bin/env python3
"""Frames per second of blockwright.encode against Pillow and OpenCV.

Each round encodes a batch of frames of every sample picture with each
encoder in turn (the order rotates from round to round) and times the batch;
the figures are medians over the rounds, and the ratios are taken within
the same run. Then the same for two Python threads, each encoding its own
batch at once, against one thread.

    build/python-venv/bin/python bench/python_speed.py [--rounds 21] [--batch 20] [--colour]

--colour takes the colour sample pictures (RGB, coded at 4:2:0 by all
three; OpenCV is given the same pixels in its BGR order, made beforehand).

Run it with the Python that has blockwright installed and sees Debian's
python3-pil and python3-opencv (a venv made with --system-site-packages).
"""
import argparse
import io
import os
import platform
import statistics
import threading
import time
from pathlib import Path

import numpy as np

import blockwright

REPO = Path(__file__).resolve().parents[1]
PICTURES = ["astronaut", "camera", "coffee", "gravel"]
COLOUR_PICTURES = ["astronaut", "coffee", "chelsea"]


def read_frame(path):
    data = Path(path).read_bytes()
    header = data.split(b"\n", 3)  # P5 or P6 / width height / 255 / samples
    width, height = map(int, header[1].split())
    shape = (height, width, 3) if header[0] == b"P6" else (height, width)
    return np.frombuffer(header[3], np.uint8, int(np.prod(shape))).reshape(shape)


# OpenCV's BGR copy of each colour frame, made before the timing.
BGR = {}


def encoders(quality):
    from PIL import Image
    import cv2

    def pillow(a):
        buf = io.BytesIO()
        Image.fromarray(a).save(buf, "JPEG", quality=quality)
        return buf.getvalue()

    def opencv(a):
        ok, jpeg = cv2.imencode(".jpg", BGR.get(id(a), a), [cv2.IMWRITE_JPEG_QUALITY, quality])
        assert ok
        return jpeg.tobytes()

    def bw(a):
        return blockwright.encode(a, quality=quality)

    def bw2(a):
        return blockwright.encode(a, quality=quality, threads=2)

    import PIL
    versions = {"blockwright": blockwright.__version__, "Pillow": PIL.__version__,
                "OpenCV": cv2.__version__}
    return {"blockwright": bw, "Pillow": pillow, "OpenCV": opencv, "threads=2": bw2}, versions


def timed_batch(encode, frame, batch):
    start = time.perf_counter()
    for _ in range(batch):
        encode(frame)
    return batch / (time.perf_counter() - start)


def timed_threads(encode, frame, batch, threads):
    """Frames per second of `threads` Python threads, each encoding `batch`
    frames at once."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for _ in range(batch):
            encode(frame)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return threads * batch / (time.perf_counter() - start)


def cpu_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--batch", type=int, default=20, help="frames per timed batch")
    parser.add_argument("--quality", type=int, default=75)
    parser.add_argument("--images", default=os.environ.get("BLOCKWRIGHT_IMAGES_DIR",
                                                           REPO.parent / "shared" / "images"))
    parser.add_argument("--pictures", nargs="+")
    parser.add_argument("--colour", action="store_true", help="the colour pictures (*.ppm)")
    args = parser.parse_args()

    pictures = args.pictures or (COLOUR_PICTURES if args.colour else PICTURES)
    suffix = ".ppm" if args.colour else ".y"
    frames = {n: read_frame(Path(args.images) / f"{n}{suffix}") for n in pictures}
    for f in frames.values():
        if f.ndim == 3:
            BGR[id(f)] = np.ascontiguousarray(f[..., ::-1])
    coders, versions = encoders(args.quality)
    names = list(coders)
    print(f"{cpu_name()}, {os.cpu_count()} CPUs; Python {platform.python_version()}; "
          + ", ".join(f"{k} {v}" for k, v in versions.items()))
    for n, f in frames.items():
        sizes = ", ".join(f"{k} {len(c(f))}" for k, c in coders.items() if k != "threads=2")
        print(f"{n}: {f.shape[1]} x {f.shape[0]}, bytes: {sizes}")

    fps = {(n, c): [] for n in frames for c in names}
    peers = ["blockwright", "Pillow", "OpenCV"]
    threads = {(n, c, t): [] for n in frames for c in peers for t in (1, 2)}
    for r in range(args.rounds):
        for n, f in frames.items():
            for c in names[r % len(names):] + names[:r % len(names)]:
                fps[n, c].append(timed_batch(coders[c], f, args.batch))
            for c in peers[r % 3:] + peers[:r % 3]:
                for t in ((1, 2) if r % 2 == 0 else (2, 1)):
                    threads[n, c, t].append(timed_threads(coders[c], f, args.batch, t))

    print(f"\nframes/s, median of {args.rounds} rounds of {args.batch} frames, one Python thread; "
          "blockwright against each (threads=2: one call coded on two threads)")
    print("| picture | blockwright | Pillow | OpenCV | vs Pillow | vs OpenCV "
          "| threads=2 | vs Pillow | vs OpenCV |")
    print("|---|---|---|---|---|---|---|---|---|")
    for n in frames:
        m = {c: statistics.median(fps[n, c]) for c in names}
        row = [n, f"{m['blockwright']:.0f}", f"{m['Pillow']:.0f}", f"{m['OpenCV']:.0f}"]
        row += [f"{m['blockwright'] / m[p]:.2f}x" for p in ("Pillow", "OpenCV")]
        row += [f"{m['threads=2']:.0f}"] + [f"{m['threads=2'] / m[p]:.2f}x" for p in ("Pillow", "OpenCV")]
        print("| " + " | ".join(row) + " |")

    print(f"\nframes/s of two Python threads, each encoding its own frames, against one "
          f"(median of {args.rounds})")
    print("| picture | blockwright 1 | 2 | ratio | Pillow 1 | 2 | ratio | OpenCV 1 | 2 | ratio "
          "| blockwright vs Pillow, 2 threads | vs OpenCV |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for n in frames:
        m = {(c, t): statistics.median(threads[n, c, t]) for c in peers for t in (1, 2)}
        row = [n]
        for c in peers:
            row += [f"{m[c, 1]:.0f}", f"{m[c, 2]:.0f}", f"{m[c, 2] / m[c, 1]:.2f}x"]
        row += [f"{m['blockwright', 2] / m[p, 2]:.2f}x" for p in ("Pillow", "OpenCV")]
        print("| " + " | ".join(row) + " |")

if __name__ == "__main__":
    main()
