#pragma once
// How a crash reporter catches crashes and symbolicates their frames;
// immutable once made.
#include <cstdint>
#include <memory>

class PKROVCrashReporterConfig {
public:
    // 0: POSIX signal handlers; 1: Mach exception server plus a SIGABRT
    // handler; anything else: only the uncaught-exception hook.
    static constexpr uint64_t kSignalHandlerTypeBSD = 0;
    static constexpr uint64_t kSignalHandlerTypeMach = 1;
    // Bit 0: symbol table; bit 1: class metadata.
    static constexpr uint64_t kSymbolicationStrategyNone = 0;

    static std::shared_ptr<PKROVCrashReporterConfig> defaultConfiguration() {
        return std::make_shared<PKROVCrashReporterConfig>();
    }
    PKROVCrashReporterConfig() = default;
    PKROVCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy)
        : signalHandlerType_(signalHandlerType), symbolicationStrategy_(symbolicationStrategy) {}

    uint64_t signalHandlerType() const { return signalHandlerType_; }
    uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }

private:
    uint64_t signalHandlerType_ = kSignalHandlerTypeBSD;
    uint64_t symbolicationStrategy_ = kSymbolicationStrategyNone;
};
