"""The response model in plain Python: the same classes, fields and rules as
pravel.response.faultmark, .faultroll and .result."""

from dataclasses import asdict, dataclass
from enum import Enum
from typing import Any, ClassVar, Dict, List, Optional, Tuple, Union


class Faultmark(Enum):
    SUCCESS = ("SUCCESS", "服务完成")
    SERVICE_BUSY = ("SERVICE_BUSY", "服务繁忙，请稍后再试")
    TIMEOUT = ("TIMEOUT", "服务超时，请稍后重试")
    IMAGE_GENERATE_FAIL = ("IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试")
    NO_IMAGE_RESULT = ("NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试")
    IMAGE_INVALID = ("IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片")
    IMAGE_FORMAT_UNSUPPORTED = ("IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式")
    IMAGE_SIZE_EXCEEDED = ("IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试")
    CONTENT_POLICY_VIOLATION = (
        "CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试")
    IMAGE_BANNED = ("IMAGE_BANNED", "图片包含违禁内容，请更换图片后重试")
    PROMPT_BANNED = ("PROMPT_BANNED", "提示词包含违禁内容，请修改后重试")
    PROMPT_EMPTY = ("PROMPT_EMPTY", "提示词不能为空")
    PROMPT_TOO_LONG = ("PROMPT_TOO_LONG", "提示词超出长度限制，请精简后重试")
    INVALID_PARAMS = ("INVALID_PARAMS", "请求参数无效，请检查后重试")
    INSUFFICIENT_BALANCE = ("INSUFFICIENT_BALANCE", "服务API余额不足，联系客服充值后重试")
    QUOTA_EXCEEDED = ("QUOTA_EXCEEDED", "请求配额已用完，请稍后重试或升级套餐")
    RATE_LIMIT = ("RATE_LIMIT", "请求过于频繁，请稍后再试")
    AUTH_FAILED = ("AUTH_FAILED", "认证失败，请检查 API Key 是否有效")

    @property
    def code(self) -> str:
        return self.value[0]

    @property
    def msg(self) -> str:
        return self.value[1]


def _expect_str(name, value):
    if type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type "
                        f"(expected str, got {type(value).__name__})")


class CustomFaultmark:
    def __init__(self, code: str, msg: str):
        _expect_str("code", code)
        _expect_str("msg", msg)
        self._code = code
        self._msg = msg

    @property
    def code(self) -> str:
        return self._code

    @property
    def msg(self) -> str:
        return self._msg

    def __repr__(self):
        return f"CustomFaultmark({self._code!r}, {self._msg!r})"


class Faultroll:
    _registry: Dict[str, CustomFaultmark] = {}

    @classmethod
    def register(cls, code: str, msg: str) -> CustomFaultmark:
        _expect_str("code", code)
        _expect_str("msg", msg)
        fault = CustomFaultmark(code, msg)
        cls._registry[code] = fault
        return fault

    @classmethod
    def get(cls, code: str) -> Optional[CustomFaultmark]:
        _expect_str("code", code)
        return cls._registry.get(code)

    @classmethod
    def list_all(cls) -> Dict[str, CustomFaultmark]:
        return dict(cls._registry)

    @classmethod
    def clear(cls):
        cls._registry.clear()


class ResultStatus(str, Enum):
    SUCCESS = "success"
    FAIL = "fail"
    WAIT = "wait"


@dataclass
class ServiceResult:
    status: str = ResultStatus.WAIT.value
    data: Optional[Any] = None
    code: str = Faultmark.SUCCESS.code
    msg: str = ""
    status_code: int = 400

    _error_rules: ClassVar[Optional[List[Tuple]]] = None

    @classmethod
    def get_default_error_rules(cls) -> List[Tuple]:
        return [
            (["insufficient balance", "余额不足"], Faultmark.INSUFFICIENT_BALANCE),
            (["upstream model timed out"], Faultmark.TIMEOUT),
        ]

    @classmethod
    def success(cls, data: Any, msg: str = "success") -> "ServiceResult":
        _expect_str("msg", msg)
        return cls(status=ResultStatus.SUCCESS.value, data=data,
                   code=Faultmark.SUCCESS.code, msg=msg, status_code=200)

    @classmethod
    def fail(cls, error: Union[Faultmark, CustomFaultmark], msg=None,
             status_code: int = 500) -> "ServiceResult":
        if type(status_code) is not int:
            status_code = int(status_code)
        msg = cls._process_error_message(msg or error.msg)
        return cls(status=ResultStatus.FAIL.value, code=error.code, msg=msg,
                   status_code=status_code)

    def to_dict(self) -> dict:
        return asdict(self)

    @staticmethod
    def _process_error_message(msg: str) -> str:
        _expect_str("msg", msg)
        if not msg:
            return "未知错误"
        rules = ServiceResult._error_rules or ServiceResult.get_default_error_rules()
        lowered = msg.lower()
        for rule in rules:
            keywords, faultmark = rule[0], rule[1]
            custom = rule[2] if len(rule) > 2 else None
            for keyword in keywords:
                if keyword in lowered:
                    out = custom if custom is not None else faultmark.msg
                    if out is not None and type(out) is not str:
                        raise TypeError(f"Expected str, got {type(out).__name__}")
                    return out
        return msg
