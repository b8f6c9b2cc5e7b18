#pragma once
// The information area's pictures: the three tab images, the review pulse's
// shine and lamp, and the idea mark of the problem-report page, all into the
// framework's resource bundle folder.
#include <string>

namespace resgen {

void writeInfoArt(const std::string& frameworkDir);

}  // namespace resgen
