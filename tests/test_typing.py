"""The type stubs shipped beside the extension modules: complete, true to the
runtime, and precise for callers (checked with mypy when it is installed)."""

import ast
import dataclasses
import enum
import importlib
import json
import pickle
import runpy
import subprocess
import sys
import typing
from pathlib import Path

import pytest
from PIL import Image

import pravel
from support import EXTENSIONS, built_extensions
from pravel.orvid import OrvidSizeCalculator, SizeResult
from pravel.response.result import ResultDict, ServiceResult

MODULES = list(EXTENSIONS)
USAGE = Path(__file__).resolve().with_name("typing_usage.py")
ALLOWLIST = USAGE.with_name("stubtest_allowlist.txt")
PACKAGE = Path(pravel.__file__).resolve().parent

try:  # knows typing_extensions' TypedDict too, which pravel takes before Python 3.12
    from typing_extensions import is_typeddict
except ImportError:
    from typing import is_typeddict


@pytest.fixture(scope="module")
def mypy_checks(tmp_path_factory):
    """stubtest, and `mypy --strict` on the usage file and the package's own
    command line, started together (each takes seconds) from an empty
    directory, so that only the installed package is seen."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    cwd = tmp_path_factory.mktemp("mypy")
    commands = {
        "stubtest": ["mypy.stubtest", "--allowlist", str(ALLOWLIST), "--ignore-unused-allowlist",
                     *MODULES, "pravel.exceptions"],
        "strict": ["mypy", "--strict", "--cache-dir", str(cwd / "cache"), str(USAGE)],
        "strict-cli": ["mypy", "--strict", "--cache-dir", str(cwd / "cache-cli"),
                       "-p", "pravel.cli", "-p", "pravel.demo"],
    }
    runs = {name: subprocess.Popen([sys.executable, "-m", *command], cwd=cwd, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            for name, command in commands.items()}

    def finished(name):
        """(status, output) of a check, once it has run."""
        output, _ = runs[name].communicate()
        return runs[name].returncode, output

    yield finished
    for run in runs.values():
        if not run.stdout.closed:  # its test did not run
            run.kill()
            run.communicate()


def test_every_extension_module_ships_a_stub():
    assert (PACKAGE / "py.typed").is_file()
    for name, path in built_extensions().items():
        if name in EXTENSIONS:
            stem = name.rsplit(".", 1)[1]
            assert path.with_name(stem + ".pyi").is_file(), f"{path.name} has no stub"


def test_stubs_agree_with_the_runtime(mypy_checks):
    status, output = mypy_checks("stubtest")
    assert status == 0, output


def test_service_usage_type_checks_strictly(mypy_checks):
    status, output = mypy_checks("strict")
    assert status == 0, output


def test_command_line_type_checks_strictly(mypy_checks):
    status, output = mypy_checks("strict-cli")
    assert status == 0, output


def test_service_usage_runs():
    usage = runpy.run_path(str(USAGE))
    assert usage["main"]() == {
        "adjusted": "9:16",
        "ratio": ("9:16", "9:16"),
        "size": "3840x2160",
        "marvale": (752, 1392),
        "clean": "success",
        "banned": "PROMPT_BANNED",
        "failure": "今日额度已用完",
    }


# Each typed dictionary, where it lives, and a real answer of its shape.
TYPED_ANSWERS = [
    pytest.param(SizeResult, "pravel.orvid", lambda: OrvidSizeCalculator.calc_size("16:9", "4k"),
                 id="SizeResult"),
    pytest.param(ResultDict, "pravel.response.result", lambda: ServiceResult.success([1]).to_dict(),
                 id="ResultDict"),
]


@pytest.mark.parametrize("cls, module_name, make_answer", TYPED_ANSWERS)
def test_typed_dictionaries_exist_at_run_time(cls, module_name, make_answer):
    answer = make_answer()
    assert is_typeddict(cls) and (cls.__module__, cls.__qualname__) == (module_name, cls.__name__)
    assert list(typing.get_type_hints(cls)) == list(answer) and cls.__required_keys__ == set(answer)
    assert pickle.loads(pickle.dumps(cls)) is cls


@pytest.mark.parametrize("cls, module_name, make_answer", TYPED_ANSWERS)
def test_typed_dictionaries_serve_as_response_models(cls, module_name, make_answer):
    pydantic = pytest.importorskip("pydantic")
    answer = make_answer()
    adapter = pydantic.TypeAdapter(cls)
    assert adapter.validate_python(answer) == answer
    assert json.loads(adapter.dump_json(answer)) == json.loads(json.dumps(answer))
    assert set(adapter.json_schema()["required"]) == set(answer)
    incomplete = dict(answer)
    incomplete.popitem()
    with pytest.raises(pydantic.ValidationError):
        adapter.validate_python(incomplete)


# stubtest compares signatures and names the runtime has, but neither the values
# a stub spells out (enum members, dataclass defaults) nor attributes the stub
# declares that the runtime lacks. These tests cover that part.


def stub_classes(module_name):
    """(runtime class, {name: (annotation or None, value node or None)}) per stub class."""
    module = importlib.import_module(module_name)
    stub = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef):
            continue
        if any(ast.unparse(d) == "type_check_only" for d in node.decorator_list):
            continue
        names = {}
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                names[item.target.id] = (ast.unparse(item.annotation), item.value)
            elif isinstance(item, ast.Assign):
                names[item.targets[0].id] = (None, item.value)
        yield getattr(module, node.name), names


def sample_instances(word_file):
    from pravel.comfyui.hostwarden import ComfyUIManager
    from pravel.framekit import Framekit
    from pravel.marvale import MarvaleImageScale
    from pravel.orvid import OrvidSizeCalculator
    from pravel.response.faultroll import CustomFaultmark, Faultroll
    from pravel.shapelens import ImageShapelens
    from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

    words = word_file("gore\n")
    return {
        Framekit: Framekit(),
        ImageShapelens: ImageShapelens(),
        OrvidSizeCalculator: OrvidSizeCalculator(),
        MarvaleImageScale: MarvaleImageScale(Image.new("RGB", (4, 4))),
        CustomFaultmark: CustomFaultmark("MY_ERROR", "自定义错误消息"),
        Faultroll: Faultroll(),
        PromptBanChecker: PromptBanChecker(str(words)),
        NormalizedPromptBanChecker: NormalizedPromptBanChecker(str(words)),
        ComfyUIManager: ComfyUIManager(),
    }


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_attributes_and_values_match_the_runtime(module_name, word_file):
    instances = sample_instances(word_file)
    stubs = dict(stub_classes(module_name))
    for cls, names in stubs.items():
        class_vars = {n for n, (ann, value) in names.items() if ann and ann.startswith("ClassVar")}
        class_level = class_vars | {n for n, (ann, value) in names.items() if value is not None}
        for name in class_level:
            assert name in vars(cls), f"{cls.__name__}.{name}"
        for name in class_vars:
            if names[name][1] is not None:
                assert getattr(cls, name) == ast.literal_eval(names[name][1]), f"{cls.__name__}.{name}"
        if is_typeddict(cls):
            assert cls.__total__ and {n: ann for n, (ann, _) in names.items()} == {
                n: t.__name__ for n, t in cls.__annotations__.items()}, cls
        elif issubclass(cls, enum.Enum):
            members = [n for n in names if n != "_value_"]
            assert members == [member.name for member in cls], cls
            for name in members:
                assert cls[name].value == ast.literal_eval(names[name][1]), f"{cls.__name__}.{name}"
        elif dataclasses.is_dataclass(cls):
            fields = [n for n in names if n not in class_vars]
            assert fields == [f.name for f in dataclasses.fields(cls)], cls
            for field in dataclasses.fields(cls):
                assert field.default == ast.literal_eval(names[field.name][1]), f"{cls.__name__}.{field.name}"
        else:
            # Plain classes: instance attributes, both ways (public ones only
            # from the runtime side: private helpers need not be declared).
            attributes = set(vars(instances[cls]))
            inherited = {n for base in cls.__mro__[1:] for n in stubs.get(base, {})}
            declared = (set(names) - class_level) | inherited
            assert declared <= attributes, f"{cls.__name__}: {declared - attributes} missing at run time"
            public = {n for n in attributes if not n.startswith("_")}
            assert public <= declared, f"{cls.__name__}: {public - declared} missing from the stub"
