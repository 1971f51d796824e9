"""adjust_size against the bare Pillow pipeline and libvips doing the same work.

Prints, per image and mode, the best time of each, their ratio (pravel /
Pillow: 1.00 means the native layer adds nothing, 0.25 that it takes a quarter
of Pillow's time) and, where an image is encoded, both output sizes and their
ratio (pravel / Pillow, below 1.00 when pravel's PNG is smaller).

Then the same on real photographs as phones and cameras upload them (fetched
once by tools/photos.py): per photo and in total, both modes, against Pillow
turning the picture upright (ImageOps.exif_transpose) before the same steps,
with the pixels of both outputs compared and pravel's time split into its
stages: decoding (with the EXIF turn), resampling or compositing, encoding.
The photographs come from two independent Debian packages (tools/photos.py's
sets "plasma" and "ukui"); libvips (pyvips with pyvips-binary, writing PNG
with filter="all", compression=6) is measured beside Pillow in the same run,
end to end and as a writer alone on identical pixels, with each row's file
size, the filters pravel's writer chose (share of rows per filter) and its
deflate level (the zlib header's level class), and the peak memory one call
adds in a fresh process (growth of VmHWM, as a multiple of the decoded RGBA
picture) for the 1080x1920 and 3840x2160 photographs.

The peers are the PyPI wheels: when pyvips is missing, the script makes a
virtual environment beside the photographs ($PRAVEL_PHOTOS/peers/venv-X.Y,
with the system's packages, so pravel as installed stays visible), installs
Pillow, pyvips and pyvips-binary into it from the wheels that
`python tools/photos.py --peer-wheels` downloaded on the machine
($PRAVEL_PHOTOS/peers/wheels), and runs itself again there.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

# Run again in the peers' environment (peers_environment), this script still
# sees the packages of the one it was started in, after that one's own: pravel
# may be installed only there (in a virtual environment of its own, say).
sys.path.extend(filter(None, os.environ.get("PRAVEL_BENCH_SITE", "").split(os.pathsep)))

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


def photo_uploads() -> dict[str, dict[str, bytes]]:
    """The uploads tools/photos.py derives from real photographs, set by set,
    fetched on first use; empty (with a note) when they cannot be had here."""
    sets = {}
    try:
        import photos as fetcher
    except ImportError as error:
        print(f"\n(no real photographs: {error})")
        return sets
    # A set that cannot be had here does not take the others with it.
    for name in fetcher.SETS:
        try:
            folder = fetcher.ensure(fetcher.default_cache(), name)
        except (OSError, SystemExit, subprocess.CalledProcessError) as error:
            print(f"\n(no photographs of set {name}: {error}; run tools/photos.py --set {name} as root)")
            continue
        sets[name] = {path.name.removesuffix(".jpg"): path.read_bytes()
                      for path in sorted(folder.glob("*.jpg"))}
    return sets


def vips_pipeline(mode: str):
    """The same steps on libvips: decode, turn upright, enlarge by Lanczos or
    pad onto a transparent canvas, PNG with every filter tried per row."""
    import pyvips

    def run(data: bytes) -> bytes:
        image = pyvips.Image.new_from_buffer(data, "").autorot()
        if image.bands == 3:
            image = image.bandjoin_const(255)
        w, h = grown((image.width, image.height))
        if mode == "resize":
            image = image.resize(w / image.width, vscale=h / image.height, kernel="lanczos3")
        else:
            image = image.embed((w - image.width) // 2, (h - image.height) // 2, w, h,
                                extend="background", background=[255, 255, 255, 0])
        return image.pngsave_buffer(filter="all", compression=6)
    return run


def png(image: Image.Image) -> bytes:
    """Pillow's own PNG writer at its default level."""
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


def vips_writer(image: Image.Image):
    import pyvips

    pixels = pyvips.Image.new_from_memory(image.tobytes(), image.width, image.height, 4, "uchar")
    return lambda: pixels.pngsave_buffer(filter="all", compression=6)


