// Scaling of BGRA pixels with pixman, shared by the platform streams and the screenshot resize.
#pragma once

#include "capture/image.hpp"

namespace zel {

// Draws the whole source into the whole destination, stretched to fit, with a bilinear filter
// (a box-weighted convolution where the source is more than twice the destination, where
// bilinear sampling would skip pixels). The source's fourth byte is ignored; the destination
// comes out opaque. Returns false when pixman cannot wrap the pixels.
bool scaleInto(ConstPixelView source, PixelView destination);

} // namespace zel
