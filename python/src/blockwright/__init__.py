"""Blockwright: a small, integer-only baseline JPEG encoder for 8-bit frames.

    import numpy as np, blockwright
    frame = np.zeros((1024, 1280), np.uint8)      # or (height, width, 3) RGB
    jpeg = blockwright.encode(frame, quality=85)   # bytes of a JPEG file
"""
from ._blockwright import MAX_THREADS, __version__, encode, encode_nv12, encode_yuv, max_encoded_size

__all__ = ["encode", "encode_yuv", "encode_nv12", "max_encoded_size", "MAX_THREADS", "__version__"]
