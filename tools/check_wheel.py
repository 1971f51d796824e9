"""Checks a pravel wheel.

    python -P tools/check_wheel.py             the wheel installed here
    python tools/check_wheel.py --wheel FILE   a wheel file, of any architecture

Installed, it is what this interpreter imports, and each extension module
needs only libraries of the wheel's own manylinux policy or libraries shipped
inside the wheel, all of which the dynamic loader finds. In both cases each
module (read with readelf) exports its PyInit_ function and nothing else,
needs no C++ runtime, only the policy's system libraries, and no glibc symbol
newer than the policy's. Run it with an interpreter that has auditwheel, whose
tables give the policies; it exits non-zero, naming every problem.
"""

from __future__ import annotations

import importlib.machinery
import importlib.metadata
import json
import re
import subprocess
import sys
import tempfile
import zipfile
from importlib import resources
from pathlib import Path

EXTENSIONS = 9


def wheel_tags() -> list[str]:
    wheel = importlib.metadata.distribution("pravel").read_text("WHEEL") or ""
    return re.findall(r"^Tag: (.+)$", wheel, re.MULTILINE)


def policy(platform: str) -> dict:
    """The manylinux policy named by `platform` (manylinux_2_17_x86_64, ...)."""
    policies = json.loads((resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    name = re.sub(r"_(x86_64|aarch64|i686|ppc64le|s390x|armv7l|riscv64)$", "", platform)
    for entry in policies:
        if name == entry["name"] or name in entry.get("aliases", []):
            return entry
    raise SystemExit(f"no manylinux policy named {name}")


def allowed_libraries(platform: str) -> set[str]:
    """The system libraries the manylinux policy named by `platform` admits."""
    return set(policy(platform)["lib_whitelist"])


def glibc_limit(platform: str) -> tuple[int, ...]:
    """The newest glibc symbol version the policy admits, as (2, 17)."""
    arch = re.search(r"(x86_64|aarch64|i686|ppc64le|s390x|armv7l|riscv64)$", platform).group(1)
    versions = policy(platform)["symbol_versions"][arch]["GLIBC"]
    return max(tuple(int(n) for n in v.split(".")) for v in versions)


def version_of(text: str) -> tuple[int, ...]:
    return tuple(int(n) for n in text.split("."))


def static_problems(path: Path, shown: str, platforms: list[str]) -> list[str]:
    """What readelf shows wrong with one module, whatever machine it is for."""
    problems = []
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", str(path)], capture_output=True, text=True,
                             check=True).stdout
    exported = []
    for line in symbols.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) >= 8 and fields[4] in ("GLOBAL", "WEAK") and fields[6] != "UND":
            exported.append(fields[7].split("@")[0])
    stem = path.name.split(".")[0]
    if exported != [f"PyInit_{stem}"]:
        problems.append(f"{shown}: exports {exported}, not only PyInit_{stem}")
    for name in needed(path):
        if re.match(r"lib(std)?c\+\+|libc\+\+abi|libunwind", name):
            problems.append(f"{shown}: needs a C++ runtime ({name})")
    references = subprocess.run(["readelf", "-V", "-W", str(path)], capture_output=True, text=True,
                                check=True).stdout
    glibc = {version_of(v) for v in re.findall(r"Name: GLIBC_([0-9.]+)", references)}
    for platform in platforms:
        limit = glibc_limit(platform)
        newer = sorted(v for v in glibc if v > limit)
        if newer:
            problems.append(f"{shown}: needs glibc {'.'.join(map(str, newer[-1]))}, "
                            f"newer than {platform} admits")
        allowed = allowed_libraries(platform)
        for name in needed(path):
            if not (name in allowed or is_loader(name)):
                problems.append(f"{shown}: needs {name}, outside {platform}")
    return problems


def check_file(wheel: Path) -> int:
    """Checks a wheel file without installing it (any architecture)."""
    problems = []
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as tmp:
        archive.extractall(tmp)
        info = next(Path(tmp).glob("*.dist-info"))
        tags = re.findall(r"^Tag: (.+)$", (info / "WHEEL").read_text(), re.MULTILINE)
        platforms = sorted({tag.split("-")[2] for tag in tags})
        if not platforms or not all(p.startswith("manylinux") for p in platforms):
            problems.append(f"not only manylinux tags: {tags}")
        arch = {re.search(r"(x86_64|aarch64)$", p).group(1) for p in platforms}
        machine = {"x86_64": "X86-64", "aarch64": "AArch64"}
        extensions = sorted(Path(tmp).rglob("*.so"))
        if len(extensions) != EXTENSIONS:
            problems.append(f"{len(extensions)} extension modules, not {EXTENSIONS}")
        for extension in extensions:
            shown = str(extension.relative_to(tmp))
            header = subprocess.run(["readelf", "-h", str(extension)], capture_output=True, text=True,
                                    check=True).stdout
            if not any(machine[a] in header for a in arch):
                problems.append(f"{shown}: not built for {', '.join(sorted(arch))}")
            problems += static_problems(extension, shown, platforms)
    print(f"{wheel.name}: {len(extensions)} extension modules, tags {', '.join(tags)}")
    for problem in problems:
        print(f"problem: {problem}", file=sys.stderr)
    return 1 if problems else 0


def needed(path: Path) -> list[str]:
    dynamic = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)


def resolved(path: Path) -> dict[str, str]:
    """Library name -> where the loader finds it ("not found" if it does not)."""
    found = {}
    for line in subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=True).stdout.splitlines():
        if "=>" in line:
            name, where = (part.strip() for part in line.split("=>", 1))
        else:  # the loader itself, named by its path
            where = line.strip()
            name = Path(where.split(" (")[0]).name
        found[name] = where.split(" (")[0].strip()
    return found


def is_loader(name: str) -> bool:
    return name.startswith(("ld-linux", "linux-vdso", "ld64.so"))


def main() -> int:
    import pravel

    package = Path(pravel.__file__).resolve().parent
    site = package.parent
    problems = []
    if not package.is_relative_to(Path(sys.prefix).resolve()):
        problems.append(f"pravel is imported from {package}, not from this environment ({sys.prefix})")
    tags = wheel_tags()
    platforms = {tag.split("-")[2] for tag in tags}
    manylinux = sorted(p for p in platforms if p.startswith("manylinux"))
    if not manylinux:
        problems.append(f"the installed wheel has no manylinux tag: {tags}")
        allowed: set[str] = set()
    else:
        allowed = set.intersection(*(allowed_libraries(p) for p in manylinux))
    extensions = [p for p in package.rglob("*")
                  if p.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))]
    if len(extensions) < EXTENSIONS:
        problems.append(f"only {len(extensions)} extension modules installed")
    for extension in sorted(extensions):
        shown = extension.relative_to(site)
        places = resolved(extension)
        for name in needed(extension):
            where = places.get(name, "not found")
            inside = where != "not found" and Path(where).resolve().is_relative_to(site)
            if where == "not found":
                problems.append(f"{shown}: {name} not found")
            elif not (name in allowed or is_loader(name) or inside):
                problems.append(f"{shown}: needs {name} ({where}), outside the policy and the wheel")
        for name, where in places.items():
            if where == "not found":
                problems.append(f"{shown}: {name} (needed indirectly) not found")
        problems += static_problems(extension, str(shown), manylinux)
        print(f"{shown}: {', '.join(needed(extension))}")
    print(f"{len(extensions)} extension modules, wheel tags {', '.join(tags)}")
    for problem in problems:
        print(f"problem: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--wheel"] and len(sys.argv) == 3:
        sys.exit(check_file(Path(sys.argv[2])))
    sys.exit(main())
