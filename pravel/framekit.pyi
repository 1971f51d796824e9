from typing import Any, Literal, Optional, Tuple, overload

class Framekit:
    STANDARD_RATIO_LIST: list[str]
    proportion: Optional[str]
    need_adjust: str
    fill_color: Any
    kwargs: dict[str, Any]
    _std_ratio_map: dict[str, float]
    def __init__(
        self,
        proportion: Optional[str] = None,
        need_adjust: str = "fill",
        fill_color: Any = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]: ...
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
