#include "crash/manager/PKRCrashReportTextFormatter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <regex>
#include <vector>

#include "crash/capture/image/MachOImage.h"
#include "crash/capture/report/PKROVCrashReportTextFormatter.h"
#include "crash/manager/PKRLoadedImages.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Unicode.h"

namespace pf = platform::foundation;
using ull = unsigned long long;

namespace {

constexpr const char* kUnknown = "???";
constexpr const char* kDatePattern = "yyyy'-'MM'-'dd'T'HH':'mm':'ss'Z'";
// 9999-12-31T23:59:59Z: a damaged file's time beyond four-digit years has no date to show.
constexpr double kLastDateSeconds = 253402300799.0;

bool isMach(const std::shared_ptr<PKROVCrashReportProcessorInfo>& cpu) {
    return cpu && cpu->typeEncoding() == PKROVCrashReportProcessorTypeEncodingMach;
}

std::string orUnknown(const std::optional<std::string>& s) { return s ? *s : kUnknown; }

std::string dateText(std::optional<double> when) {
    return when && std::fabs(*when) <= kLastDateSeconds ? pf::formatDate(*when, kDatePattern) : kUnknown;
}

std::string operatingSystemName(int32_t os) {
    switch (os) {
    case PKROVCrashReportOperatingSystemiPhoneOS: return "iPhone OS";
    case PKROVCrashReportOperatingSystemMacOSX:
    case PKROVCrashReportOperatingSystemiPhoneSimulator: return "Mac OS X";
    default: return pf::format("Unknown (%d)", os);
    }
}

// An image name for the frame column: at most 33 characters, else its first
// 32 and "... ", padded to 36.
std::string frameColumnName(const std::string& name) {
    std::vector<pf::ComposedSequence> sequences = pf::composedSequences(name);
    std::string out;
    size_t count = sequences.size();
    if (count <= 33) {
        out = name;
    } else {
        out = name.substr(0, sequences[32].byteOffset);
        out += "... ";
        count = 36;
    }
    if (count < 36) out.append(36 - count, ' ');
    return out;
}

// "." and ".." resolved and repeated or trailing slashes dropped.
std::string standardizedPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = !path.empty() && path[0] == '/' ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out;
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::string> processPathOf(const PKROVCrashReport& report) {
    return report.processInfo() ? report.processInfo()->processPath() : std::nullopt;
}

std::shared_ptr<PKROVCrashReportThreadInfo> crashedThread(const PKROVCrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread->crashed()) return thread;
    return nullptr;
}

std::vector<std::shared_ptr<PKROVCrashReportBinaryImageInfo>> imagesByBase(const PKROVCrashReport& report) {
    auto images = report.images();
    std::stable_sort(images.begin(), images.end(),
                     [](const auto& a, const auto& b) { return PKRCrashReportTextFormatter::imageOrder(*a, *b); });
    return images;
}

std::string framesText(const PKROVCrashReportStackFrames& frames, const PKROVCrashReport& report, bool lp64) {
    std::string text;
    for (size_t i = 0; i < frames.size(); ++i)
        text += PKRCrashReportTextFormatter::pkr_formatStackFrame(*frames[i], int64_t(i), report, lp64);
    return text;
}

}  // namespace

