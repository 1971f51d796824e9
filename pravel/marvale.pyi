from typing import ClassVar

from PIL import Image

class MarvaleImageScale:
    PREFERED_MARVALE_RESOLUTIONS: ClassVar[list[tuple[int, int]]]
    image: Image.Image
    def __init__(self, image: Image.Image) -> None: ...
    def start(self) -> Image.Image: ...
