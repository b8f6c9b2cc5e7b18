// resgen OUTDIR: draws every picture of the application bundle and writes its
// sound into OUTDIR (the bundle folder); framework pictures go to the
// framework's resource bundle inside it.
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <exception>
#include <filesystem>

#include "tools/resgen/BatteryArt.h"
#include "tools/resgen/Chime.h"
#include "tools/resgen/IconArt.h"
#include "tools/resgen/InfoArt.h"
#include "tools/resgen/InfoScreensArt.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    try {
        const std::filesystem::path out = argv[1];
        const std::filesystem::path framework = out / "TWKResourcesMain.bundle";
        std::filesystem::create_directories(framework);
        resgen::writeBatteryParts(out, resgen::kPhoneBattery, "");
        resgen::writeBatteryParts(out, resgen::kTabletBattery, "-ipad");
        resgen::writeChargingMark(out);
        resgen::writeBubble(out);
        resgen::writeRowIcons(out);
        resgen::writeButtons(out);
        resgen::writeAppIcon(out);
        resgen::writeColorSpectrum(framework);
        resgen::writePickerMarkers(framework);
        resgen::writeInfoArt(framework);
        resgen::writeInfoScreensArt(framework);
        resgen::writeChime(out / "a.caf");
        // Frees the font caches the captions filled, so that a leak checker
        // sees only what is ours.
        cairo_debug_reset_static_data();
        FcFini();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "resgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
