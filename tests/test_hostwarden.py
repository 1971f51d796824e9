"""ComfyUIManager against a loopback server that plays a restarting ComfyUI."""

import logging
import signal
import socket
import threading
import time
import types
import typing
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from pravel.comfyui import hostwarden
from pravel.comfyui.hostwarden import ComfyUIManager
from support import Operations, raises

DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
CALLED = "%s 调用重启接口 url=%s"
REQUEST_FAILED = "%s 发起重启请求异常: %s url=%s"
CONNECT_FAILED = "%s 连接异常：%s url=%s"
START = "%s 开始轮询 %s，最长等待 %ss"
READY = "%s 服务已恢复正常，状态码200"
NOT_READY = "%s 接口返回异常状态码 %s，继续等待..."
TIMED_OUT = "%s 超时 %ss，服务未恢复"
FLOW_OK = "%s 重启完成，服务正常可用"
FLOW_FAILED = "%s 重启后超时未恢复"
REFUSED_LINE = " 服务未启动/连接拒绝，等待中..."


class FakeComfy:
    """Answers /api/system_stats with `stats` in turn (the last one repeats);
    the reboot endpoint drops the connection, answers a status, or hangs."""

    def __init__(self):
        self.stats, self.reboot = [200], "drop"
        self.hits, self.release = [], threading.Event()

    def act(self, handler):
        self.hits.append(handler.path)
        if handler.path == "/api/manager/reboot":
            action = self.reboot
        else:
            action = self.stats.pop(0) if len(self.stats) > 1 else self.stats[0]
        if action == "hang":
            self.release.wait(10)
        if action in ("drop", "hang"):
            handler.close_connection = True
            return
        handler.send_response(action)
        handler.send_header("Content-Length", "2")
        handler.end_headers()
        handler.wfile.write(b"{}")


@pytest.fixture
def comfy():
    stub = FakeComfy()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            stub.act(self)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    stub.url = "http://127.0.0.1:%d" % server.server_address[1]
    yield stub
    stub.release.set()
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.fixture
def closed_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d" % s.getsockname()[1]


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.entries = []

    def emit(self, record):
        self.entries.append((record.levelname, record.msg, record.args))


@pytest.fixture
def log():
    logger = logging.Logger("test.hostwarden", logging.DEBUG)
    logger.addHandler(Recorder())
    logger.entries = logger.handlers[0].entries
    return logger


@pytest.fixture
def clock(monkeypatch):
    """Replaces the module's `time` with a virtual clock that sleep() advances."""
    fake = types.SimpleNamespace(now=1000.0, sleeps=[])
    fake.time = lambda: fake.now

    def sleep(seconds):
        fake.sleeps.append(seconds)
        fake.now += seconds

    fake.sleep = sleep
    monkeypatch.setattr(hostwarden, "time", fake)
    return fake


def test_module_publishes_its_imports():
    assert (hostwarden.time, hostwarden.logging, hostwarden.requests) == (time, logging, requests)
    assert hostwarden.Optional is typing.Optional
    assert ComfyUIManager.__module__ == "pravel.comfyui.hostwarden"


def test_defaults():
    m = ComfyUIManager()
    assert vars(m) == {
        "base_url": "http://127.0.0.1:8188",
        "reboot_api": "http://127.0.0.1:8188/api/manager/reboot",
        "stats_api": "http://127.0.0.1:8188/api/system_stats",
        "timeout": 5, "max_wait": 60, "poll_interval": 2.0,
        "flag": "comfyui服务重启 [http://127.0.0.1:8188]",
        "logger": logging.getLogger("pravel.comfyui.hostwarden"),
    }
    assert list(vars(m)) == ["base_url", "reboot_api", "stats_api", "timeout", "max_wait",
                             "poll_interval", "flag", "logger"]


def test_trailing_slashes_and_conversions(log):
    m = ComfyUIManager("http://gpu:8188/comfy///", 2.9, -1.5, 3, log)
    assert (m.base_url, m.reboot_api, m.stats_api, m.flag) == (
        "http://gpu:8188/comfy", "http://gpu:8188/comfy/api/manager/reboot",
        "http://gpu:8188/comfy/api/system_stats", "comfyui服务重启 [http://gpu:8188/comfy///]")
    assert (m.timeout, m.max_wait, m.poll_interval, m.logger) == (2, -1, 3.0, log)
    assert (type(m.timeout), type(m.max_wait), type(m.poll_interval)) == (int, int, float)


@pytest.mark.parametrize("kwargs", [
    {"base_url": None}, {"base_url": b"http://x"}, {"base_url": type("S", (str,), {})("http://x")},
    {"timeout": None}, {"timeout": "5"}, {"max_wait_seconds": "60"}, {"poll_interval": "2"},
    {"poll_interval": None},
])
def test_constructor_rejects_wrong_types(kwargs):
    with pytest.raises(TypeError):
        ComfyUIManager(**kwargs)


