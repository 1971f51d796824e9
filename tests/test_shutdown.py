"""A process must exit cleanly while daemon threads are inside long pravel calls.

Web servers and workers run daemon threads; when the main thread returns, the
interpreter shuts down around them. CPython 3.11 to 3.13 end such a thread
with pthread_exit() as soon as it tries to take the GIL back, unwinding its
stack through whatever native frames it is in; 3.14 parks it instead. Each
case starts a daemon thread that spends nearly all its time inside one
operation (where the GIL is given up and taken back, by pravel, Pillow,
requests or time.sleep), lets the main thread return, and expects exit status
0 with nothing on standard error."""

import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

PRELUDE = """
import sys, threading, time
inside = threading.Event()

def in_daemon_thread(operation):
    def forever():
        operation()
        inside.set()
        while True:
            operation()
    threading.Thread(target=forever, daemon=True).start()

def photo_png(width, height):
    import io
    from PIL import Image
    image = Image.merge("RGB", [Image.effect_noise((width, height), s) for s in (30, 50, 70)])
    buffer = io.BytesIO()
    image.save(buffer, "PNG")
    return buffer.getvalue()
"""

# Run after the case: the main thread returns while the daemon works. Once
# the interpreter has begun to shut down it flushes standard output, which
# gives the GIL up for a moment here, as writing to a slow pipe does: the
# daemon thread takes the GIL then, even if it was waiting for it from before.
EPILOGUE = """
class SlowPipe:
    closed = False

    def write(self, text):
        return len(text)

    def flush(self, sleep=time.sleep):
        sleep(0.05)

sys.stdout = SlowPipe()
if not inside.wait(60):
    sys.exit("the daemon thread never got going")
time.sleep(0.3)
"""

CASES = {
    "shapelens get_approx_simple_ratio": """
        from pravel.shapelens import ImageShapelens
        png = photo_png(1366, 768)
        lens = ImageShapelens(10_000)
        in_daemon_thread(lambda: lens.get_approx_simple_ratio(png))
    """,
    "framekit adjust_size resize": """
        from pravel.framekit import Framekit
        png = photo_png(480, 640)
        kit = Framekit(need_adjust="resize")
        in_daemon_thread(lambda: kit.adjust_size(png))
    """,
    "framekit adjust_size fill": """
        from pravel.framekit import Framekit
        png = photo_png(480, 640)
        kit = Framekit(need_adjust="fill")
        in_daemon_thread(lambda: kit.adjust_size(png))
    """,
    "marvale start": """
        from PIL import Image
        from pravel.marvale import MarvaleImageScale
        image = Image.effect_noise((300, 200), 40).convert("RGB")
        in_daemon_thread(MarvaleImageScale(image).start)
    """,
    "orvid calc_size on Python numbers": """
        from fractions import Fraction
        from pravel.orvid import OrvidSizeCalculator

        class Calculator(OrvidSizeCalculator):
            MULTIPLE = Fraction(16)
            MAX_RATIO = Fraction(3)

        def sizes():
            for ratio in ("16:9", "7:10", "3:1", "21:9"):
                for tier in ("1k", "2k", "4k"):
                    Calculator.calc_size(ratio, tier)
        in_daemon_thread(sizes)
    """,
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


# wordguard's long operations, for each of its two checkers.
WORDGUARD_CASES = {
    "find_matched_words": """
        import os, tempfile
        from pravel.wordguard import CHECKER
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("abc\\ngore\\nsex\\n血腥\\n18+\\n")
        checker = CHECKER(path)
        prompt = "abx g.o.x Sey S 3 y 血 18 " * 100_000
        in_daemon_thread(lambda: checker.find_matched_words(prompt))
    """,
    "load_banned_words": """
        import os, tempfile
        from pravel.wordguard import CHECKER
        path = os.path.join(tempfile.mkdtemp(), "words.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\\n".join(f"word{i} Ωmega{i * 7}" for i in range(20_000)))
        checker = CHECKER(path)
        in_daemon_thread(checker.load_banned_words)
    """,
}
for checker in ("PromptBanChecker", "NormalizedPromptBanChecker"):
    for operation, code in WORDGUARD_CASES.items():
        CASES[f"wordguard {checker} {operation}"] = code.replace("CHECKER", checker)


@pytest.fixture(scope="module")
def trickling_server():
    """The URL of a server that answers status 200 and then sends its headers
    one byte every two milliseconds, for ever: a client reading it wakes up
    all the time. It runs in this process, so that it goes on sending while
    the client's interpreter shuts down."""

    def trickle(connection):
        with connection:
            try:
                connection.recv(65536)
                connection.sendall(b"HTTP/1.1 200 OK\r\nX-Slow: ")
                while True:
                    connection.sendall(b"a")
                    time.sleep(0.002)
            except OSError:  # the client is gone
                pass

    def serve():
        while True:
            try:
                connection, _ = server.accept()
            except OSError:  # closed
                return
            threading.Thread(target=trickle, args=(connection,), daemon=True).start()

    server = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=serve, daemon=True).start()
    yield "http://127.0.0.1:%d" % server.getsockname()[1]
    server.shutdown(socket.SHUT_RDWR)  # wakes accept()
    server.close()


@pytest.mark.parametrize("case", CASES)
def test_exit_with_a_daemon_thread_inside(case, trickling_server):
    script = PRELUDE + textwrap.dedent(CASES[case]) + EPILOGUE
    # Under the sanitizers the other checks stay, but not LeakSanitizer's: the
    # frames of a thread parked at exit (3.14) still hold the interpreter's
    # objects, which it would report as leaked.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    run = subprocess.run([sys.executable, "-P", "-c", script, trickling_server], env=env,
                         capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (0, ""), run.stderr[-4000:]
