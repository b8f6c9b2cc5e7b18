#pragma once
// Builds "__TEXT","__unwind_info" sections for the compact unwind reader's
// tests, fuzz seeds and benchmarks: the header, the common encodings, the
// first-level index with its sentinel, and regular or compressed pages.
#include <cstdint>
#include <utility>
#include <vector>

namespace unwindtest {

using Bytes = std::vector<uint8_t>;

struct Page {
    bool compressed = false;
    // Regular: (function offset, encoding). Compressed: (function offset
    // relative to the index entry, encoding index).
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    std::vector<uint32_t> localEncodings;  // compressed pages only
};

struct UnwindInfo {
    uint32_t version = 1;
    std::vector<uint32_t> common;
    std::vector<std::pair<uint32_t, Page>> index;  // first-level function offset, its page
    uint32_t sentinel = 0xffffff;                  // function offset of the closing entry
    bool swapped = false;

    Bytes build() const {
        Bytes b(28, 0);
        const uint32_t commonAt = 28;
        for (uint32_t e : common) put32(b, e);
        const uint32_t indexAt = static_cast<uint32_t>(b.size());
        b.resize(b.size() + 12 * (index.size() + 1));
        std::vector<uint32_t> pageAt;
        for (const auto &[function, page] : index) {
            pageAt.push_back(static_cast<uint32_t>(b.size()));
            const size_t start = b.size();
            const uint32_t header = page.compressed ? 12 : 8;
            put32(b, page.compressed ? 3 : 2);
            put16(b, static_cast<uint16_t>(header));
            put16(b, static_cast<uint16_t>(page.entries.size()));
            if (page.compressed) {
                put16(b, static_cast<uint16_t>(header + 4 * page.entries.size()));
                put16(b, static_cast<uint16_t>(page.localEncodings.size()));
            }
            for (const auto &[offset, value] : page.entries) {
                if (page.compressed) {
                    put32(b, (value << 24) | (offset & 0xffffff));
                } else {
                    put32(b, offset);
                    put32(b, value);
                }
            }
            for (uint32_t e : page.localEncodings) put32(b, e);
            (void)start;
        }
        for (size_t i = 0; i <= index.size(); i++) {
            const size_t at = indexAt + 12 * i;
            set32(b, at, i < index.size() ? index[i].first : sentinel);
            set32(b, at + 4, i < index.size() ? pageAt[i] : 0);
        }
        const uint32_t header[7] = {version, commonAt, static_cast<uint32_t>(common.size()),   0,
                                    0,       indexAt,  static_cast<uint32_t>(index.size() + 1)};
        for (int i = 0; i < 7; i++) set32(b, 4 * i, header[i]);
        return b;
    }

    void put16(Bytes &b, uint16_t v) const {
        b.resize(b.size() + 2);
        set(b, b.size() - 2, v, 2);
    }
    void put32(Bytes &b, uint32_t v) const {
        b.resize(b.size() + 4);
        set(b, b.size() - 4, v, 4);
    }
    void set32(Bytes &b, size_t at, uint32_t v) const { set(b, at, v, 4); }
    void set(Bytes &b, size_t at, uint32_t v, int n) const {
        for (int i = 0; i < n; i++) b[at + (swapped ? n - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
    }
};

}  // namespace unwindtest
