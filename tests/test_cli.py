import io
import json
import subprocess
import sys

import pytest
from PIL import Image

from conftest import decode, encode
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


def test_comfyui_restart(capsys):
    with demo._comfyui_server() as url:
        status, out, err = run(capsys, "comfyui-restart", "--url", url, "--max-wait", "5", "--poll-interval", "0.05")
    assert status == 0 and out == f"{url}: ready again\n"
    assert "重启完成，服务正常可用" in err
    status, out, err = run(capsys, "comfyui-restart", "--url", "http://127.0.0.1:9", "--max-wait", "0", "--json")
    assert status == 1 and json.loads(out)["code"] == "TIMEOUT"


def test_demo(capsys, tmp_path):
    status, out, _ = run(capsys, "demo", "--out", tmp_path, "--json")
    report = json.loads(out)
    assert status == 0 and set(report) == {"framekit", "shapelens", "orvid", "marvale", "wordguard", "response", "hostwarden"}
    assert report["hostwarden"]["ready"] is True
    assert (tmp_path / "portrait-fill.png").exists() and (tmp_path / "portrait-marvale.png").exists()


def test_module_entry_point():
    result = subprocess.run([sys.executable, "-P", "-m", "pravel", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "comfyui-restart" in result.stdout
