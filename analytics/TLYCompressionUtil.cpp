#include "analytics/TLYCompressionUtil.h"

#include <zlib.h>

#include <algorithm>

#include "platform/foundation/Log.h"

namespace {

constexpr size_t kWindow = 1024;
constexpr uint64_t kMaxInput = 4294967295ull;

bool acceptable(const void* bytes, size_t length) { return bytes && length > 0 && uint64_t(length) <= kMaxInput; }

}  // namespace

std::optional<TLYCompressionUtil::Data> TLYCompressionUtil::tly_dataByCompressingBytes(const void* bytes, size_t length,
                                                                                       int32_t compressionLevel,
                                                                                       int mode) {
    if (!acceptable(bytes, length)) return std::nullopt;
    int level = compressionLevel;
    if (level != -1) level = std::min(9, std::max(1, level));
    int windowBits = mode == kModeGzip ? 31 : mode == kModeRaw ? -15 : 15;

    z_stream stream{};
    int rc = deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
        platform::foundation::logf("Failed to init for deflate w/ level %d, error %d", level, rc);
        return std::nullopt;
    }
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    stream.avail_in = uInt(length);

    Data out;
    out.reserve(length / 4);
    uint8_t window[kWindow];
    do {
        stream.next_out = window;
        stream.avail_out = kWindow;
        rc = deflate(&stream, Z_FINISH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            platform::foundation::logf("Error trying to deflate some of the payload, error %d", rc);
            deflateEnd(&stream);
            return std::nullopt;
        }
        out.insert(out.end(), window, window + (kWindow - stream.avail_out));
    } while (rc != Z_STREAM_END);
    if (stream.avail_in != 0)
        platform::foundation::logf("finished deflate w/o using all input, %u bytes left", stream.avail_in);
    deflateEnd(&stream);
    return out;
}

std::optional<TLYCompressionUtil::Data> TLYCompressionUtil::tly_dataByInflatingBytes(const void* bytes, size_t length,
                                                                                     bool isRawData) {
    if (!acceptable(bytes, length)) return std::nullopt;
    z_stream stream{};
    int rc = inflateInit2(&stream, isRawData ? -15 : 47);
    if (rc != Z_OK) {
        platform::foundation::logf("Failed to init for inflate, error %d", rc);
        return std::nullopt;
    }
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(bytes));
    stream.avail_in = uInt(length);

    Data out;
    out.reserve(length * 4);
    uint8_t window[kWindow];
    do {
        stream.next_out = window;
        stream.avail_out = kWindow;
        rc = inflate(&stream, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            platform::foundation::logf("Error trying to inflate some of the payload, error %d: %s", rc,
                                       stream.msg ? stream.msg : "");
            inflateEnd(&stream);
            return std::nullopt;
        }
        out.insert(out.end(), window, window + (kWindow - stream.avail_out));
    } while (rc != Z_STREAM_END);
    if (stream.avail_in != 0) {
        platform::foundation::logf("tfinished inflate w/o using all input, %u bytes left", stream.avail_in);
        inflateEnd(&stream);
        return std::nullopt;
    }
    inflateEnd(&stream);
    return out;
}
