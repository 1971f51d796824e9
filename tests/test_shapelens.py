import functools
import inspect
import io
import random
from types import SimpleNamespace

import pytest
from PIL import Image, UnidentifiedImageError, features

from support import Operations, encode, in_threads, raises, wrong_type
from pravel import shapelens
from pravel.shapelens import ImageShapelens

FORMATS = ["PNG", "JPEG", "GIF", "BMP", "TIFF", "PPM", "TGA"] + (["WEBP"] if features.check("webp") else [])


@functools.lru_cache(maxsize=None)
def encoded(width, height, fmt="PNG"):
    out = io.BytesIO()
    Image.new("L", (width, height), 128).save(out, fmt)
    return out.getvalue()


@pytest.fixture
def fake_header(monkeypatch):
    """Replaces the image library with one whose images only know a size."""
    class FakeImage:
        def __init__(self, stream):
            self.size = sizes[stream.getvalue()]
        def __enter__(self):
            return self
        def __exit__(self, *exc):
            return False
    sizes = {}
    monkeypatch.setattr(shapelens, "Image", SimpleNamespace(open=FakeImage))
    def make(width, height):
        key = f"{width}x{height}".encode()
        sizes[key] = (width, height)
        return key
    return make


def model_approx(width, height, limit):
    target, best, min_error = width / height, (width, height), float("inf")
    for i in range(1, limit + 1):
        for j in range(1, limit + 1):
            if abs(i / j - target) < min_error:
                min_error, best = abs(i / j - target), (i, j)
    return "%d:%d" % best


class TestRatios:
    @pytest.mark.parametrize("size, bound, exact, approx", [
        ((1920, 1080), 10, "16:9", "9:5"), ((1920, 1080), 16, "16:9", "16:9"),
        ((1080, 1920), 10, "9:16", "5:9"), ((1280, 720), 10, "16:9", "9:5"),
        ((1366, 768), 10, "683:384", "9:5"), ((1366, 768), 16, "683:384", "16:9"),
        ((1000, 1000), 10, "1:1", "1:1"), ((3000, 2000), 10, "3:2", "3:2"),
        ((1024, 768), 10, "4:3", "4:3"), ((100, 1), 10, "100:1", "10:1"),
        ((1170, 2532), 10, "195:422", "4:9"), ((1920, 1080), 1, "16:9", "1:1"),
        ((1920, 1080), 0, "16:9", "1920:1080"), ((1920, 1080), -4, "16:9", "1920:1080"),
        ((300, 200), 2, "3:2", "1:1"), ((2000, 1000), 10, "2:1", "2:1"),
    ])
    def test_table(self, size, bound, exact, approx):
        data = encoded(*size, FORMATS[hash(size) % len(FORMATS)])
        lens = ImageShapelens(bound)
        assert (lens.get_raw_simple_ratio(data), lens.get_approx_simple_ratio(data)) == (exact, approx)

    @pytest.mark.parametrize("fmt", FORMATS)
    def test_every_format_reads_the_header(self, fmt):
        lens = ImageShapelens()
        assert lens.get_raw_simple_ratio(encoded(64, 48, fmt)) == "4:3"
        assert lens.get_approx_simple_ratio(encoded(48, 64, fmt)) == "3:4"

    def test_matches_a_model_of_the_scan(self, fake_header):
        rng = random.Random(7)
        for _ in range(300):
            width, height = rng.randint(1, 5000), rng.randint(1, 5000)
            bound = rng.choice([1, 2, 3, 7, 10, 16, 33])
            assert ImageShapelens(bound).get_approx_simple_ratio(fake_header(width, height)) == \
                model_approx(width, height, bound), (width, height, bound)

    @pytest.mark.parametrize("size", [(2039, 2029), (1998, 1999), (1998, 601)])
    def test_long_scans_keep_late_exact_matches(self, fake_header, size):
        # Millions of pairs; the only exact match lies deep in the scan.
        assert ImageShapelens(2100).get_approx_simple_ratio(fake_header(*size)) == "%d:%d" % size

    def test_later_assignment_takes_effect(self):
        lens, data = ImageShapelens(), encoded(1920, 1080)
        lens.approx_search_range = 16
        assert lens.get_approx_simple_ratio(data) == "16:9"
        lens.approx_search_range = True
        assert lens.get_approx_simple_ratio(data) == "1:1"
        lens.approx_search_range = 5.0
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            lens.get_approx_simple_ratio(data)
        lens.approx_search_range = 10**40  # unreachable: the image must fail first
        with pytest.raises(UnidentifiedImageError):
            lens.get_approx_simple_ratio(b"no image")

    def test_concurrent_calls(self, fake_header):
        lens, data = ImageShapelens(300), fake_header(1920, 1080)
        assert in_threads(lambda _: lens.get_approx_simple_ratio(data)) == ["16:9"] * 4


