// pravel.orvid: output sizes the Orvid image model accepts (edges multiples
// of 16, longer edge at most 3840, quotient at most 3, pixel count within
// bounds), from an aspect-ratio string and a resolution tier.
//
// Every operation reads the constants and the other class methods through
// the class it was called on. Two paths compute the same thing:
//  * the host path works on Python objects, step by step as the algorithm
//    reads, so any numbers and any subclass get the host's exact semantics;
//  * the native path does the same arithmetic on doubles. It is taken only
//    when every number involved is a plain int below 2**53 or a finite
//    float, where each host operation used here (int/int true division,
//    int*float, int-float comparison, round, floor, int) gives exactly the
//    double result. Whenever it would leave that ground, or the host would
//    raise, it hands the call to the host path, which starts over.
#include "guards.hpp"
#include "pravel.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <optional>

namespace kind = pv::kind;
using pv::ref;

namespace {

// ---------------------------------------------------------------- class view

// What the native path needs from a class: its constants as doubles, and
// whether the class methods the algorithm calls are still ours.
struct limits {
    double min_pixels, max_pixels, max_edge, multiple, max_ratio;
};

struct class_view {
    PyObject* cls = nullptr;       // identity only, never dereferenced
    unsigned int version = 0;      // 0: not to be kept
    bool plain_constants = false;  // `lim` and `preset` are usable
    bool own_helpers = false;      // round/floor/is_valid not overridden
    limits lim{};
    PyObject* preset = nullptr;  // borrowed: an exact dict held by the class
};

// Recent results of the native path. A service asks for the same few ratios
// and tiers over and over, and copying a finished dictionary costs a
// fraction of filling a new one. A result is keyed by everything its numbers
// depend on: the class (as of its version), the two terms and the target.
class recent_results {
public:
    struct key {
        PyObject* cls;  // identity only
        unsigned int version;
        double w_term, h_term, target;
        bool operator==(const key&) const = default;
    };

    // A copy of the result kept for `k`, holding the caller's own strings as
    // a freshly made one would; empty when there is none.
    ref find(const key& k, const ref& aspect_ratio, const ref& resolution,
             const pv::name& aspect_ratio_key, const pv::name& resolution_key) {
        entry* set = set_of(k);
        entry* found = std::find_if(set, set + ways, [&](const entry& e) { return e.k == k; });
        if (found == set + ways) return {};
        std::rotate(set, found, found + 1);  // most recently used first
        const entry kept = set[0];           // a copy: copying the dictionary may run code
        ref result = ref::steal(PyDict_Copy(kept.result.get()));
        if (kept.aspect_ratio != aspect_ratio.get())
            pv::check(PyDict_SetItem(result.get(), aspect_ratio_key.get(), aspect_ratio.get()));
        if (kept.resolution != resolution.get())
            pv::check(PyDict_SetItem(result.get(), resolution_key.get(), resolution.get()));
        return result;
    }

    void keep(const key& k, const ref& result, const ref& aspect_ratio, const ref& resolution) {
        entry fresh{k, ref::steal(PyDict_Copy(result.get())), aspect_ratio.get(), resolution.get()};
        entry* set = set_of(k);
        std::rotate(set, set + ways - 1, set + ways);  // the least recently used goes
        set[0] = std::move(fresh);
    }

    // Each entry's result; an entry whose result is cleared is empty.
    void references(const std::function<void(ref&)>& each) {
        for (entry& e : entries_) {
            each(e.result);
            if (!e.result) e = entry{};
        }
    }

private:
    static constexpr size_t ways = 4;
    struct entry {
        key k{};
        ref result;                        // never handed out
        PyObject* aspect_ratio = nullptr;  // the strings in `result`
        PyObject* resolution = nullptr;
    };
    entry entries_[128];

