// Report files packed field by field as the crash-time writer packs them,
// read back by stock protoc against the project's schema and by the decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "crash/capture/report/PKROVCrashReport.h"
#include "tests/crash/capture/ReportBuilder.h"

using namespace reporttest;
namespace pf = platform::foundation;

namespace {

std::vector<uint8_t> body(const std::vector<uint8_t>& file) { return {file.begin() + 8, file.end()}; }

const char* const kProtocText = R"(system_info {
  operating_system: IPHONE_OS
  os_version: "9.3.1"
  architecture: ARCHITECTURE_UNKNOWN
  timestamp: 1700000000
  os_build: "13E238"
}
application_info {
  identifier: "com.example.battery"
  version: "42"
  marketing_version: "1.4"
}
threads {
  thread_number: 0
  frames {
    pc: 4294971956
    symbol {
      name: "_main"
      start_address: 4294971904
    }
  }
  frames {
    pc: 140733193396240
  }
  crashed: true
  registers {
    name: "rax"
    value: 4096
  }
  registers {
    name: "rbx"
    value: 4097
  }
  registers {
    name: "rip"
    value: 4098
  }
  registers {
    name: "rsp"
    value: 4099
  }
  registers {
    name: "rbp"
    value: 4100
  }
}
threads {
  thread_number: 1
  frames {
    pc: 140733193400320
  }
  crashed: false
}
binary_images {
  base_address: 4294967296
  size: 65536
  name: "/app/Quenmira.app/Quenmira"
  uuid: "\000\001\002\003\004\005\006\007\010\t\n\013\014\r\016\017"
  code_type {
    encoding: TYPE_ENCODING_MACH
    type: 16777223
    subtype: 3
  }
}
binary_images {
  base_address: 140733193388032
  size: 32768
  name: "/usr/lib/libc.so.6"
  code_type {
    encoding: TYPE_ENCODING_MACH
    type: 16777228
    subtype: 13
  }
}
exception {
  name: "NSInvalidArgumentException"
  reason: "index 3 beyond bounds"
  frames {
    pc: 4294971984
  }
}
signal {
  name: "SIGSEGV"
  code: "SEGV_MAPERR"
  address: 16
  mach_exception {
    type: 1
    codes: 1
    codes: 2
  }
}
process_info {
  process_name: "Quenmira"
  process_id: 1234
  process_path: "/app/Quenmira.app/Quenmira"
  parent_process_name: "launchd"
  parent_process_id: 1
  native: true
  start_time: 1699999990
}
machine_info {
  model: "iPhone8,1"
  processor {
    encoding: TYPE_ENCODING_MACH
    type: 16777223
    subtype: 3
  }
  processor_count: 2
  logical_processor_count: 4
}
report_info {
  user_requested: false
  uuid: "\020\021\022\023\024\025\026\027\030\031\032\033\034\035\036\037"
}
)";

TEST(ReportFile, ProtocReadsEveryFieldThePackerWrote) {
    Spec spec;
    spec.machCodes = 2;
    EXPECT_EQ(protocDecode(body(reportFile(spec)), QM_CRASH_REPORT_PROTO, "ovcrash.CrashReport"), kProtocText);
}

