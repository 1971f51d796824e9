import importlib.metadata
import io
import json
import subprocess
import sys

import pytest
from PIL import Image

from support import decode, encode
import pravel
from pravel import cli, demo

SAMPLES = cli.SAMPLES


def run(capsys, *argv, stdin=None, monkeypatch=None):
    """(exit status, stdout, stderr) of `pravel argv...` run in this process."""
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin.encode()), encoding="utf-8"))
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as exit_:
        status = exit_.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def words(word_file):
    return word_file("gore\n血腥\nBad Word\n")


class TestAdjust:
    def test_adjusts_and_says_so(self, capsys, tmp_path):
        out = tmp_path / "out.png"
        status, text, err = run(capsys, "adjust", SAMPLES / "portrait.jpg", "--mode", "resize", "-o", out)
        assert status == 0 and not err
        assert "adjusted (resize), nearest ratio 9:16, 1188x1920" in text
        assert decode(out.read_bytes()).size == (1188, 1920)

    def test_handed_back_with_json(self, capsys, tmp_path):
        out = tmp_path / "same.jpg"
        status, text, _ = run(capsys, "adjust", SAMPLES / "portrait.jpg", "--ratio", "3:4", "-o", out, "--json")
        answer = json.loads(text)
        assert status == 0 and list(answer) == ["status", "data", "code", "msg", "status_code"]
        assert answer["data"]["adjusted"] is False and answer["data"]["ratio"] == "3:4"
        assert out.read_bytes() == (SAMPLES / "portrait.jpg").read_bytes()

    def test_fill_colour_and_percent(self, capsys, tmp_path):
        src, out = tmp_path / "in.png", tmp_path / "out.png"
        src.write_bytes(encode(Image.new("RGB", (100, 100), (0, 0, 0))))
        status, _, _ = run(capsys, "adjust", src, "--percent", "20", "--fill-color", "255,0,0", "-o", out)
        image = decode(out.read_bytes())
        assert status == 0 and image.size == (120, 120) and image.getpixel((0, 0)) == (255, 0, 0, 255)

    @pytest.mark.parametrize("colour", ["red", "1,2", "1,2,3,4,5", "300,0,0"])
    def test_bad_fill_colour_is_a_usage_error(self, capsys, tmp_path, colour):
        status, _, err = run(capsys, "adjust", SAMPLES / "cutout.png", "--fill-color", colour, "-o", tmp_path / "x")
        assert status == 2 and "R,G,B" in err


class TestErrors:
    def test_missing_file(self, capsys, tmp_path):
        status, out, err = run(capsys, "adjust", tmp_path / "nope.png", "-o", tmp_path / "x.png")
        assert status == 2 and out == ""
        assert err.count("\n") == 1 and err.startswith("pravel: error: cannot read") and "Traceback" not in err

    def test_undecodable_image(self, capsys, tmp_path):
        junk = tmp_path / "junk.png"
        junk.write_bytes(b"not an image at all")
        for argv in (("adjust", junk, "-o", tmp_path / "x.png"), ("ratio", junk), ("scale", junk, "-o", tmp_path / "y.png")):
            status, _, err = run(capsys, *argv)
            assert status == 2 and err.count("\n") == 1
            assert "not an image that can be decoded (unknown image format)" in err

    def test_bad_ratio_json_answer(self, capsys):
        status, out, err = run(capsys, "size", "4:1", "--json")
        assert status == 2 and "宽高比超出限制3:1" in err
        answer = json.loads(out)
        assert answer["status"] == "fail" and answer["code"] == "INVALID_PARAMS"

    @pytest.mark.parametrize("ratio", ["16:0", "abc", "1:2:3"])
    def test_other_bad_ratios(self, capsys, ratio):
        status, _, err = run(capsys, "size", ratio)
        assert status == 2 and err.startswith(f"pravel: error: bad ratio '{ratio}'")

    def test_missing_word_list(self, capsys, tmp_path):
        status, _, err = run(capsys, "screen", "--words", tmp_path / "none.txt", "hello")
        assert status == 2 and "违禁词文件不存在" in err


