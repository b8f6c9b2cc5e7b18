// The More-apps list as the maker's server sends it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/TWKMoreApps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto records = TWKMoreApps::parseAppList(text);
    if (!records) return 0;
    // Every field lies inside the text, and a file name is judged without reading past it.
    size_t total = 0;
    for (const auto& r : *records)
        total += r.identifier.size() + r.marker.size() + r.imageName.size() + r.link.size() + r.name.size() +
                 r.description.size() + (TWKOneApp::isPlainFileName(r.imageName) ? 1 : 0);
    if (total > size * 2) __builtin_trap();
    return 0;
}
