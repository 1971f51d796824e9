import inspect
import io
import math
import os
import pickle
import random
import shutil
import struct
import subprocess
import tempfile
import tracemalloc
import zlib

import pytest
from PIL import Image, ImageFilter, UnidentifiedImageError

from support import Operations, decode, encode, heavy, in_threads, raises, wrong_type
from pravel import framekit
from pravel.framekit import Framekit

from plain.framekit import adjust_size as pillow_adjusted

RATIOS = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]


def doc_lines(obj):
    return [line.strip() for line in obj.__doc__.splitlines() if line.strip()]


# ---------------------------------------------------------------- construction


class TestConstruction:
    def test_defaults(self):
        fk = Framekit()
        assert fk.proportion is None
        assert fk.need_adjust == "fill"
        assert fk.fill_color == (255, 255, 255, 0)
        assert fk.kwargs == {}
        assert list(fk._std_ratio_map) == RATIOS
        assert fk._std_ratio_map["1:1"] == 1.0
        assert fk._std_ratio_map["21:9"] == 21 / 9
        assert all(type(v) is float for v in fk._std_ratio_map.values())
        assert Framekit.STANDARD_RATIO_LIST == RATIOS

    @pytest.mark.parametrize("blank", ["", "   ", "\t\u3000\n"])
    def test_blank_proportion_is_none(self, blank):
        assert Framekit(blank).proportion is None

    def test_proportion_kept_as_passed(self):
        assert Framekit(" 3:4 ").proportion == " 3:4 "
        assert Framekit("abc").proportion == "abc"

    def test_positional_and_keyword_arguments(self):
        fk = Framekit("3:4", "resize", (1, 2, 3), foo=1, bar=[2])
        assert (fk.proportion, fk.need_adjust, fk.fill_color) == ("3:4", "resize", (1, 2, 3))
        assert fk.kwargs == {"foo": 1, "bar": [2]}
        assert Framekit(need_adjust="crop").need_adjust == "crop"

    @pytest.mark.parametrize(
        "kwargs, name, got",
        [
            ({"proportion": 3}, "proportion", "int"),
            ({"proportion": b"3:4"}, "proportion", "bytes"),
            ({"need_adjust": None}, "need_adjust", "NoneType"),
            ({"need_adjust": 1.5}, "need_adjust", "float"),
        ],
    )
    def test_wrong_types(self, kwargs, name, got):
        with pytest.raises(TypeError) as err:
            Framekit(**kwargs)
        assert str(err.value) == wrong_type(name, "str", got)

    def test_str_subclass_refused(self):
        class Text(str):
            pass

        with pytest.raises(TypeError, match=r"expected str, got Text"):
            Framekit(Text("3:4"))
        with pytest.raises(TypeError, match=r"'need_adjust'"):
            Framekit(need_adjust=Text("fill"))

    def test_call_errors(self):
        with pytest.raises(TypeError, match="takes from 1 to 4 positional arguments but 5 were given"):
            Framekit(None, "fill", (0, 0, 0, 0), "extra")
        with pytest.raises(TypeError, match="multiple values for argument 'proportion'"):
            Framekit("1:1", proportion="1:1")


# ---------------------------------------------------------------- ratio parsing


class TestParseRatio:
    @pytest.mark.parametrize(
        "text, pair",
        [
            ("3:4", (3, 4)),
            ("  16:9\t", (16, 9)),
            ("16:9:4", (16, 9)),
            ("16:9px", (16, 9)),
            ("0:5", (0, 5)),
            ("007:010", (7, 10)),
            ("１６:９", (16, 9)),  # full-width digits
            ("٣:٤", (3, 4)),  # Arabic-Indic digits
            ("\u300016:9\u3000", (16, 9)),
        ],
    )
    def test_parses(self, text, pair):
        result = Framekit._parse_ratio(text)
        assert result == pair and type(result) is tuple
        assert all(type(v) is int for v in result)

    @pytest.mark.parametrize("text", ["16 : 9", "", "   ", "a16:9", "16:", ":9", "16/9", "²:3", "16:-9"])
    def test_rejects(self, text):
        with pytest.raises(ValueError) as err:
            Framekit._parse_ratio(text)
        assert str(err.value) == "比例格式错误 " + text + "，示例：3:4"

    def test_callable_on_instance_and_type_checked(self):
        assert Framekit()._parse_ratio("4:5") == (4, 5)
        with pytest.raises(TypeError) as err:
            Framekit._parse_ratio(None)
        assert str(err.value) == wrong_type("ratio_str", "str", "NoneType")


# ---------------------------------------------------------------- nearest ratio


