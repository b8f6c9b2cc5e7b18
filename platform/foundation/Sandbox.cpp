#include "platform/foundation/Sandbox.h"

#include <cstdlib>
#include <mutex>

#include "platform/foundation/FileManager.h"

namespace platform::foundation {

namespace {

// Never destroyed: threads such as the analytics thread may still ask for
// folders while the process exits and static objects go away.
std::mutex& gMutex = *new std::mutex;
std::string& gHome = *new std::string;

void createFolders(const std::string& home) {
    FileManager::createDirectory(home + "/Documents");
    FileManager::createDirectory(home + "/Library/Caches");
    FileManager::createDirectory(home + "/Library/Preferences");
    FileManager::createDirectory(home + "/Library/Keychains", true, 0700);
    FileManager::createDirectory(home + "/tmp");
}

std::string defaultHome() {
    if (const char* x = getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/quenmira";
    const char* h = getenv("HOME");
    return std::string(h && *h ? h : "/tmp") + "/.local/share/quenmira";
}

}  // namespace

std::string Sandbox::home() {
    std::lock_guard lock(gMutex);
    if (gHome.empty()) {
        gHome = defaultHome();
        createFolders(gHome);
    }
    return gHome;
}

void Sandbox::setHome(const std::string& path) {
    std::lock_guard lock(gMutex);
    gHome = path;
    while (gHome.size() > 1 && gHome.back() == '/') gHome.pop_back();
    createFolders(gHome);
}

std::string Sandbox::documents() { return home() + "/Documents"; }
std::string Sandbox::library() { return home() + "/Library"; }
std::string Sandbox::caches() { return home() + "/Library/Caches"; }
std::string Sandbox::preferences() { return home() + "/Library/Preferences"; }
std::string Sandbox::keychains() { return home() + "/Library/Keychains"; }
std::string Sandbox::tmp() { return home() + "/tmp"; }

}  // namespace platform::foundation
