from collections.abc import Sequence
from typing import final

__all__ = ["BufferDescriptor"]

@final
class BufferDescriptor:
    """BufferDescriptor: The "Passport" for Zero-Copy Data.
    Contains metadata needed for Python to reconstruct a memoryview."""

    def __new__(cls, name: str, size: int, shape: Sequence[int], dtype: str) -> BufferDescriptor: ...
    @property
    def name(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def shape(self) -> list[int]: ...
    @property
    def dtype(self) -> str: ...
