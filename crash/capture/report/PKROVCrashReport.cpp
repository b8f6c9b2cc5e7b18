#include "crash/capture/report/PKROVCrashReport.h"

#include <cstring>
#include <memory>

#include "crash/capture/async/AsyncMemory.h"
#include "crash/capture/report/CrashReport.pb-c.h"
#include "crash/capture/report/CrashReportFormat.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"

namespace pf = platform::foundation;

namespace {

using Message = Ovcrash__CrashReport;

struct MessageFree {
    void operator()(Message* m) const { ovcrash__crash_report__free_unpacked(m, nullptr); }
};

std::optional<std::string> optionalString(const char* s) {
    if (!s) return std::nullopt;
    return std::string(s);
}

// An enum field as the number the file holds: the runtime keeps values the
// schema does not list, which the C++ enum type must not be loaded with.
template <typename E>
int32_t rawEnum(const E& field) {
    static_assert(sizeof(E) == sizeof(int32_t));
    int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

// Mach exceptions carry a handful of code words; more is a damaged file.
constexpr size_t kMaxMachExceptionCodes = 256;

}  // namespace

// Converts an unpacked message section by section; the first failure sets the
// error and ends the conversion.
struct PKROVCrashReport::Decoder {
    pf::Error* error;

    std::nullptr_t fail(const std::string& message) {
        if (error) {
            std::string text = pf::Bundle::main().localizedString(message, message, "");
            *error =
                pf::Error::withDescription(OVCrashReporterErrorDomain, OVCrashReporterErrorCrashReportInvalid, text);
        }
        return nullptr;
    }
    bool refuse(const std::string& message) {
        fail(message);
        return false;
    }

    std::shared_ptr<PKROVCrashReportSystemInfo> systemInfo(const Ovcrash__CrashReport__SystemInfo* m) {
        if (!m) return fail("Crash report is missing System Information section");
        if (!m->os_version) return fail("Crash report is missing System Information OS version field");
        std::optional<double> timestamp;
        if (m->timestamp != 0) timestamp = static_cast<double>(m->timestamp);
        return std::make_shared<PKROVCrashReportSystemInfo>(rawEnum(m->operating_system), m->os_version,
                                                            optionalString(m->os_build), rawEnum(m->architecture),
                                                            timestamp);
    }

    std::shared_ptr<PKROVCrashReportProcessorInfo> processor(const Ovcrash__CrashReport__Processor* m) {
        if (!m) return fail("Crash report is missing processor info section");
        return std::make_shared<PKROVCrashReportProcessorInfo>(rawEnum(m->encoding), m->type, m->subtype);
    }

    bool machineInfo(const Ovcrash__CrashReport__MachineInfo* m, std::shared_ptr<PKROVCrashReportMachineInfo>* out) {
        if (!m) return refuse("Crash report is missing Machine Information section");
        std::shared_ptr<PKROVCrashReportProcessorInfo> cpu;
        if (m->processor && !(cpu = processor(m->processor))) return false;
        *out = std::make_shared<PKROVCrashReportMachineInfo>(optionalString(m->model), cpu, m->processor_count,
                                                             m->logical_processor_count);
        return true;
    }

    std::shared_ptr<PKROVCrashReportApplicationInfo> applicationInfo(const Ovcrash__CrashReport__ApplicationInfo* m) {
        if (!m) return fail("Crash report is missing Application Information section");
        if (!m->identifier) return fail("Crash report is missing Application Information app identifier field");
        if (!m->version) return fail("Crash report is missing Application Information app version field");
        return std::make_shared<PKROVCrashReportApplicationInfo>(m->identifier, m->version,
                                                                 optionalString(m->marketing_version));
    }

    std::shared_ptr<PKROVCrashReportProcessInfo> processInfo(const Ovcrash__CrashReport__ProcessInfo* m) {
        if (!m) return fail("Crash report is missing Process Information section");
        std::optional<double> start;
        if (m->has_start_time) start = static_cast<double>(m->start_time);
        return std::make_shared<PKROVCrashReportProcessInfo>(
            optionalString(m->process_name), m->process_id, optionalString(m->process_path), start,
            optionalString(m->parent_process_name), m->parent_process_id, m->native != 0);
    }

    std::shared_ptr<PKROVCrashReportSignalInfo> signalInfo(const Ovcrash__CrashReport__Signal* m) {
        if (!m) return fail("Crash report is missing Signal Information section");
        if (!m->name) return fail("Crash report is missing signal name field");
        if (!m->code) return fail("Crash report is missing signal code field");
        return std::make_shared<PKROVCrashReportSignalInfo>(m->name, m->code, m->address);
    }

    std::shared_ptr<PKROVCrashReportMachExceptionInfo> machException(
        const Ovcrash__CrashReport__Signal__MachException* m) {
        if (!m) return fail("Crash report is missing Mach Exception Information section");
        if (m->n_codes >= kMaxMachExceptionCodes) return fail("Crash report includes too many Mach Exception codes");
        return std::make_shared<PKROVCrashReportMachExceptionInfo>(
            m->type, std::vector<uint64_t>(m->codes, m->codes + m->n_codes));
    }

    std::shared_ptr<PKROVCrashReportSymbolInfo> symbol(const Ovcrash__CrashReport__Symbol* m) {
        if (!m || !m->name) return fail("Crash report is missing symbol information");
        return std::make_shared<PKROVCrashReportSymbolInfo>(m->name, m->start_address,
                                                            m->has_end_address ? m->end_address : 0);
    }

    std::shared_ptr<PKROVCrashReportStackFrameInfo> frame(const Ovcrash__CrashReport__Thread__StackFrame* m) {
        if (!m) return fail("Crash report is missing stack frame information");
        std::shared_ptr<PKROVCrashReportSymbolInfo> sym;
        if (m->symbol && !(sym = symbol(m->symbol))) return nullptr;
        return std::make_shared<PKROVCrashReportStackFrameInfo>(m->pc, sym);
    }