@pytest.mark.parametrize("reboot, timeout, record, detail", [
    ("drop", 5, DROPPED, None),
    (404, 5, CALLED, None),
    (500, 5, CALLED, None),
    ("hang", 1, REQUEST_FAILED, "Read timed out"),
])
def test_reboot_outcomes(comfy, log, reboot, timeout, record, detail):
    comfy.reboot = reboot
    m = ComfyUIManager(comfy.url + "/", timeout, 1, 0.1, log)
    assert m.trigger_reboot() is None
    assert comfy.hits == ["/api/manager/reboot"]
    [(level, msg, args)] = log.entries
    assert (level, msg, args[0], args[-1]) == ("DEBUG", record, m.flag, m.reboot_api)
    if detail:
        assert len(args) == 3 and detail in args[1]


def test_reboot_on_a_closed_port(closed_url, log):
    m = ComfyUIManager(closed_url, 1, 1, 0.1, log)
    m.trigger_reboot()
    [(level, msg, (flag, text, url))] = log.entries
    assert (level, msg, flag, url) == ("DEBUG", CONNECT_FAILED, m.flag, m.reboot_api)
    assert "refused" in text and "Remote end closed connection" not in text


def test_ready_at_first_poll_without_pause(comfy, log, clock):
    m = ComfyUIManager(comfy.url, 5, 2, 0.5, log)
    assert m.wait_service_ready() is True
    assert comfy.hits == ["/api/system_stats"] and clock.sleeps == []
    assert log.entries == [("DEBUG", START, (m.flag, m.stats_api, 2)), ("DEBUG", READY, (m.flag,))]


def test_other_statuses_keep_polling(comfy, log, clock):
    comfy.stats = [204, 503, 200]
    m = ComfyUIManager(comfy.url, 5, 2, 0.25, log)
    assert m.wait_service_ready() is True
    assert len(comfy.hits) == 3 and clock.sleeps == [0.25, 0.25]
    assert [e[1:] for e in log.entries[1:3]] == [(NOT_READY, (m.flag, 204)),
                                                 (NOT_READY, (m.flag, 503))]


def test_limit_tested_before_every_attempt(closed_url, log, clock, capsys):
    # Attempts at 0, 0.25, 0.5, 0.75; at 1.0 the limit of 1 s is reached.
    m = ComfyUIManager(closed_url, 1, 1, 0.25, log)
    assert m.wait_service_ready() is False
    assert clock.sleeps == [0.25] * 4
    assert capsys.readouterr().out == (m.flag + REFUSED_LINE + "\n") * 4
    assert log.entries[-1] == ("ERROR", TIMED_OUT, (m.flag, 1))


@pytest.mark.parametrize("max_wait", [0, -3])
def test_no_time_means_no_poll(comfy, log, max_wait):
    m = ComfyUIManager(comfy.url, 5, max_wait, 0.1, log)
    assert m.run_reboot_and_wait() is False
    assert comfy.hits == ["/api/manager/reboot"]
    assert log.entries == [
        ("DEBUG", DROPPED, (m.flag, m.reboot_api)),
        ("DEBUG", START, (m.flag, m.stats_api, max_wait)),
        ("ERROR", TIMED_OUT, (m.flag, max_wait)),
        ("ERROR", FLOW_FAILED, (m.flag,)),
    ]


def test_whole_flow_on_the_default_logger(comfy, caplog):
    comfy.stats = [503, 200]
    caplog.set_level(logging.DEBUG, logger="pravel.comfyui.hostwarden")
    m = ComfyUIManager(comfy.url, 5, 2, 0.05)
    assert m.run_reboot_and_wait() is True
    assert [(r.name, r.levelname, r.msg, r.args) for r in caplog.records] == [
        ("pravel.comfyui.hostwarden", "DEBUG", msg, args) for msg, args in [
            (DROPPED, (m.flag, m.reboot_api)), (START, (m.flag, m.stats_api, 2)),
            (NOT_READY, (m.flag, 503)), (READY, (m.flag,)), (FLOW_OK, (m.flag,))]]
    assert comfy.hits == ["/api/manager/reboot"] + ["/api/system_stats"] * 2


def test_read_timeout_while_polling_is_printed(comfy, log, capsys):
    comfy.stats = ["hang"]
    m = ComfyUIManager(comfy.url, 1, 1, 0.1, log)
    assert m.wait_service_ready() is False
    [line] = capsys.readouterr().out.splitlines()
    assert line.startswith(m.flag + " 请求异常: ") and "Read timed out" in line


def test_refused_polls_in_real_time_leave_other_threads_running(closed_url, log, capsys):
    beats, done = [], threading.Event()

    def heartbeat():
        while not done.is_set():
            beats.append(time.monotonic())
            time.sleep(0.01)

    beating = threading.Thread(target=heartbeat)
    beating.start()
    try:
        assert ComfyUIManager(closed_url, 1, 1, 0.25, log).wait_service_ready() is False
    finally:
        done.set()
        beating.join()
    assert 2 <= len(capsys.readouterr().out.splitlines()) <= 5
    # A pause taken with the GIL held would leave a gap of a whole interval.
    assert max(b - a for a, b in zip(beats, beats[1:])) < 0.2