    entry* set_of(const key& k) {
        std::uint64_t hash = reinterpret_cast<std::uintptr_t>(k.cls) ^ k.version;
        for (double d : {k.w_term, k.h_term, k.target})
            hash = (hash ^ (hash >> 29)) * 0x9E3779B97F4A7C15u ^ std::bit_cast<std::uint64_t>(d);
        hash = (hash ^ (hash >> 29)) * 0x9E3779B97F4A7C15u;
        return &entries_[(hash >> 32) % (std::size(entries_) / ways) * ways];
    }
};

struct state : pv::state_base {
    pv::name MIN_PIXELS{"MIN_PIXELS"}, MAX_PIXELS{"MAX_PIXELS"}, MAX_EDGE{"MAX_EDGE"};
    pv::name MULTIPLE{"MULTIPLE"}, MAX_RATIO{"MAX_RATIO"};
    pv::name RESOLUTION_PRESET{"RESOLUTION_PRESET"};
    pv::name round_to_multiple{"round_to_multiple"}, floor_to_multiple{"floor_to_multiple"};
    pv::name is_valid_image_size{"is_valid_image_size"};
    pv::name math{"math"}, sqrt{"sqrt"}, floor{"floor"}, round{"round"};
    pv::name lower{"lower"}, get{"get"};
    pv::name tier_1k{"1k"}, tier_2k{"2k"}, tier_4k{"4k"};
    pv::name width{"width"}, height{"height"}, size{"size"}, pixels{"pixels"};
    pv::name aspect_ratio{"aspect_ratio"}, resolution{"resolution"}, valid{"valid"};

    // Views of the last few classes seen, keyed by the class and its type
    // version tag: CPython gives a class a new tag whenever it or one of its
    // bases is changed, so a matching tag means the same attributes.
    class_view views[4];
    unsigned next_view = 0;

    // The result's keys in order; each result starts as a copy of it, which
    // is quicker than growing a new dictionary key by key.
    ref result_template;

    recent_results recent;

    void references(const std::function<void(pv::ref&)>& each) override {
        each(result_template);
        recent.references(each);
    }
};

constexpr double exact_limit = 9007199254740992.0;  // 2**53

bool exact(double v) { return std::fabs(v) < exact_limit; }

// A host number the native path can stand in for.
bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return std::isfinite(out);
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        out = static_cast<double>(v);
        return !overflow && exact(out);
    }
    return false;
}

ref round_to_multiple(state& st, ref cls, ref value, ref multiple);
ref floor_to_multiple(state& st, ref cls, ref value, ref multiple);
ref is_valid_image_size(state& st, ref cls, ref width, ref height);

class_view inspect_class(const state& st, const ref& cls) {
    class_view v;
    if (!pv::guard::plain_class(cls.get())) return v;
    // Only plain values count: for those the raw entry is what the class
    // attribute gives.
    auto raw = [&](const pv::name& name) { return pv::guard::class_entry(cls.get(), name.get()); };
    auto number = [&](const pv::name& name, double& out) {
        PyObject* o = raw(name);
        return o && plain_number(o, out);
    };
    PyObject* preset = raw(st.RESOLUTION_PRESET);  // the lookup gives the class its tag
    const unsigned int version = pv::guard::version(cls.get());
    v.plain_constants =
        preset && PyDict_CheckExact(preset) && number(st.MIN_PIXELS, v.lim.min_pixels) &&
        number(st.MAX_PIXELS, v.lim.max_pixels) && number(st.MAX_EDGE, v.lim.max_edge) &&
        number(st.MULTIPLE, v.lim.multiple) && number(st.MAX_RATIO, v.lim.max_ratio) &&
        v.lim.multiple > 0;
    v.preset = preset;
    using pv::guard::own_class_method;
    v.own_helpers = own_class_method<round_to_multiple>(st, cls, st.round_to_multiple.get()) &&
                    own_class_method<floor_to_multiple>(st, cls, st.floor_to_multiple.get()) &&
                    own_class_method<is_valid_image_size>(st, cls, st.is_valid_image_size.get());
    // Binding the methods may run code (a finalizer): trust the view only if
    // the class stayed as it was. Without a tag there is no telling.
    if (version == 0 || version != pv::guard::version(cls.get())) return class_view{};
    v.cls = cls.get();
    v.version = version;
    return v;
}