def test_ratio_reports_every_input(capsys, tmp_path):
    junk, missing = tmp_path / "junk.png", tmp_path / "missing.png"
    junk.write_bytes(b"not an image")
    cutout = SAMPLES / "cutout.png"
    status, out, err = run(capsys, "ratio", cutout, missing, junk, SAMPLES / "portrait.jpg")
    assert status == 2
    assert out.splitlines() == [f"{cutout}: 640x800  exact 4:5  approx 4:5",
                                f"{SAMPLES / 'portrait.jpg'}: 1080x1920  exact 9:16  approx 5:9"]
    assert [line.split(":")[0] for line in err.splitlines()] == ["pravel", "pravel"]
    assert f"cannot read {missing}" in err and f"{junk}: not an image" in err
    status, out, err = run(capsys, "ratio", cutout, junk, "--json")
    answer = json.loads(out)
    assert status == 2 and answer["status"] == "fail" and answer["code"] == "IMAGE_INVALID"
    assert answer["data"][0]["exact"] == "4:5" and answer["data"][1]["code"] == "IMAGE_INVALID"


def test_ratio(capsys, tmp_path):
    wide = tmp_path / "wide.png"
    wide.write_bytes(encode(Image.new("L", (1366, 768))))
    status, out, _ = run(capsys, "ratio", wide, SAMPLES / "cutout.png", "--range", "16")
    assert status == 0
    assert out.splitlines() == [f"{wide}: 1366x768  exact 683:384  approx 16:9",
                                f"{SAMPLES / 'cutout.png'}: 640x800  exact 4:5  approx 4:5"]
    status, out, _ = run(capsys, "ratio", wide, "--json")
    assert json.loads(out)["data"] == [{"file": str(wide), "width": 1366, "height": 768, "exact": "683:384", "approx": "9:5"}]


def test_size(capsys):
    status, out, _ = run(capsys, "size", "16:9", "--tier", "4k")
    assert status == 0 and out == "16:9 at 4k: 3840x2160 (8294400 pixels, legal)\n"
    status, out, _ = run(capsys, "size", "3:1", "--tier", "1k", "--json")
    assert json.loads(out)["data"]["size"] == "2160x720"


def test_scale(capsys, tmp_path):
    out = tmp_path / "scaled.png"
    status, text, _ = run(capsys, "scale", SAMPLES / "portrait.jpg", "-o", out)
    assert status == 0 and text.startswith("原尺寸 (1080, 1920) 输出尺寸 (752, 1392)\n")
    assert decode(out.read_bytes()).size == (752, 1392)
    status, text, err = run(capsys, "scale", SAMPLES / "portrait.jpg", "-o", tmp_path / "s.jpg", "--json")
    assert json.loads(text)["data"]["width"] == 752 and "原尺寸" in err  # the module's line stays out of the JSON