TEST(ReportFile, EveryFieldKindPacksAsProtocReadsIt) {
    std::string proto = std::string(QM_SOURCE_DIR) + "/tests/crash/capture/field_kinds.proto";
    size_t counted = 0;
    auto bytes = packed([&](async_file* f) {
        int32_t i32 = -5, s32 = -3, sf32 = -7, e = -2;
        int64_t i64v = -9000000000, s64 = -4, sf64 = -11;
        uint32_t u32v = 4000000000u, f32 = 0xDEADBEEF, last = 77;
        uint64_t u64v = UINT64_MAX, f64 = 0x0123456789ABCDEFull;
        float fl = 1.5f;
        double db = -2.25;
        bool b = true;
        crash_field_bytes raw{"\x01\x02", 2};
        size_t n = 0;
        n += crash_field_pack(f, 1, CRASH_FIELD_INT32, &i32);
        n += crash_field_pack(f, 2, CRASH_FIELD_SINT32, &s32);
        n += crash_field_pack(f, 3, CRASH_FIELD_SFIXED32, &sf32);
        n += crash_field_pack(f, 4, CRASH_FIELD_INT64, &i64v);
        n += crash_field_pack(f, 5, CRASH_FIELD_SINT64, &s64);
        n += crash_field_pack(f, 6, CRASH_FIELD_SFIXED64, &sf64);
        n += crash_field_pack(f, 7, CRASH_FIELD_UINT32, &u32v);
        n += crash_field_pack(f, 8, CRASH_FIELD_FIXED32, &f32);
        n += crash_field_pack(f, 9, CRASH_FIELD_UINT64, &u64v);
        n += crash_field_pack(f, 10, CRASH_FIELD_FIXED64, &f64);
        n += crash_field_pack(f, 11, CRASH_FIELD_FLOAT, &fl);
        n += crash_field_pack(f, 12, CRASH_FIELD_DOUBLE, &db);
        n += crash_field_pack(f, 13, CRASH_FIELD_BOOL, &b);
        n += crash_field_pack(f, 14, CRASH_FIELD_ENUM, &e);
        n += crash_field_pack(f, 15, CRASH_FIELD_STRING, "h\xC3\xA9");
        n += crash_field_pack(f, 16, CRASH_FIELD_BYTES, &raw);
        n += message(f, 17, [](async_file* g) { return str(g, 15, "inner"); });
        n += crash_field_pack(f, 536870911, CRASH_FIELD_UINT32, &last);
        // Keys of fields 16 and up take two bytes, the last field's five.
        EXPECT_EQ(n, 11u + 2 + 5 + 11 + 2 + 9 + 6 + 5 + 11 + 9 + 5 + 9 + 2 + 11 + 5 + 5 + 10 + 6);
        counted = n;
    });
    EXPECT_EQ(bytes.size(), counted);
    EXPECT_EQ(protocDecode(bytes, proto, "qmtest.Kinds"),
              "int32_value: -5\nsint32_value: -3\nsfixed32_value: -7\nint64_value: -9000000000\nsint64_value: -4\n"
              "sfixed64_value: -11\nuint32_value: 4000000000\nfixed32_value: 3735928559\n"
              "uint64_value: 18446744073709551615\nfixed64_value: 81985529216486895\nfloat_value: 1.5\n"
              "double_value: -2.25\nbool_value: true\nenum_value: GREEN\nstring_value: \"h\\303\\251\"\n"
              "bytes_value: \"\\001\\002\"\nmessage_value {\n  string_value: \"inner\"\n}\nlast_field_number: 77\n");
}

TEST(ReportFile, DecoderBuildsTheWholeModel) {
    Spec spec;
    spec.machCodes = 2;
    pf::Error error;
    auto report = PKROVCrashReport::initWithData(reportFile(spec), &error);
    ASSERT_TRUE(report) << error.description();

    ASSERT_TRUE(report->uuidRef());
    EXPECT_EQ((*report->uuidRef())[0], 0x10);
    EXPECT_EQ(PKROVCrashReportUUIDString(*report->uuidRef()), "10111213-1415-1617-1819-1A1B1C1D1E1F");

    const auto& system = *report->systemInfo();
    EXPECT_EQ(system.operatingSystem(), PKROVCrashReportOperatingSystemiPhoneOS);
    EXPECT_EQ(system.operatingSystemVersion(), "9.3.1");
    EXPECT_EQ(system.operatingSystemBuild(), "13E238");
    EXPECT_EQ(system.architecture(), PKROVCrashReportArchitectureUnknown);
    EXPECT_EQ(system.timestamp(), 1700000000.0);

    ASSERT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo()->modelName(), "iPhone8,1");
    EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 0x1000007u);
    EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), 4u);

    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "com.example.battery");
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "1.4");

    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID(), 1234u);
    EXPECT_EQ(report->processInfo()->parentProcessName(), "launchd");
    EXPECT_EQ(report->processInfo()->processStartTime(), 1699999990.0);
    EXPECT_TRUE(report->processInfo()->native());

    EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo()->address(), 0x10u);
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<uint64_t>{1, 2}));

    ASSERT_EQ(report->threads().size(), 2u);
    const auto& crashed = *report->threads()[0];
    EXPECT_TRUE(crashed.crashed());
    ASSERT_EQ(crashed.registers().size(), 5u);
    EXPECT_EQ(crashed.registers()[2]->registerName(), "rip");
    ASSERT_EQ(crashed.stackFrames().size(), 2u);
    ASSERT_TRUE(crashed.stackFrames()[0]->symbolInfo());
    EXPECT_EQ(crashed.stackFrames()[0]->symbolInfo()->symbolName(), "_main");
    EXPECT_EQ(crashed.stackFrames()[0]->symbolInfo()->endAddress(), 0u);
    EXPECT_FALSE(crashed.stackFrames()[1]->symbolInfo());
    EXPECT_TRUE(report->threads()[1]->registers().empty());

    ASSERT_EQ(report->images().size(), 2u);
    EXPECT_EQ(report->images()[0]->imageUUID(), "000102030405060708090a0b0c0d0e0f");
    EXPECT_FALSE(report->images()[1]->hasImageUUID());
    EXPECT_EQ(report->images()[1]->codeType()->subtype(), 13u);

    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "index 3 beyond bounds");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames());
    EXPECT_EQ(report->exceptionInfo()->stackFrames()->size(), 1u);
}

