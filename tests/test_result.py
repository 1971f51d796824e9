import dataclasses
import decimal
import random
import subprocess
import sys
import textwrap

import pytest

from support import Operations, fresh_module, outcome, raises, wrong_type
from pravel.response import faultmark, result
from pravel.response.faultmark import Faultmark
from pravel.response.faultroll import CustomFaultmark
from pravel.response.result import ResultStatus, ServiceResult

# The same classes in plain Python, step by step.
from plain.response import ServiceResult as PlainServiceResult

TIMED_OUT = "服务超时，请稍后重试"
NO_BALANCE = "服务API余额不足，联系客服充值后重试"


@pytest.fixture(autouse=True)
def default_rules():
    ServiceResult._error_rules = None
    yield
    ServiceResult._error_rules = None


def fields(record):
    return (type(record), record.status, record.data, record.code, record.msg, record.status_code)


class Fault:
    """Any object with code and msg serves as an error code."""

    def __init__(self, code="F", msg="m"):
        self.code, self.msg = code, msg


class TestStatusAndRecord:
    def test_result_status(self):
        assert issubclass(ResultStatus, str) and [m.value for m in ResultStatus] == [
            "success", "fail", "wait"]
        assert ResultStatus.FAIL == "fail" and ResultStatus("wait") is ResultStatus.WAIT
        assert ResultStatus.__doc__ == "接口返回状态枚举"

    def test_dataclass_shape(self):
        assert dataclasses.is_dataclass(ServiceResult)
        assert [(f.name, f.type, f.default) for f in dataclasses.fields(ServiceResult)] == [
            ("status", "str", "wait"), ("data", "Optional[Any]", None),
            ("code", "str", "SUCCESS"), ("msg", "str", ""), ("status_code", "int", 400)]
        assert ServiceResult.__annotations__["_error_rules"] == "ClassVar[Optional[List[Tuple]]]"
        assert repr(ServiceResult()) == (
            "ServiceResult(status='wait', data=None, code='SUCCESS', msg='', status_code=400)")

    def test_generated_behaviour(self):
        a = ServiceResult("fail", [1], "X", "m", 500)
        b = ServiceResult(status="fail", data=[1], code="X", msg="m", status_code=500)
        assert a == b and a != ServiceResult()
        with pytest.raises(TypeError):
            {a}
        with pytest.raises(TypeError):
            a < b
        a.msg = 5  # not frozen, and no type checks
        assert a.msg == 5 and ServiceResult(status=None).status is None

    def test_to_dict(self):
        @dataclasses.dataclass
        class Image:
            url: str

        payload = {"images": [Image("a.png")], "size": (1, 2)}
        out = ServiceResult.success(payload).to_dict()
        assert list(out) == ["status", "data", "code", "msg", "status_code"]
        assert out == {"status": "success", "data": {"images": [{"url": "a.png"}], "size": (1, 2)},
                       "code": "SUCCESS", "msg": "success", "status_code": 200}
        assert out["data"] is not payload and type(out["status"]) is str


class TestConstructors:
    def test_success(self):
        record = ServiceResult.success(None)
        assert fields(record) == (ServiceResult, "success", None, "SUCCESS", "success", 200)
        assert type(record.status) is str
        assert ServiceResult.success([1], msg="好").msg == "好"

    @pytest.mark.parametrize("error, msg, status_code, expected", [
        (Faultmark.RATE_LIMIT, None, 429, ("RATE_LIMIT", "请求过于频繁，请稍后再试", 429)),
        (Faultmark.IMAGE_GENERATE_FAIL, "Upstream Model Timed Out after 60s", 500,
         ("IMAGE_GENERATE_FAIL", TIMED_OUT, 500)),
        (Faultmark.INVALID_PARAMS, "", 503.7, ("INVALID_PARAMS", "请求参数无效，请检查后重试", 503)),
        (Faultmark.SUCCESS, "模型余额不足", True, ("SUCCESS", NO_BALANCE, 1)),
        (CustomFaultmark("MINE", ""), None, decimal.Decimal("404.9"), ("MINE", "未知错误", 404)),
        (Fault("DUCK", "raw"), None, -1, ("DUCK", "raw", -1)),
    ])
    def test_fail(self, error, msg, status_code, expected):
        record = ServiceResult.fail(error, msg, status_code)
        assert fields(record) == (ServiceResult, "fail", None) + expected

    def test_builtin_messages_pass_unchanged(self):
        for member in Faultmark:
            assert ServiceResult.fail(member).msg == member.msg

    def test_fast_construction_matches_the_generated_init(self):
        made = ServiceResult.fail(Faultmark.TIMEOUT)
        assert made == ServiceResult("fail", None, "TIMEOUT", TIMED_OUT, 500)
        assert list(vars(made)) == ["status", "data", "code", "msg", "status_code"]


