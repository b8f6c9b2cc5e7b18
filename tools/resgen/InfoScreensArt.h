#pragma once
// The pictures of the information area's screens: the 30 frames of the
// maker's animated logo and its lettering, the brand's logo, the icon
// placeholder and the store badge of the More-apps rows, all into the
// framework's resource bundle folder.
#include <string>

namespace resgen {

void writeInfoScreensArt(const std::string& frameworkDir);

}  // namespace resgen
