#pragma once
// Temporary bundles and homes for the application-side tests.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace qmtest {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qm-appui-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::filesystem::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name, std::ios::binary) << text;
        return file(name);
    }

private:
    std::filesystem::path path_;
};

}  // namespace qmtest
