#pragma once
// Maps the hardware identifier to the device index that selects the row of the
// battery tables, and the index to a display name. The index is detected once
// per process and kept.
#include <cstdint>
#include <string>

class DeviceDetection {
public:
    // The index of the current device's model string and hardware identifier,
    // detected at the first call; later calls read neither. Main thread only.
    static int32_t detectDevice();
    // The display name of detectDevice()'s index; the flag only matters for index 0.
    static std::string name(bool flag);
    // name(true).
    static std::string model();

    // The rules themselves: model string (e.g. "iPhone", "iPod touch", "iPad") and
    // hardware identifier (e.g. "iPhone7,1"; any "*" is removed) to an index 1..32.
    static int32_t detect(const std::string& modelString, const std::string& hardwareIdentifier);
    // The name table for any index.
    static std::string nameForIndex(int32_t index, bool flag);

    static constexpr int32_t kNotDetected = -8888888;

    // Back to "not detected", for the test guard alone: tests play several
    // devices in one process. The application never calls it.
    static void forgetDetectedIndexForTests();
};
