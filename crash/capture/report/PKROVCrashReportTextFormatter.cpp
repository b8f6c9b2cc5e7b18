#include "crash/capture/report/PKROVCrashReportTextFormatter.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Unicode.h"

namespace pf = platform::foundation;

namespace {

constexpr uint64_t kCPUTypeX86 = 7, kCPUTypeARM = 12, kCPUTypePowerPC = 18, kCPUTypeX86_64 = 0x1000007,
                   kCPUTypeARM64 = 0x100000C;

// 9999-12-31 23:59:59 UTC.
constexpr double kLastDateSeconds = 253402300799.0;

std::string architectureName(const std::shared_ptr<PKROVCrashReportProcessorInfo>& cpu) {
    if (!cpu || cpu->typeEncoding() != PKROVCrashReportProcessorTypeEncodingMach) return "???";
    return PKROVCrashReportArchitectureName(cpu->type(), cpu->subtype(), "armv8");
}

const std::string& orUnknown(const std::optional<std::string>& s) {
    static const std::string unknown = "???";
    return s ? *s : unknown;
}

// Left-justified in width UTF-16 units, as the platform pads its strings.
std::string padded(const std::string& text, size_t width) {
    size_t units = pf::utf16Length(text);
    std::string out = text;
    if (units < width) out.append(width - units, ' ');
    return out;
}

bool stripsUnderscore(int32_t os) {
    return os == PKROVCrashReportOperatingSystemMacOSX || os == PKROVCrashReportOperatingSystemiPhoneOS ||
           os == PKROVCrashReportOperatingSystemiPhoneSimulator;
}

std::string lossy(const std::string& text, uint32_t encoding) {
    if (encoding != PKROVStringEncodingASCII && encoding != PKROVStringEncodingISOLatin1) return text;
    uint32_t highest = encoding == PKROVStringEncodingASCII ? 0x7F : 0xFF;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        pf::DecodedCharacter c = pf::decodeUTF8At(text, i);
        out += c.codePoint <= highest ? static_cast<char>(c.codePoint) : '?';
        i += c.length;
    }
    return out;
}

}  // namespace

std::string PKROVCrashReportArchitectureName(uint64_t cpuType, uint64_t cpuSubtype, const char* arm64v8Name) {
    switch (cpuType) {
    case kCPUTypeX86: return "i386";
    case kCPUTypeARM:
        switch (cpuSubtype) {
        case 6: return "armv6";
        case 9: return "armv7";
        case 11: return "armv7s";
        default: return "arm-unknown";
        }
    case kCPUTypePowerPC: return "powerpc";
    case kCPUTypeX86_64: return "x86_64";
    case kCPUTypeARM64:
        switch (cpuSubtype) {
        case 0: return "arm64";
        case 13: return arm64v8Name;
        default: return "arm64-unknown";
        }
    default: return "???";
    }
}

PKROVCrashReportCodeType PKROVCrashReportCodeTypeOf(const PKROVCrashReport& report) {
    for (const auto& image : report.images()) {
        const auto& cpu = image->codeType();
        if (!cpu || cpu->typeEncoding() != PKROVCrashReportProcessorTypeEncodingMach) continue;
        switch (cpu->type()) {
        case kCPUTypeX86: return {"X86", false};
        case kCPUTypeARM: return {"ARM", false};
        case kCPUTypePowerPC: return {"PPC", false};
        case kCPUTypeX86_64: return {"X86-64", true};
        case kCPUTypeARM64: return {"ARM-64", true};
        default: break;
        }
    }
    int32_t arch = report.systemInfo()->architecture();
    switch (arch) {
    case PKROVCrashReportArchitectureX86_32: return {"X86", false};
    case PKROVCrashReportArchitectureX86_64: return {"X86-64", true};
    case PKROVCrashReportArchitectureARMv6:
    case PKROVCrashReportArchitectureARMv7: return {"ARM", false};
    case PKROVCrashReportArchitecturePPC: return {"PPC", false};
    default: return {pf::format("Unknown (%d)", arch), true};
    }
}

