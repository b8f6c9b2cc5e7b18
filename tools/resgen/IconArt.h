#pragma once
// The main screen's row icons and buttons, the colour picker's spectrum and
// the application icon.
#include <string>

namespace resgen {

// Names of the row icons, as the interface files refer to them.
void writeRowIcons(const std::string& dir);
void writeButtons(const std::string& dir);  // "settingsgray", "moreappsgray"
// The picker's colours and its marker (touching and at rest), into the
// framework's resource bundle folder.
void writeColorSpectrum(const std::string& frameworkDir);
void writePickerMarkers(const std::string& frameworkDir);
void writeAppIcon(const std::string& dir);

}  // namespace resgen
