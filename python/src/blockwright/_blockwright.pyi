from typing import Optional, Sequence, Union

# image, y, cb, cr, cbcr: a uint8 array or any object with the buffer protocol
Sampling = Union[str, int, None]

__version__: str
MAX_THREADS: int

def encode(image: object, *, quality: int = ..., restart_interval: int = 0, threads: int = 1,
           sampling: Sampling = "420", gray: bool = False, exif: Optional[bytes] = None,
           comment: Union[str, bytes, None] = None, order: str = "RGB",
           shape: Optional[Sequence[int]] = None, stride: Optional[int] = None) -> bytes: ...
def encode_yuv(y: object, cb: object, cr: object, *, quality: int = ..., restart_interval: int = 0,
               threads: int = 1, sampling: Sampling = None, gray: bool = False, exif: Optional[bytes] = None,
               comment: Union[str, bytes, None] = None) -> bytes: ...
def encode_nv12(y: object, cbcr: object, *, quality: int = ..., restart_interval: int = 0,
                threads: int = 1, sampling: Sampling = None, gray: bool = False, exif: Optional[bytes] = None,
                comment: Union[str, bytes, None] = None) -> bytes: ...
def max_encoded_size(shape: Sequence[int], *, quality: int = ..., restart_interval: int = 0,
                     threads: int = 1, sampling: Sampling = "420", gray: bool = False,
                     exif: Optional[bytes] = None, comment: Union[str, bytes, None] = None) -> int: ...
