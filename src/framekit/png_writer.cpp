#include "png_writer.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include <sys/mman.h>

namespace png {
namespace {

struct free_deleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A byte buffer that is not zeroed on allocation (its users overwrite it).
struct buffer {
    std::unique_ptr<std::uint8_t[], free_deleter> data;
    std::size_t size = 0;
};

// The ancillary chunks of a file, complete (length, type, data, CRC): those
// before the image data and those after it.
struct ancillary {
    std::string_view before_idat, after_idat;
};

constexpr std::size_t bpp = 4;  // bytes per pixel
constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// Large enough to keep the chunk overhead negligible, small enough for
// decoders that read a chunk at a time.
constexpr std::size_t idat_chunk_max = std::size_t{1} << 20;
constexpr std::size_t chunk_overhead = 12;  // length, type, CRC
// libdeflate's level 6: on photographs, with the filters chosen below, as
// small as Pillow's zlib output at a fraction of its time; higher levels
// double the time for a few per cent. Where the filtered rows are mostly
// noise (residuals of 2 or more on average, as in detailed photographs)
// deeper match searching finds little: level 5 takes a third less time for
// about 1 % more, while on smooth pictures, where matches abound, it would
// cost 2 to 3 %.
constexpr int compression_level = 6, noisy_compression_level = 5;
constexpr std::uint64_t noisy_mean_residual = 2;

enum filter : std::uint8_t { none, sub, up, average, paeth, filter_count };

// Large buffers are aligned to 2 MiB and offered transparent huge pages:
// faulting in fresh memory 4 KiB at a time can cost as much as filtering it.
buffer allocate(std::size_t size) {
    constexpr std::size_t huge_page = std::size_t{1} << 21;
    const bool large = size >= huge_page;
    const std::size_t rounded = (size + huge_page - 1) & ~(huge_page - 1);
    void* data = large ? std::aligned_alloc(huge_page, rounded) : std::malloc(size ? size : 1);
    if (!data) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (large) madvise(data, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return {std::unique_ptr<std::uint8_t[], free_deleter>(static_cast<std::uint8_t*>(data)), size};
}

std::uint32_t read_be32(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint8_t* put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
    return p + 4;
}

std::uint8_t* put_chunk(std::uint8_t* p, const char (&type)[5], const std::uint8_t* data,
                        std::size_t size) {
    p = put_be32(p, static_cast<std::uint32_t>(size));
    std::uint8_t* typed = p;
    std::memcpy(p, type, 4);
    if (size) std::memcpy(p + 4, data, size);
    p += 4 + size;
    return put_be32(p, libdeflate_crc32(0, typed, 4 + size));
}

// A filtered byte read as a signed residual, in absolute value.
inline std::uint8_t magnitude(std::uint8_t v) {
    const auto negated = static_cast<std::uint8_t>(-v);
    return v < negated ? v : negated;
}

// Filters one row of `n` bytes with Sub, Up, Average and Paeth (`prior` is
// the row above, zeros for the first row) and sums each filter's residual
// magnitudes, None included. One loop per filter, so that each vectorises.
// The sums wrap only for rows over 16 MiB, which merely weakens the choice.
// Kept out of line: inlined into the row loop, the Paeth loop is no longer
// vectorised by GCC.
[[gnu::noinline]] void filter_row(const std::uint8_t* __restrict x,
                                  const std::uint8_t* __restrict prior, std::size_t n,
                                  std::uint8_t* __restrict s, std::uint8_t* __restrict u,
                                  std::uint8_t* __restrict a, std::uint8_t* __restrict p,
                                  std::uint32_t (&cost)[filter_count]) {
    std::uint32_t none_cost = 0, sub_cost = 0, up_cost = 0, average_cost = 0, paeth_cost = 0;
    // The first pixel has no left neighbour: Sub keeps it, and Paeth
    // predicts it from the byte above.
    for (std::size_t i = 0; i < bpp; ++i) {
        s[i] = x[i];
        u[i] = p[i] = static_cast<std::uint8_t>(x[i] - prior[i]);
        a[i] = static_cast<std::uint8_t>(x[i] - (prior[i] >> 1));
        sub_cost += magnitude(s[i]);
        up_cost += magnitude(u[i]);
        average_cost += magnitude(a[i]);
        paeth_cost += magnitude(p[i]);
    }
    for (std::size_t i = 0; i < n; ++i) none_cost += magnitude(x[i]);
    for (std::size_t i = bpp; i < n; ++i) {
        s[i] = static_cast<std::uint8_t>(x[i] - x[i - bpp]);
        sub_cost += magnitude(s[i]);
    }
    for (std::size_t i = bpp; i < n; ++i) {
        u[i] = static_cast<std::uint8_t>(x[i] - prior[i]);
        up_cost += magnitude(u[i]);
    }
    for (std::size_t i = bpp; i < n; ++i) {
        a[i] = static_cast<std::uint8_t>(x[i] - ((x[i - bpp] + prior[i]) >> 1));
        average_cost += magnitude(a[i]);
    }
    for (std::size_t i = bpp; i < n; ++i) {
        const std::int16_t left = x[i - bpp], above = prior[i], corner = prior[i - bpp];
        const std::int16_t to_left = above - corner, to_above = left - corner,
                           to_corner = to_left + to_above;
        const std::int16_t pa = to_left < 0 ? -to_left : to_left,
                           pb = to_above < 0 ? -to_above : to_above,
                           pc = to_corner < 0 ? -to_corner : to_corner;
        // The nearest of left, above and corner, ties in that order.
        const std::int16_t nearest = pa < pb ? (pa < pc ? pa : pc) : (pb < pc ? pb : pc);
        const std::int16_t predicted = pa == nearest ? left : pb == nearest ? above : corner;
        const auto residual = static_cast<std::uint8_t>(x[i] - predicted);
        p[i] = residual;
        paeth_cost += magnitude(residual);
    }
    cost[none] = none_cost;
    cost[sub] = sub_cost;
    cost[up] = up_cost;
    cost[average] = average_cost;
    cost[paeth] = paeth_cost;
}

// Chooses and applies the filter of each row, as the rows arrive. A row's
// score is the entropy of its residual pixels (4-byte words hashed into 256
// bins) plus a 64th of its residual magnitudes: deflate's matches pay off on
// repeated pixels, which the magnitudes alone (libpng's measure) do not see,
// while the magnitudes still settle near ties.
class row_filter {
public:
    row_filter(std::uint32_t width, std::uint32_t height)
        : n_(std::size_t{width} * bpp), pixels_(width) {
        if (height && n_ + 1 > std::numeric_limits<std::size_t>::max() / height)
            throw std::bad_alloc();
        filtered_ = allocate((n_ + 1) * height);
        out_ = filtered_.data.get();
        scratch_ = allocate(n_ * (filter_count + 1));
        prior_ = scratch_.data.get();
        current_ = scratch_.data.get() + filter_count * n_;
        std::memset(prior_, 0, n_);  // the row above the first
        for (int f = sub; f < filter_count; ++f) candidates_[f] = scratch_.data.get() + f * n_;
        c_log_c_ = std::make_unique_for_overwrite<float[]>(pixels_ + 1);
        c_log_c_[0] = 0;
        for (std::size_t c = 1; c <= pixels_; ++c)
            c_log_c_[c] =
                static_cast<float>(static_cast<double>(c) * std::log2(static_cast<double>(c)));
    }

    // Filters `count` packed rows, the next ones of the image. With
    // `opaque`, the rows are RGB pixels stored in four bytes (Pillow's RGB
    // storage, whose fourth byte means nothing) and are filtered as the
    // opaque RGBA pixels they convert to.
    void add(const std::uint8_t* rows, std::size_t count, bool opaque) {
        for (std::size_t y = 0; y < count; ++y) {
            const std::uint8_t* row = rows + y * n_;
            const std::uint8_t* above = y ? row - n_ : prior_;
            if (opaque) {
                std::memcpy(current_, row, n_);
                for (std::size_t i = bpp - 1; i < n_; i += bpp) current_[i] = 0xff;
                row = current_;
                above = prior_;
            }
            const int best = choose(row, above);
            residuals_ += chosen_magnitude_;
            *out_++ = static_cast<std::uint8_t>(best);
            std::memcpy(out_, best == none ? row : candidates_[best], n_);
            out_ += n_;
            if (opaque) std::swap(current_, prior_);
        }
        // The rows may not outlive this call: keep the last one for the next.
        if (count && !opaque) std::memcpy(prior_, rows + (count - 1) * n_, n_);
    }

    // The compression level that suits the rows added.
    int level() const {
        return residuals_ >= noisy_mean_residual * filtered_.size ? noisy_compression_level
                                                                  : compression_level;
    }

    // The zlib stream of all rows, once every row has been added.
    buffer compress(int level) const {
        std::unique_ptr<libdeflate_compressor, compressor_deleter> compressor(
            libdeflate_alloc_compressor(level));
        if (!compressor) throw std::bad_alloc();
        const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filtered_.size);
        buffer stream = allocate(bound);
        stream.size = libdeflate_zlib_compress(compressor.get(), filtered_.data.get(),
                                               filtered_.size, stream.data.get(), bound);
        if (stream.size == 0) throw std::length_error("compressed data exceeds its bound");
        return stream;
    }

private:
    struct compressor_deleter {
        void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
    };

    int choose(const std::uint8_t* row, const std::uint8_t* above) {
        std::uint32_t magnitudes[filter_count];
        filter_row(row, above, n_, candidates_[sub], candidates_[up], candidates_[average],
                   candidates_[paeth], magnitudes);
        const std::uint8_t* const residuals[filter_count] = {
            row, candidates_[sub], candidates_[up], candidates_[average], candidates_[paeth]};
        const std::uint32_t least = *std::min_element(magnitudes, magnitudes + filter_count);
        if (least == 0) {  // all zeros: nothing compresses better
            chosen_magnitude_ = 0;
            return static_cast<int>(std::find(magnitudes, magnitudes + filter_count, 0u) -
                                    magnitudes);
        }
        int best = none;
        float best_score = std::numeric_limits<float>::infinity();
        for (int f = none; f < filter_count; ++f) {
            // A filter whose residuals are half as large again as the
            // smallest ones has never been the better choice: its entropy
            // is not worth counting.
            if (magnitudes[f] > least + least / 2) continue;
            const float score = entropy(residuals[f]) + static_cast<float>(magnitudes[f]) / 64;
            if (score < best_score) best = f, best_score = score;
        }
        chosen_magnitude_ = magnitudes[best];
        return best;
    }

    // The row's size in bits were each pixel, hashed to one of 256 values,
    // coded by its frequency in the row.
    float entropy(const std::uint8_t* residuals) const {
        std::uint32_t counts[256] = {};
        for (std::size_t i = 0; i < pixels_; ++i) {
            std::uint32_t word;
            std::memcpy(&word, residuals + i * bpp, bpp);
            ++counts[(word * 0x9E3779B1u) >> 24];
        }
        float sum = 0;
        for (const std::uint32_t c : counts) sum += c_log_c_[c];
        return c_log_c_[pixels_] - sum;
    }

    std::size_t n_, pixels_;
    std::uint64_t residuals_ = 0;  // the chosen filters' residual magnitudes, summed
    std::uint32_t chosen_magnitude_ = 0;
    buffer filtered_, scratch_;
    std::uint8_t* out_;
    std::uint8_t* prior_;
    std::uint8_t* current_;                        // an opaque row as RGBA
    std::uint8_t* candidates_[filter_count] = {};  // Sub to Paeth; None is the row itself
    std::unique_ptr<float[]> c_log_c_;             // c·log2(c) for every count a row can have
};

// The size of the file write_file makes.
std::size_t file_size(const buffer& zlib_stream, const ancillary& extra) {
    const std::size_t idat_chunks =
        std::max<std::size_t>(1, (zlib_stream.size + idat_chunk_max - 1) / idat_chunk_max);
    return sizeof signature + (chunk_overhead + 13) + extra.before_idat.size() +
           idat_chunks * chunk_overhead + zlib_stream.size + extra.after_idat.size() +
           chunk_overhead;
}

// Signature, IHDR (8-bit RGBA, not interlaced), the chunks of `extra`
// around the zlib stream cut into IDAT chunks, and IEND.
void write_file(std::uint8_t* out, std::uint32_t width, std::uint32_t height,
                const buffer& zlib_stream, const ancillary& extra) {
    std::memcpy(out, signature, sizeof signature);
    out += sizeof signature;

    std::uint8_t header[13];
    put_be32(put_be32(header, width), height);
    header[8] = 8;   // bits per sample
    header[9] = 6;   // colour type: RGB with alpha
    header[10] = 0;  // deflate
    header[11] = 0;  // adaptive filtering
    header[12] = 0;  // not interlaced
    out = put_chunk(out, "IHDR", header, sizeof header);

    std::memcpy(out, extra.before_idat.data(), extra.before_idat.size());
    out += extra.before_idat.size();
    std::size_t offset = 0;
    do {
        const std::size_t piece = std::min(idat_chunk_max, zlib_stream.size - offset);
        out = put_chunk(out, "IDAT", zlib_stream.data.get() + offset, piece);
        offset += piece;
    } while (offset < zlib_stream.size);
    std::memcpy(out, extra.after_idat.data(), extra.after_idat.size());
    out += extra.after_idat.size();
    put_chunk(out, "IEND", nullptr, 0);
}

// Finds the ancillary chunks of `file`. False unless it is a well-formed
// PNG file of 8-bit RGBA pixels without interlacing.
bool split_ancillary(std::string_view file, ancillary& extra) {
    auto bytes = [&](std::size_t at) {
        return reinterpret_cast<const unsigned char*>(file.data() + at);
    };
    if (file.size() < sizeof signature || std::memcmp(file.data(), signature, sizeof signature))
        return false;
    std::size_t at = sizeof signature;
    std::size_t idat_begin = 0, idat_end = 0, ihdr_end = 0;
    while (at + chunk_overhead <= file.size()) {
        const std::size_t length = read_be32(bytes(at));
        if (length > file.size() - at - chunk_overhead) return false;
        const std::string_view type = file.substr(at + 4, 4);
        const unsigned char* data = bytes(at + 8);
        const std::size_t next = at + chunk_overhead + length;
        if (at == sizeof signature) {
            // 8 bits per sample, colour type 6, deflate, adaptive filters, no interlace.
            static constexpr unsigned char rgba8[5] = {8, 6, 0, 0, 0};
            if (type != "IHDR" || length != 13 || std::memcmp(data + 8, rgba8, 5)) return false;
            ihdr_end = next;
        } else if (type == "IDAT") {
            if (!idat_begin)
                idat_begin = at;
            else if (idat_end != at)
                return false;  // image data must be consecutive
            idat_end = next;
        } else if (type == "IEND") {
            if (!idat_begin || next != file.size()) return false;
            extra.before_idat = file.substr(ihdr_end, idat_begin - ihdr_end);
            extra.after_idat = file.substr(idat_end, at - idat_end);
            return true;
        }
        at = next;
    }
    return false;
}

// ---------------------------------------------------------------- Pillow images

using pv::ref;

// The Arrow C data interface (a stable ABI), through which Pillow shares an
// image's storage without copying it.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags, n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    std::int64_t length, null_count, offset, n_buffers, n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// The pixels `array_capsule` shares when it holds `count` RGBA pixels the
// way Pillow exports them (fixed-size lists of four bytes over one block of
// storage), else nullptr.
const std::uint8_t* shared_pixels(const ref& schema_capsule, const ref& array_capsule,
                                  std::int64_t count) {
    auto* schema =
        static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule.get(), "arrow_schema"));
    auto* array =
        static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule.get(), "arrow_array"));
    if (!schema || !array) pv::fail();
    const bool rgba_lists = std::string_view(schema->format) == "+w:4" && schema->n_children == 1 &&
                            std::string_view(schema->children[0]->format) == "C";
    if (!rgba_lists || array->length != count || array->offset || array->null_count ||
        array->n_children != 1)
        return nullptr;
    const ArrowArray* bytes = array->children[0];
    if (bytes->length != 4 * count || bytes->offset || bytes->null_count || bytes->n_buffers != 2)
        return nullptr;
    return static_cast<const std::uint8_t*>(bytes->buffers[1]);
}

