#pragma once
// A crash report file read back: checks the header, unpacks the body with the
// report schema and converts it section by section into immutable info
// objects. Either every required part is there and the whole model is built,
// or there is no report and an error says which part was missing. The crash
// manager reads the previous run's report through it.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "crash/capture/info/OVCrashReporterError.h"
#include "crash/capture/report/PKROVCrashReportInfo.h"
#include "platform/foundation/Error.h"

class PKROVCrashReport {
public:
    // The report in data (a whole report file), or null with error set.
    static std::shared_ptr<PKROVCrashReport> initWithData(const std::vector<uint8_t>& data,
                                                          platform::foundation::Error* error);

    const std::shared_ptr<PKROVCrashReportSystemInfo>& systemInfo() const { return systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_ != nullptr; }
    const std::shared_ptr<PKROVCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const std::shared_ptr<PKROVCrashReportApplicationInfo>& applicationInfo() const { return applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_ != nullptr; }
    const std::shared_ptr<PKROVCrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const std::shared_ptr<PKROVCrashReportSignalInfo>& signalInfo() const { return signalInfo_; }
    const std::shared_ptr<PKROVCrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    const std::vector<std::shared_ptr<PKROVCrashReportThreadInfo>>& threads() const { return threads_; }
    const std::vector<std::shared_ptr<PKROVCrashReportBinaryImageInfo>>& images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }
    const std::shared_ptr<PKROVCrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    // The report's UUID; empty when the file has none.
    const std::optional<std::array<uint8_t, 16>>& uuidRef() const { return uuid_; }

    // The first image whose [base, base + size) holds address, or null.
    std::shared_ptr<PKROVCrashReportBinaryImageInfo> imageForAddress(uint64_t address) const;

private:
    struct Decoder;
    PKROVCrashReport() = default;

    std::shared_ptr<PKROVCrashReportSystemInfo> systemInfo_;
    std::shared_ptr<PKROVCrashReportMachineInfo> machineInfo_;
    std::shared_ptr<PKROVCrashReportApplicationInfo> applicationInfo_;
    std::shared_ptr<PKROVCrashReportProcessInfo> processInfo_;
    std::shared_ptr<PKROVCrashReportSignalInfo> signalInfo_;
    std::shared_ptr<PKROVCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<std::shared_ptr<PKROVCrashReportThreadInfo>> threads_;
    std::vector<std::shared_ptr<PKROVCrashReportBinaryImageInfo>> images_;
    std::shared_ptr<PKROVCrashReportExceptionInfo> exceptionInfo_;
    std::optional<std::array<uint8_t, 16>> uuid_;
};
