// pravel.framekit: matches an uploaded image to the nearest standard aspect
// ratio and, when that is the ratio asked for (or none was asked for),
// enlarges its smaller side by resampling ("resize") or by centring it on a
// larger canvas ("fill").
#include <algorithm>

#include "png_writer.hpp"
#include "pravel.hpp"

namespace kind = pv::kind;
using pv::kw;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name BytesIO{"BytesIO"}, Image{"Image"};
    pv::name STANDARD_RATIO_LIST{"STANDARD_RATIO_LIST"}, std_ratio_map{"_std_ratio_map"};
    pv::name parse_ratio{"_parse_ratio"}, closest_ratio{"_get_closest_standard_ratio"};
    pv::name proportion{"proportion"}, need_adjust{"need_adjust"}, fill_color{"fill_color"};
    pv::name kwargs{"kwargs"};
    pv::name getexif{"getexif"}, transpose{"transpose"}, info{"info"}, icc_profile{"icc_profile"};
    pv::name load{"load"}, transparency{"transparency"};
};

// ---------------------------------------------------------------- ratios

constexpr const char* init_doc = R"(
        :param proportion: 目标比例 "3:4"/"1:1"/""空字符串/None
        :param need_adjust: resize / fill
        :param fill_color: 填充背景色 RGBA，默认透明
        )";

bool is_blank(PyObject* text) {
    const auto [begin, end] = pv::strip_bounds(text);
    return begin == end;
}

ref init(state& st, ref self, PyObject* proportion, PyObject* need_adjust, PyObject* fill_color,
         PyObject* kwargs) {
    if (proportion != Py_None && is_blank(proportion)) proportion = Py_None;
    self.setattr(st.proportion, proportion);
    self.setattr(st.need_adjust, need_adjust);
    self.setattr(st.fill_color, fill_color);
    self.setattr(st.kwargs, kwargs);
    // Built from the list as the instance sees it, so a subclass's own list
    // gives its own table; insertion order is the matching's tie-break.
    ref ratio_map = pv::dict();
    self.setattr(st.std_ratio_map, ratio_map.get());
    pv::for_each(self.attr(st.STANDARD_RATIO_LIST).get(), [&](ref ratio) {
        auto [w, h] = pv::unpack<2>(self.call_method(st.parse_ratio, ratio).get());
        ratio_map.setitem(ratio.get(), (w / h).get());
    });
    return pv::none();
}

constexpr const char* parse_ratio_doc = "解析 3:4 -> (3,4)";

// "(\d+):(\d+)" matched at the start of the stripped text. \d is the regular
// expression engine's decimal digit (any Unicode Nd character), which int()
// accepts as well.
ref parse_ratio(state&, ref ratio_str) {
    PyObject* text = ratio_str.get();
    const int k = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const auto [begin, end] = pv::strip_bounds(text);
    auto digits = [&](Py_ssize_t from) {
        Py_ssize_t i = from;
        while (i < end && Py_UNICODE_ISDECIMAL(PyUnicode_READ(k, data, i))) ++i;
        return i;
    };
    const Py_ssize_t first_end = digits(begin);
    const bool colon =
        first_end > begin && first_end < end && PyUnicode_READ(k, data, first_end) == ':';
    const Py_ssize_t second_end = colon ? digits(first_end + 1) : first_end;
    if (!colon || second_end == first_end + 1)
        pv::raise_with(PyExc_ValueError,
                       (pv::str("比例格式错误 ") + ratio_str + pv::str("，示例：3:4")).get());
    auto number = [&](Py_ssize_t from, Py_ssize_t to) {
        ref run = ref::steal(PyUnicode_Substring(text, from, to));
        return ref::steal(PyLong_FromUnicodeObject(run.get(), 10));
    };
    return pv::tuple(number(begin, first_end), number(first_end + 1, second_end));
}

constexpr const char* closest_ratio_doc =
    "计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串";

// Smallest absolute difference of width/height quotients; strict
// comparison, so a tie keeps the entry that comes first.
ref closest_standard_ratio(state& st, ref self, ref width, ref height) {
    ref img_ratio = width / height;
    ref best_ratio = self.attr(st.STANDARD_RATIO_LIST).item(0);
    ref min_diff = pv::real(Py_HUGE_VAL);
    ref items = self.attr(st.std_ratio_map).call_method("items");
    pv::for_each(items.get(), [&](ref item) {
        auto [ratio, value] = pv::unpack<2>(item.get());
        ref diff = pv::abs(img_ratio - value);
        if (diff < min_diff) {
            min_diff = diff;
            best_ratio = ratio;
        }
    });
    return best_ratio;
}

// ---------------------------------------------------------------- adjustment

constexpr const char* adjust_size_doc = R"(
        调整图片尺寸
        1. proportion存在有效值：
           - 若与原图最接近标准比例不一致 → 直接返回原图不处理
           - 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充
        2. proportion="" / None 且 need_adjust="fill"：
           - 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸
        3. proportion="" / None 且 need_adjust="resize"：沿用原有逻辑

        :param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小
        )";

