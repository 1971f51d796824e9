// pravel's PNG writer for Pillow images of 8-bit RGBA pixels: each row gets
// the PNG filter that suits it best, and libdeflate compresses the result.
// Filtering and compression run with the GIL released, in the caller's thread.
#pragma once

#include "pravel.hpp"

namespace png {

// The Pillow image `image` as PNG bytes that decode to the pixels, mode and
// size Pillow's own writer would store, with the ancillary chunks it would
// write (an ICC profile in `info` becomes iCCP). An empty ref when the image
// is not one this writer takes (any mode but RGBA, no pixels, metadata laid
// out in a way it does not know): the caller then saves it with Pillow.
// `Image` and `BytesIO` are PIL.Image and io.BytesIO as the caller sees them.
pv::ref encode(const pv::ref& image, const pv::ref& Image, const pv::ref& BytesIO);

}  // namespace png