class TestClosestRatio:
    @pytest.mark.parametrize(
        "w, h, ratio",
        [
            (1920, 1080, "16:9"),
            (1080, 1920, "9:16"),
            (900, 800, "1:1"),  # exactly 0.125 from 1:1 and 5:4: list order wins
            (3000, 1000, "21:9"),
            (1000, 3000, "9:16"),
            (1000, 1100, "1:1"),
            (1000, 1500, "2:3"),
            (1200, 900, "4:3"),
            (10**30, 10**30 + 1, "1:1"),
        ],
    )
    def test_examples(self, w, h, ratio):
        assert Framekit()._get_closest_standard_ratio(w, h) == ratio

    def test_numbers_are_truncated(self):
        fk = Framekit()
        assert fk._get_closest_standard_ratio(1920.9, 1080.9) == "16:9"
        assert fk._get_closest_standard_ratio(True, True) == "1:1"
        with pytest.raises(ZeroDivisionError):
            fk._get_closest_standard_ratio(5, 0.5)  # int(0.5) == 0

    def test_errors(self):
        fk = Framekit()
        with pytest.raises(ZeroDivisionError):
            fk._get_closest_standard_ratio(100, 0)
        with pytest.raises(TypeError) as err:
            fk._get_closest_standard_ratio("100", 10)
        assert str(err.value) == wrong_type("width", "int", "str")
        with pytest.raises(TypeError, match="'height'"):
            fk._get_closest_standard_ratio(100, None)

    def test_subclass_table(self):
        class Wide(Framekit):
            STANDARD_RATIO_LIST = ["2:1", "1:2", "1:1"]

        fk = Wide()
        assert list(fk._std_ratio_map) == ["2:1", "1:2", "1:1"]
        assert fk._get_closest_standard_ratio(1000, 1000) == "1:1"
        # The starting value is the subclass's entry 0, not "1:1".
        class Empty(Framekit):
            STANDARD_RATIO_LIST = ["5:1"]

        assert Empty()._get_closest_standard_ratio(1, 1) == "5:1"

    def test_subclass_parser_is_used(self):
        class Swapped(Framekit):
            @staticmethod
            def _parse_ratio(ratio_str):
                w, h = Framekit._parse_ratio(ratio_str)
                return h, w

        assert Swapped()._std_ratio_map["16:9"] == 9 / 16


# ---------------------------------------------------------------- adjust_size


def rgba(width, height, colour=(30, 120, 200, 255)):
    return Image.new("RGBA", (width, height), colour)


class TestAdjustSize:
    @pytest.mark.parametrize(
        "size, percent, ratio, out_size, paste",
        [
            ((1000, 2000), 10, "9:16", (1100, 2000), (50, 0)),
            ((2000, 1000), 10, "16:9", (2000, 1100), (0, 50)),
            ((1000, 1000), 10, "1:1", (1100, 1100), (50, 50)),
            ((1001, 2000), -10, "9:16", (900, 2000), (-51, 0)),
            ((1001, 2000), 10.5, "9:16", (1106, 2000), (52, 0)),
            ((640, 480), 0, "4:3", (640, 480), (0, 0)),
        ],
    )
    def test_worked_examples(self, size, percent, ratio, out_size, paste):
        source = rgba(*size, (10, 20, 30, 255))
        data = encode(source)
        out, matched = Framekit(need_adjust="resize").adjust_size(data, True, percent)
        assert matched == ratio
        assert decode(out).size == out_size

        out, matched = Framekit().adjust_size(data, True, percent)
        assert matched == ratio
        canvas = decode(out)
        assert canvas.size == out_size and canvas.mode == "RGBA"
        # The opaque image sits at `paste`; the bands are the transparent fill.
        x, y = paste
        visible = (max(x, 0), max(y, 0), min(x + size[0], out_size[0]), min(y + size[1], out_size[1]))
        assert canvas.crop(visible).getextrema() == ((10, 10), (20, 20), (30, 30), (255, 255))
        if x > 0:
            assert canvas.getpixel((x - 1, 0)) == (255, 255, 255, 0)
            right_band = out_size[0] - (x + size[0])
            assert right_band == x + (out_size[0] - size[0]) % 2
        if y > 0:
            assert canvas.getpixel((0, y - 1)) == (255, 255, 255, 0)

    def test_fill_shows_the_right_part_when_cropping(self):
        # A horizontal gradient: column i has red value i % 256.
        source = Image.new("RGBA", (1001, 2000))
        source.putdata([(i % 256, 0, 0, 255) for _ in range(2000) for i in range(1001)])
        canvas = decode(Framekit().adjust_size(encode(source), expand_percent=-10))
        assert canvas.size == (900, 2000)
        assert canvas.getpixel((0, 7))[0] == 51  # columns 51 .. 950 survive
        assert canvas.getpixel((899, 7))[0] == 950 % 256

    def test_resize_stretches_smaller_side_with_lanczos(self):
        source = Image.effect_noise((300, 500), 60).convert("RGBA")
        out = Framekit(need_adjust="resize").adjust_size(encode(source))
        expected = source.resize((330, 500), Image.Resampling.LANCZOS)
        assert decode(out).tobytes() == expected.tobytes()

    def test_rgb_input_is_opaque_on_transparent_bands(self, make_image):
        canvas = decode(Framekit().adjust_size(make_image(400, 300, "RGB", "JPEG")))
        assert canvas.size == (400, 330)
        alpha = canvas.getchannel("A")
        assert alpha.crop((0, 15, 400, 315)).getextrema() == (255, 255)
        assert alpha.crop((0, 0, 400, 15)).getextrema() == (0, 0)
        assert alpha.crop((0, 315, 400, 330)).getextrema() == (0, 0)

    @pytest.mark.parametrize("fmt, mode", [("JPEG", "RGB"), ("GIF", "P"), ("BMP", "RGB"), ("WEBP", "RGBA"), ("PNG", "L")])
    def test_any_input_format_comes_back_as_png(self, make_image, fmt, mode):
        for need_adjust in ("resize", "fill"):
            out = Framekit(need_adjust=need_adjust).adjust_size(make_image(200, 300, mode, fmt))
            assert out.startswith(b"\x89PNG\r\n\x1a\n")
            assert decode(out).size == (220, 300)

    def test_fill_color_is_used(self, make_image):
        canvas = decode(Framekit(fill_color=(255, 0, 0, 255)).adjust_size(make_image(100, 100)))
        assert canvas.getpixel((0, 0)) == (255, 0, 0, 255)
        canvas = decode(Framekit(fill_color="blue").adjust_size(make_image(100, 100)))
        assert canvas.getpixel((0, 0)) == (0, 0, 255, 255)
        with pytest.raises(ValueError):
            Framekit(fill_color="no such colour").adjust_size(make_image(100, 100))


