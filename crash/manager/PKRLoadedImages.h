#pragma once
// The images loaded in this process, read with the crash reporter's Mach-O
// image reader: what the crash report manager needs of the running process
// (its executable's UUID, selector names of a build that is loaded again).
#include <functional>
#include <string>

#include "crash/capture/image/MachOImage.h"

// Calls `visit` with each loaded image (only those at `path`, when given), in
// load order, until it answers true; answers whether one did.
bool pkr_visit_loaded_images(const std::function<bool(const ovcrash::macho_image& image)>& visit,
                             const std::string* path = nullptr);
// The image's LC_UUID as 32 lower-case hex digits; "" without one.
std::string pkr_image_uuid_string(const ovcrash::macho_image& image);