class TestScreen:
    def test_banned_prompt(self, capsys, words):
        status, out, _ = run(capsys, "screen", "--words", words, "so much GORE and 血腥")
        assert status == 1 and out == "banned: GORE, 血腥\n"

    def test_clean_prompt_from_stdin(self, capsys, words, monkeypatch):
        status, out, _ = run(capsys, "screen", "--words", words, stdin="a quiet lake", monkeypatch=monkeypatch)
        assert status == 0 and out == "clean\n"

    def test_case_sensitive(self, capsys, words):
        assert run(capsys, "screen", "--words", words, "--case-sensitive", "GORE")[0] == 0
        assert run(capsys, "screen", "--words", words, "--case-sensitive", "gore")[0] == 1

    def test_json(self, capsys, words):
        status, out, _ = run(capsys, "screen", "--words", words, "bad word!", "--json")
        answer = json.loads(out)
        assert status == 1 and answer["code"] == "PROMPT_BANNED" and answer["data"]["hits"] == ["bad word"]

    def test_disguises_allowed_phrases_and_masking(self, capsys, words, word_file):
        allowed = word_file("goretex\n", "allowed.txt")
        prompt = "g.o.r.e in goretex, 血 腥"
        assert run(capsys, "screen", "--words", words, prompt)[1] == "banned: gore\n"
        status, out, _ = run(capsys, "screen", "--words", words, "--allowed", allowed, "--mask=#", prompt)
        assert status == 1 and out == "banned: g.o.r.e, 血 腥\n####### in goretex, ###\n"
        status, out, _ = run(capsys, "screen", "--words", words, "--mask", "--json", prompt)
        data = json.loads(out)["data"]
        assert data["masked"] == "******* in ****tex, ***"
        assert [(s["word"], s["start"], s["end"]) for s in data["spans"]] == [
            ("gore", 0, 7), ("gore", 11, 15), ("血腥", 20, 23)]
        assert run(capsys, "screen", "--words", words, "--sound-alike", "xuexing")[0] == 1
        status, _, err = run(capsys, "screen", "--words", words, "--allowed", "/nonexistent", "x")
        assert status != 0 and "允许词文件不存在" in err


class TestComfyUIRestart:
    def test_log_levels(self, capsys):
        with demo._comfyui_server() as url:
            restart = ("comfyui-restart", "--url", url, "--max-wait", "5", "--poll-interval", "0.05")
            status, out, err = run(capsys, *restart, "-v")
            assert status == 0 and out == f"{url}: ready again\n"
            assert "DEBUG" in err and "重启完成，服务正常可用" in err
            status, out, err = run(capsys, *restart)
            assert status == 0 and out == f"{url}: ready again\n" and "DEBUG" not in err

    def test_not_ready(self, capsys):
        offline = ("comfyui-restart", "--url", "http://127.0.0.1:9", "--max-wait", "0")
        status, out, err = run(capsys, *offline)
        assert status == 1 and out == "http://127.0.0.1:9: not ready within the limit\n"
        assert "ERROR" in err and "重启后超时未恢复" in err
        status, out, err = run(capsys, *offline, "-q")
        assert status == 1 and err == ""
        status, out, err = run(capsys, *offline, "--json")
        assert status == 1 and json.loads(out)["code"] == "TIMEOUT" and err == ""


def test_demo(capsys, tmp_path):
    status, out, _ = run(capsys, "demo", "--out", tmp_path, "--json")
    answer = json.loads(out)
    assert status == 0 and list(answer) == ["status", "data", "code", "msg", "status_code"]
    report = answer["data"]
    assert set(report) == {"framekit", "shapelens", "orvid", "marvale", "wordguard", "response", "hostwarden"}
    assert report["hostwarden"]["ready"] is True
    assert (tmp_path / "portrait-fill.png").exists() and (tmp_path / "portrait-marvale.png").exists()


def pravel_process(*argv, stdin=b""):
    """`python -m pravel argv...` in a process of its own, with binary pipes."""
    return subprocess.run([sys.executable, "-P", "-m", "pravel", *map(str, argv)], input=stdin,
                          capture_output=True, check=False)


def test_module_entry_point_help_and_version():
    result = pravel_process("--help")
    help_text = result.stdout.decode()
    assert result.returncode == 0 and "comfyui-restart" in help_text
    assert all(f"\n  {status} " in help_text for status in (0, 1, 2, 130))  # the exit statuses
    result = pravel_process("--version")
    assert result.stdout.decode() == f"pravel {importlib.metadata.version('pravel')}\n"
    assert importlib.metadata.version("pravel") == pravel.__version__