std::string PKRCrashReportTextFormatter::stringValueForCrashReport(const PKROVCrashReport& report,
                                                                   const OptionalString& crashReporterKey) {
    const auto& system = report.systemInfo();
    const auto& process = report.processInfo();
    const auto& machine = report.machineInfo();
    PKROVCrashReportCodeType codeType = PKROVCrashReportCodeTypeOf(report);
    std::string text;

    const auto& uuid = report.uuidRef();
    text += "Incident Identifier: " + (uuid ? PKROVCrashReportUUIDString(*uuid) : std::string(kUnknown)) + "\n";
    text += "CrashReporter Key:   " + (crashReporterKey && !crashReporterKey->empty() ? *crashReporterKey : kUnknown) +
            "\n";
    text += "Hardware Model:      " + (machine ? orUnknown(machine->modelName()) : kUnknown) + "\n";

    text += PKROVCrashReportProcessText(report, codeType);

    std::optional<double> crashTime = system->timestamp();
    text += "Date/Time:       " + dateText(crashTime) + "\n";
    if (process && crashTime && process->processStartTime())
        text += "Launch Time:     " + dateText(process->processStartTime()) + "\n";
    text += "OS Version:      " + operatingSystemName(system->operatingSystem()) + " " +
            system->operatingSystemVersion() + " (" + orUnknown(system->operatingSystemBuild()) + ")\n";
    text += "Report Version:  104\n\n";

    const auto& signal = report.signalInfo();
    text += "Exception Type:  " + signal->name() + "\n";
    text += pf::format("Exception Codes: %s at 0x%llx\n", signal->code().c_str(), ull(signal->address()));
    auto crashed = crashedThread(report);
    if (crashed) text += pf::format("Crashed Thread:  %ld\n", long(crashed->threadNumber()));
    text += "\n";

    const auto& exception = report.exceptionInfo();
    if (exception) {
        text += "Application Specific Information:\n";
        text += "*** Terminating app due to uncaught exception '" + exception->exceptionName() + "', reason: '" +
                exception->exceptionReason() + "'\n\n";
    } else if (crashed) {
        OptionalString selector;
        for (const char* name : codeType.lp64 ? std::vector<const char*>{"x1"} : std::vector<const char*>{"r1", "r2"})
            if (!selector) selector = selectorForRegisterWithName(name, *crashed, report);
        if (selector) {
            text += "Application Specific Information:\n";
            text += "Selector name found in current argument registers: " + *selector + "\n\n";
        }
    }
    if (exception && exception->stackFrames() && !exception->stackFrames()->empty())
        text += "Last Exception Backtrace:\n" + framesText(*exception->stackFrames(), report, codeType.lp64) + "\n";

    for (const auto& thread : report.threads()) {
        long number = long(thread->threadNumber());
        text += thread->crashed() ? pf::format("Thread %ld Crashed:\n", number) : pf::format("Thread %ld:\n", number);
        text += framesText(thread->stackFrames(), report, codeType.lp64) + "\n";
    }

    if (crashed) text += PKROVCrashReportThreadStateText(report, *crashed, codeType);

    text += "Binary Images:\n";
    std::optional<uint64_t> lastBase;
    OptionalString executable = processPathOf(report);
    for (const auto& image : imagesByBase(report)) {
        uint64_t base = image->imageBaseAddress();
        if (lastBase == base) continue;  // one line per base address
        lastBase = base;
        uint64_t end = image->imageSize() > 1 ? base + image->imageSize() - 1 : base;
        PKRBinaryImageType type = pkr_imageTypeForImagePath(image->imageName(), executable);
        text += pf::format(
            codeType.lp64 ? "%#18llx - %#18llx %s%s %s  <%s> %s\n" : "%#10llx - %#10llx %s%s %s  <%s> %s\n", ull(base),
            ull(end), type == PKRBinaryImageTypeOther ? " " : "+",
            pf::FileManager::lastPathComponent(image->imageName()).c_str(), pkr_archNameFromImageInfo(*image).c_str(),
            orUnknown(image->imageUUID()).c_str(), image->imageName().c_str());
    }
    return text;
}

pf::Value PKRCrashReportTextFormatter::arrayOfAppUUIDsForCrashReport(const PKROVCrashReport& report) {
    pf::Value list = pf::Value::emptyArray();
    OptionalString executable = processPathOf(report);
    for (const auto& image : imagesByBase(report)) {
        PKRBinaryImageType type = pkr_imageTypeForImagePath(image->imageName(), executable);
        if (type == PKRBinaryImageTypeOther) continue;
        pf::Value entry = pf::Value::emptyDictionary();
        entry["uuid"] = orUnknown(image->imageUUID());
        entry["arch"] = pkr_archNameFromImageInfo(*image);
        entry["type"] = type == PKRBinaryImageTypeAppBinary ? "app" : "framework";
        list.push(std::move(entry));
    }
    return list;
}

