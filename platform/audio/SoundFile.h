#pragma once
// Reads short sound files into floating-point frames: CAF holding linear PCM,
// and RIFF WAVE (integer or float PCM, plain or extensible format chunk).
// The bytes are untrusted: every length is checked against the buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::audio {

struct PCMBuffer {
    double sampleRate = 0;
    unsigned channels = 0;
    std::vector<float> samples;  // interleaved, -1.0 .. 1.0
    size_t frames() const { return channels ? samples.size() / channels : 0; }
    double duration() const { return sampleRate > 0 ? double(frames()) / sampleRate : 0; }
};

enum class SoundFileError {
    None,
    UnsupportedFileType,    // neither CAF nor WAVE
    UnsupportedDataFormat,  // a known container around an encoding we do not play
    InvalidFile,            // truncated or inconsistent chunks
};

struct SoundFileResult {
    PCMBuffer buffer;
    SoundFileError error = SoundFileError::None;
    std::string message;  // what was wrong, for the log
    bool ok() const { return error == SoundFileError::None; }
};

SoundFileResult decodeSoundFile(std::string_view bytes);

}  // namespace platform::audio
