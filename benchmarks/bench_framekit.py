"""adjust_size against the bare Pillow pipeline doing the same work.

Prints, per image and mode, the best time of each, their ratio (pravel /
Pillow: 1.00 means the native layer adds nothing, 0.25 that it takes a quarter
of Pillow's time) and, where an image is encoded, both output sizes and their
ratio (pravel / Pillow, below 1.00 when pravel's PNG is smaller).
"""

from __future__ import annotations

import argparse
import io

from PIL import Image

from _bench import best_of, cutout, fmt_time, machine, photo_like, record, smooth
from pravel.framekit import Framekit


def pillow_resize(data: bytes) -> bytes:
    image = Image.open(io.BytesIO(data)).convert("RGBA")
    w, h = image.size
    size = (int(w * 1.1), h) if h > w else (w, int(h * 1.1)) if w > h else (int(w * 1.1), int(h * 1.1))
    out = io.BytesIO()
    image.resize(size, Image.Resampling.LANCZOS).save(out, format="PNG", quality=95)
    return out.getvalue()


def pillow_fill(data: bytes) -> bytes:
    image = Image.open(io.BytesIO(data)).convert("RGBA")
    w, h = image.size
    size = (int(w * 1.1), h) if w < h else (w, int(h * 1.1)) if h < w else (int(w * 1.1), int(h * 1.1))
    canvas = Image.new("RGBA", size, (255, 255, 255, 0))
    canvas.alpha_composite(image, ((size[0] - w) // 2, (size[1] - h) // 2))
    out = io.BytesIO()
    canvas.save(out, format="PNG", quality=95)
    return out.getvalue()


def pillow_decode(data: bytes) -> bytes:
    Image.open(io.BytesIO(data)).convert("RGBA")
    return data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="rounds per case, at least")
    parser.add_argument("--quick", action="store_true", help="small images only")
    args = parser.parse_args()

    images = {
        "1080x1920 photo JPEG": photo_like(1080, 1920),
        "1080x1920 smooth JPEG": smooth(1080, 1920),
        "2000x2000 RGBA PNG": cutout(2000, 2000),
    }
    if not args.quick:
        images["4000x3000 photo JPEG"] = photo_like(4000, 3000)
        images["4000x3000 smooth JPEG"] = smooth(4000, 3000)

    print(f"framekit.adjust_size vs the bare Pillow pipeline ({machine()})")
    print(f"{'image':22} {'path':9} {'pravel':>9} {'Pillow':>9} {'ratio':>6} "
          f"{'pravel bytes':>13} {'Pillow bytes':>13} {'size':>6}")
    for label, data in images.items():
        w, h = Image.open(io.BytesIO(data)).size
        mismatch = "3:4" if w >= h else "4:3"  # never the image's own ratio here
        cases = {
            "resize": (Framekit(need_adjust="resize").adjust_size, pillow_resize),
            "fill": (Framekit(need_adjust="fill").adjust_size, pillow_fill),
            "mismatch": (Framekit(mismatch).adjust_size, pillow_decode),
        }
        baselines = {"resize": "Pillow: decode, Lanczos resize, PNG",
                     "fill": "Pillow: decode, canvas, PNG", "mismatch": "Pillow: decode only"}
        for path, (ours, theirs) in cases.items():
            t = best_of({"pravel": lambda: ours(data), "pillow": lambda: theirs(data)}, args.repeat,
                        budget=2.0)
            line = (f"{label:22} {path:9} {fmt_time(t['pravel']):>9} {fmt_time(t['pillow']):>9} "
                    f"{t['pravel'] / t['pillow']:6.3f}")
            if path != "mismatch":
                size, pillow_size = len(ours(data)), len(theirs(data))
                line += f" {size:13,} {pillow_size:13,} {size / pillow_size:6.3f}"
            print(line, flush=True)
            record(f"adjust_size {path}, {label}", t["pravel"], t["pillow"], baselines[path])


if __name__ == "__main__":
    main()
