// pravel.marvale: scales a Pillow image to the preferred resolution of the
// Marvale image-editing model whose width/height quotient is nearest to the
// image's own.
#include "pravel.hpp"

namespace kind = pv::kind;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name image{"image"}, width{"width"}, height{"height"}, size{"size"}, resize{"resize"};
    pv::name resolutions{"PREFERED_MARVALE_RESOLUTIONS"};
    pv::name print{"print"}, Resampling{"Resampling"}, LANCZOS{"LANCZOS"};
};

// Sides are multiples of 16 with an area close to 1024 x 1024; widths rise,
// and entry 16 - i mirrors entry i.
constexpr int preferred_resolutions[17][2] = {
    {672, 1568}, {688, 1504}, {720, 1456},  {752, 1392}, {800, 1328}, {832, 1248},
    {880, 1184}, {944, 1104}, {1024, 1024}, {1104, 944}, {1184, 880}, {1248, 832},
    {1328, 800}, {1392, 752}, {1456, 720},  {1504, 688}, {1568, 672},
};

constexpr const char* class_doc = R"(
    将图片缩放到最接近 Marvale 优选分辨率的尺寸。

    根据原图宽高比，从预定义的分辨率列表中选取最匹配的分辨率，
    使用 LANCZOS 算法进行高质量缩放。
    )";

constexpr const char* init_doc = R"(
        Args:
            image: PIL Image 对象
        )";

ref init(state& st, ref self, ref image) {
    self.setattr(st.image, image.get());
    return pv::none();
}

constexpr const char* start_doc = R"(
        根据原图宽高比匹配最优分辨率并缩放。

        Returns:
            缩放后的 PIL Image 对象
        )";

ref start(state& st, ref self) {
    ref image = self.attr(st.image);
    ref width = image.attr(st.width);  // read before height, as the host would
    ref aspect_ratio = width / image.attr(st.height);

    // min() over (difference, w, h): the host's tuple ordering breaks a tie
    // on the difference by the smaller width, then the smaller height, and
    // only a strictly smaller triple replaces the one found first.
    ref best;
    pv::for_each(self.attr(st.resolutions).get(), [&](ref entry) {
        auto [w, h] = pv::unpack<2>(entry.get());
        ref candidate = pv::tuple(pv::abs(aspect_ratio - w / h), w, h);
        if (!best || candidate < best) best = candidate;
    });
    if (!best) pv::raise(PyExc_ValueError, "min() iterable argument is empty");
    auto [difference, output_width, output_height] = pv::unpack<3>(best.get());

    ref output_size = pv::tuple(output_width, output_height);
    st.global(st.print)("原尺寸", image.attr(st.size), "输出尺寸", output_size);
    ref resize = image.attr(st.resize);
    return resize(output_size, st.global(st.Resampling).attr(st.LANCZOS));
}

void exec(state& st) {
    st.import_from("PIL", {"Image"});
    st.import_from("PIL.Image", {"Resampling"});

    ref resolutions = pv::list();
    for (const auto& [w, h] : preferred_resolutions)
        pv::check(PyList_Append(resolutions.get(), pv::tuple(w, h).get()));

    st.publish("MarvaleImageScale",
               pv::class_builder(st, "MarvaleImageScale", class_doc)
                   .attr("PREFERED_MARVALE_RESOLUTIONS", resolutions)
                   .method<init>("__init__", init_doc, kind::any{"image", nullptr, "Image.Image"})
                   .method<start>("start", start_doc, pv::returns{"Image.Image"})
                   .finish());
}

}  // namespace

PRAVEL_MODULE(marvale, "pravel.marvale", state, exec)
