"""Checks an installed pravel wheel: it is what this interpreter imports, and each
extension module needs only libraries of the wheel's own manylinux policy or
libraries shipped inside the wheel, all of which the dynamic loader finds.

    python -P tools/check_wheel.py

Run it with the interpreter of the environment the wheel went into; it reads the
policy from auditwheel's tables and exits non-zero, naming every problem.
"""

from __future__ import annotations

import importlib.machinery
import importlib.metadata
import json
import re
import subprocess
import sys
from importlib import resources
from pathlib import Path


def wheel_tags() -> list[str]:
    wheel = importlib.metadata.distribution("pravel").read_text("WHEEL") or ""
    return re.findall(r"^Tag: (.+)$", wheel, re.MULTILINE)


def allowed_libraries(platform: str) -> set[str]:
    """The system libraries the manylinux policy named by `platform` admits."""
    policies = json.loads((resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    name = re.sub(r"_(x86_64|aarch64|i686|ppc64le|s390x|armv7l|riscv64)$", "", platform)
    for policy in policies:
        if name == policy["name"] or name in policy.get("aliases", []):
            return set(policy["lib_whitelist"])
    raise SystemExit(f"no manylinux policy named {name}")


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
    if len(extensions) < 9:
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
        print(f"{shown}: {', '.join(needed(extension))}")
    print(f"{len(extensions)} extension modules, wheel tags {', '.join(tags)}")
    for problem in problems:
        print(f"problem: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
