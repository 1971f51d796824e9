"""Assembles a wheel from extension modules built elsewhere (tools/cross.py):
the package's Python files from the checkout, the modules from an install
folder, the core metadata of the sdist (its PKG-INFO, which the build backend
wrote from pyproject.toml), and the tags given. The build backend cannot
build for another interpreter or architecture than the one it runs on.
"""

from __future__ import annotations

import base64
import hashlib
import re
import zipfile
from pathlib import Path

PACKAGE = "pravel"
ENTRY_POINTS = "[console_scripts]\npravel = pravel.cli:main\n"
# Files of the package folder that are not part of the package.
SKIPPED_PARTS = {"__pycache__"}
SKIPPED_SUFFIXES = (".so", ".pyc", ".pyo")


def package_files(top: Path) -> dict[str, Path]:
    found = {}
    for path in sorted((top / PACKAGE).rglob("*")):
        relative = path.relative_to(top)
        if path.is_file() and not SKIPPED_PARTS & set(relative.parts) and not path.name.endswith(SKIPPED_SUFFIXES):
            found[relative.as_posix()] = path
    return found


def built_modules(stage: Path) -> dict[str, Path]:
    modules = {p.relative_to(stage).as_posix(): p for p in sorted(stage.rglob("*.so"))}
    if not modules:
        raise SystemExit(f"no extension modules in {stage}")
    return modules


def _digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def make(top: Path, stage: Path, pkg_info: Path, tags: list[str], out: Path) -> Path:
    metadata = pkg_info.read_text()
    version = re.search(r"^Version: (.+)$", metadata, re.M).group(1).strip()
    if re.search(r"^Name: (.+)$", metadata, re.M).group(1).strip() != PACKAGE:
        raise SystemExit(f"{pkg_info} is not {PACKAGE}'s")
    interpreter, abi = sorted({t.split("-")[0] for t in tags}), sorted({t.split("-")[1] for t in tags})
    platforms = sorted({t.split("-")[2] for t in tags}, key=[t.split("-")[2] for t in tags].index)
    name = f"{PACKAGE}-{version}-{'.'.join(interpreter)}-{'.'.join(abi)}-{'.'.join(platforms)}.whl"
    info = f"{PACKAGE}-{version}.dist-info"
    contents: dict[str, bytes] = {}
    for arcname, path in {**package_files(top), **built_modules(stage)}.items():
        contents[arcname] = path.read_bytes()
    contents[f"{info}/METADATA"] = metadata.encode()
    for license_file in re.findall(r"^License-File: (.+)$", metadata, re.M):
        contents[f"{info}/licenses/{license_file.strip()}"] = (top / license_file.strip()).read_bytes()
    contents[f"{info}/entry_points.txt"] = ENTRY_POINTS.encode()
    contents[f"{info}/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: pravel tools/mkwheel.py\n"
                                 "Root-Is-Purelib: false\n" + "".join(f"Tag: {t}\n" for t in tags)).encode()
    record = "".join(f"{arcname},{_digest(data)},{len(data)}\n" for arcname, data in contents.items())
    contents[f"{info}/RECORD"] = (record + f"{info}/RECORD,,\n").encode()
    out.mkdir(parents=True, exist_ok=True)
    wheel = out / name
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for arcname, data in contents.items():
            entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
            executable = arcname.endswith(".so")
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return wheel
