"""framekit's adjust_size as the bare Pillow pipeline does it: the picture
turned upright, grown on its smaller side (resampled or centred on a canvas),
its colour profile kept, written by Pillow's PNG writer. The tests compare
pixels and chunks with it; the benchmark times framekit against it."""

from __future__ import annotations

import io

from PIL import Image, ImageOps

TRANSPARENT = (255, 255, 255, 0)


def grown(size: tuple[int, int], percent: float = 10.0) -> tuple[int, int]:
    w, h = size
    scale = 1 + percent / 100
    return (int(w * scale), h) if w < h else (w, int(h * scale)) if h < w else (int(w * scale), int(h * scale))


def upright_rgba(data: bytes) -> Image.Image:
    return ImageOps.exif_transpose(Image.open(io.BytesIO(data))).convert("RGBA")


def canvas_of(image: Image.Image, size: tuple[int, int] | None = None,
              fill_color: tuple[int, ...] = TRANSPARENT) -> Image.Image:
    """The fill step: the picture centred on a canvas of `size` (grown by
    default; cropped where the canvas is smaller), which keeps its colour
    profile."""
    size = size or grown(image.size)
    canvas = Image.new("RGBA", size, fill_color)
    x, y = (size[0] - image.width) // 2, (size[1] - image.height) // 2
    canvas.alpha_composite(image, (max(x, 0), max(y, 0)), (max(-x, 0), max(-y, 0)))
    if "icc_profile" in image.info:
        canvas.info["icc_profile"] = image.info["icc_profile"]
    return canvas


def png(image: Image.Image) -> bytes:
    out = io.BytesIO()
    image.save(out, format="PNG", quality=95)
    return out.getvalue()


def adjust_size(data: bytes, need_adjust: str, percent: float = 10.0,
                fill_color: tuple[int, ...] = TRANSPARENT) -> bytes:
    """What adjust_size returns when Pillow's writer encodes the result."""
    image = upright_rgba(data)
    size = grown(image.size, percent)
    if need_adjust == "resize":
        return png(image.resize(size, Image.Resampling.LANCZOS))
    return png(canvas_of(image, size, fill_color))
