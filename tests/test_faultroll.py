import pytest

from conftest import wrong_type
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