class TestTypeErrors:
    @pytest.mark.parametrize("call, name, got", [
        (lambda: ServiceResult.success(1, None), "msg", "NoneType"),
        (lambda: ServiceResult._process_error_message(b"x"), "msg", "bytes"),
        (lambda: ServiceResult.fail(Faultmark.TIMEOUT, status_code="503"), "status_code", "str"),
        (lambda: ServiceResult.fail(Faultmark.TIMEOUT, ValueError("boom")), "msg", "ValueError"),
        (lambda: ServiceResult.fail(Fault(msg=None)), "msg", "NoneType"),
    ])
    def test_argument_types(self, call, name, got):
        expected = "int" if name == "status_code" else "str"
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == wrong_type(name, expected, got)

    def test_missing_attributes(self):
        class NoCode:
            msg = "m"

        with pytest.raises(AttributeError):
            ServiceResult.fail(NoCode())
        with pytest.raises(AttributeError):
            ServiceResult.fail(object(), "message")

    @pytest.mark.parametrize("rule, error, message", [
        ((["x"],), IndexError, None),
        (([1], Faultmark.TIMEOUT), TypeError, None),
        ((["x"], Faultmark.TIMEOUT, 7), TypeError, "Expected str, got int"),
        ((["x"], Fault(msg=b"m")), TypeError, "Expected str, got bytes"),
    ])
    def test_bad_rules(self, rule, error, message):
        ServiceResult._error_rules = [rule]
        with pytest.raises(error) as err:
            ServiceResult._process_error_message("x")
        assert message is None or str(err.value) == message


class TestRules:
    def test_defaults(self):
        rules = ServiceResult.get_default_error_rules()
        assert rules == [(["insufficient balance", "余额不足"], Faultmark.INSUFFICIENT_BALANCE),
                         (["upstream model timed out"], Faultmark.TIMEOUT)]
        assert rules is not ServiceResult.get_default_error_rules()
        assert ServiceResult._process_error_message("") == "未知错误"
        assert ServiceResult._process_error_message("INSUFFICIENT BALANCE") == NO_BALANCE
        process = ServiceResult._process_error_message
        spaced = "Insufficient  balance"
        assert process(spaced) is spaced and process("xinsufficient balancex") == NO_BALANCE
        # full Unicode lower-casing: "İ" becomes "i" and a combining dot
        assert process("ÉCHEC: UPSTREAM MODEL TIMED OUT") == TIMED_OUT
        assert process("İNSUFFICIENT BALANCE") == "İNSUFFICIENT BALANCE"

    def test_custom_rules_replace_defaults_unless_empty(self):
        ServiceResult._error_rules = [(("quota",), Faultmark.QUOTA_EXCEEDED, "自定义"),
                                      [["QUOTA", "limit"], Faultmark.RATE_LIMIT, None, "ignored"]]
        process = ServiceResult._process_error_message
        assert process("Quota gone") == "自定义"
        assert process("LIMIT hit") == Faultmark.RATE_LIMIT.msg
        assert process("upstream model timed out") == "upstream model timed out"
        ServiceResult._error_rules = []
        assert process("upstream model timed out") == TIMED_OUT

    def test_keyword_iteration_and_code_message_none(self):
        ServiceResult._error_rules = [("zq", Fault(msg=None)), (iter(["b"]), Faultmark.TIMEOUT)]
        assert ServiceResult._process_error_message("Q") is None  # a bare string: per character
        assert ServiceResult._process_error_message("B") == TIMED_OUT

    def test_rules_come_from_the_module_level_class(self, monkeypatch):
        class Sub(ServiceResult):
            _error_rules = [(["x"], Faultmark.TIMEOUT)]

        assert Sub.fail(Faultmark.SERVICE_BUSY, "x").msg == "x"
        monkeypatch.setattr(result, "ServiceResult", Sub)
        assert ServiceResult.fail(Faultmark.SERVICE_BUSY, "x").msg == TIMED_OUT

    def test_replaced_defaults_are_honoured(self, monkeypatch):
        monkeypatch.setattr(ServiceResult, "get_default_error_rules",
                            classmethod(lambda cls: [(["zz"], Faultmark.AUTH_FAILED)]))
        assert ServiceResult._process_error_message("ZZ") == Faultmark.AUTH_FAILED.msg
        monkeypatch.undo()
        fake = type("Fake", (), {"INSUFFICIENT_BALANCE": Fault(msg="A"), "TIMEOUT": Fault(msg="B")})
        monkeypatch.setattr(result, "Faultmark", fake)
        assert ServiceResult._process_error_message("upstream model timed out") == "B"


