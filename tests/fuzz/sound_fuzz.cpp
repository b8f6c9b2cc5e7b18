// CAF and WAVE sound files.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/audio/SoundFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = platform::audio::decodeSoundFile(std::string_view(reinterpret_cast<const char*>(data), size));
    if (r.ok() && r.buffer.channels == 0) __builtin_trap();
    return 0;
}
