"""``pravel demo``: every module on the bundled samples, with a short report.

The ComfyUI part talks to a stand-in server on the loopback interface that
restarts the way ComfyUI does: it drops the reboot request's connection and
answers the statistics endpoint with 503 for a moment, then 200.
"""

from __future__ import annotations

import contextlib
import http.server
import io
import json
import logging
import socketserver
import threading
import time
from pathlib import Path
from typing import Any, Iterator

SAMPLES = Path(__file__).resolve().parent / "samples"
PORTRAIT = SAMPLES / "portrait.jpg"
CUTOUT = SAMPLES / "cutout.png"
WORDS = SAMPLES / "banned_words.txt"


def _framekit(out: Path, report: dict[str, Any]) -> None:
    from PIL import Image

    from pravel.framekit import Framekit

    rows: list[dict[str, Any]] = []
    for sample in (PORTRAIT, CUTOUT):
        data = sample.read_bytes()
        for mode in ("resize", "fill"):
            result, ratio = Framekit(need_adjust=mode).adjust_size(data, True)
            target = out / f"{sample.stem}-{mode}.png"
            target.write_bytes(result)
            before = Image.open(io.BytesIO(data)).size
            after = Image.open(io.BytesIO(result)).size
            rows.append({"sample": sample.name, "mode": mode, "ratio": ratio,
                         "before": "%dx%d" % before, "after": "%dx%d" % after, "output": str(target)})
    data = PORTRAIT.read_bytes()
    handed_back = Framekit("3:4").adjust_size(data) is data
    rows.append({"sample": PORTRAIT.name, "requested": "3:4", "handed_back": handed_back})
    report["framekit"] = rows


def _shapelens(report: dict[str, Any]) -> None:
    from pravel.shapelens import ImageShapelens

    lens = ImageShapelens()
    report["shapelens"] = [
        {"sample": s.name, "exact": lens.get_raw_simple_ratio(s.read_bytes()),
         "approx": lens.get_approx_simple_ratio(s.read_bytes())}
        for s in (PORTRAIT, CUTOUT)
    ]


def _orvid(report: dict[str, Any]) -> None:
    from pravel.orvid import OrvidSizeCalculator

    report["orvid"] = [OrvidSizeCalculator.calc_size(ratio, tier)
                       for ratio, tier in (("16:9", "2k"), ("9:16", "4k"), ("4:3", "1k"), ("21:9", "4k"))]


def _marvale(out: Path, report: dict[str, Any]) -> None:
    from PIL import Image

    from pravel.marvale import MarvaleImageScale

    with Image.open(PORTRAIT) as image:
        console = io.StringIO()
        with contextlib.redirect_stdout(console):
            scaled = MarvaleImageScale(image).start()
    target = out / "portrait-marvale.png"
    scaled.save(target)
    report["marvale"] = {"line": console.getvalue().strip(), "output": str(target)}


def _wordguard(report: dict[str, Any]) -> None:
    from pravel.exceptions import PromptBanError
    from pravel.wordguard import PromptBanChecker

    checker = PromptBanChecker(str(WORDS))
    rows: list[dict[str, Any]] = []
    for prompt in ("a watercolour fox in a snowy forest, soft light",
                   "a portrait with GORE and 血腥 details"):
        try:
            checker.check(prompt)
            rows.append({"prompt": prompt, "verdict": "clean"})
        except PromptBanError as exc:
            rows.append({"prompt": prompt, "verdict": "banned", "hits": exc.data})
    report["wordguard"] = {"words": len(checker.banned_words), "checks": rows}


def _response(report: dict[str, Any]) -> None:
    from pravel.response.faultmark import Faultmark
    from pravel.response.faultroll import Faultroll
    from pravel.response.result import ServiceResult

    overloaded = Faultroll.register("GPU_OVERLOADED", "GPU 资源紧张，请稍后重试")
    report["response"] = [
        ServiceResult.success({"url": "https://example.invalid/result.png"}).to_dict(),
        ServiceResult.fail(Faultmark.IMAGE_GENERATE_FAIL, "Upstream model timed out after 120s").to_dict(),
        ServiceResult.fail(overloaded, status_code=503).to_dict(),
    ]