class TestSubclasses:
    def test_constructors_build_the_subclass(self):
        class Sub(ServiceResult):
            def __init__(self, **kwargs):
                super().__init__(**kwargs)
                self.seen = sorted(kwargs)

        failed, done = Sub.fail(Faultmark.TIMEOUT), Sub.success(1)
        assert type(failed) is Sub and failed.seen == ["code", "msg", "status", "status_code"]
        assert done.seen == ["code", "data", "msg", "status", "status_code"]

    def test_overridden_hook_and_init(self, monkeypatch):
        class Sub(ServiceResult):
            _process_error_message = staticmethod(lambda msg: f"<{msg}>")

        assert Sub.fail(Faultmark.TIMEOUT, 5).msg == "<5>"
        generated = ServiceResult.__init__
        monkeypatch.setattr(ServiceResult, "__init__", lambda self, **kw: generated(
            self, **dict(kw, status_code=kw["status_code"] + 1)))
        assert ServiceResult.fail(Faultmark.TIMEOUT).status_code == 501

    def test_replaced_properties_and_names(self, monkeypatch):
        monkeypatch.setattr(Faultmark, "msg", property(lambda self: "!" + self.name))
        monkeypatch.setattr(Faultmark, "code", property(lambda self: self.name.lower()))
        monkeypatch.setattr(result, "ResultStatus", type("S", (), {"FAIL": Fault(), "SUCCESS": 0}))
        monkeypatch.setattr(result.ResultStatus.FAIL, "value", "failed", raising=False)
        record = ServiceResult.fail(Faultmark.RATE_LIMIT)
        assert (record.status, record.code, record.msg) == ("failed", "rate_limit", "!RATE_LIMIT")
        assert ServiceResult._process_error_message("余额不足") == "!INSUFFICIENT_BALANCE"

    def test_a_property_replaced_before_loading_is_called(self, monkeypatch):
        def code(self):
            return "impostor"

        code.__module__ = faultmark.__name__  # a name alone does not make it faultmark's own
        monkeypatch.setattr(Faultmark, "code", property(code))
        fresh = fresh_module(result.__name__)
        assert fresh.ServiceResult.fail(Faultmark.TIMEOUT).code == "impostor"


def test_failed_sibling_import_fails_loading():
    code = textwrap.dedent("""
        import sys
        sys.modules["pravel.response.faultroll"] = None
        try:
            import pravel.response.result
        except ImportError as e:
            print("ImportError", "pravel.response.result" in sys.modules)
    """)
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ImportError False", out.stderr


def test_a_replaced_dataclass_that_returns_no_class_fails_loading(monkeypatch):
    # The record is read as a class only when it is one.
    monkeypatch.setattr(dataclasses, "dataclass", lambda cls: 42)
    with pytest.raises(AttributeError, match="'int' object has no attribute"):
        fresh_module("pravel.response.result")


# ---------------------------------------------------------------- differential check

def model_process(msg, rules):
    """The message rules of the plain-Python classes (the benchmark's baseline)
    under the same rule list."""
    PlainServiceResult._error_rules = rules
    return PlainServiceResult._process_error_message(msg)


