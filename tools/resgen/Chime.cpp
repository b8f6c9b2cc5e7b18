#include "tools/resgen/Chime.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace resgen {

namespace {

struct Note {
    double start, frequency, gain;
};

// One struck note: a fundamental with a few partials; the higher ones die
// away sooner, as on a small bell.
double bell(double t, double f) {
    if (t < 0) return 0;
    const double attack = std::min(1.0, t / 0.004);
    const double partials[][3] = {{1.0, 1.0, 0.45}, {2.0, 0.35, 0.25}, {2.76, 0.18, 0.12}, {4.07, 0.08, 0.07}};
    double v = 0;
    for (const auto& p : partials) v += p[1] * std::exp(-t / p[2]) * std::sin(2 * M_PI * f * p[0] * t);
    return attack * v;
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void putU64(std::vector<uint8_t>& out, uint64_t v) {
    putU32(out, static_cast<uint32_t>(v >> 32));
    putU32(out, static_cast<uint32_t>(v));
}

void putTag(std::vector<uint8_t>& out, const char tag[5]) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

}  // namespace

std::vector<int16_t> synthesiseChime() {
    const Note notes[] = {{0.0, 1318.51, 0.55}, {0.14, 1975.53, 0.45}};  // E6, then B6
    const size_t count = static_cast<size_t>(kChimeSampleRate * 1.2);
    std::vector<double> mix(count);
    double peak = 0;
    for (size_t i = 0; i < count; ++i) {
        const double t = i / kChimeSampleRate;
        double v = 0;
        for (const Note& n : notes) v += n.gain * bell(t - n.start, n.frequency);
        // A short fade at the very end so the sound stops without a click.
        v *= std::min(1.0, (1.2 - t) / 0.05);
        mix[i] = v;
        peak = std::max(peak, std::fabs(v));
    }
    std::vector<int16_t> samples(count);
    const double scale = 0.7 * 32767.0 / peak;
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(std::lround(mix[i] * scale));
    return samples;
}

std::vector<uint8_t> cafFile(const std::vector<int16_t>& samples, double sampleRate) {
    std::vector<uint8_t> out;
    out.reserve(4096 + samples.size() * 2);
    putTag(out, "caff");
    out.push_back(0);  // version 1
    out.push_back(1);
    out.push_back(0);  // flags
    out.push_back(0);

    putTag(out, "desc");
    putU64(out, 32);
    putU64(out, std::bit_cast<uint64_t>(sampleRate));
    putTag(out, "lpcm");
    putU32(out, 2);  // little-endian integers
    putU32(out, 2);  // bytes per packet
    putU32(out, 1);  // frames per packet
    putU32(out, 1);  // channels
    putU32(out, 16);

    putTag(out, "data");
    putU64(out, 4 + samples.size() * 2);
    putU32(out, 0);  // edit count
    for (int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        out.push_back(static_cast<uint8_t>(u & 0xff));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

void writeChime(const std::string& path) {
    const std::vector<uint8_t> bytes = cafFile(synthesiseChime(), kChimeSampleRate);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace resgen
