#include "crash/capture/report/PKROVCrashReportInfo.h"

PKROVCrashReportBinaryImageInfo::PKROVCrashReportBinaryImageInfo(
    std::shared_ptr<PKROVCrashReportProcessorInfo> codeType, uint64_t baseAddress, uint64_t size, std::string name,
    std::optional<std::vector<uint8_t>> uuid)
    : processorInfo_(std::move(codeType)), baseAddress_(baseAddress), imageSize_(size), imageName_(std::move(name)) {
    if (uuid) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(uuid->size() * 2);
        for (uint8_t byte : *uuid) {
            hex += digits[byte >> 4];
            hex += digits[byte & 0xF];
        }
        imageUUID_ = std::move(hex);
    }
}

std::string PKROVCrashReportUUIDString(const std::array<uint8_t, 16>& uuid) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[uuid[i] >> 4];
        text += digits[uuid[i] & 0xF];
    }
    return text;
}
