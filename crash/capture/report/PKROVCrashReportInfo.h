#pragma once
// The immutable pieces of a decoded crash report (PKROVCrashReport): system,
// machine, application, process, signal, threads with their frames and
// registers, images and the uncaught exception. Built by the decoder or by
// hand (tests, formatters); absent values are empty optionals or null.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Values of PKROVCrashReportSystemInfo::operatingSystem().
enum PKROVCrashReportOperatingSystem : int32_t {
    PKROVCrashReportOperatingSystemMacOSX = 0,
    PKROVCrashReportOperatingSystemiPhoneOS = 1,
    PKROVCrashReportOperatingSystemiPhoneSimulator = 2,
    PKROVCrashReportOperatingSystemUnknown = 3,
};

// Values of PKROVCrashReportSystemInfo::architecture().
enum PKROVCrashReportArchitecture : int32_t {
    PKROVCrashReportArchitectureX86_32 = 0,
    PKROVCrashReportArchitectureX86_64 = 1,
    PKROVCrashReportArchitectureARMv6 = 2,
    PKROVCrashReportArchitecturePPC = 3,
    PKROVCrashReportArchitecturePPC64 = 4,
    PKROVCrashReportArchitectureARMv7 = 5,
    PKROVCrashReportArchitectureUnknown = 6,
};

// Values of PKROVCrashReportProcessorInfo::typeEncoding().
enum PKROVCrashReportProcessorTypeEncoding : int32_t {
    PKROVCrashReportProcessorTypeEncodingUnknown = 0,
    PKROVCrashReportProcessorTypeEncodingMach = 1,
};

class PKROVCrashReportSystemInfo {
public:
    PKROVCrashReportSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion,
                               std::optional<std::string> operatingSystemBuild, int32_t architecture,
                               std::optional<double> timestamp)
        : operatingSystem_(operatingSystem), osVersion_(std::move(operatingSystemVersion)),
          osBuild_(std::move(operatingSystemBuild)), architecture_(architecture), timestamp_(timestamp) {}
    PKROVCrashReportSystemInfo(int32_t operatingSystem, std::string operatingSystemVersion, int32_t architecture,
                               std::optional<double> timestamp)
        : PKROVCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt, architecture,
                                     timestamp) {}

    int32_t operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return osVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return osBuild_; }
    int32_t architecture() const { return architecture_; }
    // Seconds since 1970; empty when the crash time was unknown.
    std::optional<double> timestamp() const { return timestamp_; }

private:
    int32_t operatingSystem_;
    std::string osVersion_;
    std::optional<std::string> osBuild_;
    int32_t architecture_;
    std::optional<double> timestamp_;
};

class PKROVCrashReportApplicationInfo {
public:
    PKROVCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                    std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)), applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}

    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }

private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

class PKROVCrashReportProcessorInfo {
public:
    PKROVCrashReportProcessorInfo(int32_t typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}

    int32_t typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }

private:
    int32_t typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};

class PKROVCrashReportMachineInfo {
public:
    PKROVCrashReportMachineInfo(std::optional<std::string> modelName,
                                std::shared_ptr<PKROVCrashReportProcessorInfo> processorInfo, uint64_t processorCount,
                                uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)), processorInfo_(std::move(processorInfo)), processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}

    const std::optional<std::string>& modelName() const { return modelName_; }
    const std::shared_ptr<PKROVCrashReportProcessorInfo>& processorInfo() const { return processorInfo_; }
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

private:
    std::optional<std::string> modelName_;
    std::shared_ptr<PKROVCrashReportProcessorInfo> processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

class PKROVCrashReportProcessInfo {
public:
    PKROVCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID,
                                std::optional<std::string> processPath, std::optional<double> processStartTime,
                                std::optional<std::string> parentProcessName, uint64_t parentProcessID, bool native)
        : processName_(std::move(processName)), processID_(processID), processPath_(std::move(processPath)),
          processStartTime_(processStartTime), parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID), native_(native) {}

    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    std::optional<double> processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }

