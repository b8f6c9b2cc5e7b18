// The header fields of a server's answer. Input: "Name: value" lines.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/net/URLResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    platform::net::HeaderFields fields;
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        fields.add(line.substr(0, colon), line.substr(colon + 1));
    }
    platform::net::URLResponse response("http://127.0.0.1/", 200, fields);
    (void)response.expectedContentLength();
    (void)response.mimeType();
    (void)response.textEncodingName();
    return 0;
}
