"""Real photographs for framekit's benchmark, fetched once and cached outside
the checkout, from two independent Debian packages, so that a choice fitted to
one set can be checked on the other.

Set "plasma": Debian's plasma-workspace-wallpapers holds, beside rendered art, camera
photographs (Olympus and Sony JPEGs at 2560x1600). This script downloads the
package with `apt-get download` (tools/debs.py), extracts a handful of those
photographs and derives from them uploads as phones make them:

- two 1080x1920 portrait crops saved as JPEG quality 90;
- a 3840x2160 landscape (a 16:9 crop scaled up: the package has no photograph
  that large), JPEG quality 92;
- a 3:4 portrait stored as a 1600x1200 landscape with EXIF orientation 6, as
  phones store what they shot upright;
- a 4:3 photo converted to Display P3 and carrying that profile, as phones
  shoot wide-gamut pictures;
- two of the photographs as the camera wrote them (sRGB profile, EXIF).

Set "ukui": Debian's ukui-wallpapers holds, beside rendered art, 3840x2160
photographs by other photographers (birds, cities at night, mountains, an
aerial view, a still life). It is taken from sid (through tools/debs.py's
own apt configuration, whatever release this machine runs): bookworm's
20.04.3 lacks the photographs. Derived from them, the same kinds of uploads:

- two 1080x1920 portrait crops, JPEG quality 90;
- two 1920x1080 landscapes scaled down, JPEG quality 90;
- a 3:4 portrait stored as a 1600x1200 landscape with EXIF orientation 6;
- three of the photographs as the package has them (3840x2160, sRGB profile).

    python tools/photos.py [--cache DIR] [--set NAME]   prints the folder of the uploads
    python tools/photos.py --peer-wheels [--python 3.14]

--peer-wheels downloads, on the machine, the wheels of the peers that
benchmarks/bench_framekit.py measures (Pillow, pyvips-binary and cffi from
PyPI for that CPython, and a wheel built from pyvips' source, which PyPI
has as a source distribution only) into DIR/peers/wheels.

DIR defaults to $PRAVEL_PHOTOS or /var/cache/pravel/photos. Needs Pillow with
its colour-management module, dpkg-deb and apt-get (run as root).
"""

from __future__ import annotations

import argparse
import glob
import io
import os
import struct
import subprocess
import sys
from pathlib import Path

from PIL import Image, ImageCms

import debs

PACKAGE = "plasma-workspace-wallpapers"
PHOTOS = ["Path", "FallenLeaf", "EveningGlow", "OneStandsOut", "ColorfulCups", "BytheWater", "Kite"]
# Bump when the uploads change, so that a cache made by an older script is remade.
VERSION = "2"

UKUI_PACKAGE = "ukui-wallpapers"
UKUI_SUITE = "sid"  # bookworm's package has none of the photographs
UKUI_PHOTOS = ["bluebird", "sunf", "horse", "still-life", "snowy-mountains", "bridgecity2", "look", "mountain"]
UKUI_VERSION = "1"


def default_cache() -> Path:
    return Path(os.environ.get("PRAVEL_PHOTOS", "/var/cache/pravel/photos"))


def extract_photographs(deb: Path, into: Path) -> dict[str, Path]:
    """The largest JPEG of each photograph, extracted from the package."""
    into.mkdir(parents=True, exist_ok=True)
    patterns = [f"./usr/share/wallpapers/{name}/contents/images/*.jpg" for name in PHOTOS]
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", str(into), "--wildcards", *patterns], stdin=tar.stdout, check=True)
    if tar.wait() != 0:
        sys.exit(f"dpkg-deb could not read {deb}")
    found = {}
    for name in PHOTOS:
        files = [Path(f) for f in glob.glob(str(into / f"usr/share/wallpapers/{name}/contents/images/*.jpg"))]
        files = [f for f in files if f.stat().st_size]  # the smaller sizes are empty placeholders
        if not files:
            sys.exit(f"{deb.name} holds no photograph {name}")
        found[name] = max(files, key=lambda f: Image.open(f).width)
    return found


