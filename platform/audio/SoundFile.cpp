#include "platform/audio/SoundFile.h"

#include <cstring>

namespace platform::audio {

namespace {

constexpr unsigned kMaxChannels = 8;
constexpr double kMaxSampleRate = 384000;

class Reader {
public:
    explicit Reader(std::string_view b) : b_(b) {}
    bool has(size_t pos, size_t n) const { return pos <= b_.size() && n <= b_.size() - pos; }
    uint16_t be16(size_t p) const { return uint16_t(byte(p) << 8 | byte(p + 1)); }
    uint32_t be32(size_t p) const { return uint32_t(be16(p)) << 16 | be16(p + 2); }
    uint64_t be64(size_t p) const { return uint64_t(be32(p)) << 32 | be32(p + 4); }
    uint16_t le16(size_t p) const { return uint16_t(byte(p) | byte(p + 1) << 8); }
    uint32_t le32(size_t p) const { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
    bool tag(size_t p, const char* t) const { return has(p, 4) && std::memcmp(b_.data() + p, t, 4) == 0; }
    size_t size() const { return b_.size(); }
    const unsigned char* at(size_t p) const { return reinterpret_cast<const unsigned char*>(b_.data()) + p; }

private:
    unsigned byte(size_t p) const { return static_cast<unsigned char>(b_[p]); }
    std::string_view b_;
};

enum class Encoding { SignedInt, UnsignedInt, Float };

struct Layout {
    double rate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
    Encoding encoding = Encoding::SignedInt;
    bool littleEndian = true;
};

SoundFileResult fail(SoundFileError e, std::string m) {
    SoundFileResult r;
    r.error = e;
    r.message = std::move(m);
    return r;
}

float sampleAt(const unsigned char* p, const Layout& l) {
    const unsigned bytes = l.bits / 8;
    uint64_t raw = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        const unsigned shift = l.littleEndian ? 8 * i : 8 * (bytes - 1 - i);
        raw |= uint64_t(p[i]) << shift;
    }
    if (l.encoding == Encoding::Float) {
        if (bytes == 4) {
            uint32_t u = uint32_t(raw);
            float f;
            std::memcpy(&f, &u, 4);
            return f;
        }
        double d;
        std::memcpy(&d, &raw, 8);
        return float(d);
    }
    if (l.encoding == Encoding::UnsignedInt)  // 8-bit WAVE
        return (float(raw) - 128.0f) / 128.0f;
    // Sign-extend from the sample width.
    const int64_t v = int64_t(raw << (64 - l.bits)) >> (64 - l.bits);
    return float(double(v) / double(uint64_t(1) << (l.bits - 1)));
}

SoundFileResult convert(const Reader& r, size_t dataPos, size_t dataSize, const Layout& l) {
    if (l.channels == 0 || l.channels > kMaxChannels)
        return fail(SoundFileError::UnsupportedDataFormat, "unsupported channel count " + std::to_string(l.channels));
    if (!(l.rate > 0 && l.rate <= kMaxSampleRate))
        return fail(SoundFileError::UnsupportedDataFormat, "unsupported sample rate");
    const bool intOk = l.encoding != Encoding::Float && (l.bits == 8 || l.bits == 16 || l.bits == 24 || l.bits == 32);
    const bool floatOk = l.encoding == Encoding::Float && (l.bits == 32 || l.bits == 64);
    if (!intOk && !floatOk)
        return fail(SoundFileError::UnsupportedDataFormat, "unsupported sample size " + std::to_string(l.bits));
    if (!r.has(dataPos, 0)) return fail(SoundFileError::InvalidFile, "audio data outside the file");
    // A data chunk that claims more than the file holds is cut to what is there.
    dataSize = std::min(dataSize, r.size() - dataPos);
    const size_t frameBytes = size_t(l.bits / 8) * l.channels;
    const size_t frames = dataSize / frameBytes;
    SoundFileResult out;
    out.buffer.sampleRate = l.rate;
    out.buffer.channels = l.channels;
    out.buffer.samples.resize(frames * l.channels);
    const unsigned char* p = r.at(dataPos);
    for (size_t i = 0; i < out.buffer.samples.size(); ++i, p += l.bits / 8) out.buffer.samples[i] = sampleAt(p, l);
    return out;
}

SoundFileResult decodeCAF(const Reader& r) {
    // Header: 'caff', version 1, flags; then chunks of (type, signed 64-bit size).
    if (r.size() < 8 || r.be16(4) != 1) return fail(SoundFileError::InvalidFile, "unsupported CAF version");
    size_t pos = 8;
    bool haveDesc = false;
    Layout l;
    while (r.has(pos, 12)) {
        const size_t body = pos + 12;
        const int64_t declared = int64_t(r.be64(pos + 4));
        if (r.tag(pos, "desc")) {
            if (declared < 32 || !r.has(body, 32))
                return fail(SoundFileError::InvalidFile, "truncated CAF description chunk");
            uint64_t rateBits = r.be64(body);
            std::memcpy(&l.rate, &rateBits, 8);
            if (!r.tag(body + 8, "lpcm"))
                return fail(SoundFileError::UnsupportedDataFormat, "CAF data is not linear PCM");
            const uint32_t flags = r.be32(body + 12);
            const uint32_t bytesPerPacket = r.be32(body + 16);
            const uint32_t framesPerPacket = r.be32(body + 20);
            l.channels = r.be32(body + 24);
            l.bits = r.be32(body + 28);
            l.encoding = (flags & 1) ? Encoding::Float : Encoding::SignedInt;
            l.littleEndian = flags & 2;
            if (framesPerPacket != 1 || l.bits % 8 != 0 || bytesPerPacket != l.bits / 8 * l.channels)
                return fail(SoundFileError::UnsupportedDataFormat, "packed or padded CAF samples");
            haveDesc = true;
        } else if (r.tag(pos, "data")) {
            if (!haveDesc) return fail(SoundFileError::InvalidFile, "CAF data chunk before its description");
            // -1 means "to the end of the file"; the first 4 bytes are the edit count.
            if (declared != -1 && declared < 4) return fail(SoundFileError::InvalidFile, "truncated CAF data chunk");
            const size_t dataSize = declared == -1 ? SIZE_MAX : size_t(declared - 4);
            return convert(r, body + 4, dataSize, l);
        }
        if (declared < 0 || uint64_t(declared) > r.size() - body) break;
        pos = body + size_t(declared);
    }
    return fail(SoundFileError::InvalidFile, haveDesc ? "CAF file without audio data" : "CAF file without description");
}

SoundFileResult decodeWAVE(const Reader& r) {
    size_t pos = 12;
    bool haveFormat = false;
    Layout l;
    while (r.has(pos, 8)) {
        const size_t body = pos + 8;
        const size_t size = r.le32(pos + 4);
        if (r.tag(pos, "fmt ")) {
            if (size < 16 || !r.has(body, 16)) return fail(SoundFileError::InvalidFile, "truncated WAVE format chunk");
            uint16_t format = r.le16(body);
            l.channels = r.le16(body + 2);
            l.rate = r.le32(body + 4);
            const unsigned blockAlign = r.le16(body + 12);
            l.bits = r.le16(body + 14);
            if (format == 0xFFFE) {  // extensible: the sub-format GUID starts with the real tag
                if (size < 40 || !r.has(body, 40))
                    return fail(SoundFileError::InvalidFile, "truncated WAVE extensible format");
                format = r.le16(body + 24);
            }
            if (format == 1)
                l.encoding = l.bits == 8 ? Encoding::UnsignedInt : Encoding::SignedInt;
            else if (format == 3)
                l.encoding = Encoding::Float;
            else
                return fail(SoundFileError::UnsupportedDataFormat,
                            "WAVE data is not PCM (format " + std::to_string(format) + ")");
            if (l.bits % 8 != 0 || blockAlign != l.bits / 8 * l.channels)
                return fail(SoundFileError::UnsupportedDataFormat, "packed or padded WAVE samples");
            haveFormat = true;
        } else if (r.tag(pos, "data")) {
            if (!haveFormat) return fail(SoundFileError::InvalidFile, "WAVE data chunk before its format");
            return convert(r, body, size, l);
        }
        if (size > r.size() - body) break;
        pos = body + size + (size & 1);  // chunks are padded to even lengths
    }
    return fail(SoundFileError::InvalidFile, haveFormat ? "WAVE file without audio data" : "WAVE file without format");
}

}  // namespace

SoundFileResult decodeSoundFile(std::string_view bytes) {
    Reader r(bytes);
    if (r.tag(0, "caff")) return decodeCAF(r);
    if (r.tag(0, "RIFF") && r.tag(8, "WAVE")) return decodeWAVE(r);
    return fail(SoundFileError::UnsupportedFileType, "not a CAF or WAVE file");
}

}  // namespace platform::audio