std::string PKROVCrashReportProcessText(const PKROVCrashReport& report, const PKROVCrashReportCodeType& codeType) {
    const auto& app = report.applicationInfo();
    const auto& process = report.processInfo();
    std::string text;
    std::string processName = "???", processID = "???", processPath = "???", parentName = "???", parentID = "???";
    if (process) {
        processName = orUnknown(process->processName());
        processID = std::to_string(process->processID());
        processPath = orUnknown(process->processPath());
        parentName = orUnknown(process->parentProcessName());
        parentID = std::to_string(process->parentProcessID());
    }
    std::string version = app->applicationVersion();
    if (const auto& marketing = app->applicationMarketingVersion())
        version = pf::format("%s (%s)", marketing->c_str(), version.c_str());
    text += pf::format("Process:         %s [%s]\n", processName.c_str(), processID.c_str());
    text += pf::format("Path:            %s\n", processPath.c_str());
    text += pf::format("Identifier:      %s\n", app->applicationIdentifier().c_str());
    text += pf::format("Version:         %s\n", version.c_str());
    text += pf::format("Code Type:       %s\n", codeType.name.c_str());
    text += pf::format("Parent Process:  %s [%s]\n", parentName.c_str(), parentID.c_str());
    text += "\n";
    return text;
}

std::string PKROVCrashReportThreadStateText(const PKROVCrashReport& report, const PKROVCrashReportThreadInfo& thread,
                                            const PKROVCrashReportCodeType& codeType) {
    using ull = unsigned long long;
    std::string text = pf::format("Thread %ld crashed with %s Thread State:\n",
                                  static_cast<long>(thread.threadNumber()), codeType.name.c_str());
    const auto& machine = report.machineInfo();
    bool armMachine = machine && machine->processorInfo() &&
                      machine->processorInfo()->typeEncoding() == PKROVCrashReportProcessorTypeEncodingMach &&
                      machine->processorInfo()->type() == kCPUTypeARM;
    const auto& registers = thread.registers();
    for (size_t i = 0; i < registers.size(); ++i) {
        std::string name = registers[i]->registerName();
        if (armMachine && name == "r12") name = "ip";
        text += pf::format(codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ", name.c_str(),
                           static_cast<ull>(registers[i]->registerValue()));
        if ((i + 1) % 4 == 0) text += "\n";
    }
    if (registers.size() % 4 != 0) text += "\n";
    return text + "\n";
}