class _RestartingComfyUI(http.server.BaseHTTPRequestHandler):
    """Plays a ComfyUI server that restarts on request."""

    down_until = 0.0

    def do_GET(self) -> None:  # noqa: N802 (the handler's own name)
        if self.path == "/api/manager/reboot":
            type(self).down_until = time.monotonic() + 0.3
            self.close_connection = True  # drop it unanswered, as a restarting server does
            return
        ready = time.monotonic() >= type(self).down_until
        self.send_response(200 if ready else 503)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")

    def log_message(self, *args: object) -> None:
        pass


@contextlib.contextmanager
def _comfyui_server() -> Iterator[str]:
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), _RestartingComfyUI)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def _hostwarden(report: dict[str, Any]) -> None:
    from pravel.comfyui.hostwarden import ComfyUIManager

    records: list[str] = []

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(f"{record.levelname} {record.getMessage()}")

    logger = logging.getLogger("pravel.demo.comfyui")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    handler = Collect()
    logger.addHandler(handler)
    try:
        with _comfyui_server() as url, contextlib.redirect_stdout(io.StringIO()) as console:
            ready = ComfyUIManager(url, timeout=2, max_wait_seconds=5, poll_interval=0.1,
                                   logger=logger).run_reboot_and_wait()
    finally:
        logger.removeHandler(handler)
    report["hostwarden"] = {"ready": ready, "log": records, "printed": console.getvalue().splitlines()}


def run(out: Path, as_json: bool = False) -> int:
    out.mkdir(parents=True, exist_ok=True)
    report: dict[str, Any] = {}
    _framekit(out, report)
    _shapelens(report)
    _orvid(report)
    _marvale(out, report)
    _wordguard(report)
    _response(report)
    _hostwarden(report)
    if as_json:
        from pravel.response.result import ServiceResult

        print(json.dumps(ServiceResult.success(report).to_dict(), ensure_ascii=False, indent=2))
    else:
        _print(report)
    return 0


def _print(report: dict[str, Any]) -> None:
    print("framekit: nearest standard ratio, enlarged by 10 %")
    for row in report["framekit"]:
        if "mode" in row:
            print(f"  {row['sample']:13} {row['mode']:6} {row['ratio']:5} {row['before']} -> {row['after']}  {row['output']}")
        else:
            verdict = "handed back unchanged" if row["handed_back"] else "adjusted"
            print(f"  {row['sample']:13} asked for {row['requested']}: {verdict}")
    print("shapelens: exact and approximate ratios")
    for row in report["shapelens"]:
        print(f"  {row['sample']:13} exact {row['exact']:9} approx {row['approx']}")
    print("orvid: legal sizes for the upstream model")
    for row in report["orvid"]:
        print(f"  {row['aspect_ratio']:5} {row['resolution']}  {row['size']:10} {row['pixels']:>8} px  valid={row['valid']}")
    print("marvale: nearest preferred resolution")
    print(f"  {report['marvale']['line']}  {report['marvale']['output']}")
    print(f"wordguard: {report['wordguard']['words']} banned words")
    for row in report["wordguard"]["checks"]:
        hits = f" {row['hits']}" if "hits" in row else ""
        print(f"  {row['verdict']:6} {row['prompt']!r}{hits}")
    print("response: answers")
    for answer in report["response"]:
        print("  " + json.dumps(answer, ensure_ascii=False))
    print(f"hostwarden: restart of a stand-in ComfyUI, ready={report['hostwarden']['ready']}")
    for line in report["hostwarden"]["log"] + report["hostwarden"]["printed"]:
        print(f"  {line}")
