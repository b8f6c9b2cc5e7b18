#pragma once
// An Xvfb server of a test's own, on a free display number it claims; it ends
// with the object.
#include <sys/types.h>

#include <string>

namespace qmtest {

class VirtualDisplay {
public:
    explicit VirtualDisplay(const std::string& screen = "1280x1024x24");
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool started() const { return !name_.empty(); }
    const std::string& name() const { return name_; }  // ":N", empty when Xvfb did not start

    static bool installed();

private:
    pid_t pid_ = -1;
    int claim_ = -1;  // the lock on the display's number
    int number_ = -1;
    std::string name_;
};

}  // namespace qmtest
