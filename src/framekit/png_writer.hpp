// pravel's PNG writer for Pillow images of 8-bit RGBA pixels: each row gets
// the PNG filter that suits it best, and libdeflate compresses the result.
// Filtering and compression run with the GIL released, in the caller's thread.
#pragma once

#include "pravel.hpp"

namespace png {

// The Pillow image `image` converted to RGBA, as PNG bytes that decode to
// the pixels, mode and size Pillow's own writer would store for that RGBA
// image, with the ancillary chunks it would write (an ICC profile in `info`
// becomes iCCP). It takes RGBA images and RGB ones without a transparent
// colour (which convert by adding alpha 255, done here row by row). An
// empty ref, with `image` untouched, when the image is not one this writer
// takes (another mode, no pixels, metadata laid out in a way it does not
// know): the caller then saves it with Pillow. Otherwise `image` is released
// as soon as its rows are filtered, so that the picture and the compressed
// data do not live at once. `Image` and `BytesIO` are PIL.Image and
// io.BytesIO as the caller sees them.
pv::ref encode(pv::ref& image, const pv::ref& Image, const pv::ref& BytesIO);

}  // namespace png