// A copy: the caller may run code that reuses the slot.
class_view view_of(state& st, const ref& cls) {
    if (pv::guard::plain_class(cls.get())) {
        const unsigned int version = pv::guard::version(cls.get());
        for (const class_view& v : st.views)
            if (v.cls == cls.get() && v.version == version && version != 0) return v;
    }
    class_view v = inspect_class(st, cls);
    if (v.version != 0) st.views[st.next_view++ % std::size(st.views)] = v;
    return v;
}

// ---------------------------------------------------------------- native arithmetic

// The host's round(): nearest integer, exact halves to the even neighbour.
double round_half_even(double x) {
    double r = std::round(x);
    if (std::fabs(x - r) == 0.5) r = 2.0 * std::round(x / 2.0);
    return r;
}

// int(max(multiple, int(n * multiple))) for the integral quotient n. The
// result must be an exact int below 2**53 too: a float step can be far larger.
std::optional<double> scaled_up(double n, double multiple) {
    if (!std::isfinite(n)) return {};  // round()/floor() raise
    const double val = std::trunc(n * multiple);
    if (!exact(val)) return {};
    const double result = std::trunc(val > multiple ? val : multiple);
    if (!exact(result)) return {};
    return result;
}

std::optional<double> round_native(double value, double multiple) {
    return scaled_up(round_half_even(value / multiple), multiple);
}

std::optional<double> floor_native(double value, double multiple) {
    return scaled_up(std::floor(value / multiple), multiple);
}

// `value % multiple == 0` for an integral value below 2**53: the host's int
// and float remainders are zero exactly when fmod() is, which is exact.
bool is_multiple(double value, double multiple) {
    if (multiple == std::trunc(multiple) && exact(multiple))
        return static_cast<long long>(value) % static_cast<long long>(multiple) == 0;
    return std::fmod(value, multiple) == 0;
}

// is_valid_image_size for integral width and height.
std::optional<bool> valid_native(double width, double height, const limits& lim) {
    const double pixels = width * height;
    const double long_edge = height > width ? height : width;
    const double short_edge = height < width ? height : width;
    if (!exact(pixels) || short_edge == 0) return {};
    const double ratio = long_edge / short_edge;
    const bool edge_ok = long_edge <= lim.max_edge;
    const bool width_aligned = is_multiple(width, lim.multiple);
    const bool height_aligned = is_multiple(height, lim.multiple);
    const bool ratio_ok = ratio <= lim.max_ratio;
    const bool pixels_ok = lim.min_pixels <= pixels && pixels <= lim.max_pixels;
    return edge_ok && width_aligned && height_aligned && ratio_ok && pixels_ok;
}

enum class outcome { done, too_wide, host };

struct final_size {
    double width, height;
    bool valid;
};

outcome calc_native(double rw, double rh, double target_pixels, const limits& lim,
                    final_size& out) {
    if (rw == 0 || rh == 0) return outcome::host;  // the host's division error
    const double ratio = rw / rh;
    const double long_r = rh > rw ? rh : rw, short_r = rh < rw ? rh : rw;
    if (long_r / short_r > lim.max_ratio) return outcome::too_wide;
    // max(MIN_PIXELS, min(target_pixels, MAX_PIXELS))
    double target = lim.max_pixels < target_pixels ? lim.max_pixels : target_pixels;
    target = target > lim.min_pixels ? target : lim.min_pixels;
    const double area = target * ratio;
    if (area < 0) return outcome::host;  // math domain error
    double w = std::sqrt(area);
    double h = w / ratio;

    bool found = false;
    for (int pass = 0; pass < 20; ++pass) {
        const auto w_align = round_native(w, lim.multiple);
        const auto h_align = round_native(h, lim.multiple);
        if (!w_align || !h_align) return outcome::host;
        const double current_pixels = *w_align * *h_align;
        const auto valid = valid_native(*w_align, *h_align, lim);
        if (!valid || !exact(current_pixels)) return outcome::host;
        if (*valid) {
            w = *w_align;
            h = *h_align;
            found = true;
            break;
        }
        double scale;
        const double long_e = h > w ? h : w;
        if (current_pixels > lim.max_pixels) {
            const double share = lim.max_pixels / current_pixels;
            if (share < 0) return outcome::host;
            scale = std::sqrt(share) * 0.999;
        } else if (long_e > lim.max_edge) {
            if (long_e == 0) return outcome::host;
            scale = lim.max_edge / long_e;
        } else if (current_pixels < lim.min_pixels) {
            const double share = lim.min_pixels / current_pixels;
            if (current_pixels == 0 || share < 0) return outcome::host;
            scale = std::sqrt(share);
        } else {
            const auto w_floor = floor_native(w, lim.multiple);
            const auto h_floor = floor_native(h, lim.multiple);
            if (!w_floor || !h_floor) return outcome::host;
            w = *w_floor;
            h = *h_floor;
            continue;
        }
        w *= scale;
        h *= scale;
    }
    if (!std::isfinite(w) || !std::isfinite(h)) return outcome::host;
    out.width = std::trunc(w);
    out.height = std::trunc(h);
    if (!exact(out.width) || !exact(out.height)) return outcome::host;
    // A size found legal is checked again by the host: same pair, same answer.
    const auto valid = found ? std::optional<bool>(true) : valid_native(out.width, out.height, lim);
    if (!valid) return outcome::host;
    out.valid = *valid;
    return outcome::done;
}

