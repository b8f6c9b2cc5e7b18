#include "crash/capture/async/SysctlRead.h"

#include <cerrno>
#include <cstdlib>

#include "platform/system/Sysctl.h"

namespace ovcrash {

namespace ps = platform::system;

char* sysctl_string_copy(const char* name) {
    for (;;) {
        size_t size = 0;
        if (ps::sysctlbyname(name, nullptr, &size, nullptr, 0) != 0) return nullptr;
        auto* value = static_cast<char*>(std::malloc(size + 1));
        if (!value) return nullptr;
        if (ps::sysctlbyname(name, value, &size, nullptr, 0) == 0) {
            value[size] = '\0';  // a value without its own NUL still ends
            return value;
        }
        int err = errno;
        std::free(value);
        errno = err;
        // The value grew between the two calls: ask again.
        if (err != ENOMEM) return nullptr;
    }
}

bool sysctl_int_read(const char* name, int32_t* value) {
    size_t size = sizeof *value;
    return ps::sysctlbyname(name, value, &size, nullptr, 0) == 0;
}

size_t utf8_prefix_length(const uint8_t* bytes, size_t length) {
    size_t pos = 0;
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) pos = 3;
    while (pos < length) {
        uint8_t lead = bytes[pos];
        if (lead == 0) break;
        if (lead < 0x80) {
            ++pos;
            continue;
        }
        size_t extra;
        uint32_t min;
        uint32_t cp;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = lead & 0x07;
        } else {
            break;
        }
        if (extra > length - pos - 1) break;
        bool ok = true;
        for (size_t i = 1; i <= extra && ok; ++i) {
            uint8_t b = bytes[pos + i];
            ok = (b & 0xC0) == 0x80;
            cp = (cp << 6) | (b & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (!ok || cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) break;
        pos += extra + 1;
    }
    return pos;
}

}  // namespace ovcrash
