// The executable as the platform's tools see it: the SDK's version record is
// a section of its own, in a segment that is not writable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ShellTools.h"

namespace {

const std::string kExecutable = std::string(QM_BUNDLE_DIR) + "/Quenmira";

TEST(VersionRecord, TheExecutableCarriesAPelkorSectionInItsTextSegment) {
    if (!qmtest::have("readelf") || !qmtest::have("objcopy")) GTEST_SKIP() << "needs readelf and objcopy";
    // "[Nr] Name Type Address Off Size ES Flg ..." with -W, one section a line.
    std::istringstream sections(qmtest::shell("readelf -S -W '" + kExecutable + "'"));
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
    qmtest::shell("objcopy -O binary --only-section=__pkr_pelkor '" + kExecutable + "' '" + dump + "'");
    EXPECT_EQ(qmtest::readAll(dump), std::string("\x01"
                                                 "3.8.6\0\0\0\0\0\0\0\0\0\0\0"
                                                 "60\0\0\0\0\0\0\0\0\0\0\0\0\0\0",
                                                 33));
    std::remove(dump.c_str());

    // The segment that maps it is loaded and not writable: text, to the platform.
    std::istringstream segments(qmtest::shell("readelf -l -W '" + kExecutable + "'"));
    std::vector<std::vector<std::string>> headers;  // each program header's words
    bool inHeaders = false, found = false;
    while (std::getline(segments, line)) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (!w.empty() && w[0] == "Type")
            inHeaders = true;
        else if (inHeaders && w.size() >= 8 && w[1].rfind("0x", 0) == 0)
            headers.push_back(w);
        else if (w.size() > 1 && std::isdigit(static_cast<unsigned char>(w[0][0])) &&
                 std::find(w.begin() + 1, w.end(), "__pkr_pelkor") != w.end()) {
            const size_t index = std::stoul(w[0]);
            ASSERT_LT(index, headers.size());
            const auto& h = headers[index];
            if (h[0] != "LOAD") continue;
            found = true;
            for (size_t i = 6; i + 1 < h.size(); ++i) EXPECT_EQ(h[i].find('W'), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(found) << "no loaded segment maps __pkr_pelkor";
}

}  // namespace