// Hands the image's rows to `take(rows, count, as_rgb)`, top to bottom, with
// the GIL released; `as_rgb` says the rows are an RGB image's four-byte
// storage (`opaque`: the image is RGB), false when they are RGBA already.
// Pillow shares an image kept in one block of memory through the
// Arrow C data interface (Pillow 11.2 and later); larger images are stored
// in several blocks and come in bands copied by crop(), which is far cheaper
// than one tobytes() copy of the whole image. Without Arrow, tobytes() of
// each band.
template <class Take>
void for_each_band(const ref& image, std::uint32_t width, std::uint32_t height, bool opaque,
                   Take take) {
    const bool arrow = PyObject_HasAttrString(image.get(), "__arrow_c_array__");
    auto deliver = [&](const ref& band, std::uint32_t rows) {
        const std::int64_t count = std::int64_t{width} * rows;
        if (arrow) {
            // Sharing is an optimisation: whatever stops it, the copy follows.
            ref array_capsule;
            const std::uint8_t* pixels = nullptr;
            // (KeyboardInterrupt, SystemExit and MemoryError still travel on.)
            if (pv::succeeds([&] {
                    auto [schema, array] =
                        pv::unpack<2>(band.call_method("__arrow_c_array__").get());
                    pixels = shared_pixels(schema, array, count);
                    array_capsule = array;  // keeps the array, and Pillow's storage, alive
                }) &&
                pixels) {
                pv::without_gil([&] { take(pixels, rows, opaque); });
                return true;
            }
        }
        return false;
    };
    if (deliver(image, height)) return;
    const std::uint32_t band_rows = static_cast<std::uint32_t>(
        std::clamp<std::size_t>((std::size_t{4} << 20) / (std::size_t{width} * bpp), 1, height));
    for (std::uint32_t top = 0; top < height; top += band_rows) {
        const std::uint32_t rows = std::min(band_rows, height - top);
        ref band = image.call_method("crop", pv::tuple(0, top, width, top + rows));
        if (deliver(band, rows)) continue;
        // tobytes() packs RGB in three bytes: the RGBA conversion of the band
        // gives the rows in four.
        ref bytes = (opaque ? band.call_method("convert", "RGBA") : band).call_method("tobytes");
        if (!PyBytes_Check(bytes.get()) ||
            PyBytes_GET_SIZE(bytes.get()) !=
                static_cast<Py_ssize_t>(std::size_t{width} * rows * bpp))
            pv::raise(PyExc_SystemError, "tobytes() gave no RGBA rows");
        const auto* pixels = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
        pv::without_gil([&] { take(pixels, rows, false); });
    }
}

}  // namespace