def test_against_the_model():
    rng = random.Random(20240614)
    words = ["upstream model timed out", "insufficient balance", "余额不足", "quota", "Limit",
             "ERROR", "İ", "ß", "K", " ", "超时", "timed", "x"]
    codes = list(Faultmark)[:4] + [CustomFaultmark("C", "自定义"), CustomFaultmark("E", ""),
                                   Fault(msg=None), Fault(msg=3)]

    def text():
        picked = rng.sample(words, rng.randint(0, 4))
        return "".join(rng.choice([w, w.upper(), w.title()]) for w in picked)

    def keyword():
        if rng.random() < 0.03:
            return 5
        k = rng.choice(words + [""])
        return k.lower() if rng.random() < 0.8 else k

    def rule():
        keywords = [keyword() for _ in range(rng.randint(0, 3))]
        keywords = rng.choice([keywords, tuple(keywords), "".join(map(str, keywords))])
        extra = rng.choice([[], [None], ["自定义消息"], [7], ["a", "ignored"]])
        parts = [keywords, rng.choice(codes)] + extra
        return rng.choice([tuple, list])(parts if rng.random() < 0.98 else parts[:1])

    for _ in range(1500):
        rules = rng.choice([None, [], [rule() for _ in range(rng.randint(1, 4))]])
        msg = rng.choice([text(), text(), text(), text(), "", None, 3])
        ServiceResult._error_rules = rules
        expected = outcome(lambda: model_process(msg, rules))
        assert outcome(lambda: ServiceResult._process_error_message(msg)) == expected, (msg, rules)
        error = rng.choice(codes)
        status = rng.choice([500, 429, 503.5])
        raw = msg if msg else error.msg
        expected = outcome(
            lambda: ("fail", None, error.code, model_process(raw, rules), int(status)))
        got = outcome(lambda: fields(ServiceResult.fail(error, msg, status))[1:])
        assert got == expected, (msg, rules, error)


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.response.faultmark import Faultmark
    from pravel.response.faultroll import CustomFaultmark
    from pravel.response.result import ResultStatus, ServiceResult

    @dataclasses.dataclass
    class Inner:
        items: list

    class Sub(ServiceResult):  # built through its generated constructor
        pass

    class Hooked(ServiceResult):
        @staticmethod
        def _process_error_message(msg):
            return f"[{msg}]"

    class Bare:
        code, msg = "BARE", None

    custom, empty = CustomFaultmark("QUOTA", "额度"), CustomFaultmark("EMPTY", "")
    record = ServiceResult.success({"inner": Inner([1, (2, 3)]), "list": [{"a": 1}]})
    rules = [(["boom"], Faultmark.TIMEOUT, "自定义"), (("quota",), custom), ("xyz", Faultmark.AUTH_FAILED)]
    process = ServiceResult._process_error_message

    def with_rules(rules, fn, *args):
        """fn(*args) while ServiceResult._error_rules holds `rules`."""
        def call():
            saved = ServiceResult._error_rules
            ServiceResult._error_rules = rules
            try:
                return fn(*args)
            finally:
                ServiceResult._error_rules = saved

        return call

    return {
        "ServiceResult()": lambda: ServiceResult(),
        "ServiceResult(fields)": lambda: ServiceResult("fail", [1], "X", "m", 500),
        "ResultStatus(value)": lambda: ResultStatus("wait"),
        "success": lambda: ServiceResult.success({"a": 1}),
        "success(msg)": lambda: Sub.success(None, "好"),
        "success(bad msg)": raises(TypeError, ServiceResult.success, 1, None),
        "success(missing)": raises(TypeError, ServiceResult.success),
        "fail": lambda: ServiceResult.fail(Faultmark.RATE_LIMIT, status_code=429),
        "fail(rule matches)": lambda: ServiceResult.fail(Faultmark.IMAGE_GENERATE_FAIL,
                                                         "Upstream model timed out"),
        "fail(lower-cased)": lambda: ServiceResult.fail(Faultmark.TIMEOUT, "ÄÖ INSUFFICIENT BALANCE"),
        "fail(no rule)": lambda: Sub.fail(Faultmark.TIMEOUT, "other text " * 40),
        "fail(empty message)": lambda: ServiceResult.fail(empty),
        "fail(custom, float status)": lambda: ServiceResult.fail(custom, "x", 503.7),
        "fail(hooked)": lambda: Hooked.fail(Faultmark.TIMEOUT),
        "fail(bad status)": raises(TypeError, ServiceResult.fail, custom, None, "500"),
        "fail(not a code)": raises(AttributeError, ServiceResult.fail, object()),
        "fail(bad msg)": raises(TypeError, ServiceResult.fail, Faultmark.TIMEOUT, ValueError("x")),
        "fail(code msg None)": raises(TypeError, ServiceResult.fail, Bare()),
        "to_dict": lambda: record.to_dict(),
        "get_default_error_rules": lambda: ServiceResult.get_default_error_rules(),
        "_process_error_message": lambda: process("余额不足了"),
        "_process_error_message(empty)": lambda: process(""),
        "_process_error_message(bad)": raises(TypeError, process, None),
        "custom rules": with_rules(rules, process, "BOOM"),
        "custom rules, code message": with_rules(rules, process, "over quota"),
        "custom rules, keywords of a str": with_rules(rules, process, "..y.."),
        "custom rules, no match": with_rules(rules, ServiceResult.fail, Faultmark.TIMEOUT, "fine"),
        "custom rules(short rule)": raises(IndexError, with_rules([(["a"],)], process, "a")),
        "custom rules(bad keyword)": raises(TypeError, with_rules([([1], custom)], process, "a")),
        "custom rules(bad message)": raises(TypeError, with_rules([(["a"], custom, 5)], process, "a")),
    }


