"""Real photographs for measurements: the uploads that tools/photos.py derives
from Debian's plasma-workspace-wallpapers, fetched once and cached outside the
checkout ($PRAVEL_PHOTOS, default /var/cache/pravel/photos)."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import photos as fetcher  # noqa: E402  (tools/photos.py)


def photo_files() -> dict[str, Path]:
    """Uploads of growing size, by description."""
    folder = fetcher.ensure(fetcher.default_cache())
    return {
        "1080x1920 photo": folder / "phone-portrait-Path-1080x1920.jpg",
        "2560x1600 photo": next(folder.glob("camera-BytheWater-*.jpg")),
        "3840x2160 photo": folder / "landscape-EveningGlow-3840x2160.jpg",
    }


def photos() -> dict[str, bytes]:
    return {name: path.read_bytes() for name, path in photo_files().items()}
