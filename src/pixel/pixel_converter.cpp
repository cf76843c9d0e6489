#include "pixel/pixel_converter.h"

namespace vrelk {

PixelConverter::PixelConverter()
    : share1(errorShare1.data() + 255),
      share3(errorShare3.data() + 255),
      share5(errorShare5.data() + 255),
      share7(errorShare7.data() + 255)
{
}

void PixelConverter::computeLayout()
{
    RowLayout layout = rowLayout(width, height, targetBits);
    rowBytes = layout.rowBytes;
    stride = layout.stride;
    imageSize = layout.imageSize;
}

}  // namespace vrelk
