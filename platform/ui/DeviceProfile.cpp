#include "platform/ui/DeviceProfile.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

namespace platform::ui {

namespace {

// The name the status bar shows for a cellular provider on a phone.
constexpr const char* kCarrier = "Carrier";

bool startsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool oneOf(const std::string& s, std::initializer_list<const char*> list) {
    return std::any_of(list.begin(), list.end(), [&](const char* x) { return s == x; });
}
// The generation number of "iPhone7,2" (7); -1 when the identifier has none.
int generation(const std::string& id, const std::string& family) {
    if (!startsWith(id, family) || id.size() == family.size() ||
        !isdigit(static_cast<unsigned char>(id[family.size()])))
        return -1;
    return std::atoi(id.c_str() + family.size());
}

void screen(DeviceProfile& p, double w, double h, double scale) {
    p.screenWidth = w;
    p.screenHeight = h;
    p.scale = scale;
}

void phone(DeviceProfile& p, int gen) {
    const std::string& id = p.identifier;
    p.model = "iPhone";
    p.idiom = UserInterfaceIdiom::Phone;
    p.camera = true;
    p.carrierName = kCarrier;
    p.gps = id != "iPhone1,1";
    p.frontCamera = p.flash = gen >= 3;
    if (gen <= 2)
        screen(p, 320, 480, 1);
    else if (gen <= 4)
        screen(p, 320, 480, 2);
    else if (gen <= 6 || id == "iPhone8,4")
        screen(p, 320, 568, 2);
    else if (oneOf(id, {"iPhone7,1", "iPhone8,2"}))
        screen(p, 414, 736, 3);
    else
        screen(p, 375, 667, 2);
}

void pod(DeviceProfile& p, int gen) {
    p.model = "iPod touch";
    p.idiom = UserInterfaceIdiom::Phone;
    p.camera = p.frontCamera = gen >= 4;
    p.flash = gen >= 5;
    if (gen <= 3)
        screen(p, 320, 480, 1);
    else if (gen == 4)
        screen(p, 320, 480, 2);
    else
        screen(p, 320, 568, 2);
}

void pad(DeviceProfile& p, int gen) {
    const std::string& id = p.identifier;
    p.model = "iPad";
    p.idiom = UserInterfaceIdiom::Pad;
    p.camera = p.frontCamera = gen >= 2;
    p.flash = oneOf(id, {"iPad6,3", "iPad6,4"});
    const bool cellular = oneOf(id, {"iPad1,2", "iPad2,2", "iPad2,3", "iPad2,6", "iPad2,7", "iPad3,2", "iPad3,3",
                                     "iPad3,5", "iPad3,6", "iPad4,2", "iPad4,3", "iPad4,5", "iPad4,6", "iPad4,8",
                                     "iPad4,9", "iPad5,2", "iPad5,4", "iPad6,4", "iPad6,8"});
    p.gps = cellular;
    p.carrierName = cellular ? kCarrier : "";
    if (gen <= 2)
        screen(p, 768, 1024, 1);
    else if (oneOf(id, {"iPad6,7", "iPad6,8"}))
        screen(p, 1024, 1366, 2);
    else
        screen(p, 768, 1024, 2);
}

}  // namespace

DeviceProfile DeviceProfile::forIdentifier(const std::string& identifier) {
    DeviceProfile p;
    p.identifier = identifier;
    if (int g = generation(identifier, "iPhone"); g >= 0)
        phone(p, g);
    else if (int g = generation(identifier, "iPod"); g >= 0)
        pod(p, g);
    else if (int g = generation(identifier, "iPad"); g >= 0)
        pad(p, g);
    else {
        // The simulator: a 4.7-inch phone without cameras or cellular provider
        // that still reports a location.
        p.model = "iPhone";
        p.simulator = true;
        p.gps = true;
    }
    return p;
}

}  // namespace platform::ui