class TestGcd:
    @pytest.mark.parametrize("a, b, expected", [
        (12, 18, 6), (7, 0, 7), (0, 5, 5), (0, 0, 0), (-12, 18, 6), (12, -18, -6),
        (-(2**63), -1, -1), (-(2**63), 0, -(2**63)), (2**63, 2**62, 2**62),
        (3**100 * 2**70, 3**90 * 2**80 * 5, 3**90 * 2**70), (7.9, 2.5, 1), (True, 4, 1),
    ])
    def test_host_integer_semantics(self, a, b, expected):
        result = ImageShapelens._gcd(a, b)
        assert result == expected and type(result) is int
        assert ImageShapelens()._gcd(a=a, b=b) == expected  # through an instance, by keyword

    def test_matches_euclid_on_host_integers(self):
        def euclid(a, b):
            while b:
                a, b = b, a % b
            return a
        rng = random.Random(3)
        for _ in range(2000):
            bits = rng.choice([8, 62, 64, 65, 200])
            a, b = (rng.randint(-(2**bits), 2**bits) for _ in range(2))
            assert ImageShapelens._gcd(a, b) == euclid(a, b), (a, b)

    def test_subclass_override_is_used(self):
        class Halving(ImageShapelens):
            @staticmethod
            def _gcd(a, b):
                return 2
        assert Halving().get_raw_simple_ratio(encoded(1920, 1080)) == "960:540"


class TestArguments:
    @pytest.mark.parametrize("value", [bytearray(encoded(4, 3)), memoryview(encoded(4, 3)), None,
                                       type("Blob", (bytes,), {})(encoded(4, 3))])
    def test_image_bytes_must_be_exactly_bytes(self, value):
        message = wrong_type("image_bytes", "bytes", value)
        for method in (ImageShapelens().get_raw_simple_ratio, ImageShapelens().get_approx_simple_ratio):
            with pytest.raises(TypeError) as info:
                method(value)
            assert str(info.value) == message

    def test_integer_parameters(self):
        assert ImageShapelens(7.9).approx_search_range == 7
        assert ImageShapelens(approx_search_range=False).approx_search_range == 0
        assert ImageShapelens().approx_search_range == 10
        for bad in ("10", None):
            with pytest.raises(TypeError, match=r"expected int, got"):
                ImageShapelens(bad)
        with pytest.raises(TypeError, match=r"expected int, got str"):
            ImageShapelens._gcd(1, "2")

    def test_documentation_and_annotations(self):
        def lines(obj):
            return [line.strip() for line in obj.__doc__.splitlines() if line.strip()]
        assert lines(ImageShapelens)[0] == "图片比例分析工具。"
        assert lines(ImageShapelens.__init__) == ["图片比例分析类", ":param approx_search_range: 近似比例搜索整数范围，默认1~10"]
        assert ImageShapelens._gcd.__doc__ == "计算最大公约数"
        assert lines(ImageShapelens.get_raw_simple_ratio)[-1] == '最简比例字符串，如 "16:9"'
        assert lines(ImageShapelens.get_approx_simple_ratio)[-1] == '近似比例字符串，如 "2:3"、"16:9"'
        assert ImageShapelens.__init__.__annotations__ == {"approx_search_range": "int"}
        assert ImageShapelens._gcd.__annotations__ == {"a": "int", "b": "int", "return": "int"}
        assert str(inspect.signature(ImageShapelens.get_approx_simple_ratio)) == "(self, image_bytes: 'bytes') -> 'str'"


