from enum import Enum

class Faultmark(Enum):
    _value_: tuple[str, str]
    SUCCESS = ("SUCCESS", "服务完成")
    SERVICE_BUSY = ("SERVICE_BUSY", "服务繁忙，请稍后再试")
    TIMEOUT = ("TIMEOUT", "服务超时，请稍后重试")
    IMAGE_GENERATE_FAIL = ("IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试")
    NO_IMAGE_RESULT = ("NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试")
    IMAGE_INVALID = ("IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片")
    IMAGE_FORMAT_UNSUPPORTED = ("IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式")
    IMAGE_SIZE_EXCEEDED = ("IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试")
    CONTENT_POLICY_VIOLATION = ("CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试")
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
    def code(self) -> str: ...
    @property
    def msg(self) -> str: ...