class TestCompositing:
    """Fill mode composites the image over the canvas (no squared alpha)."""

    def soft_image(self):
        # Every colour value at every non-zero alpha, plus fully transparent pixels.
        image = Image.new("RGBA", (256, 256))
        image.putdata([(v, 255 - v, (v * 7) % 256, a) for a in range(256) for v in range(256)])
        return image

    def test_transparent_canvas_keeps_pixels_exactly(self):
        source = self.soft_image()
        canvas = decode(Framekit().adjust_size(encode(source), expand_percent=50))
        assert canvas.size == (384, 384)
        inner = canvas.crop((64, 64, 320, 320)).tobytes()
        want = source.tobytes()
        for i in range(0, len(want), 4):
            expected = want[i : i + 4] if want[i + 3] else bytes((255, 255, 255, 0))
            assert inner[i : i + 4] == expected, i // 4

    def test_opaque_canvas_gives_opaque_over_blend(self):
        source = self.soft_image()
        background = (40, 90, 160, 255)
        canvas = decode(Framekit(fill_color=background).adjust_size(encode(source), expand_percent=50))
        assert canvas.getchannel("A").getextrema() == (255, 255)
        expected = Image.new("RGBA", source.size, background)
        expected.alpha_composite(source)
        assert canvas.crop((64, 64, 320, 320)).tobytes() == expected.tobytes()
        # Half-transparent white over the blue background is a real blend,
        # not the squared-alpha result of pasting with the image as mask.
        r, g, b, _ = Image.alpha_composite(Image.new("RGBA", (1, 1), background), Image.new("RGBA", (1, 1), (255, 255, 255, 128))).getpixel((0, 0))
        assert abs(r - (40 + (255 - 40) * 128 / 255)) <= 1

    def test_negative_offsets(self):
        source = self.soft_image().resize((300, 256))
        canvas = decode(Framekit().adjust_size(encode(source), expand_percent=-20))
        assert canvas.size == (300, 204)  # only the smaller side shrinks
        offset = (204 - 256) // 2  # -26
        expected = Image.new("RGBA", (300, 204), (255, 255, 255, 0))
        expected.alpha_composite(source.crop((0, -offset, 300, -offset + 204)))
        assert canvas.tobytes() == expected.tobytes()


class TestRequestedRatio:
    def test_mismatch_returns_callers_bytes(self, make_image):
        data = make_image(1080, 1920)
        fk = Framekit("3:4")
        assert fk.adjust_size(data) is data
        result = fk.adjust_size(data, return_origin_ratio=True)
        assert result == (data, "3:4") and result[0] is data

    def test_match_processes_like_no_proportion(self, make_image):
        data = make_image(1080, 1920, "RGB", "JPEG")
        out, ratio = Framekit("9:16").adjust_size(data, True)
        assert ratio == "9:16"
        assert out == Framekit().adjust_size(data)

    @pytest.mark.parametrize("proportion", ["7:10", " 9:16", "9:16 ", "abc"])
    def test_non_standard_proportion_never_matches(self, make_image, proportion):
        data = make_image(1080, 1920)
        assert Framekit(proportion).adjust_size(data) is data

    def test_invalid_mode(self, make_image):
        data = make_image(1080, 1920)
        with pytest.raises(ValueError) as err:
            Framekit(need_adjust="crop").adjust_size(data)
        assert str(err.value) == "need_adjust 仅支持 resize / fill"
        with pytest.raises(ValueError):
            Framekit(need_adjust="Fill").adjust_size(data)
        # The early return does not look at the mode.
        assert Framekit("3:4", "crop").adjust_size(data) is data

    def test_undecodable_bytes_fail_on_every_path(self, make_image):
        for fk in (Framekit(), Framekit("3:4"), Framekit(need_adjust="crop")):
            with pytest.raises(UnidentifiedImageError):
                fk.adjust_size(b"not an image")
        truncated = make_image(300, 300)[:200]
        with pytest.raises(OSError):
            Framekit("3:4").adjust_size(truncated)


