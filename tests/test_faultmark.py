import enum
import pickle

import pytest

from pravel.response.faultmark import Faultmark
from support import Operations, raises

TABLE = [
    ("SUCCESS", "服务完成"),
    ("SERVICE_BUSY", "服务繁忙，请稍后再试"),
    ("TIMEOUT", "服务超时，请稍后重试"),
    ("IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试"),
    ("NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试"),
    ("IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片"),
    ("IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式"),
    ("IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试"),
    ("CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试"),
    ("IMAGE_BANNED", "图片包含违禁内容，请更换图片后重试"),
    ("PROMPT_BANNED", "提示词包含违禁内容，请修改后重试"),
    ("PROMPT_EMPTY", "提示词不能为空"),
    ("PROMPT_TOO_LONG", "提示词超出长度限制，请精简后重试"),
    ("INVALID_PARAMS", "请求参数无效，请检查后重试"),
    ("INSUFFICIENT_BALANCE", "服务API余额不足，联系客服充值后重试"),
    ("QUOTA_EXCEEDED", "请求配额已用完，请稍后重试或升级套餐"),
    ("RATE_LIMIT", "请求过于频繁，请稍后再试"),
    ("AUTH_FAILED", "认证失败，请检查 API Key 是否有效"),
]


class TestTable:
    def test_members_values_and_order(self):
        assert [(m.name, m.value) for m in Faultmark] == [(c, (c, msg)) for c, msg in TABLE]
        assert len(Faultmark) == 18
        assert all(m.code == m.name and m.msg == m.value[1] for m in Faultmark)
        assert all(type(m.code) is str and type(m.msg) is str for m in Faultmark)

    def test_ascii_commas_only_where_intended(self):
        ascii_comma = {m.name for m in Faultmark if "," in m.msg}
        assert ascii_comma == {"NO_IMAGE_RESULT", "CONTENT_POLICY_VIOLATION"}
        assert " API Key " in Faultmark.AUTH_FAILED.msg


class TestEnumBehaviour:
    def test_is_a_plain_enum(self):
        assert issubclass(Faultmark, enum.Enum) and type(Faultmark) is type(enum.Enum)
        assert not issubclass(Faultmark, (str, int, tuple))
        assert Faultmark.__module__ == "pravel.response.faultmark"

    def test_equality_lookups_and_pickling(self):
        assert Faultmark.TIMEOUT != "TIMEOUT"
        assert Faultmark.TIMEOUT != ("TIMEOUT", "服务超时，请稍后重试")
        assert Faultmark(("TIMEOUT", "服务超时，请稍后重试")) is Faultmark.TIMEOUT
        assert Faultmark["RATE_LIMIT"] is Faultmark.RATE_LIMIT
        with pytest.raises(ValueError):
            Faultmark("TIMEOUT")
        assert all(pickle.loads(pickle.dumps(m)) is m for m in Faultmark)

    def test_code_and_msg_are_read_only(self):
        with pytest.raises(AttributeError):
            Faultmark.TIMEOUT.code = "X"
        with pytest.raises(AttributeError):
            Faultmark.TIMEOUT.msg = "X"
        assert Faultmark.TIMEOUT.code == "TIMEOUT"


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.response.faultmark import Faultmark

    value = ("TIMEOUT", "服务超时，请稍后重试")
    return {
        "Faultmark code and msg": lambda: (Faultmark.TIMEOUT.code, Faultmark.AUTH_FAILED.msg),
        "Faultmark(value)": lambda: Faultmark(value),
        "Faultmark(unknown)": raises(ValueError, Faultmark, "TIMEOUT"),
        "Faultmark.code = ...": raises(AttributeError, setattr, Faultmark.TIMEOUT, "code", "X"),
        "iterate Faultmark": lambda: [member.msg for member in Faultmark],
    }


def thread_operations(kit):
    return {
        "faultmark lookup": lambda: Faultmark(("TIMEOUT", Faultmark.TIMEOUT.msg)).code,
        "faultmark unknown": lambda: Faultmark("TIMEOUT"),
    }


ISOLATED = """
from pravel.response.faultmark import Faultmark
from support import Operations, raises

calls = [
    lambda: [(m.code, m.msg) for m in Faultmark],
    lambda: Faultmark(("TIMEOUT", "服务超时，请稍后重试")),
    lambda: Faultmark("TIMEOUT"),
]
"""

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown={}, isolated=ISOLATED,
    recreated=lambda module, word_file: module.Faultmark.TIMEOUT.msg)