FILTERS = ("None", "Sub", "Up", "Average", "Paeth")
# The zlib header's level class, with the libdeflate levels that write it:
# pravel's writer uses 5 for noisy rows, 6 otherwise.
LEVEL_CLASSES = ("fastest (1)", "fast (2-5)", "default (6-7)", "maximum (8-12)")


def writer_choice(png_bytes: bytes) -> str:
    """The filters pravel's writer chose (share of rows, largest first) and
    its zlib level class, read from the file."""
    at, stream, width = 8, b"", 0
    while at < len(png_bytes):
        length, kind = struct.unpack(">I4s", png_bytes[at:at + 8])
        if kind == b"IHDR":
            width = struct.unpack(">I", png_bytes[at + 8:at + 12])[0]
        elif kind == b"IDAT":
            stream += png_bytes[at + 8:at + 8 + length]
        at += 12 + length
    raw = zlib.decompress(stream)
    counts = [0] * 5
    for row in range(0, len(raw), width * 4 + 1):
        counts[raw[row]] += 1
    rows = sum(counts)
    shares = sorted(((c / rows, FILTERS[f]) for f, c in enumerate(counts) if c), reverse=True)
    return (" ".join(f"{name} {share:.0%}" for share, name in shares[:3]) +
            f"; zlib level {LEVEL_CLASSES[stream[1] >> 6]}")


def memory_probe(which: str, mode: str, path: str) -> None:
    """Run in a fresh process: the growth of VmHWM one call causes, as a
    multiple of the decoded RGBA picture, printed as JSON."""
    data = Path(path).read_bytes()
    if which == "pravel":
        framekit = Framekit(need_adjust=mode)
        call = framekit.adjust_size
    elif which == "Pillow":
        call = upright_resize if mode == "resize" else upright_fill
    else:
        call = vips_pipeline(mode)
    # The size from the header alone: decoding here would raise the peak before the call.
    header = Image.open(io.BytesIO(data))
    size = header.size[::-1] if header.getexif().get(0x0112) in (5, 6, 7, 8) else header.size
    del header

    def hwm() -> int:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
        return 0
    before = hwm()
    call(data)
    print(json.dumps({"growth": hwm() - before, "picture": size[0] * size[1] * 4}))


def memory_per_call(which: str, mode: str, path: Path) -> float:
    out = subprocess.run([sys.executable, __file__, "--memory-probe", which, mode, str(path)],
                         check=True, capture_output=True, text=True).stdout
    row = json.loads(out.splitlines()[-1])
    return row["growth"] / row["picture"]


