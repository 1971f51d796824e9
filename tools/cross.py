"""Builds pravel's extension modules for one CPython version and architecture
with zig's C/C++ compiler, against an old glibc, and makes the wheel of them.

    python tools/cross.py --arch x86_64|aarch64 --python 3.11|3.13|3.14 \\
        --generated DIR --metadata PKG-INFO --out dist/

Why zig (the ziglang package on PyPI, pinned below): one compiler for every
target, whose own glibc stubs let it link against glibc 2.17 whatever the
build machine runs, so the modules need nothing newer than glibc 2.17 (the
manylinux_2_17 / manylinux2014 tag); it brings LLVM's C++ runtime (libc++,
libc++abi, libunwind) built for the target and links it in statically, so a
wheel needs no C++ runtime of the host's. Debian's archive has no compiler
that targets glibc 2.17, and an old release's compiler runs only on that old
release.

What a build needs besides comes from Debian's archive (tools/debs.py): the
target's Python headers (pyconfig.h is per architecture) from
libpython3.X-dev, and libdeflate's source, compiled here by the same
compiler. The Unicode tables of wordguard are taken pre-generated (DIR, made
by a native build), since nothing built for the target runs here.

Everything is kept under /var/cache/pravel/cross (PRAVEL_CROSS_CACHE); the
compiler lives in the wheel tools' virtual environment (PRAVEL_WHEEL_TOOLS).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

import debs
import mkwheel

TOP = Path(__file__).resolve().parent.parent
CACHE = Path(os.environ.get("PRAVEL_CROSS_CACHE", "/var/cache/pravel/cross"))
TOOLS = Path(os.environ.get("PRAVEL_WHEEL_TOOLS", "/var/cache/pravel/wheel-tools"))
ZIG_VERSION = "0.15.2"
GLIBC = "2.17"
MANYLINUX = ["manylinux_2_17", "manylinux2014"]
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
# Debian releases that have each CPython: bookworm 3.11, sid 3.13 and 3.14.
PYTHON_SUITE = {"3.11": "bookworm", "3.13": "sid", "3.14": "sid"}
LIBDEFLATE_SUITE = "bookworm"


def log(message: str) -> None:
    print(f"[cross] {message}", file=sys.stderr, flush=True)


def zig() -> Path:
    """The zig binary of the pinned ziglang package."""
    found = list((TOOLS / "lib").glob("python3*/site-packages/ziglang/zig"))
    if not found:
        raise SystemExit(f"no ziglang in {TOOLS}: run tools/wheel.sh, which installs it")
    return found[0]


def wrappers(arch: str) -> dict[str, Path]:
    """Scripts that run zig's compilers and archiver for `arch`; CMake takes a
    compiler as one program."""
    folder = CACHE / "bin" / arch
    folder.mkdir(parents=True, exist_ok=True)
    cache = CACHE / "zig-cache"
    target = f"{arch}-linux-gnu.{GLIBC}"
    made = {}
    for name, command in {"cc": f"cc -target {target} -mcpu=baseline",
                          "c++": f"c++ -target {target} -mcpu=baseline",
                          "ar": "ar", "ranlib": "ranlib"}.items():
        path = folder / name
        path.write_text("#!/bin/sh\n"
                        f"export ZIG_GLOBAL_CACHE_DIR={cache} ZIG_LOCAL_CACHE_DIR={cache}\n"
                        f'exec {zig()} {command} "$@"\n')
        path.chmod(0o755)
        made[name] = path
    return made


def python_headers(version: str, arch: str) -> Path:
    """The folder to put on the include path for Python.h of CPython `version` on `arch`."""
    root = CACHE / "python" / f"{version}-{arch}"
    include = root / "usr" / "include"
    if not (include / f"python{version}" / "Python.h").exists():
        log(f"fetching the headers of CPython {version} for {arch}")
        archive = debs.Archive(PYTHON_SUITE[version], DEBIAN_ARCH[arch])
        shutil.rmtree(root, ignore_errors=True)
        debs.extract(archive.debs([f"libpython{version}-dev"]), root)
        # Debian's pyconfig.h only picks the architecture's own by the
        # compiler's multiarch folders; there is one architecture here.
        own = include / f"{arch}-linux-gnu" / f"python{version}" / "pyconfig.h"
        shutil.copy(own, include / f"python{version}" / "pyconfig.h")
    return include / f"python{version}"


def libdeflate(arch: str, tools: dict[str, Path]) -> tuple[Path, Path]:
    """libdeflate compiled for `arch`: (include folder, static library)."""
    tarball = debs.Archive(LIBDEFLATE_SUITE, "amd64").source("libdeflate")
    version = tarball.name.split("_")[1].split(".orig")[0]
    prefix = CACHE / f"libdeflate-{version}-{arch}"
    library = prefix / "lib" / "libdeflate.a"
    if library.exists():
        return prefix / "include", library
    log(f"building libdeflate {version} for {arch}")
    source = CACHE / "src" / f"libdeflate-{version}"
    if not source.exists():
        (CACHE / "src").mkdir(parents=True, exist_ok=True)
        unpack = CACHE / "src" / "unpack"
        shutil.rmtree(unpack, ignore_errors=True)
        unpack.mkdir()
        subprocess.run(["tar", "-xf", str(tarball), "-C", str(unpack)], check=True)
        (top,) = unpack.iterdir()
        top.rename(source)
        unpack.rmdir()
    # libdeflate's own build is a Makefile that takes CC; its library is every
    # C file of lib/ (each architecture's files compile to nothing elsewhere).
    objects = CACHE / "build" / f"libdeflate-{version}-{arch}"
    shutil.rmtree(objects, ignore_errors=True)
    objects.mkdir(parents=True)
    compiled = []
    for c in sorted((source / "lib").rglob("*.c")):
        obj = objects / (c.relative_to(source).as_posix().replace("/", "_") + ".o")
        subprocess.run([str(tools["cc"]), "-O2", "-fPIC", "-fvisibility=hidden", "-DNDEBUG", "-std=c99",
                        "-I", str(source), "-c", str(c), "-o", str(obj)], check=True)
        compiled.append(str(obj))
    (prefix / "lib").mkdir(parents=True, exist_ok=True)
    (prefix / "include").mkdir(parents=True, exist_ok=True)
    shutil.copy(source / "libdeflate.h", prefix / "include")
    partial = library.with_suffix(".partial")
    partial.unlink(missing_ok=True)
    subprocess.run([str(tools["ar"]), "rcs", str(partial), *compiled], check=True)
    partial.rename(library)
    return prefix / "include", library


def system_unwinder(arch: str) -> Path:
    """libgcc_s.so.1 of `arch` (Debian's libgcc-s1), to link the modules against.

    zig would link LLVM's libunwind into each module, but glibc ends a thread
    (pthread_exit, as CPython 3.11 to 3.13 do at shutdown) by unwinding it with
    the system's libgcc_s, which then calls the modules' C++ personality
    routine: that routine must use the same unwinder, or it reads libgcc's
    unwinding state as libunwind's and crashes. libgcc_s is one of the system
    libraries every manylinux policy allows; its _Unwind_ symbols date from
    GCC 3.0."""
    root = CACHE / "libgcc" / arch
    library = root / "lib" / f"{arch}-linux-gnu" / "libgcc_s.so.1"
    if not library.exists():
        archive = debs.Archive(LIBDEFLATE_SUITE, DEBIAN_ARCH[arch])
        shutil.rmtree(root, ignore_errors=True)
        debs.extract(archive.debs(["libgcc-s1"]), root)
    if not library.exists():  # merged /usr
        library = root / "usr" / "lib" / f"{arch}-linux-gnu" / "libgcc_s.so.1"
    return library


def toolchain(arch: str, tools: dict[str, Path]) -> Path:
    path = CACHE / f"toolchain-{arch}.cmake"
    unwinder = system_unwinder(arch)
    path.write_text(f"""set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR {arch})
