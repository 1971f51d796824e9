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

from support import EXTENSIONS, operations_of

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

# Each module's long operations (its tests' OPERATIONS).
CASES = {case: code for name in EXTENSIONS for case, code in operations_of(name).shutdown.items()}


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
