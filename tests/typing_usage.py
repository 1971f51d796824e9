"""Every module used the way the service uses it, written to pass `mypy --strict`.

tests/test_typing.py type-checks this file against the installed stubs and then
runs `main()` on the bundled samples, so each line here is both accepted by the
type checker and true at run time. The `assert_type` calls pin the precise
types callers get; `rejected_by_the_type_checker` holds misuses that the stubs
must refuse (under --strict an ignore comment that is not needed is an error).
"""

from __future__ import annotations

import io
import logging
import re
from importlib import resources
from pathlib import Path
from typing import Any, assert_type

from PIL import Image

from pravel.comfyui.hostwarden import ComfyUIManager
from pravel.exceptions import PromptBanError
from pravel.framekit import Framekit
from pravel.marvale import MarvaleImageScale
from pravel.orvid import OrvidSizeCalculator, SizeResult
from pravel.response.faultmark import Faultmark
from pravel.response.faultroll import CustomFaultmark, Faultroll
from pravel.response.result import ResultDict, ResultStatus, ServiceResult
from pravel.shapelens import ImageShapelens
from pravel.wordguard import PromptBanChecker


def prepare_upload(upload: bytes, ratio: str | None) -> tuple[bytes, str]:
    padded = Framekit(ratio, "fill", (0, 0, 0, 255)).adjust_size(upload, True, 5.0)
    assert_type(padded, tuple[bytes, str])
    resized = Framekit(need_adjust="resize").adjust_size(upload)
    assert_type(resized, bytes)
    flag: bool = ratio is None
    either = Framekit(ratio).adjust_size(upload, return_origin_ratio=flag)
    assert_type(either, bytes | tuple[bytes, str])
    assert Framekit._parse_ratio("16:9") == (16, 9)
    assert Framekit()._get_closest_standard_ratio(1920, 1080) in Framekit.STANDARD_RATIO_LIST
    return padded


def describe_ratio(upload: bytes) -> tuple[str, str]:
    lens = ImageShapelens(approx_search_range=20)
    return lens.get_raw_simple_ratio(upload), lens.get_approx_simple_ratio(upload)


def output_size(ratio: str, tier: str) -> SizeResult:
    size = OrvidSizeCalculator.calc_size(ratio, resolution=tier)
    assert_type(size["width"], int)
    assert_type(size["valid"], bool)
    edge = OrvidSizeCalculator.round_to_multiple(1254.0) + OrvidSizeCalculator.floor_to_multiple(47, 16)
    assert edge == 1248 + 32
    assert OrvidSizeCalculator.is_valid_image_size(size["width"], size["height"]) is size["valid"]
    limit: int = OrvidSizeCalculator.MAX_EDGE
    assert max(size["width"], size["height"]) <= limit
    return size


def for_marvale(picture: Image.Image) -> Image.Image:
    return MarvaleImageScale(picture).start()


def answer_for(prompt: str, checker: PromptBanChecker) -> ResultDict:
    try:
        checked = checker.check(prompt)
    except PromptBanError as error:
        found: list[str] | None = error.data
        return ServiceResult.fail(Faultmark.PROMPT_BANNED, f"{error.error_msg}: {found}", 400).to_dict()
    hits: list[str] = checker.find_matched_words(checked)
    assert not hits
    return ServiceResult.success({"prompt": checked}).to_dict()


class TracedResult(ServiceResult):
    """A service's own answer type: the constructors build it too."""


def upstream_failure(raw: str) -> ServiceResult:
    quota = Faultroll.register("QUOTA_DAILY", "今日额度已用完")
    assert Faultroll.get("QUOTA_DAILY") is quota and "QUOTA_DAILY" in Faultroll.list_all()
    custom = CustomFaultmark("LOCAL", "本地错误")
    ServiceResult._error_rules = [(["daily quota"], quota), (("disk full",), custom, "磁盘已满")]
    try:
        result = ServiceResult.fail(Faultmark.IMAGE_GENERATE_FAIL, raw)
    finally:
        ServiceResult._error_rules = None
        Faultroll.clear()
    status: str = ResultStatus.FAIL
    assert result.status == status and ResultStatus("wait") is ResultStatus.WAIT
    code: tuple[str, str] = Faultmark.TIMEOUT.value
    assert code == (Faultmark.TIMEOUT.code, Faultmark.TIMEOUT.msg)
    traced = TracedResult.fail(Faultmark.TIMEOUT, status_code=504)
    assert_type(traced, TracedResult)
    assert type(traced) is TracedResult and traced.to_dict()["status_code"] == 504
    rules = ServiceResult.get_default_error_rules()
    rules.append((["out of memory"], Faultmark.SERVICE_BUSY, None))
    assert ServiceResult._process_error_message("") == "未知错误"
    return result


def restart_comfyui(url: str) -> bool:
    manager = ComfyUIManager(url, timeout=3, max_wait_seconds=30, poll_interval=0.5,
                             logger=logging.getLogger("service"))
    return manager.run_reboot_and_wait()


def rejected_by_the_type_checker(upload: bytes, checker: PromptBanChecker) -> None:
    Framekit().adjust_size(upload)[1].upper()  # type: ignore[attr-defined]
    Framekit().adjust_size(bytearray(upload))  # type: ignore[call-overload]
    OrvidSizeCalculator.calc_size(16)  # type: ignore[arg-type]
    OrvidSizeCalculator.calc_size()["colour"]  # type: ignore[typeddict-item]
    ServiceResult.fail("TIMEOUT")  # type: ignore[arg-type]
    ServiceResult.success(None).to_dict()["status_code"].upper()  # type: ignore[attr-defined]
    Faultmark.SUCCESS.code = "OK"  # type: ignore[misc]
    Faultroll.get("X").msg  # type: ignore[union-attr]
    checker.check(None)  # type: ignore[arg-type]
    pattern: re.Pattern[str] = checker._ban_regex  # type: ignore[assignment]
    del pattern


def main() -> dict[str, Any]:
    samples = resources.files("pravel") / "samples"
    upload = (samples / "portrait.jpg").read_bytes()
    words = samples / "banned_words.txt"
    with resources.as_file(words) as path:
        checker = PromptBanChecker(str(Path(path)), ignore_case=True)
    picture = Image.open(io.BytesIO(upload))
    return {
        "adjusted": prepare_upload(upload, None)[1],
        "ratio": describe_ratio(upload),
        "size": output_size("16:9", "4K")["size"],
        "marvale": for_marvale(picture).size,
        "clean": answer_for("a quiet lake at dawn", checker)["status"],
        "banned": answer_for("gore and nsfw", checker)["code"],
        "failure": upstream_failure("Daily quota exceeded").msg,
    }
