import collections

import pytest

from support import Operations, raises, wrong_type
from pravel.response import faultroll
from pravel.response.faultmark import Faultmark
from pravel.response.faultroll import CustomFaultmark, Faultroll


@pytest.fixture(autouse=True)
def empty_registry():
    Faultroll.clear()
    yield
    Faultroll.clear()


class MyStr(str):
    pass


class TestCustomFaultmark:
    def test_attributes_and_repr(self):
        err = CustomFaultmark("MY_ERROR", "自定义错误消息")
        assert (err.code, err.msg, err._code, err._msg) == ("MY_ERROR", "自定义错误消息") * 2
        assert repr(err) == str(err) == "CustomFaultmark('MY_ERROR', '自定义错误消息')"
        err._msg = 3  # private attributes stay assignable; repr follows them
        assert repr(err) == "CustomFaultmark('MY_ERROR', 3)" and err.msg == 3
        assert CustomFaultmark("", "").code == ""

    def test_identity_equality_and_hash(self):
        a, b = CustomFaultmark("X", "m"), CustomFaultmark("X", "m")
        assert a == a and a != b and len({a, b}) == 2

    def test_no_setters(self):
        err = CustomFaultmark("X", "m")
        for attr in ("code", "msg"):
            with pytest.raises(AttributeError):
                setattr(err, attr, "Y")

    @pytest.mark.parametrize("args, message", [
        ((None, "m"), wrong_type("code", "str", "NoneType")),
        (("X", None), wrong_type("msg", "str", "NoneType")),
        ((1, None), wrong_type("code", "str", "int")),
        ((MyStr("X"), "m"), wrong_type("code", "str", "MyStr")),
    ])
    def test_type_errors(self, args, message):
        for make in (CustomFaultmark, Faultroll.register):
            with pytest.raises(TypeError) as err:
                make(*args)
            assert str(err.value) == message
        assert Faultroll.list_all() == {}

    def test_keywords(self):
        assert CustomFaultmark(msg="m", code="c").code == "c"
        with pytest.raises(TypeError):
            CustomFaultmark("c", "m", "extra")


class TestFaultroll:
    def test_register_replaces_and_keeps_place(self):
        first = Faultroll.register("MY_ERROR", "一")
        Faultroll.register("OTHER", "二")
        second = Faultroll.register(code="MY_ERROR", msg="三")
        assert first is not second and isinstance(second, CustomFaultmark)
        assert Faultroll.get("MY_ERROR") is second
        assert list(Faultroll.list_all().items()) == [
            ("MY_ERROR", second), ("OTHER", Faultroll.get("OTHER"))]

    def test_get_is_exact(self):
        Faultroll.register("MY_ERROR", "m")
        assert Faultroll.get("my_error") is None and Faultroll.get(" MY_ERROR") is None
        with pytest.raises(TypeError, match="'code'"):
            Faultroll.get(None)

    def test_list_all_is_a_copy_and_clear_is_in_place(self):
        registry = Faultroll._registry
        listed = Faultroll.list_all()
        listed["X"] = CustomFaultmark("X", "m")
        assert Faultroll.get("X") is None and Faultroll.list_all() == {}
        Faultroll.register("A", "m")
        assert Faultroll.clear() is None
        assert Faultroll._registry is registry and registry == {} and Faultroll.get("A") is None

    def test_builtin_names_are_independent(self):
        Faultroll.register("TIMEOUT", "自定义")
        assert Faultroll.get("TIMEOUT").msg == "自定义"
        assert Faultmark.TIMEOUT.msg == "服务超时，请稍后重试"

    def test_subclasses_reach_the_registry_through_cls(self):
        class Shared(Faultroll):
            pass

        class Own(Faultroll):
            _registry = {}

        Shared.register("S", "m")
        Own.register("O", "m")
        assert set(Faultroll.list_all()) == {"S"} and set(Own.list_all()) == {"O"}
        Own.clear()
        assert Own._registry == {} and Faultroll.get("S") is not None

    def test_register_builds_through_the_module_name(self, monkeypatch):
        class Recorded(CustomFaultmark):
            pass

        monkeypatch.setattr(faultroll, "CustomFaultmark", Recorded)
        assert type(Faultroll.register("R", "m")) is Recorded


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.response.faultroll import CustomFaultmark, Faultroll

    class Roll(Faultroll):  # a registry of its own: the shared one stays as it is
        _registry = {}

    class OrderedRoll(Faultroll):  # a registry that is not exactly a dict
        _registry = collections.OrderedDict()

    code = CustomFaultmark("MY_ERROR", "自定义错误消息")

    def clear_and_register():
        Roll.clear()
        return Roll.register("AGAIN", "再次")

    return {
        "CustomFaultmark()": lambda: CustomFaultmark("MY_ERROR", "自定义错误消息"),
        "CustomFaultmark(bad code)": raises(TypeError, CustomFaultmark, None, "m"),
        "CustomFaultmark(bad msg)": raises(TypeError, CustomFaultmark, "C", 1),
        "CustomFaultmark(missing)": raises(TypeError, CustomFaultmark, "C"),
        "CustomFaultmark(both missing)": raises(TypeError, CustomFaultmark),
        "register(twice)": raises(TypeError, Roll.register, "C", "m", code="D"),
        "CustomFaultmark code, msg, repr": lambda: (code.code, code.msg, repr(code)),
        "register": lambda: Roll.register("MY_ERROR", "自定义错误消息"),
        "register(ordered)": lambda: OrderedRoll.register("MY_ERROR", "m"),
        "register(bad)": raises(TypeError, Roll.register, "C", None),
        "get": lambda: Roll.get("MY_ERROR"),
        "get(unknown)": lambda: Roll.get("NOPE"),
        "get(ordered)": lambda: OrderedRoll.get("MY_ERROR"),
        "get(bad)": raises(TypeError, Roll.get, b"MY_ERROR"),
        "list_all": lambda: Roll.list_all(),
        "clear": clear_and_register,
    }


ISOLATED = """
from pravel.response.faultroll import CustomFaultmark, Faultroll

class Roll(Faultroll):
    _registry = {}

calls = [
    lambda: Roll.register("MY_ERROR", "自定义错误消息"),
    lambda: Roll.get("MY_ERROR").msg,
    lambda: CustomFaultmark(None, "m"),
]
"""

# The thread suite's registrations from every thread are its own (test_threads.py).
OPERATIONS = Operations(
    leaks=leak_operations, threads=lambda kit: {}, shutdown={}, isolated=ISOLATED,
    recreated=lambda module, word_file: repr(module.CustomFaultmark("A", "b")))