PKRCrashReportTextFormatter::OptionalString PKRCrashReportTextFormatter::selectorForRegisterWithName(
    const std::string& registerName, const PKROVCrashReportThreadInfo& thread, const PKROVCrashReport& report) {
    uint64_t value = 0;
    for (const auto& reg : thread.registers()) {
        if (reg->registerName() == registerName) {
            value = reg->registerValue();
            break;
        }
    }
    if (value == 0) return std::nullopt;
    auto reportImage = report.imageForAddress(value);
    if (!reportImage || !reportImage->imageUUID()) return std::nullopt;

    OptionalString selector;
    pkr_visit_loaded_images(
        [&](const ovcrash::macho_image& image) {
            if (pf::lowercased(pkr_image_uuid_string(image)) != pf::lowercased(*reportImage->imageUUID())) return false;
            // Only the same build, loaded again, holds the same bytes at the same offset.
            uint64_t address = ovcrash::macho_image_header_address(&image) + (value - reportImage->imageBaseAddress());
            ovcrash::async_mobject section{};
            if (ovcrash::macho_image_map_section(&image, "__TEXT", "__objc_methname", &section) !=
                ovcrash::ASYNC_ESUCCESS)
                return true;
            uint64_t start = ovcrash::mobject_task_address(&section), length = ovcrash::mobject_length(&section);
            if (address >= start && address - start < length) {
                uint64_t left = length - (address - start);
                const auto* text = static_cast<const char*>(ovcrash::mobject_remap_address(&section, address, 0, left));
                if (text) {
                    size_t n = strnlen(text, left);
                    if (n < left) selector = std::string(text, n);
                }
            }
            ovcrash::mobject_free(&section);
            return true;
        },
        &reportImage->imageName());
    return selector;
}

PKRBinaryImageType PKRCrashReportTextFormatter::pkr_imageTypeForImagePath(const OptionalString& imagePath,
                                                                          const OptionalString& processPath) {
    if (!imagePath || !processPath) return PKRBinaryImageTypeOther;
    std::string standardized = pf::lowercased(standardizedPath(*imagePath));
    std::string raw = pf::lowercased(*imagePath);
    std::string executable = pf::lowercased(*processPath);
    if (standardized.find(".app/") == std::string::npos) return PKRBinaryImageTypeOther;
    if (standardized.find("frameworks/libswift") != std::string::npos && endsWith(standardized, ".dylib"))
        return PKRBinaryImageTypeOther;
    if (standardized == executable || raw.rfind(executable, 0) == 0) return PKRBinaryImageTypeAppBinary;
    return PKRBinaryImageTypeAppFramework;
}

std::string PKRCrashReportTextFormatter::pkr_archNameFromImageInfo(const PKROVCrashReportBinaryImageInfo& image) {
    if (!isMach(image.codeType())) return kUnknown;
    return pkr_archNameFromCPUType(image.codeType()->type(), image.codeType()->subtype());
}

std::string PKRCrashReportTextFormatter::pkr_archNameFromCPUType(uint64_t cpuType, uint64_t cpuSubtype) {
    return PKROVCrashReportArchitectureName(cpuType, cpuSubtype, "arm64");
}

std::string PKRCrashReportTextFormatter::pkr_formatStackFrame(const PKROVCrashReportStackFrameInfo& frame,
                                                              int64_t frameIndex, const PKROVCrashReport& report,
                                                              bool lp64) {
    uint64_t pc = frame.instructionPointer();
    uint64_t base = 0, offset = 0;
    std::string name = kUnknown;
    OptionalString imagePath;
    if (auto image = report.imageForAddress(pc)) {
        name = pf::FileManager::lastPathComponent(image->imageName());
        imagePath = image->imageName();
        base = image->imageBaseAddress();
        offset = pc - base;
    }
    std::string symbol;
    const auto& info = frame.symbolInfo();
    if (info && pkr_imageTypeForImagePath(imagePath, processPathOf(report)) == PKRBinaryImageTypeOther) {
        std::string symbolName = info->symbolName();
        int32_t os = report.systemInfo()->operatingSystem();
        if (os == PKROVCrashReportOperatingSystemMacOSX || os == PKROVCrashReportOperatingSystemiPhoneOS ||
            os == PKROVCrashReportOperatingSystemiPhoneSimulator) {
            if (symbolName.size() >= 2 && symbolName[0] == '_') symbolName.erase(0, 1);
        } else {
            pf::log("Symbol prefix rules are unknown for this OS!");
        }
        symbol = pf::format("%s + %lld", symbolName.c_str(), (long long)(pc - info->startAddress()));
    } else {
        symbol = pf::format("0x%llx + %lld", ull(base), (long long)offset);
    }
    return pf::format("%-4ld%s 0x%0*llx %s\n", long(frameIndex), frameColumnName(name).c_str(), lp64 ? 16 : 8, ull(pc),
                      symbol.c_str());
}

std::string PKRCrashReportTextFormatter::anonymizedProcessPathFromProcessPath(const std::string& path) {
    if (path.rfind("/Users/", 0) != 0) return "";
    static const std::regex user("(/Users/[^/]+/)");
    return std::regex_replace(path, user, "/Users/USER/");
}