def display_p3_profile() -> bytes:
    """An ICC v4 display profile of Display P3: DCI-P3 primaries, the D65
    white and the sRGB tone curve, as phones tag their photos."""
    primaries = [(0.680, 0.320), (0.265, 0.690), (0.150, 0.060)]
    white = (0.3127, 0.3290)
    xyz = lambda x, y: (x / y, 1.0, (1 - x - y) / y)  # noqa: E731
    columns = [xyz(*p) for p in primaries]
    w = xyz(*white)
    # Scale the primaries so that they add up to the white point (Cramer's rule).
    m = [[columns[c][r] for c in range(3)] for r in range(3)]
    det = lambda a: (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1])  # noqa: E731
                     - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
                     + a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]))
    d = det(m)
    scales = [det([[w[r] if c == k else m[r][c] for c in range(3)] for r in range(3)]) / d for k in range(3)]
    rgb_to_xyz = [[m[r][c] * scales[c] for c in range(3)] for r in range(3)]
    # Bradford adaptation from D65 to the profile connection space's D50.
    bradford = [[0.8951, 0.2664, -0.1614], [-0.7502, 1.7135, 0.0367], [0.0389, -0.0685, 1.0296]]
    inverse = [[0.9869929, -0.1470543, 0.1599627], [0.4323053, 0.5183603, 0.0492912],
               [-0.0085287, 0.0400428, 0.9684867]]
    d50 = (0.9642, 1.0, 0.8249)
    mul = lambda a, b: [[sum(a[r][k] * b[k][c] for k in range(3)) for c in range(3)] for r in range(3)]  # noqa: E731
    cone_src = [sum(bradford[r][k] * w[k] for k in range(3)) for r in range(3)]
    cone_dst = [sum(bradford[r][k] * d50[k] for k in range(3)) for r in range(3)]
    scale = [[cone_dst[r] / cone_src[r] if r == c else 0.0 for c in range(3)] for r in range(3)]
    adapt = mul(inverse, mul(scale, bradford))
    adapted = mul(adapt, rgb_to_xyz)

    fixed = lambda v: struct.pack(">i", round(v * 65536))  # noqa: E731
    xyz_tag = lambda v: b"XYZ \0\0\0\0" + b"".join(fixed(c) for c in v)  # noqa: E731
    text = "Display P3".encode("utf-16-be")
    desc = b"mluc\0\0\0\0" + struct.pack(">II2s2sII", 1, 12, b"en", b"US", len(text), 28) + text
    notice = "No copyright, use freely".encode("utf-16-be")
    cprt = b"mluc\0\0\0\0" + struct.pack(">II2s2sII", 1, 12, b"en", b"US", len(notice), 28) + notice
    # The sRGB curve as parametric function 3: (a*x + b)^g above d, c*x below.
    trc = b"para\0\0\0\0" + struct.pack(">HH", 3, 0) + b"".join(
        fixed(v) for v in (2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045))
    chad = b"sf32\0\0\0\0" + b"".join(fixed(adapt[r][c]) for r in range(3) for c in range(3))
    tags = [(b"desc", desc), (b"cprt", cprt), (b"wtpt", xyz_tag(d50)), (b"chad", chad),
            (b"rXYZ", xyz_tag([adapted[r][0] for r in range(3)])),
            (b"gXYZ", xyz_tag([adapted[r][1] for r in range(3)])),
            (b"bXYZ", xyz_tag([adapted[r][2] for r in range(3)])),
            (b"rTRC", trc), (b"gTRC", trc), (b"bTRC", trc)]
    table, body, offset, placed = b"", b"", 128 + 4 + 12 * len(tags), {}
    for signature, data in tags:
        if data not in placed:  # the three curves share one tag
            placed[data] = offset + len(body)
            body += data + b"\0" * (-len(data) % 4)
        table += signature + struct.pack(">II", placed[data], len(data))
    size = offset + len(body)
    header = (struct.pack(">I4sI4s4s4s", size, b"\0\0\0\0", 0x04300000, b"mntr", b"RGB ", b"XYZ ")
              + struct.pack(">6H", 2024, 1, 1, 0, 0, 0) + b"acsp" + b"\0" * 24
              + struct.pack(">I", 0) + b"".join(fixed(c) for c in d50) + b"\0" * 48)
    assert len(header) == 128
    return header + struct.pack(">I", len(tags)) + table + body


