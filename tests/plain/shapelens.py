"""Plain-Python ImageShapelens: the same algorithm as pravel.shapelens."""
from io import BytesIO

from PIL import Image


class ImageShapelens:
    def __init__(self, approx_search_range: int = 10):
        self.approx_search_range = int(approx_search_range)

    @staticmethod
    def _gcd(a: int, b: int) -> int:
        while b:
            a, b = b, a % b
        return a

    @staticmethod
    def _read_size(image_bytes: bytes):
        with BytesIO(image_bytes) as stream:
            with Image.open(stream) as image:
                width, height = image.size
        return width, height

    def get_raw_simple_ratio(self, image_bytes: bytes) -> str:
        width, height = self._read_size(image_bytes)
        div = self._gcd(width, height)
        return f"{width // div}:{height // div}"

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        width, height = self._read_size(image_bytes)
        return self.approx_from_size(width, height)

    def approx_from_size(self, width: int, height: int) -> str:
        target = width / height
        min_error = float("inf")
        best_w, best_h = width, height
        limit = self.approx_search_range
        for i in range(1, limit + 1):
            for j in range(1, limit + 1):
                error = abs(i / j - target)
                if error < min_error:
                    min_error, best_w, best_h = error, i, j
        return f"{best_w}:{best_h}"
