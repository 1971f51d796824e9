from typing import ClassVar, TypedDict

class SizeResult(TypedDict):
    """calc_size 的返回值"""

    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class OrvidSizeCalculator:
    MIN_PIXELS: ClassVar[int]
    MAX_PIXELS: ClassVar[int]
    MAX_EDGE: ClassVar[int]
    MULTIPLE: ClassVar[int]
    MAX_RATIO: ClassVar[float]
    RESOLUTION_PRESET: ClassVar[dict[str, int]]
    def __init__(self) -> None: ...
    @classmethod
    def round_to_multiple(cls, value: float, multiple: float | None = None) -> int: ...
    @classmethod
    def floor_to_multiple(cls, value: float, multiple: float | None = None) -> int: ...
    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool: ...
    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k") -> SizeResult: ...
