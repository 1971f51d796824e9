// pravel.shapelens: the aspect ratio of an encoded image, exact (reduced by
// the greatest common divisor) or approximate (the nearest quotient of two
// whole numbers up to a bound). Only the image header is read.
#include "pravel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kind = pv::kind;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name BytesIO{"BytesIO"}, Image{"Image"}, open{"open"}, size{"size"};
    pv::name gcd{"_gcd"}, approx_search_range{"approx_search_range"};
};

constexpr const char* class_doc = R"(
    图片比例分析工具。

    提供两种比例获取方式：
    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）
    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）
    )";

constexpr const char* init_doc = R"(
        图片比例分析类

        :param approx_search_range: 近似比例搜索整数范围，默认1~10
        )";

ref init(state& st, ref self, ref approx_search_range) {
    self.setattr(st.approx_search_range, approx_search_range.get());
    return pv::none();
}

// ---------------------------------------------------------------- gcd

constexpr const char* gcd_doc = "计算最大公约数";

// Euclid with the host's remainder (sign of the divisor), so negative
// operands give the same, possibly negative, result as host integers do.
std::int64_t gcd_small(std::int64_t a, std::int64_t b) {
    while (b != 0) {
        // INT64_MIN % -1 overflows in C; the remainder is 0 anyway.
        std::int64_t r = b == -1 ? 0 : a % b;
        if (r != 0 && (r < 0) != (b < 0)) r += b;
        a = b;
        b = r;
    }
    return a;
}

bool as_small(PyObject* v, std::int64_t& out) {
    int overflow = 0;
    out = pv::to_long_long(v, overflow);
    return overflow == 0;
}

ref gcd(state&, ref a, ref b) {
    // Large operands step through host integers until both fit a machine word.
    std::int64_t x, y;
    while (!(as_small(a.get(), x) && as_small(b.get(), y))) {
        if (!b.truthy()) return a;
        ref r = a % b;
        a = std::move(b);
        b = std::move(r);
    }
    if (y == 0) return a;
    return pv::integer(gcd_small(x, y));
}

// ---------------------------------------------------------------- reading the size

// Width and height from the image header. The stream and the image are both
// held as contexts and closed before the caller does any arithmetic.
std::array<ref, 2> read_size(state& st, const ref& image_bytes) {
    std::array<ref, 2> size;
    pv::with_(st, st.global(st.BytesIO)(image_bytes), [&](ref stream) {
        pv::with_(st, st.global(st.Image).attr(st.open)(stream),
                  [&](ref image) { size = pv::unpack<2>(image.attr(st.size).get()); });
    });
    // Only a context manager that swallows the error gets here without a size.
    if (!size[0])
        pv::raise(PyExc_UnboundLocalError,
                  "cannot access local variable 'width' where it is not associated with a value");
    return size;
}

ref ratio_string(const ref& w, const ref& h) {
    return ref::steal(PyUnicode_FromFormat("%S:%S", w.get(), h.get()));
}

// ---------------------------------------------------------------- exact ratio

constexpr const char* raw_ratio_doc = R"(
        获取图片真实最简宽高比，不做近似。

        Args:
            image_bytes: 图片二进制数据

        Returns:
            最简比例字符串，如 "16:9"
        )";

ref raw_simple_ratio(state& st, ref self, ref image_bytes) {
    auto [width, height] = read_size(st, image_bytes);
    ref div = self.call_method(st.gcd, width, height);
    ref w = pv::floordiv(width, div);
    return ratio_string(w, pv::floordiv(height, div));
}

// ---------------------------------------------------------------- approximate ratio

constexpr const char* approx_ratio_doc = R"(
        自动拟合近似简单整数比例，无预设标准比例池。

        遍历 1~approx_search_range 范围内的整数组合，
        找到与图片实际比例最接近的简单整数比。

        Args:
            image_bytes: 图片二进制数据

        Returns:
            近似比例字符串，如 "2:3"、"16:9"
        )";

// Every pair (i, j) with 1 <= i, j <= limit, i outer and j inner, both
// ascending; a pair wins only with a strictly smaller error, so ties keep
// the earlier pair. Resumable, so long scans run in slices.
struct pair_scan {
    double target;
    std::int64_t limit;
    std::int64_t i = 1, j = 1;  // the next pair
    double min_error = std::numeric_limits<double>::infinity();
    std::int64_t best_w = 0, best_h = 0;

    bool done() const { return i > limit; }

    // Tries up to `budget` pairs. Quotients of integers below 2**53 are exact
    // doubles, so i / j rounds as the host's int division does.
    void run(std::int64_t budget) {
        while (!done() && budget > 0) {
            const std::int64_t last_j = std::min(limit, j + budget - 1);
            const double num = static_cast<double>(i);
            for (std::int64_t k = j; k <= last_j; ++k) {
                const double error = std::fabs(num / static_cast<double>(k) - target);
                if (error < min_error) {
                    min_error = error;
                    best_w = i;
                    best_h = k;
                }
            }
            budget -= last_j - j + 1;
            j = last_j + 1;
            if (j > limit) {
                j = 1;
                ++i;
            }
        }
    }
};

// Beyond this bound the scan leaves the GIL, in slices between which
// pending signals (Ctrl-C) are handled.
constexpr std::int64_t bound_with_gil = 64;
constexpr std::int64_t pairs_per_slice = std::int64_t{1} << 22;

// range(1, limit + 1) as the host builds it: a float limit is a TypeError.
std::int64_t search_bound(const ref& limit) {
    ref stop = ref::steal(PyNumber_Index((limit + 1).get()));
    int overflow = 0;
    const long long end = pv::to_long_long(stop.get(), overflow);
    // Beyond 2**62 pairs per row the scan cannot end in any case.
    constexpr long long cap = std::int64_t{1} << 62;
    if (overflow > 0 || end > cap) return cap;
    if (overflow < 0 || end <= 1) return 0;
    return end - 1;
}

ref approx_simple_ratio(state& st, ref self, ref image_bytes) {
    auto [width, height] = read_size(st, image_bytes);
    const double target = pv::to_double((width / height).get());
    pair_scan scan{target, search_bound(self.attr(st.approx_search_range))};
    if (scan.limit == 0) return ratio_string(width, height);
    if (scan.limit <= bound_with_gil) {
        scan.run(bound_with_gil * bound_with_gil);
    } else {
        while (!scan.done()) {
            pv::without_gil([&] { scan.run(pairs_per_slice); });
            pv::check(PyErr_CheckSignals());
        }
    }
    return ref::steal(PyUnicode_FromFormat("%lld:%lld", static_cast<long long>(scan.best_w),
                                           static_cast<long long>(scan.best_h)));
}

void exec(state& st) {
    st.import_from("io", {"BytesIO"});
    st.import_from("PIL", {"Image"});

    st.publish("ImageShapelens",
               pv::class_builder(st, "ImageShapelens", class_doc)
                   .method<init>("__init__", init_doc, kind::integer{"approx_search_range", "10"})
                   .static_method<gcd>("_gcd", gcd_doc, kind::integer{"a"}, kind::integer{"b"},
                                       pv::returns{"int"})
                   .method<raw_simple_ratio>("get_raw_simple_ratio", raw_ratio_doc,
                                             kind::bytes{"image_bytes"}, pv::returns{"str"})
                   .method<approx_simple_ratio>("get_approx_simple_ratio", approx_ratio_doc,
                                                kind::bytes{"image_bytes"}, pv::returns{"str"})
                   .finish());
}

}  // namespace

PRAVEL_MODULE(shapelens, "pravel.shapelens", state, exec)
