#pragma once
// Builds .eh_frame and .debug_frame contents for the DWARF reader's tests,
// fuzz seeds and benchmarks: CIEs and FDEs with the augmentations and
// pointer encodings the loader's tables use.
#include <cstdint>
#include <string>
#include <vector>

#include "crash/capture/unwind/DwarfFrameInfo.h"

namespace dwarftest {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes &b, uint64_t v, int n) {
    for (int i = 0; i < n; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void uleb(Bytes &b, uint64_t v) {
    do {
        uint8_t byte = v & 0x7f;
        v >>= 7;
        b.push_back(byte | (v ? 0x80 : 0));
    } while (v);
}
inline void sleb(Bytes &b, int64_t v) {
    for (;;) {
        uint8_t byte = v & 0x7f;
        v >>= 7;
        bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
        b.push_back(byte | (done ? 0 : 0x80));
        if (done) return;
    }
}
// Concatenates instruction pieces: ops({0x0c}, uleb 7, ...) reads better built up.
struct Ops {
    Bytes b;
    Ops &op(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Ops &u(uint64_t v) {
        uleb(b, v);
        return *this;
    }
    Ops &s(int64_t v) {
        sleb(b, v);
        return *this;
    }
    Ops &n(uint64_t v, int size) {
        put(b, v, size);
        return *this;
    }
    Ops &block(const Bytes &x) {
        uleb(b, x.size());
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
};

struct EhFrame {
    Bytes bytes;
    uint64_t address = 0x10000;  // where the section's first byte is in the task
    bool debugFrame = false;

    // A CIE; returns the offset of its length field.
    size_t cie(const std::string &augmentation, const Bytes &augmentationData, const Bytes &instructions,
               uint64_t codeAlign = 1, int64_t dataAlign = -8, uint64_t raColumn = 16, uint8_t version = 1) {
        Bytes body;
        put(body, debugFrame ? 0xffffffffu : 0, 4);
        body.push_back(version);
        body.insert(body.end(), augmentation.begin(), augmentation.end());
        body.push_back(0);
        uleb(body, codeAlign);
        sleb(body, dataAlign);
        if (version == 1)
            body.push_back(static_cast<uint8_t>(raColumn));
        else
            uleb(body, raColumn);
        if (!augmentation.empty() && augmentation[0] == 'z') {
            uleb(body, augmentationData.size());
            body.insert(body.end(), augmentationData.begin(), augmentationData.end());
        }
        body.insert(body.end(), instructions.begin(), instructions.end());
        return entry(body);
    }

    // An FDE of the CIE at `cieOffset`, its pc written pc-relative signed
    // 4-byte (encoding 0x1b), or absolute 8-byte with `absolute`.
    size_t fde(size_t cieOffset, uint64_t pcStart, uint64_t range, const Bytes &instructions,
               const Bytes *augmentationData = nullptr, bool absolute = false) {
        const size_t at = bytes.size();
        Bytes body;
        put(body, debugFrame ? cieOffset : at + 4 - cieOffset, 4);
        const uint64_t pcPosition = address + at + 4 + body.size();
        if (absolute) {
            put(body, pcStart, 8);
            put(body, range, 8);
        } else {
            put(body, static_cast<uint32_t>(pcStart - pcPosition), 4);
            put(body, range, 4);
        }
        if (augmentationData) {
            uleb(body, augmentationData->size());
            body.insert(body.end(), augmentationData->begin(), augmentationData->end());
        }
        body.insert(body.end(), instructions.begin(), instructions.end());
        return entry(body);
    }

    void terminator() { put(bytes, 0, 4); }

    size_t entry(const Bytes &body) {
        const size_t at = bytes.size();
        put(bytes, body.size(), 4);
        bytes.insert(bytes.end(), body.begin(), body.end());
        return at;
    }

    ovcrash::PKR::async::dwarf_section section() const {
        return {bytes.data(), address, bytes.size(), ovcrash::async_byteorder_native()};
    }
};

}  // namespace dwarftest