// int(side * scale): the float product truncated toward zero.
ref scaled(const ref& side, double scale) {
    return ref::steal(PyLong_FromDouble(pv::int_to_double(side.get()) * scale));
}

// The smaller side grows by `scale` (both sides of a square).
ref grown_size(const ref& w, const ref& h, double scale) {
    if (w < h) return pv::tuple(scaled(w, scale), h);
    if (h < w) return pv::tuple(w, scaled(h, scale));
    return pv::tuple(scaled(w, scale), scaled(h, scale));
}

// True when `opened` converts to RGBA with every pixel opaque and by
// repeating or copying its channels: RGB and L without a transparent colour.
bool is_opaque(state& st, const ref& opened) {
    ref mode = opened.attr("mode");
    if (!pv::equal(mode, "RGB") && !pv::equal(mode, "L")) return false;
    const int transparent = PySequence_Contains(opened.attr(st.info).get(), st.transparency.get());
    if (transparent < 0) pv::fail();
    return !transparent;
}

// The EXIF orientation (tag 0x0112) of an opened image when it is one that
// turns or mirrors the picture (2 to 8), else 1. A missing or damaged EXIF
// block, or a value out of range, counts as upright: the picture itself
// decoded, and an unreadable tag must not fail the call.
long exif_orientation(state& st, const ref& opened) {
    long orientation = 1;
    // Only the parser's complaints are ignored, not KeyboardInterrupt or MemoryError.
    pv::succeeds([&] {
        ref value = opened.call_method(st.getexif).call_method("get", pv::integer(0x0112));
        if (PyLong_CheckExact(value.get())) {
            const long v = pv::to_long(value.get());
            if (v >= 2 && v <= 8) orientation = v;
        }
    });
    return orientation;
}

// The picture as viewers show it: `image` turned or mirrored as its EXIF
// orientation says (the transposition ImageOps.exif_transpose applies).
ref upright(state& st, const ref& image, long orientation) {
    static constexpr const char* transposition[] = {
        nullptr,     nullptr,      "FLIP_LEFT_RIGHT", "ROTATE_180", "FLIP_TOP_BOTTOM",
        "TRANSPOSE", "ROTATE_270", "TRANSVERSE",      "ROTATE_90"};
    if (orientation == 1) return image;
    ref method = st.global(st.Image).attr("Transpose").attr(transposition[orientation]);
    return image.call_method(st.transpose, method);
}

