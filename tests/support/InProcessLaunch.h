#pragma once
// Runs the application loop inside the test process, so that a test can look
// at the delegate and its screens afterwards: the command-line words become
// the launch configuration, with the bundle and the sandbox home the test
// chose. A fixture holds a GlobalStateGuard around it, since the launch sets
// up the process-wide application, device, screen and clock.
#include <string>
#include <vector>

namespace qmtest {

// The process status of the launch; for help or a usage error, the status
// and the text the program would end with. `home` serves where the words
// name none.
int launchInProcess(std::vector<std::string> args, const std::string& bundlePath, const std::string& home);

}  // namespace qmtest
