"""Real photographs for measurements: the wallpapers of Debian's
plasma-workspace-wallpapers package, fetched once with apt-get and kept outside
the checkout (PRAVEL_PHOTO_CACHE, default /var/cache/pravel/wallpapers)."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

from PIL import Image

CACHE = Path(os.environ.get("PRAVEL_PHOTO_CACHE", "/var/cache/pravel/wallpapers"))
PACKAGE = "plasma-workspace-wallpapers"


def wallpaper(name: str, size: str) -> Path:
    """The file of wallpaper `name` ("Autumn") in `size` ("2560x1600.jpg")."""
    unpacked = CACHE / "unpacked"
    if not unpacked.is_dir():
        CACHE.mkdir(parents=True, exist_ok=True)
        debs = list(CACHE.glob(f"{PACKAGE}_*.deb"))
        if not debs:
            subprocess.run(["apt-get", "download", PACKAGE], cwd=CACHE, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            debs = list(CACHE.glob(f"{PACKAGE}_*.deb"))
        partial = CACHE / "unpacking"
        subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(partial)], check=True)
        partial.rename(unpacked)
    return unpacked / "usr/share/wallpapers" / name / "contents/images" / size


def portrait_photo() -> Path:
    """A 1080x1920 JPEG cut from a landscape photograph, as a phone upload
    (made once, kept beside the wallpapers)."""
    path = CACHE / "autumn-1080x1920.jpg"
    if not path.exists():
        with Image.open(wallpaper("Autumn", "2560x1600.jpg")) as photo:
            box = ((photo.width - 900) // 2, 0, (photo.width + 900) // 2, 1600)
            portrait = photo.crop(box).resize((1080, 1920), Image.Resampling.LANCZOS)
        portrait.save(path.with_suffix(".part"), "JPEG", quality=90)
        path.with_suffix(".part").rename(path)
    return path


def photo_files() -> dict[str, Path]:
    """Uploads of growing size, by description."""
    return {
        "1080x1920 photo": portrait_photo(),
        "2560x1600 photo": wallpaper("Autumn", "2560x1600.jpg"),
        "5120x2880 picture": wallpaper("Flow", "5120x2880.jpg"),
    }


def photos() -> dict[str, bytes]:
    return {name: path.read_bytes() for name, path in photo_files().items()}