class TestStandardStreams:
    def test_image_through_a_pipeline(self):
        portrait = (SAMPLES / "portrait.jpg").read_bytes()
        adjusted = pravel_process("adjust", "-", "--mode", "resize", "-o", "-", stdin=portrait)
        assert adjusted.returncode == 0 and decode(adjusted.stdout).size == (1188, 1920)
        assert adjusted.stderr.decode() == "-: adjusted (resize), nearest ratio 9:16, 1188x1920 -> -\n"
        scaled = pravel_process("scale", "-", "-o", "-", "-q", stdin=adjusted.stdout)
        assert scaled.returncode == 0 and scaled.stderr == b"" and decode(scaled.stdout).format == "PNG"
        ratio = pravel_process("ratio", "-", "--json", stdin=scaled.stdout)
        assert json.loads(ratio.stdout)["data"][0]["width"] == decode(scaled.stdout).width

    def test_handed_back_bytes_to_standard_output(self):
        portrait = (SAMPLES / "portrait.jpg").read_bytes()
        same = pravel_process("adjust", SAMPLES / "portrait.jpg", "--ratio", "3:4", "-o", "-", "-q")
        assert same.returncode == 0 and same.stdout == portrait and same.stderr == b""

    def test_refusals(self, capsys, monkeypatch):
        status, out, err = run(capsys, "adjust", SAMPLES / "cutout.png", "-o", "-", "--json")
        assert status == 2 and "cannot share standard output" in err
        monkeypatch.setattr(cli, "_is_terminal", lambda stream: stream is sys.stdout)
        status, out, err = run(capsys, "adjust", SAMPLES / "cutout.png", "-o", "-")
        assert status == 2 and out == "" and "not writing image data to a terminal" in err


class TestProgressLine:
    @pytest.fixture
    def terminal(self, monkeypatch):
        """Standard error taken for a terminal, and every input for a long one."""
        for name in ("LONG_ADJUST_PIXELS", "LONG_SCALE_PIXELS", "LONG_WORD_LIST_BYTES"):
            monkeypatch.setattr(cli, name, 1)
        monkeypatch.setattr(cli, "_is_terminal", lambda stream: stream is sys.stderr)

    def test_shown_and_erased_on_a_terminal(self, capsys, tmp_path, terminal, words):
        status, _, err = run(capsys, "adjust", SAMPLES / "cutout.png", "-o", tmp_path / "out.png")
        assert status == 0 and err == f"pravel: adjusting {SAMPLES / 'cutout.png'} ...\r\x1b[K"
        status, _, err = run(capsys, "screen", "--words", words, "calm sea")
        assert status == 0 and err.startswith("pravel: loading the banned words") and err.endswith("\r\x1b[K")

    def test_erased_before_an_error(self, capsys, tmp_path, terminal):
        truncated = tmp_path / "truncated.jpg"
        truncated.write_bytes((SAMPLES / "portrait.jpg").read_bytes()[:5000])
        status, _, err = run(capsys, "scale", truncated, "-o", tmp_path / "out.png")
        assert status == 2 and "\r\x1b[Kpravel: error: " in err

    def test_quiet_or_not_a_terminal(self, capsys, tmp_path, terminal, monkeypatch):
        status, _, err = run(capsys, "adjust", SAMPLES / "cutout.png", "-o", tmp_path / "out.png", "-q")
        assert status == 0 and err == ""
        monkeypatch.setattr(cli, "_is_terminal", lambda stream: False)
        status, _, err = run(capsys, "adjust", SAMPLES / "cutout.png", "-o", tmp_path / "out.png")
        assert status == 0 and err == ""


# A PPM header whose maxval is 0: Pillow's reader raises ValueError, none of
# its usual decoding errors.
BAD_MAXVAL = b"P6 4 4 0\n" + b"\0" * 48


