"""adjust_size against the bare Pillow pipeline doing the same work.

Prints, per image and mode, the best time of each, their ratio (pravel /
Pillow: 1.00 means the native layer adds nothing, 0.25 that it takes a quarter
of Pillow's time) and, where an image is encoded, both output sizes and their
ratio (pravel / Pillow, below 1.00 when pravel's PNG is smaller).

Then the same on real photographs as phones and cameras upload them (fetched
once by tools/photos.py): per photo and in total, both modes, against Pillow
turning the picture upright (ImageOps.exif_transpose) before the same steps,
with the pixels of both outputs compared and pravel's time split into its
stages: decoding (with the EXIF turn), resampling or compositing, encoding.
"""

from __future__ import annotations

import argparse
import io

from PIL import Image, ImageOps

from _bench import best_of, cutout, fmt_time, machine, photo_like, record, smooth
from plain.framekit import adjust_size, canvas_of, grown, upright_rgba
from pravel.framekit import Framekit


def pillow_decode(data: bytes) -> bytes:
    Image.open(io.BytesIO(data)).convert("RGBA")
    return data


def upright_resize(data: bytes) -> bytes:
    return adjust_size(data, "resize")


def upright_fill(data: bytes) -> bytes:
    return adjust_size(data, "fill")


def pravel_step(mode: str, data: bytes):
    """pravel's middle stage as it arranges it, on the decoded upright
    picture: an opaque picture (RGB or L) is resampled or pasted before its
    conversion to RGBA, anything else converted first and composited."""
    picture = ImageOps.exif_transpose(Image.open(io.BytesIO(data)))
    opaque = picture.mode in ("RGB", "L") and "transparency" not in picture.info
    if not opaque:
        picture = picture.convert("RGBA")
    size = grown(picture.size)
    if mode == "resize":
        return lambda: picture.resize(size, Image.Resampling.LANCZOS).convert("RGBA")
    offset = ((size[0] - picture.width) // 2, (size[1] - picture.height) // 2)
    if opaque:
        return lambda: Image.new("RGBA", size, (255, 255, 255, 0)).paste(picture, offset)
    return lambda: canvas_of(picture)


def photo_uploads() -> dict[str, bytes]:
    """The uploads tools/photos.py derives from real photographs, fetched on
    first use; empty (with a note) when they cannot be had here."""
    try:
        import photos as fetcher

        folder = fetcher.ensure(fetcher.default_cache())
    except (OSError, SystemExit, ImportError) as error:
        print(f"\n(no real photographs: {error}; run tools/photos.py as root)")
        return {}
    return {path.name.removesuffix(".jpg"): path.read_bytes() for path in sorted(folder.glob("*.jpg"))}


def real_photos(uploads: dict[str, bytes], repeat: int) -> None:
    print("\nReal photographs: adjust_size vs Pillow (exif_transpose, then the same steps)")
    print(f"{'photo':48} {'mode':6} {'pravel':>8} {'Pillow':>8} {'speed-up':>8} "
          f"{'pravel bytes':>12} {'Pillow bytes':>12} {'size':>6} {'pixels':>6}  "
          f"pravel's stages: decode / resize or composite / encode")
    modes = {"resize": (Framekit(need_adjust="resize"), upright_resize),
             "fill": (Framekit(need_adjust="fill"), upright_fill)}
    totals = {mode: [0.0, 0.0, 0, 0] for mode in modes}
    for name, data in uploads.items():
        image = upright_rgba(data)
        shown = Framekit()._get_closest_standard_ratio(*image.size)
        decode_only = Framekit("21:9" if shown != "21:9" else "1:1")  # the hand-back path decodes only
        decode = best_of({"decode": lambda: decode_only.adjust_size(data)}, repeat, budget=0.5)["decode"]
        label = f"{name} ({image.width}x{image.height})"
        for mode, (framekit, pillow) in modes.items():
            t = best_of({"pravel": lambda: framekit.adjust_size(data), "pillow": lambda: pillow(data)}, repeat,
                        budget=2.0)
            middle = best_of({"step": pravel_step(mode, data)}, repeat, budget=0.5)["step"]
            ours, theirs = framekit.adjust_size(data), pillow(data)
            same = Image.open(io.BytesIO(ours)).tobytes() == Image.open(io.BytesIO(theirs)).tobytes()
            encode = max(t["pravel"] - decode - middle, 0.0)
            split = " / ".join(f"{fmt_time(x)} {x / t['pravel']:.0%}" for x in (decode, middle, encode))
            print(f"{label:48} {mode:6} {fmt_time(t['pravel']):>8} {fmt_time(t['pillow']):>8} "
                  f"{t['pillow'] / t['pravel']:7.2f}× {len(ours):12,} {len(theirs):12,} "
                  f"{len(ours) / len(theirs):6.3f} {'same' if same else 'DIFFER':>6}  {split}", flush=True)
            record(f"adjust_size {mode}, photo {label} (output {len(ours) / len(theirs):.3f}× Pillow's size)",
                   t["pravel"], t["pillow"], "Pillow: exif_transpose, decode, " +
                   ("Lanczos resize, PNG" if mode == "resize" else "canvas, PNG"))
            total = totals[mode]
            total[0] += t["pravel"]
            total[1] += t["pillow"]
            total[2] += len(ours)
            total[3] += len(theirs)
    for mode, (ours_time, their_time, ours_size, their_size) in totals.items():
        print(f"{'all ' + str(len(uploads)) + ' photos':48} {mode:6} {fmt_time(ours_time):>8} "
              f"{fmt_time(their_time):>8} {their_time / ours_time:7.2f}× {ours_size:12,} {their_size:12,} "
              f"{ours_size / their_size:6.3f}")
        record(f"adjust_size {mode}, all {len(uploads)} real photos (output {ours_size / their_size:.3f}× "
               f"Pillow's size)", ours_time, their_time, "Pillow: exif_transpose, decode, " +
               ("Lanczos resize, PNG" if mode == "resize" else "canvas, PNG"))


def synthetic(images: dict[str, bytes], repeat: int) -> None:
    print(f"{'image':22} {'path':9} {'pravel':>9} {'Pillow':>9} {'ratio':>6} "
          f"{'pravel bytes':>13} {'Pillow bytes':>13} {'size':>6}")
    for label, data in images.items():
        w, h = Image.open(io.BytesIO(data)).size
        mismatch = "3:4" if w >= h else "4:3"  # never the image's own ratio here
        cases = {
            "resize": (Framekit(need_adjust="resize").adjust_size, upright_resize),
            "fill": (Framekit(need_adjust="fill").adjust_size, upright_fill),
            "mismatch": (Framekit(mismatch).adjust_size, pillow_decode),
        }
        baselines = {"resize": "Pillow: decode, Lanczos resize, PNG",
                     "fill": "Pillow: decode, canvas, PNG", "mismatch": "Pillow: decode only"}
        for path, (ours, theirs) in cases.items():
            t = best_of({"pravel": lambda: ours(data), "pillow": lambda: theirs(data)}, repeat,
                        budget=2.0)
            line = (f"{label:22} {path:9} {fmt_time(t['pravel']):>9} {fmt_time(t['pillow']):>9} "
                    f"{t['pravel'] / t['pillow']:6.3f}")
            if path != "mismatch":
                size, pillow_size = len(ours(data)), len(theirs(data))
                line += f" {size:13,} {pillow_size:13,} {size / pillow_size:6.3f}"
            print(line, flush=True)
            record(f"adjust_size {path}, {label}", t["pravel"], t["pillow"], baselines[path])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="rounds per case, at least")
    parser.add_argument("--quick", action="store_true", help="small images only")
    parser.add_argument("--photos-only", action="store_true", help="only the real photographs")
    args = parser.parse_args()

    print(f"framekit.adjust_size vs the bare Pillow pipeline ({machine()})")
    if not args.photos_only:
        images = {
            "1080x1920 photo JPEG": photo_like(1080, 1920),
            "1080x1920 smooth JPEG": smooth(1080, 1920),
            "2000x2000 RGBA PNG": cutout(2000, 2000),
        }
        if not args.quick:
            images["4000x3000 photo JPEG"] = photo_like(4000, 3000)
            images["4000x3000 smooth JPEG"] = smooth(4000, 3000)
        synthetic(images, args.repeat)
    uploads = photo_uploads()
    if uploads:
        real_photos(uploads, args.repeat)


if __name__ == "__main__":
    main()