def thread_operations(kit):
    class Sub(ServiceResult):
        pass

    custom = CustomFaultmark("QUOTA", "额度已用完")
    messages = [None, "", "upstream model TIMED OUT", "余额不足", "Insufficient Balance ÄÖ", "plain"]
    tasks = {}
    for cls in (ServiceResult, Sub):
        for msg in messages:
            for error in (Faultmark.IMAGE_GENERATE_FAIL, custom):
                tasks[f"fail {cls.__name__} {error.code} {msg!r}"] = (
                    lambda cls=cls, error=error, msg=msg: cls.fail(error, msg, 503.7).to_dict())
        tasks[f"success {cls.__name__}"] = lambda cls=cls: cls.success({"a": [1, (2,)]}).to_dict()
    tasks["fail not a code"] = lambda: ServiceResult.fail(object())
    tasks["process"] = lambda: ServiceResult._process_error_message("upstream model timed out")
    return tasks


ISOLATED = """
from pravel.response.faultmark import Faultmark
from pravel.response.faultroll import CustomFaultmark, Faultroll
from pravel.response.result import ResultStatus, ServiceResult

class Roll(Faultroll):
    _registry = {}

Roll.register("MY_ERROR", "自定义错误消息")
calls = [
    lambda: ServiceResult.fail(Faultmark.IMAGE_GENERATE_FAIL, "Upstream model timed OUT"),
    lambda: ServiceResult.fail(Roll.get("MY_ERROR"), status_code=503.7).to_dict(),
    lambda: ServiceResult.fail(CustomFaultmark("E", "")),
    lambda: ServiceResult.success({"a": [1, (2, 3)]}).to_dict(),
    lambda: ServiceResult._process_error_message("余额不足"),
    lambda: ResultStatus("wait"),
]
"""

SHUTDOWN = {
    "response fail and to_dict": """
        from pravel.response.faultmark import Faultmark
        from pravel.response.faultroll import Faultroll
        from pravel.response.result import ServiceResult

        def answers():
            for i in range(50):
                custom = Faultroll.register(f"E{i}", "自定义错误")
                ServiceResult.fail(Faultroll.get(custom.code), "upstream model timed out").to_dict()
                ServiceResult.fail(Faultmark.TIMEOUT, "connection reset by peer").to_dict()
        in_daemon_thread(answers)
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN, isolated=ISOLATED,
    recreated=lambda module, word_file: module.ServiceResult.fail(Faultmark.TIMEOUT, "insufficient balance").msg)
