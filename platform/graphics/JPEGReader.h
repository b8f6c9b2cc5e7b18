#pragma once
// JPEG decoding for Image over libjpeg: untrusted bytes (downloaded icons) in,
// an ARGB32 Cairo surface out. Corrupt data ends the decode through libjpeg's
// error exit instead of the process; pictures past a size limit are refused
// before their pixels are allocated.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

namespace platform::graphics::jpeg {

// Larger pictures are refused: no picture of this platform comes near it.
inline constexpr int64_t kMaxPixels = int64_t(1) << 26;

bool isJPEG(const std::vector<uint8_t>& bytes);
bool fileIsJPEG(const std::string& path);
std::optional<std::vector<uint8_t>> readFile(const std::string& path);
// Width and height from the header; nullopt when it cannot be read.
std::optional<std::pair<int, int>> declaredSize(const std::vector<uint8_t>& bytes);
// A new surface (owned by the caller), or null.
cairo_surface_t* decode(const std::vector<uint8_t>& bytes);

}  // namespace platform::graphics::jpeg