class TestAdjustSizeArguments:
    @pytest.mark.parametrize("value", [bytearray(b"x"), memoryview(b"x"), None, "x"])
    def test_image_bytes_must_be_bytes(self, value):
        with pytest.raises(TypeError) as err:
            Framekit().adjust_size(value)
        assert str(err.value) == wrong_type("image_bytes", "bytes", type(value).__name__)

    def test_bytes_subclass_refused(self, make_image):
        class Blob(bytes):
            pass

        with pytest.raises(TypeError, match="got Blob"):
            Framekit().adjust_size(Blob(make_image(10, 10)))

    def test_expand_percent_conversion(self, make_image):
        data = make_image(100, 200)
        assert decode(Framekit().adjust_size(data, expand_percent=True)).size == (101, 200)

        class Percent:
            def __float__(self):
                return 50.0

        assert decode(Framekit().adjust_size(data, expand_percent=Percent())).size == (150, 200)
        with pytest.raises(TypeError):
            Framekit().adjust_size(data, expand_percent="10")
        with pytest.raises(TypeError):
            Framekit().adjust_size(data, expand_percent=None)

    def test_truth_value_of_return_origin_ratio(self, make_image):
        data = make_image(100, 100)
        assert isinstance(Framekit().adjust_size(data, [0]), tuple)
        assert isinstance(Framekit().adjust_size(data, []), bytes)

    def test_type_checked_before_work(self):
        with pytest.raises(TypeError):
            Framekit().adjust_size(b"not an image", expand_percent="x")

    def test_sizes_pillow_rejects(self, make_image):
        with pytest.raises(ValueError):
            Framekit(need_adjust="resize").adjust_size(make_image(100, 200), expand_percent=-100)
        with pytest.raises(ValueError):
            Framekit().adjust_size(make_image(100, 200), expand_percent=-150)
        with pytest.raises(OverflowError):
            Framekit().adjust_size(make_image(100, 200), expand_percent=math.inf)


# ---------------------------------------------------------------- published interface


class TestInterface:
    def test_module_namespace(self):
        assert framekit.Framekit is Framekit
        assert framekit.BytesIO is io.BytesIO and framekit.Image is Image
        assert type(Framekit) is type and Framekit.__bases__ == (object,)
        assert Framekit.__doc__ is None and Framekit.__module__ == "pravel.framekit"

    def test_annotations(self):
        assert Framekit.__init__.__annotations__ == {"proportion": "Optional[str]", "need_adjust": "str"}
        assert Framekit._parse_ratio.__annotations__ == {"ratio_str": "str", "return": "Tuple[int, int]"}
        assert Framekit._get_closest_standard_ratio.__annotations__ == {"width": "int", "height": "int", "return": "str"}
        assert Framekit.adjust_size.__annotations__ == {"image_bytes": "bytes", "return_origin_ratio": "bool", "expand_percent": "float"}

    def test_signatures(self):
        assert str(inspect.signature(Framekit)) == (
            "(proportion: 'Optional[str]' = None, need_adjust: 'str' = 'fill', "
            "fill_color=(255, 255, 255, 0), **kwargs)"
        )
        assert str(inspect.signature(Framekit().adjust_size)) == (
            "(image_bytes: 'bytes', return_origin_ratio: 'bool' = False, expand_percent: 'float' = 10.0)"
        )
        assert str(inspect.signature(Framekit._parse_ratio)) == "(ratio_str: 'str') -> 'Tuple[int, int]'"

    def test_docstrings(self):
        assert doc_lines(Framekit.__init__) == [
            ':param proportion: 目标比例 "3:4"/"1:1"/""空字符串/None',
            ":param need_adjust: resize / fill",
            ":param fill_color: 填充背景色 RGBA，默认透明",
        ]
        assert Framekit._parse_ratio.__doc__ == "解析 3:4 -> (3,4)"
        assert doc_lines(Framekit._get_closest_standard_ratio) == [
            "计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串"
        ]
        assert doc_lines(Framekit.adjust_size) == [
            "调整图片尺寸",
            "1. proportion存在有效值：",
            "- 若与原图最接近标准比例不一致 → 直接返回原图不处理",
            "- 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充",
            '2. proportion="" / None 且 need_adjust="fill"：',
            "- 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸",
            '3. proportion="" / None 且 need_adjust="resize"：沿用原有逻辑',
            ":param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小",
        ]

    def test_methods_behave_like_python_functions(self):
        fn = Framekit.adjust_size
        assert (fn.__name__, fn.__qualname__, fn.__module__) == ("adjust_size", "Framekit.adjust_size", "pravel.framekit")
        fk = Framekit()
        bound = fk.adjust_size
        assert bound.__self__ is fk and bound.__func__ is fn
        assert isinstance(inspect.getattr_static(Framekit, "_parse_ratio"), staticmethod)
        assert pickle.loads(pickle.dumps(fn)) is fn
        # Wrappable like a Python function.
        class Table(Framekit):
            _std_ratio_map = {"2:1": 2.0}
            closest = classmethod(Framekit._get_closest_standard_ratio)

        assert Table.closest(16, 9) == "2:1"
        fn.custom_attribute = 1
        assert fn.custom_attribute == 1

    def test_subclass_overrides_attributes_used_by_adjust_size(self, make_image):
        class Reporting(Framekit):
            def _get_closest_standard_ratio(self, width, height):
                return "3:4"

        data = make_image(1000, 1000)
        assert Reporting("1:1").adjust_size(data) is data
        assert Reporting().adjust_size(data, True)[1] == "3:4"


