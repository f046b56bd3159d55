from typing import Optional, Sequence

# image: a uint8 array or any object with the buffer protocol

__version__: str
MAX_THREADS: int

def encode(image: object, *, quality: int = ..., restart_interval: int = 0, threads: int = 1,
           shape: Optional[Sequence[int]] = None, stride: Optional[int] = None) -> bytes: ...
def max_encoded_size(shape: Sequence[int], *, quality: int = ..., restart_interval: int = 0,
                     threads: int = 1) -> int: ...
