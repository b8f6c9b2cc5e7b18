#pragma once
// The host's Darwin kernel version, parsed from "kern.osrelease"; the Mach
// exception server picks its exception mask by it. Not for crash time.
#include <cstdint>
#include <memory>

class PKROVCrashHostInfo {
public:
    struct DarwinVersion {
        intptr_t major = 0;
        intptr_t minor = 0;
        intptr_t revision = 0;
    };

    // A new host information object, or null when the version cannot be read.
    static std::shared_ptr<PKROVCrashHostInfo> currentHostInfo();
    // valid() is false when "kern.osrelease" cannot be read (logged); a value
    // of another form keeps the numbers read before the fault (logged).
    PKROVCrashHostInfo();

    bool valid() const { return valid_; }
    DarwinVersion darwinVersion() const { return darwinVersion_; }

private:
    DarwinVersion darwinVersion_;
    bool valid_ = false;
};