TEST(ReportFile, OptionalSectionsMayBeAbsent) {
    Spec spec;
    spec.machineInfo = false;
    spec.processInfo = false;
    spec.exceptionFrames = 0;
    spec.timestamp = 0;
    spec.reportUUIDLength = 0;
    auto report = PKROVCrashReport::initWithData(reportFile(spec), nullptr);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->machineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->machExceptionInfo());
    EXPECT_FALSE(report->systemInfo()->timestamp());
    EXPECT_FALSE(report->exceptionInfo()->stackFrames());
    EXPECT_EQ(report->applicationInfo()->applicationVersion(), "42");
}

std::string decodeError(const std::vector<uint8_t>& data) {
    pf::Error error;
    error.code = -1;
    auto report = PKROVCrashReport::initWithData(data, &error);
    if (report) return "decoded";
    EXPECT_EQ(error.domain, "OVCrashReporterErrorDomain");
    EXPECT_EQ(error.code, 2);
    return error.localizedDescription();
}

TEST(ReportFile, DamagedFilesAreRefusedWithTheReason) {
    std::vector<uint8_t> good = reportFile();
    std::vector<uint8_t> header(good.begin(), good.begin() + 8);
    EXPECT_EQ(decodeError({}), "Could not decode truncated crash log");
    EXPECT_EQ(decodeError({'o', 'v', 'c'}), "Could not decode truncated crash log");
    EXPECT_EQ(decodeError(header), "Could not decode truncated crash log");

    auto nineBytes = header;
    nineBytes.push_back(0);
    EXPECT_EQ(decodeError(nineBytes), "An unknown error occured decoding the crash report");

    auto badMagic = good;
    badMagic[0] = 'O';
    EXPECT_EQ(decodeError(badMagic), "Could not decode invalid crash log header");

    auto version2 = good;
    version2[7] = 2;
    EXPECT_EQ(decodeError(version2), "Could not decode unsupported crash report version: 2");

    // Cut inside the last section: the runtime refuses the body.
    auto cut = good;
    cut.resize(cut.size() - 3);
    EXPECT_EQ(decodeError(cut), "An unknown error occured decoding the crash report");

    Spec shortUUID;
    shortUUID.reportUUIDLength = 15;
    EXPECT_EQ(decodeError(reportFile(shortUUID)), "Report UUID value is not a standard 16 bytes");
}

TEST(ReportFile, MissingRequiredPartsGiveTheirErrorAndNoReport) {
    Spec noImages;
    noImages.images = 0;
    EXPECT_EQ(decodeError(reportFile(noImages)), "Crash report is missing binary image information");

    Spec noThreads;
    noThreads.threads = 0;
    EXPECT_EQ(decodeError(reportFile(noThreads)), "Crash report is missing thread state information");

    Spec manyCodes;
    manyCodes.machCodes = 256;
    EXPECT_EQ(decodeError(reportFile(manyCodes)), "Crash report includes too many Mach Exception codes");
    manyCodes.machCodes = 255;
    EXPECT_EQ(decodeError(reportFile(manyCodes)), "decoded");

    // A required field left out of a section fails the whole body rather
    // than giving a report without it.
    Spec noSignalCode;
    noSignalCode.signalCode = false;
    EXPECT_EQ(decodeError(reportFile(noSignalCode)), "An unknown error occured decoding the crash report");
}

TEST(ReportFile, ImageForAddressUsesHalfOpenRangesUpToTheTopOfMemory) {
    auto report = PKROVCrashReport::initWithData(reportFile(), nullptr);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->imageForAddress(kAppBase), report->images()[0]);
    EXPECT_EQ(report->imageForAddress(kAppBase + kAppSize - 1), report->images()[0]);
    EXPECT_FALSE(report->imageForAddress(kAppBase + kAppSize));
    EXPECT_FALSE(report->imageForAddress(kAppBase - 1));

    // An image that ends exactly at the top of the address space.
    Spec spec;
    spec.images = 1;
    spec.extra = [](async_file* f) {
        return message(f, rf::crash_report::binary_images, [](async_file* g) {
            return u64(g, rf::binary_image::size, 0x1000) + u64(g, rf::binary_image::base_address, UINT64_MAX - 0xFFF) +
                   str(g, rf::binary_image::name, "/top");
        });
    };
    auto top = reportFile(spec);
    report = PKROVCrashReport::initWithData(top, nullptr);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->images().size(), 2u);
    EXPECT_EQ(report->imageForAddress(UINT64_MAX), report->images()[1]);
    EXPECT_FALSE(report->imageForAddress(0x10));
}

}  // namespace