def test_requests_and_time_are_looked_up_when_called(comfy, log, monkeypatch):
    calls = []

    def get(*args, **kwargs):
        calls.append((args, kwargs))
        return requests.get(*args, **kwargs)

    monkeypatch.setattr(hostwarden, "requests",
                        types.SimpleNamespace(get=get, exceptions=requests.exceptions))
    m = ComfyUIManager(comfy.url, 3, 1, 0.1, log)
    assert m.run_reboot_and_wait() is True
    assert calls == [((m.reboot_api,), {"timeout": 3}), ((m.stats_api,), {"timeout": 3})]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("method", ["trigger_reboot", "wait_service_ready"])
def test_base_exceptions_are_not_caught(log, monkeypatch, error, method):
    def get(url, timeout):
        raise error

    monkeypatch.setattr(hostwarden.requests, "get", get)
    with pytest.raises(error):
        getattr(ComfyUIManager("http://127.0.0.1:9", 1, 5, 0.1, log), method)()
    assert [e[1] for e in log.entries] == ([START] if method == "wait_service_ready" else [])


@pytest.mark.parametrize("where", ["sleep", "stats request", "reboot request"])
def test_ctrl_c_interrupts_the_wait(comfy, closed_url, log, where):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    comfy.stats, comfy.reboot = ["hang"], "hang"
    m = ComfyUIManager(closed_url if where == "sleep" else comfy.url, 30, 60, 30.0, log)
    timer = threading.Timer(0.3, signal.pthread_kill,
                            (threading.main_thread().ident, signal.SIGINT))
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            if where == "reboot request":
                m.trigger_reboot()
            else:
                m.wait_service_ready()
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - started < 10
    assert "ERROR" not in [e[0] for e in log.entries]


# ---------------------------------------------------------------- what the cross-cutting suites run


class OfflineRequests:
    """Stands in for requests: every call fails like a refused connection."""

    class exceptions:
        class ConnectionError(Exception):
            pass

    def get(self, url, timeout):
        raise self.exceptions.ConnectionError("Connection refused")


class RestartingRequests(OfflineRequests):
    """requests for a server that restarts at once ("online") or is not there."""

    class Answer:
        status_code = 200

    def get(self, url, timeout):
        if "offline" in url:
            return super().get(url, timeout)
        if url.endswith("/api/manager/reboot"):
            raise self.exceptions.ConnectionError("Remote end closed connection without response")
        return self.Answer()


def leak_operations(kit):
    from pravel.comfyui import hostwarden

    kit.monkeypatch.setattr(hostwarden, "requests", OfflineRequests())
    quiet = logging.getLogger("pravel.tests.quiet")
    quiet.disabled = True
    manager = hostwarden.ComfyUIManager("http://127.0.0.1:9//", max_wait_seconds=0, logger=quiet)

    def reboot():
        manager.trigger_reboot()
        kit.capsys.readouterr()

    return {
        "ComfyUIManager()": lambda: hostwarden.ComfyUIManager("http://x/", 2.5, 3, 1, quiet),
        "ComfyUIManager(bad)": raises(TypeError, hostwarden.ComfyUIManager, None),
        "trigger_reboot": reboot,
        "run_reboot_and_wait": lambda: manager.run_reboot_and_wait(),
    }


def thread_operations(kit):
    kit.monkeypatch.setattr(hostwarden, "requests", RestartingRequests())
    offline = hostwarden.ComfyUIManager("http://offline:1/", max_wait_seconds=0, logger=kit.log)
    online = hostwarden.ComfyUIManager("http://online:1", max_wait_seconds=3600, logger=kit.log)
    return {
        "hostwarden offline": lambda: (offline.run_reboot_and_wait(), kit.logged(), kit.printed()),
        "hostwarden online": lambda: (online.run_reboot_and_wait(), kit.logged(), kit.printed()),
    }


SHUTDOWN = {
    "hostwarden reading a trickling server": """
        import requests
        from pravel.comfyui import hostwarden

        class Requests:  # notes that the first request went out
            exceptions = requests.exceptions

            @staticmethod
            def get(*args, **kwargs):
                inside.set()
                return requests.get(*args, **kwargs)

        hostwarden.requests = Requests
        manager = hostwarden.ComfyUIManager(sys.argv[1], timeout=5, max_wait_seconds=3600)
        threading.Thread(target=manager.run_reboot_and_wait, daemon=True).start()
    """,
    "hostwarden sleeping between refused polls": """
        import socket
        from pravel.comfyui import hostwarden
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            url = "http://127.0.0.1:%d" % s.getsockname()[1]
        hostwarden.print = lambda *args: inside.set()
        manager = hostwarden.ComfyUIManager(url, timeout=1, max_wait_seconds=3600, poll_interval=0.003)
        threading.Thread(target=manager.wait_service_ready, daemon=True).start()
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN,
    recreated=lambda module, word_file: module.ComfyUIManager("http://h:1/").stats_api)