def centre_crop(image: Image.Image, ratio_w: int, ratio_h: int) -> Image.Image:
    w, h = image.size
    cw, ch = (w, w * ratio_h // ratio_w) if w * ratio_h <= h * ratio_w else (h * ratio_w // ratio_h, h)
    left, top = (w - cw) // 2, (h - ch) // 2
    return image.crop((left, top, left + cw, top + ch))


def camera_exif(source: Image.Image, orientation: int = 1) -> bytes:
    exif = source.getexif()
    exif[0x0112] = orientation
    return exif.tobytes()


def jpeg(image: Image.Image, **options) -> bytes:
    out = io.BytesIO()
    image.save(out, "JPEG", **options)
    return out.getvalue()


def derive_uploads(photos: dict[str, Path]) -> dict[str, bytes]:
    open_ = {name: Image.open(path) for name, path in photos.items()}
    for image in open_.values():
        image.load()
    lanczos = Image.Resampling.LANCZOS
    srgb = ImageCms.createProfile("sRGB")
    p3_bytes = display_p3_profile()
    p3 = ImageCms.getOpenProfile(io.BytesIO(p3_bytes))

    uploads = {}
    for name in ("Path", "FallenLeaf"):
        portrait = centre_crop(open_[name], 9, 16).resize((1080, 1920), lanczos)
        uploads[f"phone-portrait-{name}-1080x1920.jpg"] = jpeg(
            portrait, quality=90, exif=camera_exif(open_[name]), icc_profile=open_[name].info.get("icc_profile"))
    wide = centre_crop(open_["EveningGlow"], 16, 9).resize((3840, 2160), lanczos)
    uploads["landscape-EveningGlow-3840x2160.jpg"] = jpeg(wide, quality=92, exif=camera_exif(open_["EveningGlow"]))
    # Upright it is a 1200x1600 portrait; stored turned a quarter to the left,
    # orientation 6 tells viewers to turn it back.
    upright = centre_crop(open_["OneStandsOut"], 3, 4).resize((1200, 1600), lanczos)
    uploads["rotated-OneStandsOut-1600x1200-orientation6.jpg"] = jpeg(
        upright.transpose(Image.Transpose.ROTATE_90), quality=90,
        exif=camera_exif(open_["OneStandsOut"], 6), icc_profile=open_["OneStandsOut"].info.get("icc_profile"))
    cups = centre_crop(open_["ColorfulCups"], 4, 3)
    cups = ImageCms.profileToProfile(cups, srgb, p3, outputMode="RGB")
    uploads[f"display-p3-ColorfulCups-{cups.width}x{cups.height}.jpg"] = jpeg(
        cups, quality=90, icc_profile=p3_bytes, exif=camera_exif(open_["ColorfulCups"]))
    for name in ("BytheWater", "Kite"):
        uploads[f"camera-{name}-{open_[name].width}x{open_[name].height}.jpg"] = photos[name].read_bytes()
    return uploads


def extract_ukui(deb: Path, into: Path) -> dict[str, Path]:
    """The photographs of ukui-wallpapers, extracted from the package."""
    into.mkdir(parents=True, exist_ok=True)
    patterns = [f"./usr/share/backgrounds/{name}.jpg" for name in UKUI_PHOTOS]
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", str(into), *patterns], stdin=tar.stdout, check=True)
    if tar.wait() != 0:
        sys.exit(f"dpkg-deb could not read {deb}")
    return {name: into / f"usr/share/backgrounds/{name}.jpg" for name in UKUI_PHOTOS}


def derive_ukui_uploads(photos: dict[str, Path]) -> dict[str, bytes]:
    open_ = {name: Image.open(path) for name, path in photos.items()}
    for image in open_.values():
        image.load()
    lanczos = Image.Resampling.LANCZOS
    icc = lambda name: open_[name].info.get("icc_profile")  # noqa: E731
    uploads = {}
    for name in ("bluebird", "sunf"):
        portrait = centre_crop(open_[name], 9, 16).resize((1080, 1920), lanczos)
        uploads[f"phone-portrait-{name}-1080x1920.jpg"] = jpeg(portrait, quality=90, icc_profile=icc(name))
    for name in ("horse", "still-life"):
        small = open_[name].resize((1920, 1080), lanczos)
        uploads[f"landscape-{name}-1920x1080.jpg"] = jpeg(small, quality=90, icc_profile=icc(name))
    upright = centre_crop(open_["snowy-mountains"], 3, 4).resize((1200, 1600), lanczos)
    uploads["rotated-snowy-mountains-1600x1200-orientation6.jpg"] = jpeg(
        upright.transpose(Image.Transpose.ROTATE_90), quality=90, exif=camera_exif(upright, 6))
    for name in ("bridgecity2", "look", "mountain"):
        uploads[f"original-{name}-{open_[name].width}x{open_[name].height}.jpg"] = photos[name].read_bytes()
    return uploads


# Each set: its package, the Debian release to take it from (None: this
# machine's), the folder of its uploads, how they are made.
SETS = {
    "plasma": (PACKAGE, None, f"uploads-v{VERSION}", lambda deb, cache: derive_uploads(
        extract_photographs(deb, cache / "extracted"))),
    "ukui": (UKUI_PACKAGE, UKUI_SUITE, f"ukui-uploads-v{UKUI_VERSION}", lambda deb, cache: derive_ukui_uploads(
        extract_ukui(deb, cache / "extracted-ukui"))),
}


def ensure(cache: Path, photo_set: str = "plasma") -> Path:
    """The folder of one set's uploads, made on first use."""
    package, suite, folder, derive = SETS[photo_set]
    uploads = cache / folder
    if (uploads / ".complete").exists():
        return uploads
    if suite is None:
        deb = debs.download([package], cache)[package]
    else:
        [deb] = debs.Archive(suite, "amd64").debs([package])
    made = derive(deb, cache)
    uploads.mkdir(exist_ok=True)
    for name, data in made.items():
        (uploads / name).write_bytes(data)
    (uploads / ".complete").write_text(f"from {deb.name}\n")
    return uploads


def peer_wheels(cache: Path, python: str) -> Path:
    """The peers' wheels for CPython `python`, downloaded into cache/peers/wheels."""
    folder = cache / "peers" / "wheels"
    folder.mkdir(parents=True, exist_ok=True)
    tag = python.replace(".", "")
    subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--only-binary=:all:", "--python-version",
                    python, "--implementation", "cp", "--abi", f"cp{tag}", "--abi", "abi3", "--platform",
                    "manylinux_2_28_x86_64", "--platform", "manylinux_2_17_x86_64", "--platform",
                    "manylinux2014_x86_64", "-d", str(folder), "pillow", "pyvips-binary", "cffi"], check=True)
    source = folder / "source"
    subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary=:all:", "-d",
                    str(source), "pyvips>=3"], check=True)
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(folder),
                    *map(str, source.glob("pyvips-*.tar.gz"))], check=True)
    return folder


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, default=default_cache())
    parser.add_argument("--peer-wheels", action="store_true", help="download the peers' wheels instead")
    parser.add_argument("--python", default="3.14", help="the CPython of the peers' wheels")
    parser.add_argument("--set", choices=[*SETS, "all"], default="all", help="which photographs")
    args = parser.parse_args()
    if args.peer_wheels:
        print(peer_wheels(args.cache, args.python))
        return
    for name in SETS if args.set == "all" else [args.set]:
        print(ensure(args.cache, name))


if __name__ == "__main__":
    main()