set(CMAKE_C_COMPILER {tools['cc']})
set(CMAKE_CXX_COMPILER {tools['c++']})
set(CMAKE_AR {tools['ar']} CACHE FILEPATH "")
set(CMAKE_RANLIB {tools['ranlib']} CACHE FILEPATH "")
# No C++20 modules here; zig brings no clang-scan-deps.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH {CACHE / "nothing-to-find"})
# Exceptions unwind through the system's libgcc_s (see tools/cross.py).
# Stripped: zig builds its C++ runtime with debug information.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "{unwinder} -s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT {unwinder})
""")
    return path


def build(arch: str, version: str, generated: Path, jobs: int) -> Path:
    """Builds and installs the modules; returns the folder they went into."""
    tools = wrappers(arch)
    include = python_headers(version, arch)
    deflate_include, deflate_library = libdeflate(arch, tools)
    tag = version.replace(".", "")
    build_dir = TOP / "build" / "cross" / f"cp{tag}-{arch}"
    stage = build_dir / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    # Configured anew each time: the toolchain's settings are read only then.
    (build_dir / "CMakeCache.txt").unlink(missing_ok=True)
    log(f"building the modules for CPython {version} on {arch}")
    cmake = [
        "cmake", "-S", str(TOP), "-B", str(build_dir), "-G", "Ninja",
        f"-DCMAKE_TOOLCHAIN_FILE={toolchain(arch, tools)}", "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_INCLUDE_DIR={include}", f"-DPython_SOABI=cpython-{tag}-{arch}-linux-gnu",
        f"-DPRAVEL_GENERATED_DIR={generated}",
        f"-DLIBDEFLATE_INCLUDE_DIR={deflate_include}", f"-DLIBDEFLATE_LIBRARY={deflate_library}",
        f"-DCMAKE_INSTALL_PREFIX={stage}",
    ]
    subprocess.run(cmake, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), f"-j{jobs}"], check=True)
    subprocess.run(["cmake", "--install", str(build_dir)], check=True, stdout=subprocess.DEVNULL)
    return stage


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arch", choices=sorted(DEBIAN_ARCH), required=True)
    parser.add_argument("--python", choices=sorted(PYTHON_SUITE), required=True)
    parser.add_argument("--generated", type=Path, required=True,
                        help="the folder of wordguard_tables.inc and wordguard_readings.inc")
    parser.add_argument("--metadata", type=Path, required=True, help="the sdist's PKG-INFO")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("-j", "--jobs", type=int, default=2)
    args = parser.parse_args()
    stage = build(args.arch, args.python, args.generated.resolve(), args.jobs)
    tag = "cp" + args.python.replace(".", "")
    platforms = [f"{name}_{args.arch}" for name in MANYLINUX]
    wheel = mkwheel.make(TOP, stage, args.metadata, [f"{tag}-{tag}-{p}" for p in platforms], args.out)
    log(f"made {wheel}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
