"""Plain-Python OrvidSizeCalculator: the same algorithms as pravel.orvid."""

import math


class OrvidSizeCalculator:
    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 16
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 3686400, "4k": 8294400}

    @classmethod
    def round_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = int(round(value / multiple) * multiple)
        return int(max(multiple, val))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = int(math.floor(value / multiple) * multiple)
        return int(max(multiple, val))

    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool:
        # Other numbers are taken as int() makes them, as the extension does.
        if type(width) is not int:
            width = int(width)
        if type(height) is not int:
            height = int(height)
        pixels = width * height
        long_edge = max(width, height)
        short_edge = min(width, height)
        ratio = long_edge / short_edge
        edge_ok = long_edge <= cls.MAX_EDGE
        width_aligned = width % cls.MULTIPLE == 0
        height_aligned = height % cls.MULTIPLE == 0
        ratio_ok = ratio <= cls.MAX_RATIO
        pixels_ok = cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS
        return bool(edge_ok and width_aligned and height_aligned and ratio_ok and pixels_ok)

    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k"):
        resolution = resolution.lower()
        rw, rh = [int(part) for part in aspect_ratio.split(":")]
        ratio = rw / rh
        long_r, short_r = max(rw, rh), min(rw, rh)
        if long_r / short_r > cls.MAX_RATIO:
            raise ValueError(f"宽高比超出限制3:1，输入比例：{aspect_ratio}")
        target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio
        for _ in range(20):
            w_align = cls.round_to_multiple(w)
            h_align = cls.round_to_multiple(h)
            current_pixels = w_align * h_align
            if cls.is_valid_image_size(w_align, h_align):
                w, h = w_align, h_align
                break
            if current_pixels > cls.MAX_PIXELS:
                scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
            elif max(w, h) > cls.MAX_EDGE:
                scale = cls.MAX_EDGE / max(w, h)
            elif current_pixels < cls.MIN_PIXELS:
                scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
            else:
                w = cls.floor_to_multiple(w)
                h = cls.floor_to_multiple(h)
                continue
            w *= scale
            h *= scale
        width, height = int(w), int(h)
        return {
            "width": width,
            "height": height,
            "size": f"{width}x{height}",
            "pixels": width * height,
            "aspect_ratio": aspect_ratio,
            "resolution": resolution,
            "valid": cls.is_valid_image_size(width, height),
        }
