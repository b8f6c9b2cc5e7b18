#pragma once
// zlib, gzip and raw-deflate bodies for collection requests, and the reverse.
// Pure functions: safe on any thread. Failures answer nullopt and print a
// console line.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class TLYCompressionUtil {
public:
    using Data = std::vector<uint8_t>;
    enum Mode : int { kModeZlib = 0, kModeGzip = 1, kModeRaw = 2 };

    TLYCompressionUtil() = delete;

    static std::optional<Data> tly_dataByCompressingBytes(const void* bytes, size_t length, int32_t compressionLevel,
                                                          int mode);
    static std::optional<Data> tly_dataByInflatingBytes(const void* bytes, size_t length, bool isRawData);

    static std::optional<Data> tly_dataByGzippingBytes(const void* bytes, size_t length, int32_t level = -1) {
        return tly_dataByCompressingBytes(bytes, length, level, kModeGzip);
    }
    static std::optional<Data> tly_dataByGzippingData(const Data& data, int32_t level = -1) {
        return tly_dataByGzippingBytes(data.data(), data.size(), level);
    }
    static std::optional<Data> tly_dataByDeflatingBytes(const void* bytes, size_t length, int32_t level = -1) {
        return tly_dataByCompressingBytes(bytes, length, level, kModeZlib);
    }
    static std::optional<Data> tly_dataByDeflatingData(const Data& data, int32_t level = -1) {
        return tly_dataByDeflatingBytes(data.data(), data.size(), level);
    }
    static std::optional<Data> tly_dataByRawDeflatingBytes(const void* bytes, size_t length, int32_t level = -1) {
        return tly_dataByCompressingBytes(bytes, length, level, kModeRaw);
    }
    static std::optional<Data> tly_dataByRawDeflatingData(const Data& data, int32_t level = -1) {
        return tly_dataByRawDeflatingBytes(data.data(), data.size(), level);
    }
    // Inflating sets no limit on the output size: it is the reverse of what
    // this client compressed itself. A caller that inflates bytes from
    // elsewhere bounds them first.
    // zlib or gzip input; the header is detected.
    static std::optional<Data> tly_dataByInflatingBytes(const void* bytes, size_t length) {
        return tly_dataByInflatingBytes(bytes, length, false);
    }
    static std::optional<Data> tly_dataByInflatingData(const Data& data) {
        return tly_dataByInflatingBytes(data.data(), data.size(), false);
    }
    static std::optional<Data> tly_dataByRawInflatingBytes(const void* bytes, size_t length) {
        return tly_dataByInflatingBytes(bytes, length, true);
    }
    static std::optional<Data> tly_dataByRawInflatingData(const Data& data) {
        return tly_dataByInflatingBytes(data.data(), data.size(), true);
    }
};
