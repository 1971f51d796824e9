from collections.abc import Iterable
from dataclasses import dataclass
from enum import Enum
from typing import Any, ClassVar, Self, TypeAlias, TypedDict

from .faultmark import Faultmark
from .faultroll import CustomFaultmark

_ErrorCode: TypeAlias = Faultmark | CustomFaultmark
# (keywords, error code) or (keywords, error code, message that replaces a match).
_ErrorRule: TypeAlias = tuple[Iterable[str], _ErrorCode] | tuple[Iterable[str], _ErrorCode, str | None]

class ResultDict(TypedDict):
    """to_dict 的返回值"""

    status: str
    data: Any
    code: str
    msg: str
    status_code: int

class ResultStatus(str, Enum):
    _value_: str
    # Members are looked up by their value; str's own constructor is not used.
    def __new__(cls, value: str) -> Self: ...
    SUCCESS = "success"
    FAIL = "fail"
    WAIT = "wait"

@dataclass
class ServiceResult:
    status: str = "wait"
    data: Any | None = None
    code: str = "SUCCESS"
    msg: str = ""
    status_code: int = 400
    _error_rules: ClassVar[list[_ErrorRule] | None] = None
    @classmethod
    def get_default_error_rules(cls) -> list[_ErrorRule]: ...
    @classmethod
    def success(cls, data: Any, msg: str = "success") -> Self: ...
    @classmethod
    def fail(cls, error: _ErrorCode, msg: str | None = None, status_code: int = 500) -> Self: ...
    def to_dict(self) -> ResultDict: ...
    @staticmethod
    def _process_error_message(msg: str) -> str: ...
