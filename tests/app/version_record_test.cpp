// The executable as the platform's tools see it: the SDK's version record is
// a section of its own, read-only like the rest of the text segment.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "tests/support/ShellTools.h"

namespace {

const std::string kExecutable = std::string(QM_BUNDLE_DIR) + "/Quenmira";

TEST(VersionRecord, TheExecutableCarriesAPelkorSectionInItsTextSegment) {
    if (!qmtest::have("readelf") || !qmtest::have("objcopy")) GTEST_SKIP() << "needs readelf and objcopy";
    // "[Nr] Name Type Address Off Size ES Flg ..." with -W, one section a line.
    std::istringstream sections(qmtest::run({"readelf", "-S", "-W", kExecutable}).out);
    std::string line, size, flags;
    while (std::getline(sections, line)) {
        std::istringstream fields(line.substr(line.find(']') + 1));
        std::string name, type, address, offset, entry;
        if (fields >> name >> type >> address >> offset >> size >> entry >> flags && name == "__pkr_pelkor") break;
        size.clear();
    }
    ASSERT_EQ(size, "000021") << "no __pkr_pelkor section of 33 bytes";
    EXPECT_NE(flags.find('A'), std::string::npos) << flags;
    EXPECT_EQ(flags.find('W'), std::string::npos) << flags;

    const std::string dump = testing::TempDir() + "pkr_pelkor.bin";
    qmtest::run({"objcopy", "-O", "binary", "--only-section=__pkr_pelkor", kExecutable, dump});
    EXPECT_EQ(qmtest::readAll(dump), std::string("\x01"
                                                 "3.8.6\0\0\0\0\0\0\0\0\0\0\0"
                                                 "60\0\0\0\0\0\0\0\0\0\0\0\0\0\0",
                                                 33));
    std::remove(dump.c_str());
}

}  // namespace
