"""The registry of extension modules (src/modules.json) against the sources,
the build and the installed package: every module registered is built,
installed and typed, from sources that declare it, and nothing else is.
(The GIL each one works under is held to the registry by test_isolation.py,
in subinterpreters.)"""

import re
from pathlib import Path

from support import CORE_TEST_MODULE, EXTENSIONS, REGISTRY, built_extensions

TOP = Path(__file__).resolve().parent.parent
SRC = TOP / "src"
DECLARATION = re.compile(r'^PRAVEL_MODULE\((\w+), "([\w.]+)", \w+, \w+(, pv::interpreters::own_gil)?\)$', re.M)


def test_the_installed_package_holds_the_registered_modules():
    assert set(built_extensions()) - {CORE_TEST_MODULE} == set(EXTENSIONS)
    assert len(REGISTRY) == len(EXTENSIONS)  # no name twice


def test_every_module_source_belongs_to_one_module():
    claimed = [source for entry in REGISTRY for source in entry["sources"]]
    assert len(claimed) == len(set(claimed))
    outside = {"core", "gen"}  # the shared core; build-time generators
    found = {str(p.relative_to(SRC)) for p in SRC.rglob("*.cpp") if not outside & set(p.relative_to(SRC).parts)}
    assert found == set(claimed)


def test_each_module_is_declared_by_its_sources_as_registered():
    for entry in REGISTRY:
        declared = [m for source in entry["sources"] for m in DECLARATION.finditer((SRC / source).read_text())]
        assert len(declared) == 1, entry["name"]
        short, qualified, own = declared[0].groups()
        assert (qualified, short) == (entry["name"], entry["name"].rsplit(".", 1)[-1])
        assert ("own" if own else "shared") == entry["interpreters"], entry["name"]


def test_each_module_has_its_stub():
    for name in EXTENSIONS:
        assert (TOP / Path(*name.split("."))).with_suffix(".pyi").is_file(), name