    bool frames(Ovcrash__CrashReport__Thread__StackFrame* const* list, size_t count, PKROVCrashReportStackFrames* out) {
        out->reserve(count);
        for (size_t i = 0; i < count; ++i) {
            auto f = frame(list[i]);
            if (!f) return false;
            out->push_back(std::move(f));
        }
        return true;
    }

    bool threads(const Message* m, std::vector<std::shared_ptr<PKROVCrashReportThreadInfo>>* out) {
        if (m->n_threads == 0) return refuse("Crash report is missing thread state information");
        for (size_t i = 0; i < m->n_threads; ++i) {
            const auto* t = m->threads[i];
            PKROVCrashReportStackFrames stack;
            if (!frames(t->frames, t->n_frames, &stack)) return false;
            std::vector<std::shared_ptr<PKROVCrashReportRegisterInfo>> registers;
            for (size_t r = 0; r < t->n_registers; ++r) {
                const auto* reg = t->registers[r];
                if (!reg->name) return refuse("Missing register name in register value");
                registers.push_back(std::make_shared<PKROVCrashReportRegisterInfo>(reg->name, reg->value));
            }
            out->push_back(std::make_shared<PKROVCrashReportThreadInfo>(t->thread_number, std::move(stack),
                                                                        t->crashed != 0, std::move(registers)));
        }
        return true;
    }

    bool images(const Message* m, std::vector<std::shared_ptr<PKROVCrashReportBinaryImageInfo>>* out) {
        if (m->n_binary_images == 0) return refuse("Crash report is missing binary image information");
        for (size_t i = 0; i < m->n_binary_images; ++i) {
            const auto* image = m->binary_images[i];
            if (!image->name) return refuse("Missing image name in image record");
            std::shared_ptr<PKROVCrashReportProcessorInfo> cpu;
            if (image->code_type && !(cpu = processor(image->code_type))) return false;
            std::optional<std::vector<uint8_t>> uuid;
            if (image->has_uuid) uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
            out->push_back(std::make_shared<PKROVCrashReportBinaryImageInfo>(cpu, image->base_address, image->size,
                                                                             image->name, std::move(uuid)));
        }
        return true;
    }

    std::shared_ptr<PKROVCrashReportExceptionInfo> exception(const Ovcrash__CrashReport__Exception* m) {
        if (!m) return fail("Crash report is missing Exception Information section");
        if (!m->name) return fail("Crash report is missing exception name field");
        if (!m->reason) return fail("Crash report is missing exception reason field");
        if (m->n_frames == 0) return std::make_shared<PKROVCrashReportExceptionInfo>(m->name, m->reason);
        PKROVCrashReportStackFrames stack;
        if (!frames(m->frames, m->n_frames, &stack)) return nullptr;
        return std::make_shared<PKROVCrashReportExceptionInfo>(m->name, m->reason, std::move(stack));
    }
};

std::shared_ptr<PKROVCrashReport> PKROVCrashReport::initWithData(const std::vector<uint8_t>& data, pf::Error* error) {
    Decoder d{error};
    constexpr size_t header = sizeof ovcrash::REPORT_FILE_MAGIC + 1;
    if (data.size() <= header) return d.fail("Could not decode truncated crash log");
    if (ovcrash::async_memcmp(data.data(), ovcrash::REPORT_FILE_MAGIC, sizeof ovcrash::REPORT_FILE_MAGIC) != 0)
        return d.fail("Could not decode invalid crash log header");
    uint8_t version = data[sizeof ovcrash::REPORT_FILE_MAGIC];
    if (version != ovcrash::REPORT_FILE_VERSION)
        return d.fail(pf::format("Could not decode unsupported crash report version: %d", version));
    std::unique_ptr<Message, MessageFree> message(
        ovcrash__crash_report__unpack(nullptr, data.size() - header, data.data() + header));
    if (!message) return d.fail("An unknown error occured decoding the crash report");
    const Message* m = message.get();

    std::shared_ptr<PKROVCrashReport> report(new PKROVCrashReport());
    if (m->report_info && m->report_info->has_uuid) {
        if (m->report_info->uuid.len != 16) return d.fail("Report UUID value is not a standard 16 bytes");
        std::array<uint8_t, 16> uuid;
        ovcrash::async_memcpy(uuid.data(), m->report_info->uuid.data, uuid.size());
        report->uuid_ = uuid;
    }
    if (!(report->systemInfo_ = d.systemInfo(m->system_info))) return nullptr;
    if (m->machine_info && !d.machineInfo(m->machine_info, &report->machineInfo_)) return nullptr;
    if (!(report->applicationInfo_ = d.applicationInfo(m->application_info))) return nullptr;
    if (m->process_info && !(report->processInfo_ = d.processInfo(m->process_info))) return nullptr;
    if (!(report->signalInfo_ = d.signalInfo(m->signal))) return nullptr;
    if (m->signal->mach_exception && !(report->machExceptionInfo_ = d.machException(m->signal->mach_exception)))
        return nullptr;
    if (!d.threads(m, &report->threads_)) return nullptr;
    if (!d.images(m, &report->images_)) return nullptr;
    if (m->exception && !(report->exceptionInfo_ = d.exception(m->exception))) return nullptr;
    return report;
}

std::shared_ptr<PKROVCrashReportBinaryImageInfo> PKROVCrashReport::imageForAddress(uint64_t address) const {
    for (const auto& image : images_)
        if (ovcrash::async_address_in_range(image->imageBaseAddress(), image->imageSize(), address)) return image;
    return nullptr;
}
