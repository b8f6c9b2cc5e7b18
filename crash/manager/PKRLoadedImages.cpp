#include "crash/manager/PKRLoadedImages.h"

#include "platform/foundation/Format.h"
#include "platform/system/Loader.h"
#include "platform/system/Mach.h"

namespace sys = platform::system;
using namespace ovcrash;

bool pkr_visit_loaded_images(const std::function<bool(const ovcrash::macho_image& image)>& visit,
                             const std::string* path) {
    sys::dyld_rescan();
    for (uint32_t i = 0, n = sys::dyld_image_count(); i < n; ++i) {
        if (path && *path != sys::dyld_get_image_name(i)) continue;
        macho_image image{};
        if (macho_image_init(&image, sys::mach_task_self(), sys::dyld_get_image_name(i),
                             reinterpret_cast<uint64_t>(sys::dyld_get_image_header(i))) != ASYNC_ESUCCESS)
            continue;
        bool done = visit(image);
        macho_image_free(&image);
        if (done) return true;
    }
    return false;
}

std::string pkr_image_uuid_string(const ovcrash::macho_image& image) {
    uint8_t uuid[16];
    if (macho_image_uuid(&image, uuid) != ASYNC_ESUCCESS) return "";
    std::string text;
    for (uint8_t byte : uuid) text += platform::foundation::format("%02x", byte);
    return text;
}
