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


# ---------------------------------------------------------------- other releases and architectures
#
# Packages of a Debian release or an architecture this machine does not run
# (the headers and libraries of a cross build, the root of an emulated system)
# come through an apt configuration of their own, kept under CACHE: its own
# sources, lists and an empty package status, so that nothing of this
# machine's apt changes and every dependency is downloaded.

CACHE = Path("/var/cache/pravel/apt")
MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


class Archive:
    """Debian `suite` (bookworm, sid, ...) for architecture `arch` (amd64, arm64)."""

    def __init__(self, suite: str, arch: str, cache: Path = CACHE):
        self.suite, self.arch = suite, arch
        self.dir = cache / f"{suite}-{arch}"

    def _config(self) -> Path:
        d = self.dir
        for sub in ("state/lists/partial", "cache/archives/partial", "debs", "sources"):
            (d / sub).mkdir(parents=True, exist_ok=True)
        (d / "status").touch()
        line = f"[signed-by={KEYRING}] {MIRROR} {self.suite} main"
        (d / "sources.list").write_text(f"deb {line}\ndeb-src {line}\n")
        config = d / "apt.conf"
        config.write_text(
            f'Dir::State "{d}/state"; Dir::State::status "{d}/status"; Dir::Cache "{d}/cache";\n'
            f'Dir::Etc::sourcelist "{d}/sources.list"; Dir::Etc::sourceparts "/dev/null";\n'
            'Dir::Etc::preferencesparts "/dev/null";\n'
            f'APT::Architecture "{self.arch}"; APT::Architectures {{ "{self.arch}"; }};\n'
            # sid's Release file is often past its Valid-Until date.
            'Acquire::Check-Valid-Until "false"; Acquire::Languages "none"; Acquire::Retries "3";\n'
            'APT::Sandbox::User "root";\n')
        return config

    def _apt(self, *args: str, cwd: Path | None = None, capture: bool = False) -> str:
        import os
        import time

        config = self._config()
        env = dict(os.environ, APT_CONFIG=str(config), DEBIAN_FRONTEND="noninteractive")
        lists = self.dir / "state" / "lists"
        fresh = [p for p in lists.glob("*_InRelease") if time.time() - p.stat().st_mtime < 86400]
        if not fresh:
            subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
        run = subprocess.run(["apt-get", *args], env=env, cwd=cwd, check=True,
                             stdout=subprocess.PIPE if capture else None, text=True)
        return run.stdout or ""

    def debs(self, packages: Iterable[str], dependencies: bool = False) -> list[Path]:
        """The .deb files of `packages` (and, with `dependencies`, of all they
        depend on), downloaded where not there yet."""
        packages = list(packages)
        folder = self.dir / "debs"
        if dependencies:
            listing = self._apt("install", "--print-uris", "-qq", "-y", *packages, capture=True)
            names = [line.split()[1] for line in listing.splitlines() if line.startswith("'")]
        else:
            listing = self._apt("download", "--print-uris", "-qq", *packages, capture=True)
            names = [line.split()[1] for line in listing.splitlines() if line.startswith("'")]
        wanted = [folder / name for name in names]
        missing = [p for p in wanted if not p.exists()]
        if missing:
            # The file names (name_version_arch.deb) give the exact versions.
            specs = [f"{p.name.split('_')[0]}={p.name.split('_')[1].replace('%3a', ':')}" for p in missing]
            self._apt("download", "-qq", *specs, cwd=folder)
        return wanted

    def source(self, package: str) -> Path:
        """The upstream source tarball of source package `package`."""
        folder = self.dir / "sources"
        self._apt("source", "--download-only", "-qq", package, cwd=folder)
        tarballs = sorted(folder.glob(f"{package}_*.orig.tar.*"))
        if not tarballs:
            raise SystemExit(f"no upstream tarball of {package} in {folder}")
        return tarballs[-1]


def extract(debs: Iterable[Path], root: Path) -> None:
    """Unpacks each .deb into `root` (dpkg-deb -x: files only, no scripts)."""
    root.mkdir(parents=True, exist_ok=True)
    for deb in debs:
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
