// Downloaded icons: the declared size, then the picture (PNG or JPEG).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/graphics/Image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const auto declared = platform::graphics::Image::declaredPixelSize(bytes);
    if (!declared || declared->first > 1024 || declared->second > 1024) return 0;
    auto image = platform::graphics::Image::fromData(bytes);
    if (!image) return 0;
    (void)image->pixelAt(image->pixelWidth() - 1, image->pixelHeight() - 1);
    return 0;
}
