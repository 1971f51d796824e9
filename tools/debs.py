"""Debian packages as real material for measurements (photographs, text),
fetched with `apt-get download` (run as root) into a cache outside the
checkout; tools/photos.py and the benchmarks use it."""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Iterable


def download(packages: Iterable[str], folder: Path) -> dict[str, Path]:
    """The .deb file of each package in `folder`, downloaded where none is
    there yet; when apt-get does not know a package, its lists are updated
    once and the download tried again."""
    packages = list(packages)
    folder.mkdir(parents=True, exist_ok=True)

    def found() -> dict[str, list[Path]]:
        return {name: sorted(folder.glob(f"{name}_*.deb")) for name in packages}

    missing = [name for name, debs in found().items() if not debs]
    if missing:
        command = ["apt-get", "download", *missing]
        if subprocess.run(command, cwd=folder).returncode != 0:
            subprocess.run(["apt-get", "update", "-qq"], check=True)
            subprocess.run(command, cwd=folder, check=True)
    return {name: debs[-1] for name, debs in found().items()}
