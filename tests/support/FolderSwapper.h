#pragma once
// Swaps a folder with a link to another folder over and over, from a thread
// of its own (renameat2's exchange: the name is never missing), as a process
// racing the application would. The folder itself is never lost: after each
// swap it is put back at its name, wherever the application moved what stood
// there, and what the application made at the name while the link stood
// there is removed. Stopping puts it back for good.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace qmtest {

class FolderSwapper {
public:
    FolderSwapper(std::string folder, std::string outside)
        : folder_(std::move(folder)), outside_(std::move(outside)), link_(folder_ + ".swap") {
        struct stat st {};
        if (::lstat(folder_.c_str(), &st) == 0) inode_ = st.st_ino;
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                std::error_code ignored;
                std::filesystem::create_directory_symlink(outside_, link_, ignored);
                if (::renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, link_.c_str(), RENAME_EXCHANGE) == 0) {
                    swaps_.fetch_add(1);
                    ::usleep(300);  // the other side's pace, not a wait for anything
                }
                putBack();
                ::usleep(300);
            }
        });
    }
    ~FolderSwapper() { stop(); }
    void stop() {
        if (stop_.exchange(true)) return;
        thread_.join();
        putBack();
    }
    long swaps() const { return swaps_.load(); }
    // Whether the folder stands at its name (false when the application moved it away).
    bool inPlace() const {
        struct stat st {};
        return ::lstat(folder_.c_str(), &st) == 0 && st.st_ino == inode_;
    }

private:
    void putBack() {
        for (int tries = 0; tries < 100 && !inPlace(); ++tries) {
            struct stat st {};
            if (::lstat(link_.c_str(), &st) != 0 || st.st_ino != inode_) return;  // moved elsewhere: the test sees it
            if (::renameat2(AT_FDCWD, link_.c_str(), AT_FDCWD, folder_.c_str(), RENAME_EXCHANGE) != 0)
                ::renameat2(AT_FDCWD, link_.c_str(), AT_FDCWD, folder_.c_str(), RENAME_NOREPLACE);
        }
        struct stat st {};
        if (inPlace() && ::lstat(link_.c_str(), &st) == 0 && st.st_ino != inode_) {
            std::error_code ignored;
            std::filesystem::remove_all(link_, ignored);  // the link, or a folder made while it stood in its place
        }
    }

    const std::string folder_, outside_, link_;
    ino_t inode_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> swaps_{0};
    std::thread thread_;
};

}  // namespace qmtest
