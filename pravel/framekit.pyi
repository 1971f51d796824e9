from typing import Any, ClassVar, Literal, TypeAlias, overload

# Any colour Pillow's Image.new accepts for an RGBA canvas.
_Colour: TypeAlias = float | tuple[float, ...] | str | None

class Framekit:
    STANDARD_RATIO_LIST: ClassVar[list[str]]
    proportion: str | None
    need_adjust: str
    fill_color: _Colour
    kwargs: dict[str, Any]
    _std_ratio_map: dict[str, float]
    def __init__(
        self,
        proportion: str | None = None,
        need_adjust: str = "fill",
        fill_color: _Colour = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _parse_ratio(ratio_str: str) -> tuple[int, int]: ...
    def _get_closest_standard_ratio(self, width: int, height: int) -> str: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[False] = False, expand_percent: float = 10.0
    ) -> bytes: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[True], expand_percent: float = 10.0
    ) -> tuple[bytes, str]: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10.0
    ) -> bytes | tuple[bytes, str]: ...
