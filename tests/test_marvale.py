import builtins
import inspect

import pytest
from PIL import Image

from pravel.marvale import MarvaleImageScale
from support import Operations, heavy, raises

TABLE = MarvaleImageScale.PREFERED_MARVALE_RESOLUTIONS


def gradient(width, height, mode="RGB"):
    image = Image.new(mode, (width, height))
    image.putdata([(x * 7 + y * 3) % 256 if mode == "L" else ((x * 7) % 256, (y * 5) % 256, 90)
                   for y in range(height) for x in range(width)])
    return image


class TestTable:
    def test_shape(self):
        assert type(TABLE) is list and len(TABLE) == 17 and all(type(e) is tuple for e in TABLE)
        assert TABLE[0] == (672, 1568) and TABLE[8] == (1024, 1024) and TABLE[16] == (1568, 672)
        assert all(TABLE[i] == TABLE[16 - i][::-1] for i in range(17))
        assert [w for w, _ in TABLE] == sorted({w for w, _ in TABLE})
        assert all(w % 16 == 0 and h % 16 == 0 and 1034752 <= w * h <= 1062400 for w, h in TABLE)

    def test_read_through_the_instance(self, capsys):
        class Tiny(MarvaleImageScale):
            PREFERED_MARVALE_RESOLUTIONS = [(8, 4), (4, 8)]
        assert Tiny(gradient(30, 20)).start().size == (8, 4)
        scaler = MarvaleImageScale(gradient(30, 20))
        scaler.PREFERED_MARVALE_RESOLUTIONS = [(5, 5)]
        assert scaler.start().size == (5, 5)


class TestStart:
    @pytest.mark.parametrize("size, output", [
        ((1920, 1080), (1392, 752)), ((1280, 720), (1392, 752)), ((1080, 1920), (752, 1392)),
        ((1000, 1000), (1024, 1024)), ((4000, 3000), (1184, 880)), ((3000, 4000), (880, 1184)),
        ((1200, 800), (1248, 832)), ((3000, 1000), (1568, 672)), ((1000, 3000), (672, 1568)),
        ((1, 1), (1024, 1024)), ((1, 1000), (672, 1568)), ((1000, 1), (1568, 672)),
    ])
    def test_worked_examples(self, capsys, size, output):
        image = Image.new("L", size, 200)
        result = MarvaleImageScale(image).start()
        assert result.size == output and result.mode == "L"
        assert capsys.readouterr().out == f"原尺寸 {size} 输出尺寸 {output}\n"

    def test_lanczos_and_input_untouched(self, capsys):
        image = gradient(96, 96)
        before = image.tobytes()
        scaler = MarvaleImageScale(image)
        assert scaler.image is image
        first, second = scaler.start(), scaler.start()
        assert first is not image and image.size == (96, 96) and image.tobytes() == before
        expected = image.resize((1024, 1024), Image.Resampling.LANCZOS)
        assert first.tobytes() == second.tobytes() == expected.tobytes()
        assert capsys.readouterr().out.count("\n") == 2

    def test_tie_goes_to_smaller_width_then_height(self, capsys):
        # Quotient 1.25 lies 0.75 from both 2/1 and 1/2: the smaller width wins,
        # wherever it sits in the table; equal quotients keep the smaller pair.
        class Tied(MarvaleImageScale):
            PREFERED_MARVALE_RESOLUTIONS = [(2, 1), (1, 2)]
        assert Tied(gradient(5, 4)).start().size == (1, 2)
        class Doubled(MarvaleImageScale):
            PREFERED_MARVALE_RESOLUTIONS = [(6, 4), (3, 2), (6, 4)]
        assert Doubled(gradient(30, 20)).start().size == (3, 2)

    def test_print_is_looked_up_at_call_time(self, monkeypatch):
        lines = []
        monkeypatch.setattr(builtins, "print", lambda *args: lines.append(args))
        MarvaleImageScale(gradient(20, 10)).start()
        assert lines == [("原尺寸", (20, 10), "输出尺寸", (1456, 720))]