class TestWhateverPillowRaises:
    def test_every_file_is_reported(self, capsys, tmp_path):
        bad = tmp_path / "bad.ppm"
        bad.write_bytes(BAD_MAXVAL)
        cutout, portrait = SAMPLES / "cutout.png", SAMPLES / "portrait.jpg"
        status, out, err = run(capsys, "ratio", cutout, bad, portrait, bad)
        assert status == 2
        assert out.splitlines() == [f"{cutout}: 640x800  exact 4:5  approx 4:5",
                                    f"{portrait}: 1080x1920  exact 9:16  approx 5:9"]
        lines = err.splitlines()
        assert len(lines) == 2 and all(line.startswith(f"pravel: error: {bad}: not an image") for line in lines)
        assert "maxval" in lines[0] and "Traceback" not in err

    def test_json_lists_every_file(self, capsys, tmp_path):
        bad = tmp_path / "bad.ppm"
        bad.write_bytes(BAD_MAXVAL)
        status, out, err = run(capsys, "ratio", bad, SAMPLES / "cutout.png", "--json")
        answer = json.loads(out)
        assert status == 2 and err == ""
        assert answer["status"] == "fail" and answer["code"] == "IMAGE_INVALID"
        assert [row.get("code") for row in answer["data"]] == ["IMAGE_INVALID", None]
        assert answer["data"][1]["exact"] == "4:5" and "\n" not in answer["data"][0]["error"]

    @pytest.mark.parametrize("command", ["adjust", "scale"])
    def test_adjust_and_scale(self, capsys, tmp_path, command):
        bad = tmp_path / "bad.ppm"
        bad.write_bytes(BAD_MAXVAL)
        status, out, err = run(capsys, command, bad, "-o", tmp_path / "out.png", "--json")
        answer = json.loads(out)
        assert status == 2 and answer["code"] == "IMAGE_INVALID"
        assert err.count("\n") == 1 and f"{bad}: not an image that can be decoded (ValueError: maxval" in err
        assert not (tmp_path / "out.png").exists()

    @pytest.mark.parametrize("error", [AttributeError("'NoneType' object has no attribute 'x'"),
                                       NotImplementedError(), ValueError("two\nlines")])
    def test_other_errors_are_one_line(self, capsys, tmp_path, monkeypatch, error):
        from pravel import shapelens

        def raising(self, data):
            raise error

        monkeypatch.setattr(shapelens.ImageShapelens, "get_raw_simple_ratio", raising)
        status, out, err = run(capsys, "ratio", SAMPLES / "cutout.png", SAMPLES / "portrait.jpg")
        assert status == 2 and out == "" and len(err.splitlines()) == 2
        assert all(type(error).__name__ in line and "IMAGE" not in line for line in err.splitlines())

    def test_memory_error_is_not_an_image_error(self, capsys, monkeypatch):
        from pravel import shapelens

        def raising(self, data):
            raise MemoryError

        monkeypatch.setattr(shapelens.ImageShapelens, "get_raw_simple_ratio", raising)
        status, out, err = run(capsys, "ratio", SAMPLES / "cutout.png", "--json")
        assert status == 2 and json.loads(out)["code"] == "INVALID_PARAMS"


@pytest.mark.parametrize("flag", ["-q", "--json"])
def test_comfyui_restart_quiet_or_json_prints_nothing_on_stderr(flag):
    # A fresh interpreter: there logging's last resort would print the errors.
    run = subprocess.run([sys.executable, "-P", "-m", "pravel", "comfyui-restart", "--url",
                          "http://127.0.0.1:9", "--max-wait", "1", "--poll-interval", "0.1", flag],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (1, "")
    if flag == "--json":
        assert json.loads(run.stdout)["code"] == "TIMEOUT"


def test_comfyui_restart_shows_errors_and_waiting_lines_otherwise():
    run = subprocess.run([sys.executable, "-P", "-m", "pravel", "comfyui-restart", "--url",
                          "http://127.0.0.1:9", "--max-wait", "1", "--poll-interval", "0.2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1 and "ERROR" in run.stderr and "重启后超时未恢复" in run.stderr
    assert "服务未启动/连接拒绝，等待中..." in run.stderr
