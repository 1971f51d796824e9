"""The registry of extension modules in conftest.py against the build: the
modules CMakeLists.txt declares and the ones installed are exactly those.
(The GIL each one works under is held to the registry by test_isolation.py,
in subinterpreters.)"""

import re
from pathlib import Path

from conftest import CORE_TEST_MODULE, EXTENSIONS, built_extensions

CMAKE_LISTS = Path(__file__).resolve().parent.parent / "CMakeLists.txt"


def declared_modules():
    """pravel_module(<name> <source> <package directory>) at the top level."""
    found = re.findall(r"^pravel_module\((\w+) \S+ ([\w/]+)\)", CMAKE_LISTS.read_text(), re.M)
    return {".".join((*directory.split("/"), name)) for name, directory in found}


def test_the_build_declares_the_registered_modules():
    assert declared_modules() == set(EXTENSIONS)


def test_the_installed_package_holds_the_registered_modules():
    assert set(built_extensions()) - {CORE_TEST_MODULE} == set(EXTENSIONS)
