// While a report is written, the shared image list follows the dynamic
// linker's own list: a library opened with a plain dlopen is listed from its
// own headers (its symbols once a lookup reaches it), one opened where a
// closed library was replaces it, and where the loader already knows
// everything nothing changes.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crash/capture/image/ImageList.h"
#include "platform/system/Loader.h"
#include "tests/support/ShellTools.h"

namespace {

using namespace ovcrash;
namespace ps = platform::system;

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) out += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

std::string buildIdOf(const std::string& path) {
    std::string notes = qmtest::run({"readelf", "-n", path}).out;
    size_t at = notes.find("Build ID: ");
    return at == std::string::npos ? std::string() : notes.substr(at + 10, 32);
}

image_list* preparedList() {
    shared_image_list_start();
    image_list* list = shared_image_list();
    image_list_prepare_crash_time(list, kImageListCrashTimeImages);
    return list;
}

struct Seen {
    int images = 0;  // that hold the address
    std::string name, uuid, symbol;
    bool tables = false;  // its __eh_frame maps
    bool namedUnreached = false;  // its symbols were read before a lookup reached it
};

std::string symbolAt(const macho_image* image, uint64_t address) {
    std::string symbol;
    macho_find_symbol_by_pc(
        image, address, [](uint64_t, const char* name, void* ctx) { *static_cast<std::string*>(ctx) = name; }, &symbol);
    return symbol;
}

// What the list shows for `code` while a report is written, once a lookup
// (as a walk makes) has reached it.
Seen duringReport(image_list* list, const void* code) {
    Seen seen;
    EXPECT_TRUE(image_list_crash_time_begin(list, false));
    image_list_set_reading(list, true);
    const auto address = reinterpret_cast<uint64_t>(code);
    for (macho_image* image = image_list_next(list, nullptr); image; image = image_list_next(list, image))
        if (macho_image_contains_address(image, address)) seen.namedUnreached |= !symbolAt(image, address).empty();
    macho_image* reached = image_list_image_for_address(list, address);
    for (macho_image* image = image_list_next(list, nullptr); image; image = image_list_next(list, image)) {
        if (!macho_image_contains_address(image, address)) continue;
        if (seen.images++ > 0 || image != reached) continue;
        seen.name = macho_image_name(image);
        uint8_t uuid[16];
        if (macho_image_uuid(image, uuid) == ASYNC_ESUCCESS) seen.uuid = hex(uuid, 16);
        seen.symbol = symbolAt(image, address);
        async_mobject eh;
        if (macho_image_map_section(image, "__TEXT", "__eh_frame", &eh) == ASYNC_ESUCCESS) {
            seen.tables = eh.length > 0;
            mobject_free(&eh);
        }
    }
    image_list_set_reading(list, false);
    image_list_crash_time_end(list);
    return seen;
}

TEST(CrashTimeImages, WhereTheLoaderKnowsEveryImageAReportChangesNothing) {
    preparedList();
    ps::dyld_rescan();
    const ps::loader_crash_time session = ps::loader_crash_time_begin(false);
    ASSERT_TRUE(session.started);
    EXPECT_TRUE(session.following);
    EXPECT_FALSE(session.changed);
    for (uint32_t i = 0; i < ps::dyld_image_count(); ++i)
        EXPECT_TRUE(ps::loader_image_current(reinterpret_cast<uint64_t>(ps::dyld_get_image_header(i))))
            << ps::dyld_get_image_name(i);
    ps::loader_crash_time_end();
}

TEST(CrashTimeImages, ALibraryOpenedBehindTheLoaderIsListedByItsOwnHeaders) {
    image_list* list = preparedList();
    void* handle = ::dlopen(QM_OPENED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    void* code = ::dlsym(handle, "opened_library_crash");
    ASSERT_NE(code, nullptr);
    Seen seen = duringReport(list, code);
    EXPECT_EQ(seen.images, 1);
    EXPECT_EQ(seen.name, QM_OPENED_LIBRARY);
    EXPECT_EQ(seen.uuid, buildIdOf(QM_OPENED_LIBRARY));
    EXPECT_EQ(seen.symbol, "_opened_library_crash");
    EXPECT_TRUE(seen.tables);
    // Its symbols are read only once a lookup reaches it.
    EXPECT_FALSE(seen.namedUnreached);
    ::dlclose(handle);
    ps::dyld_rescan();
}

TEST(CrashTimeImages, ALibraryOpenedWhereAClosedOneWasReplacesIt) {
    image_list* list = preparedList();
    void* first = ::dlopen(QM_REPLACEABLE_LIBRARY_1, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(first, nullptr) << ::dlerror();
    void* firstCode = ::dlsym(first, "library_version1_crash");
    ps::dyld_rescan();
    ::dlclose(first);
    void* second = ::dlopen(QM_REPLACEABLE_LIBRARY_2, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(second, nullptr) << ::dlerror();
    void* code = ::dlsym(second, "library_version2_crash");
    ASSERT_EQ(code, firstCode) << "the second build was loaded elsewhere";
    Seen seen = duringReport(list, code);
    EXPECT_EQ(seen.images, 1);
    EXPECT_EQ(seen.name, QM_REPLACEABLE_LIBRARY_2);
    EXPECT_EQ(seen.uuid, buildIdOf(QM_REPLACEABLE_LIBRARY_2));
    EXPECT_EQ(seen.symbol, "_library_version2_crash");
    EXPECT_TRUE(seen.tables);
    // Once the report is written, the list is the loader's again.
    ::dlclose(second);
    ps::dyld_rescan();
}

// Four hundred plugins opened behind the loader's back: each is listed, by
// its own path, while a report is written.
TEST(CrashTimeImages, EveryOneOfManyLibrariesOpenedBehindTheLoaderIsListed) {
    namespace fs = std::filesystem;
    image_list* list = preparedList();
    const fs::path dir = fs::temp_directory_path() / ("many-plugins-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<void*> handles;
    std::vector<std::pair<std::string, void*>> plugins;
    for (int i = 0; i < 400; ++i) {
        const fs::path path = dir / ("libplugin" + std::to_string(i) + ".so");
        fs::copy_file(QM_OPENED_LIBRARY, path);
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        handles.push_back(handle);
        plugins.emplace_back(path.string(), ::dlsym(handle, "opened_library_crash"));
    }
    ASSERT_TRUE(image_list_crash_time_begin(list, false));
    image_list_set_reading(list, true);
    int listed = 0;
    for (const auto& [path, code] : plugins) {
        macho_image* image = image_list_image_for_address(list, reinterpret_cast<uint64_t>(code));
        listed += image && path == macho_image_name(image);
    }
    image_list_set_reading(list, false);
    image_list_crash_time_end(list);
    EXPECT_EQ(listed, 400);
    for (void* handle : handles) ::dlclose(handle);
    ps::dyld_rescan();
    fs::remove_all(dir);
}

}  // namespace