// An integral double below 2**53 (checked by every caller) as a host int.
ref integer_of(double v) { return pv::integer(static_cast<long long>(v)); }

// ---------------------------------------------------------------- host arithmetic

// The builtins max() and min() on two values: the first one wins a tie.
ref host_max(const ref& a, const ref& b) { return b > a ? b : a; }
ref host_min(const ref& a, const ref& b) { return b < a ? b : a; }

ref host_int(const ref& v) {
    return PyLong_CheckExact(v.get()) ? v : ref::steal(PyNumber_Long(v.get()));
}

ref host_sqrt(state& st, const ref& v) { return st.global(st.math).attr(st.sqrt)(v); }

// int(max(multiple, int(n * multiple))): the alignment's last steps.
ref host_scaled_up(const ref& n, const ref& multiple) {
    ref val = host_int(n * multiple);
    return host_int(host_max(multiple, val));
}

// ---------------------------------------------------------------- operations

constexpr const char* class_doc = R"(
    Orvid 尺寸计算器
    功能：
    - 根据 aspect_ratio + resolution 自动生成合法尺寸
    - 自动满足约束：
    * 最大边 <= 3840
    * 宽高为16倍数
    * 宽高比 <= 3:1
    * 总像素 655360 ≤ pixels ≤ 8294400
    )";

ref init(state&, ref) { return pv::none(); }

// The step of an alignment as a double, when the native path can use it.
std::optional<double> native_step(state& st, const ref& cls, const ref& multiple) {
    double m;
    if (multiple.is_none()) {
        const class_view v = view_of(st, cls);
        if (!v.plain_constants) return {};
        m = v.lim.multiple;
    } else if (!plain_number(multiple.get(), m) || !(m > 0)) {
        return {};
    }
    return m;
}

constexpr const char* round_to_multiple_doc = "四舍五入对齐到指定倍数，最小不低于倍数本身";

// The steps both alignments share: a native result when the numbers allow
// one, else `rounding(value / multiple)` on host objects, scaled back up.
template <class Rounding>
ref align(state& st, const ref& cls, const ref& value, ref multiple,
          std::optional<double> (*native)(double, double), Rounding&& rounding) {
    double v;
    if (plain_number(value.get(), v)) {
        if (auto m = native_step(st, cls, multiple))
            if (auto r = native(v, *m)) return integer_of(*r);
    }
    if (multiple.is_none()) multiple = cls.attr(st.MULTIPLE);
    return host_scaled_up(rounding()(value / multiple), multiple);
}

ref round_to_multiple(state& st, ref cls, ref value, ref multiple) {
    return align(st, cls, value, multiple, round_native, [&] { return st.global(st.round); });
}

constexpr const char* floor_to_multiple_doc = "向下对齐倍数，用于像素超限时压缩";

ref floor_to_multiple(state& st, ref cls, ref value, ref multiple) {
    return align(st, cls, value, multiple, floor_native,
                 [&] { return st.global(st.math).attr(st.floor); });
}

constexpr const char* is_valid_image_size_doc = "完整校验所有尺寸约束";

