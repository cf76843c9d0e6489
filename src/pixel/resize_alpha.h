// Reduction and sharpening of bgra32 pictures. Colours are averaged
// weighted by their alpha, so that the colour a transparent pixel happens
// to hold never bleeds into its visible neighbours as a dark or light fringe.
#pragma once

#include "picture/picture.h"
#include "picture/status.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// Area averaging of the premultiplied samples, divided back by the
// averaged alpha; the picture takes the new size. unsupported for a
// picture that is not bgra32 or a size below one pixel, noMemory when the
// new rows cannot be had.
Status resizeWithAlpha(Picture& image, std::int32_t newWidth, std::int32_t newHeight);

// The reduction's unsharp mask on the colour only: the blur it sharpens
// against is weighted by alpha, and alpha itself is left as averaged.
// Pictures narrower or lower than the mask are left alone.
Status sharpenWithAlpha(Picture& image, const LookupTables& tables);

}  // namespace vrelk