class TestFailures:
    def test_zero_height_fails_before_printing(self, capsys):
        class Flat:
            width, height, size = 10, 0, (10, 0)
        with pytest.raises(ZeroDivisionError):
            MarvaleImageScale(Flat()).start()
        assert capsys.readouterr().out == ""

    def test_missing_attributes(self, capsys):
        with pytest.raises(AttributeError, match="width"):
            MarvaleImageScale(object()).start()
        class NoResize:
            width, height, size = 4, 3, (4, 3)
        with pytest.raises(AttributeError, match="resize"):
            MarvaleImageScale(NoResize()).start()
        assert capsys.readouterr().out == "原尺寸 (4, 3) 输出尺寸 (1184, 880)\n"

    def test_resize_error_after_the_line(self, capsys):
        class Broken:
            width, height, size = 4, 3, (4, 3)
            def resize(self, size, resample):
                raise OSError("cannot resize")
        with pytest.raises(OSError, match="cannot resize"):
            MarvaleImageScale(Broken()).start()
        assert capsys.readouterr().out.startswith("原尺寸")

    def test_empty_table(self):
        class Empty(MarvaleImageScale):
            PREFERED_MARVALE_RESOLUTIONS = []
        with pytest.raises(ValueError):
            Empty(gradient(4, 3)).start()

def test_documentation_and_annotations():
    def lines(obj):
        return [line.strip() for line in obj.__doc__.splitlines() if line.strip()]
    assert lines(MarvaleImageScale) == ["将图片缩放到最接近 Marvale 优选分辨率的尺寸。",
                                        "根据原图宽高比，从预定义的分辨率列表中选取最匹配的分辨率，",
                                        "使用 LANCZOS 算法进行高质量缩放。"]
    assert lines(MarvaleImageScale.__init__) == ["Args:", "image: PIL Image 对象"]
    assert lines(MarvaleImageScale.start) == ["根据原图宽高比匹配最优分辨率并缩放。", "Returns:", "缩放后的 PIL Image 对象"]
    assert str(inspect.signature(MarvaleImageScale)) == "(image: 'Image.Image')"
    assert MarvaleImageScale(image=None).image is None
    assert MarvaleImageScale.__bases__ == (object,)


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.marvale import MarvaleImageScale

    image = Image.new("L", (30, 20))  # one band: the resize to ~1 megapixel dominates
    zero = Image.new("RGB", (5, 0))

    def Unpacked(resolutions):  # entries that are neither tuples nor lists are iterated
        return type("Unpacked", (MarvaleImageScale,), {"PREFERED_MARVALE_RESOLUTIONS": resolutions})

    def start():
        MarvaleImageScale(image).start()
        kit.capsys.readouterr()

    return {
        "start": heavy(start, 200),
        "start(zero height)": raises(ZeroDivisionError, MarvaleImageScale(zero).start),
        "start(three sides)": raises(ValueError, Unpacked([range(3)])(image).start),
        "start(one side)": raises(ValueError, Unpacked([range(1)])(image).start),
        "start(not an image)": raises(AttributeError, MarvaleImageScale(object()).start),
    }


def thread_operations(kit):
    scaler = MarvaleImageScale(Image.new("L", (30, 20), 7))
    # Printing is part of the answer: each thread reads back its own lines.
    return {
        "marvale shared": lambda: (kit.outcome(scaler.start), kit.printed()),
        "marvale tall": lambda: (kit.outcome(MarvaleImageScale(Image.new("L", (9, 30))).start), kit.printed()),
    }


SHUTDOWN = {
    "marvale start": """
        from PIL import Image
        from pravel.marvale import MarvaleImageScale
        image = Image.effect_noise((300, 200), 40).convert("RGB")
        in_daemon_thread(MarvaleImageScale(image).start)
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN,
    recreated=lambda module, word_file: module.MarvaleImageScale.PREFERED_MARVALE_RESOLUTIONS[8])
