"""The sdist builds with a C++ compiler, CMake and libdeflate alone: it carries
wordguard's generated Unicode tables, so neither ICU nor Unihan's data is
looked for. The build runs in a fresh virtual environment with CMake told
that there is no ICU and pointed at a Unihan file that does not exist, so a
build that still generated a table would fail; a copy of the sdist without
its tables shows that the same settings do stop such a build.

Runs where PRAVEL_SDIST names the sdist (tools/wheel.sh test), once."""

import json
import os
import subprocess
import sys
import tarfile
import venv
from pathlib import Path

import pytest

SDIST = os.environ.get("PRAVEL_SDIST")
TABLES = ("generated/wordguard_tables.inc", "generated/wordguard_readings.inc")
NO_ICU = [
    "-DCMAKE_DISABLE_FIND_PACKAGE_ICU=ON",
    "-DUNIHAN_READINGS=/nonexistent/Unihan_Readings.txt",
]

pytestmark = pytest.mark.skipif(not SDIST, reason="PRAVEL_SDIST names no sdist")

# What the module built from the sdist answers, next to the one under test:
# lookalike letters, traditional Chinese, sound-alike Han characters.
PROBE = r"""
import json, sys
from pravel.wordguard import NormalizedPromptBanChecker
checker = NormalizedPromptBanChecker(sys.argv[1], sound_alike=True)
prompts = ["p\u043er\u0578", "\u8272\u60c5", "\u6f80\u60c5", "\u6da9\u60c5", "s\u00e8 q\u00edng", "a calm lake"]
print(json.dumps([checker.find_hits(p) for p in prompts]))
"""


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    top = tmp_path_factory.mktemp("sdist")
    with tarfile.open(SDIST) as archive:
        archive.extractall(top, filter="data")
    (source,) = top.iterdir()
    return source


def test_the_sdist_carries_the_generated_tables(unpacked):
    for table in TABLES:
        assert (unpacked / table).stat().st_size > 10000, table


def test_without_the_tables_the_same_settings_stop_the_build(unpacked, tmp_path):
    bare = tmp_path / "bare"
    subprocess.run(["cp", "-r", str(unpacked), str(bare)], check=True)
    for table in TABLES:
        (bare / table).unlink()
    configure = subprocess.run(["cmake", "-S", str(bare), "-B", str(tmp_path / "build"), *NO_ICU],
                               capture_output=True, text=True)
    assert configure.returncode != 0
    assert "ICU was not found" in configure.stderr


def test_builds_without_icu_and_answers_as_the_wheel(unpacked, tmp_path):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    build = subprocess.run(
        [str(python), "-m", "pip", "install", "-v", "--disable-pip-version-check", SDIST,
         "-Cbuild.verbose=true", *(f"-Ccmake.define.{d[2:]}" for d in NO_ICU)],
        capture_output=True, text=True, env=dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2"))
    output = build.stdout + build.stderr
    assert build.returncode == 0, output[-6000:]
    assert "wordguard's Unicode tables: the ones in" in output, output[-6000:]
    assert "Generating wordguard" not in output
    words = tmp_path / "words.txt"
    words.write_text("porn\n\u8272\u60c5\n", encoding="utf-8")
    answers = []
    for interpreter in (python, sys.executable):
        run = subprocess.run([str(interpreter), "-P", "-c", PROBE, str(words)], capture_output=True, text=True,
                             cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        answers.append(json.loads(run.stdout))
    assert answers[0] == answers[1]
    # Lookalike letters, traditional and simplified forms and pinyin all hit; the lake does not.
    assert [bool(hits) for hits in answers[0]] == [True] * 5 + [False]