def real_photos(sets: dict[str, dict[str, bytes]], repeat: int, folders: dict[str, Path]) -> None:
    print("\nReal photographs: adjust_size vs Pillow (exif_transpose, then the same steps) "
          "and libvips (autorot, the same steps, filter=\"all\")")
    print(f"{'set':6} {'photo':46} {'mode':6} {'pravel':>8} {'Pillow':>8} {'libvips':>8} {'×Pillow':>7} "
          f"{'×vips':>6} {'pravel bytes':>12} {'/Pillow':>7} {'/vips':>6} {'pixels':>6}  "
          f"pravel's stages: decode / resize or composite / encode; its filters and level")
    modes = {"resize": (Framekit(need_adjust="resize"), upright_resize),
             "fill": (Framekit(need_adjust="fill"), upright_fill)}
    grand = {mode: [0.0] * 6 for mode in modes}
    writer_rows = []
    for set_name, uploads in sets.items():
        totals = {mode: [0.0] * 6 for mode in modes}
        for name, data in uploads.items():
            image = upright_rgba(data)
            shown = Framekit()._get_closest_standard_ratio(*image.size)
            decode_only = Framekit("21:9" if shown != "21:9" else "1:1")  # the hand-back path decodes only
            decode = best_of({"decode": lambda: decode_only.adjust_size(data)}, repeat, budget=0.3)["decode"]
            label = f"{name} ({image.width}x{image.height})"
            for mode, (framekit, pillow) in modes.items():
                vips = vips_pipeline(mode)
                t = best_of({"pravel": lambda: framekit.adjust_size(data), "pillow": lambda: pillow(data),
                             "vips": lambda: vips(data)}, repeat, budget=1.0)
                middle = best_of({"step": pravel_step(mode, data)}, repeat, budget=0.3)["step"]
                ours, theirs, vipses = framekit.adjust_size(data), pillow(data), vips(data)
                same = Image.open(io.BytesIO(ours)).tobytes() == Image.open(io.BytesIO(theirs)).tobytes()
                encode = max(t["pravel"] - decode - middle, 0.0)
                split = " / ".join(f"{fmt_time(x)} {x / t['pravel']:.0%}" for x in (decode, middle, encode))
                print(f"{set_name:6} {label:46} {mode:6} {fmt_time(t['pravel']):>8} {fmt_time(t['pillow']):>8} "
                      f"{fmt_time(t['vips']):>8} {t['pillow'] / t['pravel']:6.2f}× {t['vips'] / t['pravel']:5.2f}× "
                      f"{len(ours):12,} {len(ours) / len(theirs):7.3f} {len(ours) / len(vipses):6.3f} "
                      f"{'same' if same else 'DIFFER':>6}  {split}; {writer_choice(ours)}", flush=True)
                record(f"adjust_size {mode}, photo {label} (output {len(ours) / len(theirs):.3f}× Pillow's, "
                       f"{len(ours) / len(vipses):.3f}× libvips' size)", t["pravel"], t["pillow"],
                       "Pillow: exif_transpose, decode, " +
                       ("Lanczos resize, PNG" if mode == "resize" else "canvas, PNG"))
                for total in (totals[mode], grand[mode]):
                    for i, x in enumerate((t["pravel"], t["pillow"], t["vips"], len(ours), len(theirs),
                                           len(vipses))):
                        total[i] += x
            # The writers alone, on the resized picture's identical RGBA pixels.
            pixels = image.resize(grown(image.size), Image.Resampling.LANCZOS)
            bmp = io.BytesIO()
            pixels.convert("RGB").save(bmp, "BMP")
            bmp_bytes = bmp.getvalue()
            same_size = Framekit(need_adjust="fill")
            tw = best_of({"pravel": lambda: same_size.adjust_size(bmp_bytes, expand_percent=0),
                          "pillow": lambda: png(pixels), "vips": vips_writer(pixels)}, repeat, budget=1.0)
            sizes = (len(same_size.adjust_size(bmp_bytes, expand_percent=0)), len(png(pixels)),
                     len(vips_writer(pixels)()))
            writer_rows.append((set_name, label, tw, sizes))
        for mode, total in totals.items():
            print_total(f"{set_name}: all {len(uploads)}", mode, total)
    for mode, total in grand.items():
        count = sum(len(u) for u in sets.values())
        print_total(f"both sets: all {count}", mode, total)
        record(f"adjust_size {mode}, all {count} real photos of both sets (output {total[3] / total[4]:.3f}× "
               f"Pillow's, {total[3] / total[5]:.3f}× libvips' size)", total[0], total[1],
               "Pillow: exif_transpose, decode, " + ("Lanczos resize, PNG" if mode == "resize" else "canvas, PNG"))
        record(f"adjust_size {mode}, all {count} real photos of both sets", total[0], total[2],
               "libvips: autorot, decode, " + ("Lanczos3 resize" if mode == "resize" else "embed") +
               ', PNG filter="all"')

    print("\nThe writers alone, on identical RGBA pixels (each photo resized); pravel's time includes "
          "reading an uncompressed BMP of them (adjust_size fill, 0 %)")
    print(f"{'set':6} {'photo':46} {'pravel':>8} {'Pillow':>8} {'libvips':>8} {'pravel bytes':>12} "
          f"{'/Pillow':>7} {'/vips':>6}")
    sums = [0.0] * 6
    for set_name, label, tw, sizes in writer_rows:
        print(f"{set_name:6} {label:46} {fmt_time(tw['pravel']):>8} {fmt_time(tw['pillow']):>8} "
              f"{fmt_time(tw['vips']):>8} {sizes[0]:12,} {sizes[0] / sizes[1]:7.3f} {sizes[0] / sizes[2]:6.3f}")
        for i, x in enumerate((tw["pravel"], tw["pillow"], tw["vips"], *sizes)):
            sums[i] += x
    print(f"{'':6} {'all':46} {fmt_time(sums[0]):>8} {fmt_time(sums[1]):>8} {fmt_time(sums[2]):>8} "
          f"{sums[3]:12,.0f} {sums[3] / sums[4]:7.3f} {sums[3] / sums[5]:6.3f}   time ×Pillow "
          f"{sums[1] / sums[0]:.2f}, ×libvips {sums[2] / sums[0]:.2f}")
    record(f"PNG writer alone, {len(writer_rows)} photos' pixels (output {sums[3] / sums[4]:.3f}× Pillow's, "
           f"{sums[3] / sums[5]:.3f}× libvips' size)", sums[0], sums[1], "Pillow: save PNG")

    print("\nPeak memory of one call in a fresh process (growth of VmHWM ÷ the decoded RGBA picture)")
    print(f"{'set':6} {'photo':46} {'mode':6} {'pravel':>7} {'Pillow':>7} {'libvips':>7}")
    for set_name, folder in folders.items():
        for path in sorted(folder.glob("*.jpg")):
            if "1080x1920" not in path.name and "3840x2160" not in path.name:
                continue
            for mode in modes:
                ratios = [memory_per_call(which, mode, path) for which in ("pravel", "Pillow", "vips")]
                print(f"{set_name:6} {path.stem:46} {mode:6} " + " ".join(f"{r:6.2f}×" for r in ratios),
                      flush=True)