def test_threads_share_an_instance(make_image):
    fk = Framekit(need_adjust="resize")
    data = make_image(300, 500, "RGBA")
    expected = fk.adjust_size(data)
    results = in_threads(lambda _: [fk.adjust_size(data) for _ in range(5)])
    assert results == [[expected] * 5] * 4


# ---------------------------------------------------------------- PNG encoding


def png_chunks(data):
    """[(type, payload)] of a PNG file, every CRC checked."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, []
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind, payload = data[pos + 4 : pos + 8], data[pos + 8 : pos + 8 + length]
        assert struct.unpack(">I", data[pos + 8 + length : pos + 12 + length])[0] == zlib.crc32(kind + payload)
        chunks.append((kind, payload))
        pos += 12 + length
    assert chunks[-1] == (b"IEND", b"")
    return chunks


def metadata(data):
    return [chunk for chunk in png_chunks(data) if chunk[0] != b"IDAT"]


def row_filters(data):
    chunks = png_chunks(data)
    width, height = struct.unpack(">II", chunks[0][1][:8])
    raw = zlib.decompress(b"".join(payload for kind, payload in chunks if kind == b"IDAT"))
    assert len(raw) == height * (4 * width + 1)
    return {raw[y * (4 * width + 1)] for y in range(height)}


def assert_same_image(ours, theirs):
    """Same pixels, mode, size and ancillary chunks as Pillow's file."""
    mine, reference = decode(ours), decode(theirs)
    assert (mine.mode, mine.size) == (reference.mode, reference.size)
    assert mine.tobytes() == reference.tobytes()
    assert mine.info.get("icc_profile") == reference.info.get("icc_profile")
    assert metadata(ours) == metadata(theirs)
    if shutil.which("pngcheck"):
        with tempfile.NamedTemporaryFile(suffix=".png") as f:
            f.write(ours)
            f.flush()
            check = subprocess.run(["pngcheck", "-q", f.name], capture_output=True, text=True)
        assert check.returncode == 0, check.stdout + check.stderr


def noise(width, height, seed=1):
    """RGBA noise, alpha included: every filter and every byte value."""
    return Image.frombytes("RGBA", (width, height), random.Random(seed).randbytes(width * height * 4))


@pytest.mark.parametrize("height", [436, 437, 1000])  # one band, a row over, two and a part
def test_an_opaque_picture_pasted_in_bands_is_one_paste(height):
    # 600 columns: 436 rows to a band of 1 MiB; every row distinct, so a band
    # pasted at the wrong height or a row dropped at a band's edge shows.
    data = encode(noise(600, height, seed=height).convert("RGB"))
    assert_same_image(Framekit().adjust_size(data, expand_percent=30), pillow_adjusted(data, "fill", 30))