class TestImageHandling:
    @pytest.fixture
    def opened(self, monkeypatch):
        """Records every stream and image the module opens."""
        record = SimpleNamespace(streams=[], images=[])
        class Stream(io.BytesIO):
            def __init__(self, data):
                super().__init__(data)
                record.streams.append(self)
        def open_image(fp):
            record.images.append(Image.open(fp))
            return record.images[-1]
        monkeypatch.setattr(shapelens, "BytesIO", Stream)
        monkeypatch.setattr(shapelens, "Image", SimpleNamespace(open=open_image))
        return record

    def test_closed_before_arithmetic(self, opened):
        class Checking(ImageShapelens):
            @staticmethod
            def _gcd(a, b):
                assert opened.streams[-1].closed and opened.images[-1].fp is None
                return ImageShapelens._gcd(a, b)
        assert Checking().get_raw_simple_ratio(encoded(40, 30)) == "4:3"

    def test_closed_when_a_later_step_fails(self, opened):
        class Failing(ImageShapelens):
            @staticmethod
            def _gcd(a, b):
                raise RuntimeError("boom")
        with pytest.raises(RuntimeError):
            Failing().get_raw_simple_ratio(encoded(40, 30))
        with pytest.raises(UnidentifiedImageError):
            ImageShapelens().get_approx_simple_ratio(b"\x89PNG but not really")
        assert len(opened.streams) == 2 and all(s.closed for s in opened.streams)

    def test_pixels_are_not_decoded(self):
        # A truncated PNG still has a complete header.
        data = encoded(640, 480)
        assert ImageShapelens().get_approx_simple_ratio(data[: len(data) // 2]) == "4:3"


# ---------------------------------------------------------------- what the cross-cutting suites run


def leak_operations(kit):
    from pravel.shapelens import ImageShapelens

    png, lens = encode(Image.new("L", (1366, 768), 7)), ImageShapelens()
    return {
        "ImageShapelens()": lambda: ImageShapelens(7.9),
        "ImageShapelens(bad)": raises(TypeError, ImageShapelens, "10"),
        "_gcd": lambda: ImageShapelens._gcd(2**80 * 6, -(2**70) * 4),
        "raw ratio": lambda: lens.get_raw_simple_ratio(png),
        "approx ratio": lambda: lens.get_approx_simple_ratio(png),
        "ratio(undecodable)": raises(OSError, lens.get_approx_simple_ratio, b"junk"),
        "ratio(bad type)": raises(TypeError, lens.get_raw_simple_ratio, None),
    }


def thread_operations(kit):
    wide, lens = encode(Image.new("L", (1366, 768), 90)), ImageShapelens()
    return {
        "shapelens raw": lambda: lens.get_raw_simple_ratio(wide),
        "shapelens approx": lambda: lens.get_approx_simple_ratio(wide),
        "shapelens gcd": lambda: ImageShapelens._gcd(2**90 * 6, 2**70 * 4),
    }


SHUTDOWN = {
    "shapelens get_approx_simple_ratio": """
        from pravel.shapelens import ImageShapelens
        png = photo_png(1366, 768)
        lens = ImageShapelens(10_000)
        in_daemon_thread(lambda: lens.get_approx_simple_ratio(png))
    """,
}

OPERATIONS = Operations(
    leaks=leak_operations, threads=thread_operations, shutdown=SHUTDOWN,
    recreated=lambda module, word_file: module.ImageShapelens._gcd(1920, 1080))