def print_total(label: str, mode: str, total: list[float]) -> None:
    print(f"{'':6} {label:46} {mode:6} {fmt_time(total[0]):>8} {fmt_time(total[1]):>8} "
          f"{fmt_time(total[2]):>8} {total[1] / total[0]:6.2f}× {total[2] / total[0]:5.2f}× "
          f"{total[3]:12,.0f} {total[3] / total[4]:7.3f} {total[3] / total[5]:6.3f}", flush=True)


def peers_environment() -> None:
    """Runs this script again in the peers' virtual environment when pyvips
    is missing here and the downloaded wheels are at hand."""
    try:
        import pyvips  # noqa: F401
        return
    except (ImportError, OSError):
        pass
    import photos as fetcher

    wheels = fetcher.default_cache() / "peers" / "wheels"
    venv = fetcher.default_cache() / "peers" / f"venv-{sys.version_info[0]}.{sys.version_info[1]}"
    if not any(wheels.glob("pyvips-*.whl")):
        print(f"(no libvips: run `python tools/photos.py --peer-wheels` on the machine to fetch the peers' wheels)")
        return
    python = venv / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--ignore-installed", "--no-index",
                        "--find-links", str(wheels), "pillow", "pyvips>=3", "pyvips-binary"], check=True)
    import pravel
    site = os.pathsep.join([str(Path(pravel.__file__).resolve().parent.parent),
                            os.environ.get("PRAVEL_BENCH_SITE", "")])
    os.execve(str(python), [str(python), *sys.argv], dict(os.environ, PRAVEL_BENCH_SITE=site))


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
    if len(sys.argv) == 5 and sys.argv[1] == "--memory-probe":
        memory_probe(*sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="rounds per case, at least")
    parser.add_argument("--quick", action="store_true", help="small images only")
    parser.add_argument("--photos-only", action="store_true", help="only the real photographs")
    args = parser.parse_args()
    peers_environment()

    import PIL
    from PIL import features

    try:
        import pyvips
        vips = f"libvips {pyvips.version(0)}.{pyvips.version(1)}.{pyvips.version(2)}"
    except (ImportError, OSError):
        vips = "no libvips"
    print(f"framekit.adjust_size vs the bare Pillow pipeline ({machine()}; Pillow {PIL.__version__} from "
          f"{Path(PIL.__file__).parent.parent.name}, zlib-ng {features.version('zlib_ng')}; {vips})")
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
    sets = photo_uploads()
    if sets:
        import photos as fetcher

        folders = {name: fetcher.ensure(fetcher.default_cache(), name) for name in sets}
        real_photos(sets, args.repeat, folders)


if __name__ == "__main__":
    main()
