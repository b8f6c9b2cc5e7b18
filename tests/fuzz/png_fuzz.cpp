// PNG pictures, as bundle resources and downloaded icons.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/graphics/Image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto image = platform::graphics::Image::fromPNGData(std::vector<uint8_t>(data, data + size));
    if (!image) return 0;
    (void)image->pixelAt(image->pixelWidth() - 1, image->pixelHeight() - 1);
    return 0;
}
