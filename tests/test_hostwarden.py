"""ComfyUIManager against a loopback server that plays a restarting ComfyUI."""

import functools
import gzip
import logging
import math
import resource
import signal
import socket
import threading
import time
import types
import typing
import zlib
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


def serving(stub, released, protocol="HTTP/1.0", daemon_threads=False):
    """A fixture's loopback HTTP server: every GET goes to stub.act(handler),
    the address is in stub.url; `released` is set before the server shuts
    down, so that handlers still waiting end."""

    class Handler(BaseHTTPRequestHandler):
        protocol_version = protocol

        def do_GET(self):
            stub.act(self)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = daemon_threads
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    stub.url = "http://127.0.0.1:%d" % server.server_address[1]
    yield stub
    released.set()
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.fixture
def comfy():
    stub = FakeComfy()
    yield from serving(stub, stub.release)


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
    m = ComfyUIManager(comfy.url, 3, 5, 0.1, log)
    assert m.run_reboot_and_wait() is True
    # Beside `timeout`: the answer is never read, redirects
    # are not followed.
    extra = {"stream": True, "allow_redirects": False, "hooks": {"response": m._close_unread}}
    assert calls == [((m.reboot_api,), {"timeout": 3, **extra}),
                     ((m.stats_api,), {"timeout": 3, **extra})]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("method", ["trigger_reboot", "wait_service_ready"])
def test_base_exceptions_are_not_caught(log, monkeypatch, error, method):
    def get(url, timeout, **kwargs):
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


# ---------------------------------------------------------------- hostile servers
#
# Issue 19: whatever the server answers, the flow ends within max_wait + one
# time-out + one pause (plus a margin of 2 s here, for slow machines), and
# its memory stays bounded. The answers' bodies are never read.

MARGIN = 2.0


def _gzip_bomb(members=4):
    """A gzip body of `members` members, each 64 MiB of zeros (256 MiB decoded
    from about 260 kB)."""
    return gzip.compress(b"\0" * (64 << 20), 9) * members


def _deflate_bomb():
    compressor = zlib.compressobj(9)
    block = b"\0" * (16 << 20)
    return b"".join(compressor.compress(block) for _ in range(16)) + compressor.flush()


class Hostile:
    """A loopback server whose every answer (both endpoints) is `answer`."""

    def __init__(self):
        self.answer, self.hits, self.stop = None, 0, threading.Event()

    def act(self, handler):
        self.hits += 1
        self.answer(self, handler)

    def endless(self, wfile, chunk):
        # Ends after 30 s at most, so that a client that reads the whole body
        # fails the test instead of hanging it.
        deadline = time.monotonic() + 30
        try:
            while not self.stop.is_set() and time.monotonic() < deadline:
                wfile.write(chunk)
        except OSError:  # the client closed the connection
            pass


@pytest.fixture
def hostile():
    stub = Hostile()
    yield from serving(stub, stub.stop, protocol="HTTP/1.1", daemon_threads=True)


def redirect_to_itself_slowly(stub, handler):
    # Each answer comes in time: the headers at once, the body 0.4 s later.
    # requests used to follow 30 of them per request, reading every body.
    handler.send_response(302)
    handler.send_header("Location", handler.path)
    handler.send_header("Content-Length", "2")
    handler.end_headers()
    handler.wfile.flush()
    time.sleep(0.4)
    try:
        handler.wfile.write(b"{}")
    except OSError:
        pass


def redirect_to_itself(stub, handler):
    handler.send_response(301)
    handler.send_header("Location", stub.url + handler.path)
    handler.send_header("Content-Length", "0")
    handler.end_headers()


@functools.lru_cache(maxsize=None)
def bomb(encoding):
    return _gzip_bomb() if encoding == "gzip" else _deflate_bomb()


def compressed(status, encoding, location=False):
    def answer(stub, handler):
        body = bomb(encoding)
        handler.send_response(status)
        if location:
            handler.send_header("Location", handler.path)
        handler.send_header("Content-Encoding", encoding)
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        try:
            handler.wfile.write(body)
        except OSError:
            pass
    return answer


def endless(status, chunked=False, location=False):
    def answer(stub, handler):
        handler.send_response(status)
        if location:
            handler.send_header("Location", handler.path)
        if chunked:
            handler.send_header("Transfer-Encoding", "chunked")
        handler.send_header("Connection", "close")
        handler.end_headers()
        stub.endless(handler.wfile, b"10000\r\n" + b"x" * 65536 + b"\r\n" if chunked else b"x" * 65536)
    return answer


def _peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


HOSTILE_ANSWERS = {
    "redirect to itself, slowly": (redirect_to_itself_slowly, False),
    "redirect to itself": (redirect_to_itself, False),
    "gzip bomb 503": (compressed(503, "gzip"), False),
    "deflate bomb 503": (compressed(503, "deflate"), False),
    "gzip bomb redirect": (compressed(302, "gzip", location=True), False),
    "endless 503": (endless(503), False),
    "endless chunked 503": (endless(503, chunked=True), False),
    "endless redirect": (endless(307, location=True), False),
    "endless chunked redirect": (endless(308, chunked=True, location=True), False),
    "endless 200": (endless(200), True),
    "gzip bomb 200": (compressed(200, "gzip"), True),
}