// `width` and `height` arrive as exact ints.
ref is_valid_image_size(state& st, ref cls, ref width, ref height) {
    double w, h;
    if (plain_number(width.get(), w) && plain_number(height.get(), h)) {
        const class_view v = view_of(st, cls);
        if (v.plain_constants)
            if (auto valid = valid_native(w, h, v.lim)) return pv::boolean(*valid);
    }
    ref pixels = width * height;
    ref long_edge = host_max(width, height);
    ref short_edge = host_min(width, height);
    ref ratio = long_edge / short_edge;
    // All five conditions are evaluated, in this order, before the answer.
    auto compare = [](const ref& a, const ref& b, int op) {
        return ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
    };
    ref zero = pv::integer(0);
    ref conditions[] = {
        compare(long_edge, cls.attr(st.MAX_EDGE), Py_LE),
        compare(width % cls.attr(st.MULTIPLE), zero, Py_EQ),
        compare(height % cls.attr(st.MULTIPLE), zero, Py_EQ),
        compare(ratio, cls.attr(st.MAX_RATIO), Py_LE),
        // MIN_PIXELS <= pixels <= MAX_PIXELS, a chained comparison
        compare(cls.attr(st.MIN_PIXELS), pixels, Py_LE),
    };
    ref& pixels_ok = conditions[4];
    if (pixels_ok.truthy()) pixels_ok = compare(pixels, cls.attr(st.MAX_PIXELS), Py_LE);
    for (const ref& c : conditions)
        if (!c.truthy()) return pv::boolean(false);
    return pv::boolean(true);
}

constexpr const char* calc_size_doc = R"(
        生成合规图像尺寸，严格限制总像素不超过8294400
        Args:
        aspect_ratio: 宽高比字符串，如 1:1 / 16:9 / 9:16 / 4:3 / 7:10
        resolution: 档位 1k / 2k / 4k
        Returns:
        包含宽、高、尺寸字符串、总像素、比例、档位、是否合法的字典
        )";

// `rw, rh = [int(part) for part in aspect_ratio.split(":")]`: every part is
// converted, in order, before the count is checked, so the first part that is
// no integer fails in int() however many parts there are, and only a string
// of integers can fail for their number.
std::array<ref, 2> ratio_terms(const ref& aspect_ratio) {
    PyObject* text = aspect_ratio.get();
    const int k = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::array<ref, 2> terms;
    Py_ssize_t count = 0;
    for (Py_ssize_t begin = 0;; ++count) {
        Py_ssize_t end = begin;
        bool ascii_digits = true;
        long long digits = 0;
        for (; end < n; ++end) {
            const Py_UCS4 c = PyUnicode_READ(k, data, end);
            if (c == ':') break;
            ascii_digits = ascii_digits && c >= '0' && c <= '9' && end - begin < 15;
            if (ascii_digits) digits = digits * 10 + (c - '0');
        }
        // A short run of ASCII digits is read directly; int() takes the rest
        // (signs, blanks, underscores, other scripts' digits, errors).
        ref value;
        if (ascii_digits && end > begin) {
            value = pv::integer(digits);
        } else {
            ref part = ref::steal(PyUnicode_Substring(text, begin, end));
            value = ref::steal(PyNumber_Long(part.get()));
        }
        if (count < 2) terms[static_cast<size_t>(count)] = std::move(value);
        if (end == n) break;
        begin = end + 1;
    }
    if (++count != 2) pv::raise_unpack_count(2, count);
    return terms;
}

[[noreturn]] void raise_too_wide(const ref& aspect_ratio) {
    pv::raise_with(PyExc_ValueError,
                   (pv::str("宽高比超出限制3:1，输入比例：") + aspect_ratio).get());
}