class TestPngEncoding:
    @pytest.mark.parametrize("size", [(1, 1), (2, 1), (1, 2), (3, 3), (5, 7), (17, 4), (1, 301), (301, 1), (257, 129)])
    @pytest.mark.parametrize("need_adjust", ["resize", "fill"])
    def test_same_image_as_pillow(self, size, need_adjust):
        data = encode(noise(*size))
        assert_same_image(Framekit(need_adjust=need_adjust).adjust_size(data), pillow_adjusted(data, need_adjust))

    def test_every_filter_decodes(self):
        smooth = Image.linear_gradient("L").resize((96, 64))
        grain = noise(96, 64, seed=3).getchannel("R").filter(ImageFilter.SMOOTH_MORE)
        photo = Image.merge("RGBA", [Image.blend(smooth, grain, 0.3)] * 3 + [smooth])
        used = set()
        for image in (noise(64, 64), photo, smooth.convert("RGBA"), smooth.rotate(90).convert("RGBA")):
            for need_adjust in ("resize", "fill"):
                data = encode(image)
                out = Framekit(need_adjust=need_adjust).adjust_size(data, expand_percent=25)
                assert_same_image(out, pillow_adjusted(data, need_adjust, 25))
                used |= row_filters(out)
        assert used == {0, 1, 2, 3, 4}  # None, Sub, Up, Average, Paeth

    @pytest.mark.parametrize("profile_size", [600, 150_000])  # the larger spans several JPEG markers
    def test_icc_profile(self, profile_size):
        profile = bytes(random.Random(2).randbytes(profile_size))
        data = encode(Image.new("RGB", (120, 90), (200, 30, 60)), "JPEG", icc_profile=profile)
        resized = Framekit(need_adjust="resize").adjust_size(data)
        assert_same_image(resized, pillow_adjusted(data, "resize"))
        assert decode(resized).info["icc_profile"] == profile
        assert [kind for kind, _ in metadata(resized)] == [b"IHDR", b"iCCP", b"IEND"]
        # The fill canvas carries the same profile, chunk for chunk.
        filled = Framekit().adjust_size(data)
        assert_same_image(filled, pillow_adjusted(data, "fill"))
        assert metadata(filled) == metadata(resized)

    def test_no_profile_no_iccp(self):
        data = encode(noise(30, 20).convert("RGB"), "JPEG")
        for need_adjust in ("resize", "fill"):
            assert [kind for kind, _ in metadata(Framekit(need_adjust=need_adjust).adjust_size(data))] == [b"IHDR", b"IEND"]

    def test_input_metadata_pillow_does_not_write(self):
        from PIL import PngImagePlugin

        text = PngImagePlugin.PngInfo()
        text.add_text("Comment", "kept by the decoder, not by the writer")
        exif = Image.Exif()
        exif[0x010F] = "camera"
        data = encode(noise(40, 30), "PNG", pnginfo=text, dpi=(300, 300), exif=exif, icc_profile=b"profile")
        for need_adjust in ("resize", "fill"):
            assert_same_image(Framekit(need_adjust=need_adjust).adjust_size(data), pillow_adjusted(data, need_adjust))

    @pytest.mark.parametrize("arrow", [True, False])
    def test_image_in_several_memory_blocks(self, monkeypatch, arrow):
        # Over Pillow's 16 MiB block: rows arrive in bands (copied, or shared
        # through Arrow when the band allows it; tobytes() without Arrow).
        if not arrow:
            monkeypatch.delattr(Image.Image, "__arrow_c_array__", raising=False)
        # Every row repeats the first, and each value halves its left
        # neighbour: Up is exact, and Average would be with the wrong row above,
        # so a band's first row shows whether it was filtered against the
        # previous band's last row.
        halving = bytes(v for x in range(2100) for v in [255 >> (x % 8)] * 4)
        image = Image.frombytes("RGBA", (2100, 1), halving).resize((2100, 1900), Image.Resampling.NEAREST)
        data = encode(image)
        assert_same_image(Framekit().adjust_size(data), pillow_adjusted(data, "fill"))

    def test_a_failed_arrow_export_falls_back_but_an_interrupt_travels_on(self, monkeypatch):
        halving = bytes(v for x in range(2100) for v in [255 >> (x % 8)] * 4)
        image = Image.frombytes("RGBA", (2100, 1), halving).resize((2100, 1900), Image.Resampling.NEAREST)
        data = encode(image)
        calls = []

        def failing(error):
            def export(self, *args, **kwargs):
                calls.append(error)
                raise error("no Arrow today")
            return export

        monkeypatch.setattr(Image.Image, "__arrow_c_array__", failing(ValueError), raising=False)
        assert_same_image(Framekit().adjust_size(data), pillow_adjusted(data, "fill"))
        assert calls  # the export was tried
        for error in (KeyboardInterrupt, MemoryError):
            monkeypatch.setattr(Image.Image, "__arrow_c_array__", failing(error), raising=False)
            with pytest.raises(error):
                Framekit().adjust_size(data)

    def test_fill_colour_and_cropping(self):
        data = encode(noise(101, 60))
        for fill_color in ((255, 0, 0, 255), (9, 9, 9, 128)):
            for percent in (-30, 0, 40):
                out = Framekit(fill_color=fill_color).adjust_size(data, expand_percent=percent)
                assert_same_image(out, pillow_adjusted(data, "fill", percent, fill_color))

    @pytest.mark.parametrize("mode", ["RGB", "L", "CMYK"])
    @pytest.mark.parametrize("percent", [-30, 0, 25])
    def test_pictures_without_alpha(self, mode, percent):
        # Opaque pictures are resampled or pasted before their conversion to
        # RGBA: the pixels must be those of the conversion done first.
        picture = noise(90, 61, seed=6).convert(mode)
        for fmt in ("JPEG", "PNG") if mode != "CMYK" else ("JPEG",):
            data = encode(picture, fmt)
            for need_adjust in ("resize", "fill"):
                out = Framekit(need_adjust=need_adjust, fill_color=(9, 9, 9, 128)).adjust_size(data, expand_percent=percent)
                assert_same_image(out, pillow_adjusted(data, need_adjust, percent, (9, 9, 9, 128)))

    def test_transparent_colour_is_not_opaque(self):
        picture = noise(40, 30, seed=7).convert("RGB")
        picture.putpixel((20, 15), (1, 2, 3))
        data = encode(picture, "PNG", transparency=(1, 2, 3))
        for need_adjust in ("resize", "fill"):
            out = Framekit(need_adjust=need_adjust).adjust_size(data)
            assert_same_image(out, pillow_adjusted(data, need_adjust))
            assert decode(out).getchannel("A").getextrema()[0] < 255

    def test_what_pillow_rejects_fails_as_before(self, make_image):
        # A canvas of width 0 is left to Pillow's writer, and to its error.
        with pytest.raises(ValueError, match="cannot write empty image"):
            Framekit().adjust_size(make_image(100, 200), expand_percent=-100)

    def test_corrupted_input_raises_pillows_error(self):
        data = bytearray(encode(noise(64, 64)))
        idat = data.index(b"IDAT")
        data[idat + 40 : idat + 60] = bytes(20)  # damaged image data
        data = bytes(data)
        with pytest.raises(Exception) as theirs:
            Image.open(io.BytesIO(data)).convert("RGBA")
        for fk in (Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")):
            with pytest.raises(type(theirs.value)) as ours:
                fk.adjust_size(data)
            assert str(ours.value) == str(theirs.value)

    def test_no_leak_over_repeated_calls(self):
        # Native buffers show in the resident size, Python objects in tracemalloc.
        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        data = encode(Image.linear_gradient("L").resize((900, 800)).convert("RGBA"))  # 3 MB of rows
        fk = Framekit()
        for _ in range(3):
            fk.adjust_size(data)
        tracemalloc.start()
        before, traced = resident(), tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            fk.adjust_size(data)
        grown, traced_grown = resident() - before, tracemalloc.get_traced_memory()[0] - traced
        tracemalloc.stop()
        # AddressSanitizer keeps freed memory in quarantine (256 MB) before
        # reusing it, so there the resident size grows whatever the code does.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            assert grown < 24 << 20  # a leaked row buffer alone would be 63 MB
        assert traced_grown < 256 << 10


# ---------------------------------------------------------------- EXIF orientation


def with_orientation(image, orientation, fmt="JPEG", **options):
    exif = Image.Exif()
    exif[0x0112] = orientation
    exif[0x010F] = "phone"
    return encode(image, fmt, exif=exif, **options)


class TestOrientation:
    """Uploads are adjusted as they are shown: turned as their EXIF says."""

    # Stored as a 200x150 landscape: upright it is 4:3 for orientations 1 to 4
    # and a 3:4 portrait for 5 to 8, which swap width and height.
    @pytest.mark.parametrize("orientation", range(1, 9))
    @pytest.mark.parametrize("need_adjust", ["resize", "fill"])
    def test_every_orientation(self, orientation, need_adjust):
        stored = noise(200, 150, seed=orientation).convert("RGB")
        data = with_orientation(stored, orientation, icc_profile=b"\x01profile" * 30)
        shown = "3:4" if orientation >= 5 else "4:3"
        out, ratio = Framekit(need_adjust=need_adjust).adjust_size(data, True)
        assert ratio == shown
        assert decode(out).size == ((165, 200) if orientation >= 5 else (200, 165))
        assert_same_image(out, pillow_adjusted(data, need_adjust))
        assert b"eXIf" not in [kind for kind, _ in metadata(out)]
        # The requested ratio is compared with the picture as shown.
        assert Framekit(shown, need_adjust).adjust_size(data) == out
        other = "4:3" if orientation >= 5 else "3:4"
        assert Framekit(other, need_adjust).adjust_size(data) is data

    def test_orientation_of_a_png(self):
        data = with_orientation(noise(90, 160), 8, "PNG")
        out = Framekit(need_adjust="resize").adjust_size(data)
        assert decode(out).size == (160, 99)
        assert_same_image(out, pillow_adjusted(data, "resize"))

    @pytest.mark.parametrize(
        "exif",
        [
            b"Exif\x00\x00",  # empty
            b"Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x05\x01\x12",  # truncated directory
            b"Exif\x00\x00XX\x00\x2a\x00\x00\x00\x08",  # no byte order
            b"Exif\x00\x00II\x2a\x00\xff\xff\xff\x7f",  # directory far past the end
            # Orientation of type ASCII.
            b"Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x01\x01\x12\x00\x02\x00\x00\x00\x02" + b"6\x00\x00\x00\x00\x00\x00\x00",
        ],
    )
    def test_damaged_exif_counts_as_upright(self, exif):
        picture = noise(120, 90, seed=4).convert("RGB")
        data, plain = encode(picture, "JPEG", exif=exif), encode(picture, "JPEG")
        for need_adjust in ("resize", "fill"):
            out, ratio = Framekit(need_adjust=need_adjust).adjust_size(data, True)
            assert ratio == "4:3"
            assert decode(out).tobytes() == decode(Framekit(need_adjust=need_adjust).adjust_size(plain)).tobytes()
        assert Framekit("3:4").adjust_size(data) is data

    @pytest.mark.parametrize("orientation", [0, 9, 65535])
    def test_out_of_range_orientation_is_ignored(self, orientation):
        picture = noise(120, 90, seed=5).convert("RGB")
        data = with_orientation(picture, orientation)
        out, ratio = Framekit().adjust_size(data, True)
        assert ratio == "4:3" and decode(out).size == (120, 99)
        assert decode(out).tobytes() == decode(Framekit().adjust_size(encode(picture, "JPEG"))).tobytes()


# ---------------------------------------------------------------- faults the round trips cannot see


def zlib_level_hint(data):
    """FLEVEL of the zlib header of the first IDAT (RFC 1950): libdeflate
    writes 1 for its levels 2 to 5 and 2 for levels 6 and 7."""
    first = next(payload for kind, payload in png_chunks(data) if kind == b"IDAT")
    return first[1] >> 6


def test_noisy_pictures_at_the_faster_level_smooth_ones_at_the_thorough_one():
    # Pixels come back the same at any level: only the header tells them apart.
    resize = Framekit(need_adjust="resize")
    noisy, smooth = resize.adjust_size(encode(noise(64, 48))), resize.adjust_size(encode(rgba(64, 48)))
    assert (zlib_level_hint(noisy), zlib_level_hint(smooth)) == (1, 2)  # levels 5 and 6


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])  # pasted, composited
@pytest.mark.parametrize("percent, rows", [
    (60, [None, 0, 1, 2, 3, 4, None, None]),  # 3 rows more: 1 above, 2 below
    (-60, [2, 3]),  # 3 rows fewer: 2 cut above, 1 below
])
def test_an_odd_vertical_difference_leaves_the_extra_row_below(mode, percent, rows):
    # Rows of distinct colours, so that the offset shows row by row.
    source = Image.new(mode, (6, 5))
    source.putdata([(40 * y, 10, 10, 255)[: len(mode)] for y in range(5) for _ in range(6)])
    canvas = decode(Framekit().adjust_size(encode(source), expand_percent=percent))
    assert canvas.size == (6, len(rows))
    shown = [{canvas.getpixel((x, y)) for x in range(6)} for y in range(len(rows))]
    assert shown == [{(255, 255, 255, 0)} if row is None else {(40 * row, 10, 10, 255)} for row in rows]


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.framekit import Framekit

    png = encode(Image.new("RGBA", (6, 4), 7))
    jpeg = encode(Image.new("RGB", (6, 4), 9), "JPEG")
    exif = Image.Exif()
    exif[0x0112] = 6
    phone = encode(Image.new("RGB", (6, 4), 9), "JPEG", exif=exif, icc_profile=b"profile")
    damaged = encode(Image.new("RGB", (6, 4), 9), "JPEG", exif=b"Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x05")
    fill, resize, asked = Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")
    return {
        "Framekit()": lambda: Framekit("1:1", "fill", (0, 0, 0, 0), extra=1),
        "Framekit(bad type)": raises(TypeError, Framekit, 3),
        "_parse_ratio": lambda: Framekit._parse_ratio(" 16:9 "),
        "_parse_ratio(bad)": raises(ValueError, Framekit._parse_ratio, "16 : 9"),
        "_closest": lambda: fill._get_closest_standard_ratio(1920.5, 1080),
        "_closest(zero)": raises(ZeroDivisionError, fill._get_closest_standard_ratio, 1, 0),
        "adjust_size fill": heavy(lambda: fill.adjust_size(png, True)),
        "adjust_size resize": heavy(lambda: resize.adjust_size(jpeg)),
        "adjust_size mismatch": lambda: asked.adjust_size(png, True),
        "adjust_size turned, with profile": heavy(lambda: fill.adjust_size(phone, True)),
        "adjust_size damaged EXIF": heavy(lambda: resize.adjust_size(damaged)),
        "adjust_size(undecodable)": raises(OSError, fill.adjust_size, b"not an image"),
        "adjust_size(bad type)": raises(TypeError, fill.adjust_size, bytearray(png)),
        "adjust_size(crop)": raises(ValueError, Framekit(need_adjust="crop").adjust_size, png),
        "adjust_size(bad call)": raises(TypeError, fill.adjust_size, png, nope=1),
    }


def thread_operations(kit):
    png = encode(Image.new("RGBA", (40, 30), (9, 80, 200, 128)))
    jpeg = encode(Image.new("RGB", (30, 40), (200, 9, 80)), "JPEG")
    fill, resize, asked = Framekit(), Framekit(need_adjust="resize"), Framekit("3:4")
    return {
        "framekit fill": lambda: fill.adjust_size(png, True, 25),
        "framekit resize": lambda: resize.adjust_size(jpeg),
        "framekit mismatch": lambda: asked.adjust_size(png) is png,
        "framekit undecodable": lambda: fill.adjust_size(b"not an image"),
        "framekit parse": lambda: Framekit._parse_ratio(" 21:9 "),
    }


SHUTDOWN = {
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
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN,
    recreated=lambda module, word_file: module.Framekit._parse_ratio("16:9"))