@pytest.mark.parametrize("case", HOSTILE_ANSWERS)
def test_hostile_answers_cannot_hold_the_flow_or_fill_memory(hostile, log, capsys, case):
    hostile.answer, ready = HOSTILE_ANSWERS[case]
    for encoding in ("gzip", "deflate"):  # made before the clock starts
        if encoding + " bomb" in case:
            bomb(encoding)
    timeout, max_wait, poll = 1, 2, 0.1
    m = ComfyUIManager(hostile.url, timeout, max_wait, poll, log)
    peak = _peak_mb()
    started = time.monotonic()
    assert m.run_reboot_and_wait() is ready
    elapsed = time.monotonic() - started
    assert elapsed < max_wait + timeout + poll + MARGIN
    assert _peak_mb() - peak < 100
    # The answers count as they did: the restart as delivered, a status other
    # than 200 (a redirect included, not followed) as not ready yet.
    assert log.entries[0] == ("DEBUG", CALLED, (m.flag, m.reboot_api))
    if not ready:
        statuses = [args[1] for level, msg, args in log.entries if msg == NOT_READY]
        assert statuses and len(set(statuses)) == 1 and statuses[0] != 200
        assert hostile.hits == 1 + len(statuses)
        assert log.entries[-2:] == [("ERROR", TIMED_OUT, (m.flag, max_wait)),
                                    ("ERROR", FLOW_FAILED, (m.flag,))]
    assert capsys.readouterr().out == ""


def test_a_silent_server_cannot_hold_the_flow_past_its_bound(comfy, log, capsys):
    # Neither endpoint answers: the restart costs one time-out, and each poll's
    # time-out ends by the limit, so no poll runs past max_wait.
    comfy.stats, comfy.reboot = ["hang"], "hang"
    timeout, max_wait, poll = 1, 2, 0.1
    m = ComfyUIManager(comfy.url, timeout, max_wait, poll, log)
    started = time.monotonic()
    assert m.run_reboot_and_wait() is False
    assert time.monotonic() - started < max_wait + timeout + poll + MARGIN
    lines = capsys.readouterr().out.splitlines()
    assert lines and all("Read timed out" in line for line in lines)


def test_a_long_timeout_is_cut_to_the_time_left(comfy, log, capsys):
    comfy.stats = ["hang"]
    m = ComfyUIManager(comfy.url, 30, 1, 0.1, log)
    started = time.monotonic()
    assert m.wait_service_ready() is False
    assert time.monotonic() - started < 1 + 0.1 + MARGIN
    assert m.timeout == 30  # the attribute stays as given


def test_a_redirect_is_an_answer_not_followed(hostile, log):
    def answer(stub, handler):
        if handler.path == "/api/system_stats":
            redirect_to_itself(stub, handler)
            return
        handler.send_response(200)
        handler.send_header("Content-Length", "0")
        handler.end_headers()

    hostile.answer = answer
    m = ComfyUIManager(hostile.url, 1, 1, 0.1, log)
    assert m.wait_service_ready() is False
    assert ("DEBUG", NOT_READY, (m.flag, 301)) in log.entries


@pytest.mark.parametrize("poll_interval", [-0.5, -1, float("nan"), float("inf"), float("-inf")])
def test_a_pause_that_cannot_be_taken_is_refused_at_construction(poll_interval):
    with pytest.raises(ValueError) as raised:
        ComfyUIManager(poll_interval=poll_interval)
    assert str(raised.value) == "poll_interval 必须是非负的有限数，输入值：" + repr(float(poll_interval))


@pytest.mark.parametrize("poll_interval", [0, 0.0, -0.0, 1e-9, 3600])
def test_pauses_that_can_be_taken_are_kept(poll_interval):
    m = ComfyUIManager(poll_interval=poll_interval)
    assert m.poll_interval == poll_interval and not math.isnan(m.poll_interval)


def test_a_wrong_type_of_pause_is_still_a_type_error_first():
    with pytest.raises(TypeError):
        ComfyUIManager(timeout=None, poll_interval=float("nan"))
# ---------------------------------------------------------------- what the cross-cutting suites run


class OfflineRequests:
    """Stands in for requests: every call fails like a refused connection."""

    class exceptions:
        class ConnectionError(Exception):
            pass

    def get(self, url, timeout, **kwargs):
        raise self.exceptions.ConnectionError("Connection refused")


class RestartingRequests(OfflineRequests):
    """requests for a server that restarts at once ("online") or is not there."""

    class Answer:
        status_code = 200

    def get(self, url, timeout, **kwargs):
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
