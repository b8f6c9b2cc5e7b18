#pragma once
// Small helpers shared by the foundation tests.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/foundation/FileManager.h"

namespace foundation_test {

// A fresh folder under /tmp, removed with the object.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/qm-foundation-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { platform::foundation::FileManager::remove(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

struct Run {
    int status = -1;
    std::string output;  // stdout and stderr
};

inline Run runCommand(const std::string& command) {
    Run r;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Runs a python3 script (written to `dir`) with the given arguments.
inline Run runPython(const TempDir& dir, const std::string& script, const std::string& args = "") {
    std::string path = dir.file("peer.py");
    platform::foundation::FileManager::writeFileAtomically(path, script);
    return runCommand("python3 " + path + " " + args);
}

}  // namespace foundation_test