private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<double> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

class PKROVCrashReportSignalInfo {
public:
    PKROVCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}

    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    uint64_t address() const { return address_; }

private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

class PKROVCrashReportMachExceptionInfo {
public:
    PKROVCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
        : type_(type), codes_(std::move(codes)) {}

    uint64_t type() const { return type_; }
    const std::vector<uint64_t>& codes() const { return codes_; }

private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

class PKROVCrashReportSymbolInfo {
public:
    PKROVCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}

    const std::string& symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    uint64_t endAddress() const { return endAddress_; }  // 0 when unknown

private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};

class PKROVCrashReportStackFrameInfo {
public:
    PKROVCrashReportStackFrameInfo(uint64_t instructionPointer, std::shared_ptr<PKROVCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

    uint64_t instructionPointer() const { return instructionPointer_; }
    const std::shared_ptr<PKROVCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

private:
    uint64_t instructionPointer_;
    std::shared_ptr<PKROVCrashReportSymbolInfo> symbolInfo_;
};

class PKROVCrashReportRegisterInfo {
public:
    PKROVCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}

    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }

private:
    std::string registerName_;
    uint64_t registerValue_;
};

using PKROVCrashReportStackFrames = std::vector<std::shared_ptr<PKROVCrashReportStackFrameInfo>>;

class PKROVCrashReportThreadInfo {
public:
    PKROVCrashReportThreadInfo(int64_t threadNumber, PKROVCrashReportStackFrames stackFrames, bool crashed,
                               std::vector<std::shared_ptr<PKROVCrashReportRegisterInfo>> registers)
        : threadNumber_(threadNumber), stackFrames_(std::move(stackFrames)), crashed_(crashed),
          registers_(std::move(registers)) {}

    int64_t threadNumber() const { return threadNumber_; }
    const PKROVCrashReportStackFrames& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<std::shared_ptr<PKROVCrashReportRegisterInfo>>& registers() const { return registers_; }

private:
    int64_t threadNumber_;
    PKROVCrashReportStackFrames stackFrames_;
    bool crashed_;
    std::vector<std::shared_ptr<PKROVCrashReportRegisterInfo>> registers_;
};

class PKROVCrashReportBinaryImageInfo {
public:
    // uuid: the image's UUID bytes, shown as lowercase hexadecimal.
    PKROVCrashReportBinaryImageInfo(std::shared_ptr<PKROVCrashReportProcessorInfo> codeType, uint64_t baseAddress,
                                    uint64_t size, std::string name, std::optional<std::vector<uint8_t>> uuid);

    const std::shared_ptr<PKROVCrashReportProcessorInfo>& codeType() const { return processorInfo_; }
    uint64_t imageBaseAddress() const { return baseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }

private:
    std::shared_ptr<PKROVCrashReportProcessorInfo> processorInfo_;
    uint64_t baseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};

class PKROVCrashReportExceptionInfo {
public:
    PKROVCrashReportExceptionInfo(std::string exceptionName, std::string reason)
        : name_(std::move(exceptionName)), reason_(std::move(reason)) {}
    PKROVCrashReportExceptionInfo(std::string exceptionName, std::string reason,
                                  std::optional<PKROVCrashReportStackFrames> stackFrames)
        : name_(std::move(exceptionName)), reason_(std::move(reason)), stackFrames_(std::move(stackFrames)) {}

    const std::string& exceptionName() const { return name_; }
    const std::string& exceptionReason() const { return reason_; }
    // Empty when the report holds no frames for the exception.
    const std::optional<PKROVCrashReportStackFrames>& stackFrames() const { return stackFrames_; }

private:
    std::string name_;
    std::string reason_;
    std::optional<PKROVCrashReportStackFrames> stackFrames_;
};

// A report UUID as the platform writes UUIDs: upper-case hexadecimal in
// groups of 8-4-4-4-12.
std::string PKROVCrashReportUUIDString(const std::array<uint8_t, 16>& uuid);
