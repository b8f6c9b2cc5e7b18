#pragma once
// The full-battery chime: two bell-like notes, written as 16-bit linear PCM
// in a CAF file.
#include <cstdint>
#include <string>
#include <vector>

namespace resgen {

inline constexpr double kChimeSampleRate = 44100.0;

std::vector<int16_t> synthesiseChime();
// A CAF file: "caff" header, "desc" (linear PCM, signed 16-bit little-endian
// integers, mono) and "data" chunks, all big-endian as the format wants.
std::vector<uint8_t> cafFile(const std::vector<int16_t>& samples, double sampleRate);
void writeChime(const std::string& path);

}  // namespace resgen