ref encode(ref& image, const ref& Image, const ref& BytesIO) {
    // RGB converts to opaque RGBA by adding alpha 255, unless a transparent
    // colour is named; the rows are read as stored and made RGBA here.
    ref mode = image.attr("mode");
    bool opaque = false;
    if (pv::equal(mode, "RGB")) {
        ref info = image.attr("info");
        const int transparent = PySequence_Contains(info.get(), pv::str("transparency").get());
        if (transparent < 0) pv::fail();
        if (transparent) return {};
        opaque = true;
    } else if (!pv::equal(mode, "RGBA")) {
        return {};
    }
    auto [w, h] = pv::unpack<2>(image.attr("size").get());
    const long width = PyLong_AsLong(w.get()), height = PyLong_AsLong(h.get());
    if ((width == -1 || height == -1) && PyErr_Occurred()) pv::fail();
    if (width <= 0 || height <= 0 || width > 0x7fffffff || height > 0x7fffffff) return {};

    // The ancillary chunks are whatever Pillow's writer puts around the image
    // data of an RGBA image with this info (an ICC profile becomes iCCP): it
    // writes them for a 1×1 stand-in, and its errors are the ones it would
    // raise for the image itself.
    ref stand_in = Image.attr("new")("RGBA", pv::tuple(1, 1));
    stand_in.setattr("info", image.attr("info").get());
    ref stand_in_file = BytesIO();
    stand_in.call_method("save", stand_in_file, pv::kw("format", "PNG"), pv::kw("quality", 95));
    ref chunks = stand_in_file.call_method("getvalue");
    if (!PyBytes_Check(chunks.get())) return {};
    ancillary extra;
    if (!split_ancillary({PyBytes_AS_STRING(chunks.get()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(chunks.get()))},
                         extra))
        return {};

    // At most two of the picture, its filtered rows and the compressed
    // stream live at once: the picture is let go once filtered, the rows once
    // compressed.
    const auto cols = static_cast<std::uint32_t>(width), rows = static_cast<std::uint32_t>(height);
    buffer stream;
    {
        row_filter filter(cols, rows);
        for_each_band(image, cols, rows, opaque,
                      [&](const std::uint8_t* pixels, std::uint32_t count, bool as_rgb) {
                          filter.add(pixels, count, as_rgb);
                      });
        image = ref();
        pv::without_gil([&] { stream = filter.compress(filter.level()); });
    }
    const std::size_t size = file_size(stream, extra);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    ref file = ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(file.get()));
    pv::without_gil([&] { write_file(out, cols, rows, stream, extra); });
    return file;
}

}  // namespace png