std::vector<uint8_t> PKROVCrashReportTextFormatter::formatReport(const PKROVCrashReport& report, pf::Error*) {
    std::string text = lossy(stringValueForCrashReport(report, textFormat_), stringEncoding_);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string PKROVCrashReportTextFormatter::formatStackFrame(const PKROVCrashReportStackFrameInfo& frame,
                                                            int64_t frameIndex, const PKROVCrashReport& report,
                                                            bool lp64) {
    uint64_t pc = frame.instructionPointer();
    uint64_t base = 0, offset = 0;
    std::string imageName = "???";
    if (auto image = report.imageForAddress(pc)) {
        imageName = pf::FileManager::lastPathComponent(image->imageName());
        base = image->imageBaseAddress();
        offset = pc - base;
    }
    std::string symbol;
    if (const auto& info = frame.symbolInfo()) {
        std::string name = info->symbolName();
        if (stripsUnderscore(report.systemInfo()->operatingSystem())) {
            if (name.size() >= 2 && name[0] == '_') name.erase(0, 1);
        } else {
            pf::log("Symbol prefix rules are unknown for this OS!");
        }
        symbol = pf::format("%s + %lld", name.c_str(), static_cast<long long>(pc - info->startAddress()));
    } else {
        symbol = pf::format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
    }
    return pf::format("%-4ld%s 0x%0*llx %s\n", static_cast<long>(frameIndex), padded(imageName, 35).c_str(),
                      lp64 ? 16 : 8, static_cast<unsigned long long>(pc), symbol.c_str());
}

std::string PKROVCrashReportTextFormatter::stringValueForCrashReport(const PKROVCrashReport& report, int32_t) {
    using ull = unsigned long long;
    std::string text;
    const auto& system = report.systemInfo();
    const auto& process = report.processInfo();
    const auto& machine = report.machineInfo();
    PKROVCrashReportCodeType codeType = PKROVCrashReportCodeTypeOf(report);

    const auto& uuid = report.uuidRef();
    text += pf::format("Incident Identifier: %s\n", uuid ? PKROVCrashReportUUIDString(*uuid).c_str() : "???");
    text += "CrashReporter Key:   TODO\n";
    text += pf::format("Hardware Model:      %s\n", machine ? orUnknown(machine->modelName()).c_str() : "???");

    text += PKROVCrashReportProcessText(report, codeType);

    std::string date = "(null)";
    if (auto when = system->timestamp()) {
        // Beyond the calendar's four-digit years a damaged file's time has no date to show.
        date = std::fabs(*when) <= kLastDateSeconds ? pf::formatDate(*when, "yyyy-MM-dd HH:mm:ss Z") : "???";
    }
    std::string osName;
    switch (system->operatingSystem()) {
    case PKROVCrashReportOperatingSystemiPhoneOS: osName = "iPhone OS"; break;
    case PKROVCrashReportOperatingSystemMacOSX:
    case PKROVCrashReportOperatingSystemiPhoneSimulator: osName = "Mac OS X"; break;
    default: osName = pf::format("Unknown (%d)", system->operatingSystem()); break;
    }
    text += pf::format("Date/Time:       %s\n", date.c_str());
    text += pf::format("OS Version:      %s %s (%s)\n", osName.c_str(), system->operatingSystemVersion().c_str(),
                       orUnknown(system->operatingSystemBuild()).c_str());
    text += "Report Version:  104\n\n";

    const auto& signal = report.signalInfo();
    text += pf::format("Exception Type:  %s\n", signal->name().c_str());
    text += pf::format("Exception Codes: %s at 0x%llx\n", signal->code().c_str(), static_cast<ull>(signal->address()));
    std::shared_ptr<PKROVCrashReportThreadInfo> crashed;
    for (const auto& thread : report.threads()) {
        if (thread->crashed()) {
            crashed = thread;
            break;
        }
    }
    if (crashed) text += pf::format("Crashed Thread:  %ld\n", static_cast<long>(crashed->threadNumber()));
    text += "\n";

    if (const auto& exception = report.exceptionInfo()) {
        text += "Application Specific Information:\n";
        text += pf::format("*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                           exception->exceptionName().c_str(), exception->exceptionReason().c_str());
        text += "\n";
        if (const auto& frames = exception->stackFrames()) {
            text += "Last Exception Backtrace:\n";
            for (size_t i = 0; i < frames->size(); ++i)
                text += formatStackFrame(*(*frames)[i], static_cast<int64_t>(i), report, codeType.lp64);
            text += "\n";
        }
    }

    for (const auto& thread : report.threads()) {
        long number = static_cast<long>(thread->threadNumber());
        text += thread->crashed() ? pf::format("Thread %ld Crashed:\n", number) : pf::format("Thread %ld:\n", number);
        const auto& frames = thread->stackFrames();
        for (size_t i = 0; i < frames.size(); ++i)
            text += formatStackFrame(*frames[i], static_cast<int64_t>(i), report, codeType.lp64);
        text += "\n";
    }

    if (crashed) text += PKROVCrashReportThreadStateText(report, *crashed, codeType);

    text += "Binary Images:\n";
    auto images = report.images();
    std::stable_sort(images.begin(), images.end(),
                     [](const auto& a, const auto& b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    for (const auto& image : images) {
        uint64_t base = image->imageBaseAddress();
        uint64_t end = base + std::max<uint64_t>(image->imageSize(), 1) - 1;
        bool isProcess = process && process->processPath() && *process->processPath() == image->imageName();
        text += pf::format(
            codeType.lp64 ? "%#18llx - %#18llx %s%s %s  <%s> %s\n" : "%#10llx - %#10llx %s%s %s  <%s> %s\n",
            static_cast<ull>(base), static_cast<ull>(end), isProcess ? "+" : " ",
            pf::FileManager::lastPathComponent(image->imageName()).c_str(), architectureName(image->codeType()).c_str(),
            orUnknown(image->imageUUID()).c_str(), image->imageName().c_str());
    }
    return text;
}