ref adjust_size(state& st, ref self, ref image_bytes, bool return_origin_ratio,
                double expand_percent) {
    const double expand_scale = 1 + expand_percent / 100;
    ref Image = st.global(st.Image);
    // Decoded on every path, so bytes that are no image always fail.
    ref stream = st.global(st.BytesIO)(image_bytes);
    ref opened = Image.attr("open")(stream);
    // A picture without alpha (a JPEG photo, say) is opaque once converted to
    // RGBA, and for RGB and L the conversion commutes with transposing and
    // resampling, which treat each channel alike. Such a picture is worked on
    // as decoded and converted last: the same pixels, without Pillow's
    // premultiplied-alpha round trip around the resampling or the blending of
    // a composite.
    const bool opaque = is_opaque(st, opened);
    ref image = opaque ? opened : opened.call_method("convert", "RGBA");
    if (opaque) opened.call_method(st.load);
    // Sizes, ratios and pixels are those of the picture as it is shown.
    image = upright(st, image, exif_orientation(st, opened));
    // From here on the working image is all that is needed of the upload:
    // the decoded picture goes as soon as nothing refers to it.
    opened = ref();
    stream = ref();
    // The format is the converted image's, which has none.
    ref format = opaque ? pv::none() : image.attr("format");
    auto [ori_w, ori_h] = pv::unpack<2>(image.attr("size").get());
    ref ori_closest_ratio = self.call_method(st.closest_ratio, ori_w, ori_h);

    ref proportion = self.attr(st.proportion);
    if (!proportion.is_none() && !pv::equal(proportion, ori_closest_ratio)) {
        // The stream's whole content is the caller's own bytes object.
        if (return_origin_ratio) return pv::tuple(image_bytes, proportion);
        return image_bytes;
    }
    self.call_method(st.parse_ratio, proportion.is_none() ? ori_closest_ratio : proportion);

    ref result;
    ref need_adjust = self.attr(st.need_adjust);
    if (pv::equal(need_adjust, "resize")) {
        ref lanczos = Image.attr("Resampling").attr("LANCZOS");
        result = image.call_method("resize", grown_size(ori_w, ori_h, expand_scale), lanczos);
        // An opaque RGB result stays RGB: the PNG writer adds the alpha as
        // it reads the rows (a copy less), and whatever it does not take is
        // converted below.
        if (opaque && !pv::equal(result.attr("mode"), "RGB"))
            result = result.call_method("convert", "RGBA");
    } else if (pv::equal(need_adjust, "fill")) {
        auto [expand_w, expand_h] = pv::unpack<2>(grown_size(ori_w, ori_h, expand_scale).get());
        ref width = image.attr("width"), height = image.attr("height");
        result = Image.attr("new")("RGBA", pv::tuple(expand_w, expand_h), self.attr(st.fill_color));
        // The canvas keeps the picture's colour profile, as a resized image does.
        ref info = image.attr(st.info);
        if (PyDict_Check(info.get())) {
            PyObject* icc = PyDict_GetItemWithError(info.get(), st.icc_profile.get());  // borrowed
            if (icc)
                result.attr(st.info).setitem(st.icc_profile.get(), icc);
            else if (PyErr_Occurred())
                pv::fail();
        }
        ref paste_x = pv::floordiv(expand_w - width, 2);
        ref paste_y = pv::floordiv(expand_h - height, 2);
        // The image is composited over the canvas, so semi-transparent pixels
        // keep their colour and alpha; an opaque one covers what it is
        // composited over, which pasting does in a copy. alpha_composite takes
        // no negative offsets: the part of the image left or above the canvas
        // becomes a source offset instead.
        if (opaque) {
            // Pasting converts the picture to the canvas's mode first: pasted
            // in bands of rows, only a band's copy exists at a time, not a
            // second picture. The pixels are those of one paste. A band (its
            // crop and that converted) is kept to about 1 MiB: at 4 MiB, a
            // phone's portrait is two bands, and the band costs half a picture.
            const long rows = PyLong_AsLong(height.get()), cols = PyLong_AsLong(width.get());
            if ((rows == -1 || cols == -1) && PyErr_Occurred()) pv::fail();
            const long band = std::max(1L, (1L << 20) / (std::max(1L, cols) * 4));
            if (rows <= band) {
                result.call_method("paste", image, pv::tuple(paste_x, paste_y));
            } else {
                for (long top = 0; top < rows; top += band) {
                    const long bottom = std::min(rows, top + band);
                    ref piece = image.call_method("crop", pv::tuple(0, top, width, bottom));
                    result.call_method("paste", piece,
                                       pv::tuple(paste_x, paste_y + pv::integer(top)));
                }
            }
        } else {
            ref zero = pv::integer(0);
            auto clip = [&](const ref& v) { return v < zero ? zero : v; };
            auto cut = [&](const ref& v) {
                return v < zero ? ref::steal(PyNumber_Negative(v.get())) : zero;
            };
            result.call_method("alpha_composite", image, pv::tuple(clip(paste_x), clip(paste_y)),
                               pv::tuple(cut(paste_x), cut(paste_y)));
        }
    } else {
        pv::raise_with(PyExc_ValueError, pv::str("need_adjust 仅支持 resize / fill").get());
    }
    image = ref();

    // PNG, the format in practice, comes from the native writer when it takes
    // the image (it lets go of `result` once it has read it); everything else
    // is saved by Pillow as ever.
    ref result_bytes;
    if (!format.truthy() || pv::equal(format, "PNG"))
        result_bytes = png::encode(result, Image, st.global(st.BytesIO));
    if (!result_bytes) {
        if (opaque && !pv::equal(result.attr("mode"), "RGBA"))
            result = result.call_method("convert", "RGBA");
        ref out = st.global(st.BytesIO)();
        result.call_method("save", out, kw("format", format.truthy() ? format : pv::str("PNG")),
                           kw("quality", 95));
        result_bytes = out.call_method("getvalue");
    }
    if (return_origin_ratio) return pv::tuple(result_bytes, ori_closest_ratio);
    return result_bytes;
}

void exec(state& st) {
    st.import_from("io", {"BytesIO"});
    st.import_from("typing", {"Optional", "Tuple"});
    st.import_from("PIL", {"Image"});
    st.import_module("re");
    st.import_module("math");

    ref standard_ratios = pv::list();
    for (const char* r : {"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"})
        pv::check(PyList_Append(standard_ratios.get(), pv::str(r).get()));

    st.publish(
        "Framekit",
        pv::class_builder(st, "Framekit")
            .attr("STANDARD_RATIO_LIST", standard_ratios)
            .method<init>("__init__", init_doc, kind::opt_str{"proportion", "None"},
                          kind::str{"need_adjust", "'fill'"},
                          kind::any{"fill_color", "(255, 255, 255, 0)"},
                          kind::var_keywords{"kwargs"})
            .static_method<parse_ratio>("_parse_ratio", parse_ratio_doc, kind::str{"ratio_str"},
                                        pv::returns{"Tuple[int, int]"})
            .method<closest_standard_ratio>("_get_closest_standard_ratio", closest_ratio_doc,
                                            kind::integer{"width"}, kind::integer{"height"},
                                            pv::returns{"str"})
            .method<adjust_size>("adjust_size", adjust_size_doc, kind::bytes{"image_bytes"},
                                 kind::truth{"return_origin_ratio", "False"},
                                 kind::real{"expand_percent", "10.0"})
            .finish());
}

}  // namespace

PRAVEL_MODULE(framekit, "pravel.framekit", state, exec)