// f"{width}x{height}" and width * height.
std::pair<ref, ref> size_and_pixels(const ref& width, const ref& height) {
    int overflow_w = 0, overflow_h = 0;
    const long long w = PyLong_AsLongLongAndOverflow(width.get(), &overflow_w);
    const long long h = PyLong_AsLongLongAndOverflow(height.get(), &overflow_h);
    long long pixels;
    if (overflow_w || overflow_h || __builtin_mul_overflow(w, h, &pixels))
        return {ref::steal(PyUnicode_FromFormat("%Sx%S", width.get(), height.get())),
                width * height};
    char buffer[48];
    char* end = std::to_chars(buffer, buffer + 20, w).ptr;
    *end++ = 'x';
    end = std::to_chars(end, end + 20, h).ptr;
    ref text = ref::steal(PyUnicode_New(end - buffer, 127));
    std::copy(buffer, end, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
    return {text, pv::integer(pixels)};
}

ref size_result(state& st, const ref& width, const ref& height, const ref& aspect_ratio,
                const ref& resolution, const ref& valid) {
    ref result = ref::steal(PyDict_Copy(st.result_template.get()));
    auto set = [&](const pv::name& key, const ref& value) {
        pv::check(PyDict_SetItem(result.get(), key.get(), value.get()));
    };
    auto [size, pixels] = size_and_pixels(width, height);
    set(st.width, width);
    set(st.height, height);
    set(st.size, size);
    set(st.pixels, pixels);
    set(st.aspect_ratio, aspect_ratio);
    set(st.resolution, resolution);
    set(st.valid, valid);
    return result;
}

// The native path; an empty result hands the call to the host path.
ref calc_size_native(state& st, const ref& cls, const ref& rw, const ref& rh,
                     const ref& aspect_ratio, const ref& resolution) {
    const class_view v = view_of(st, cls);
    double w_term, h_term, target;
    if (!v.plain_constants || !v.own_helpers || !plain_number(rw.get(), w_term) ||
        !plain_number(rh.get(), h_term))
        return {};
    // RESOLUTION_PRESET.get(resolution, RESOLUTION_PRESET["2k"]); held, as
    // a lookup may compare with keys that run code.
    ref preset = ref::borrow(v.preset);
    auto lookup = [&](PyObject* key) {
        PyObject* value = PyDict_GetItemWithError(preset.get(), key);
        if (!value && PyErr_Occurred()) pv::fail();
        return ref::borrow(value);
    };
    ref fallback = lookup(st.tier_2k.get());
    if (!fallback) return {};  // the host path raises the KeyError
    ref entry = resolution.is(st.tier_2k.get()) ? fallback : lookup(resolution.get());
    if (!plain_number(entry ? entry.get() : fallback.get(), target)) return {};

    const recent_results::key key{cls.get(), v.version, w_term, h_term, target};
    if (ref kept = st.recent.find(key, aspect_ratio, resolution, st.aspect_ratio, st.resolution))
        return kept;

    final_size out;
    switch (calc_native(w_term, h_term, target, v.lim, out)) {
        case outcome::host: return {};
        case outcome::too_wide: raise_too_wide(aspect_ratio);
        case outcome::done: break;
    }
    ref result = size_result(st, integer_of(out.width), integer_of(out.height), aspect_ratio,
                             resolution, pv::boolean(out.valid));
    st.recent.keep(key, result, aspect_ratio, resolution);
    return result;
}

ref calc_size_host(state& st, const ref& cls, const ref& rw, const ref& rh, const ref& aspect_ratio,
                   const ref& resolution) {
    ref ratio = rw / rh;
    if (host_max(rw, rh) / host_min(rw, rh) > cls.attr(st.MAX_RATIO)) raise_too_wide(aspect_ratio);
    // RESOLUTION_PRESET.get(resolution, RESOLUTION_PRESET["2k"])
    ref get = cls.attr(st.RESOLUTION_PRESET).attr(st.get);
    ref target_pixels = get(resolution, cls.attr(st.RESOLUTION_PRESET).item(st.tier_2k.get()));
    target_pixels =
        host_max(cls.attr(st.MIN_PIXELS), host_min(target_pixels, cls.attr(st.MAX_PIXELS)));
    ref w = host_sqrt(st, target_pixels * ratio);
    ref h = w / ratio;

    for (int pass = 0; pass < 20; ++pass) {
        ref w_align = cls.call_method(st.round_to_multiple, w);
        ref h_align = cls.call_method(st.round_to_multiple, h);
        ref current_pixels = w_align * h_align;
        if (cls.call_method(st.is_valid_image_size, w_align, h_align).truthy()) {
            w = w_align;
            h = h_align;
            break;
        }
        ref scale;
        if (current_pixels > cls.attr(st.MAX_PIXELS)) {
            scale = host_sqrt(st, cls.attr(st.MAX_PIXELS) / current_pixels) * 0.999;
        } else if (ref long_e = host_max(w, h); long_e > cls.attr(st.MAX_EDGE)) {
            scale = cls.attr(st.MAX_EDGE) / long_e;
        } else if (current_pixels < cls.attr(st.MIN_PIXELS)) {
            scale = host_sqrt(st, cls.attr(st.MIN_PIXELS) / current_pixels);
        } else {
            w = cls.call_method(st.floor_to_multiple, w);
            h = cls.call_method(st.floor_to_multiple, h);
            continue;
        }
        w = w * scale;
        h = h * scale;
    }
    ref width = host_int(w), height = host_int(h);
    ref valid = cls.call_method(st.is_valid_image_size, width, height);
    return size_result(st, width, height, aspect_ratio, resolution, valid);
}

// ASCII text without capitals is its own lower case.
bool is_lower_ascii(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (c[i] >= 'A' && c[i] <= 'Z') return false;
    return true;
}

ref calc_size(state& st, ref cls, ref aspect_ratio, ref resolution) {
    if (!is_lower_ascii(resolution.get())) resolution = resolution.call_method(st.lower);
    auto [rw, rh] = ratio_terms(aspect_ratio);
    if (ref result = calc_size_native(st, cls, rw, rh, aspect_ratio, resolution)) return result;
    return calc_size_host(st, cls, rw, rh, aspect_ratio, resolution);
}

void exec(state& st) {
    st.import_module("math");
    st.result_template = pv::dict();
    for (const pv::name* key :
         {&st.width, &st.height, &st.size, &st.pixels, &st.aspect_ratio, &st.resolution, &st.valid})
        st.result_template.setitem(key->get(), Py_None);

    // Interned keys, as the literals of a class body are.
    ref presets = pv::dict();
    presets.setitem(st.tier_1k.get(), pv::integer(1572516).get());
    presets.setitem(st.tier_2k.get(), pv::integer(3686400).get());
    presets.setitem(st.tier_4k.get(), pv::integer(8294400).get());

    st.publish(
        "OrvidSizeCalculator",
        pv::class_builder(st, "OrvidSizeCalculator", class_doc)
            .attr("MIN_PIXELS", pv::integer(655360))
            .attr("MAX_PIXELS", pv::integer(8294400))
            .attr("MAX_EDGE", pv::integer(3840))
            .attr("MULTIPLE", pv::integer(16))
            .attr("MAX_RATIO", pv::real(3.0))
            .attr("RESOLUTION_PRESET", presets)
            .method<init>("__init__", nullptr)
            .class_method<round_to_multiple>("round_to_multiple", round_to_multiple_doc,
                                             kind::any{"value"}, kind::any{"multiple", "None"},
                                             pv::returns{"int"})
            .class_method<floor_to_multiple>("floor_to_multiple", floor_to_multiple_doc,
                                             kind::any{"value"}, kind::any{"multiple", "None"},
                                             pv::returns{"int"})
            .class_method<is_valid_image_size>("is_valid_image_size", is_valid_image_size_doc,
                                               kind::integer{"width"}, kind::integer{"height"},
                                               pv::returns{"bool"})
            .class_method<calc_size>("calc_size", calc_size_doc, kind::str{"aspect_ratio", "'1:1'"},
                                     kind::str{"resolution", "'2k'"})
            .finish());
    // The shape of calc_size's answer, for type checkers and response models.
    st.publish("SizeResult", pv::typed_dict(st, "SizeResult", "calc_size 的返回值",
                                            {{"width", "int"},
                                             {"height", "int"},
                                             {"size", "str"},
                                             {"pixels", "int"},
                                             {"aspect_ratio", "str"},
                                             {"resolution", "str"},
                                             {"valid", "bool"}}));
}

}  // namespace

PRAVEL_MODULE(orvid, "pravel.orvid", state, exec, pv::interpreters::own_gil)
