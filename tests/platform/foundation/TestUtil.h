#pragma once
// Small helpers shared by the foundation tests.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "tests/support/ShellTools.h"

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
    int status = -1;     // its exit status; -1 when it did not end by itself
    std::string output;  // stdout and stderr
};

// Runs `args` with `env` ("NAME=value") added to this process's environment.
inline Run runCommand(std::vector<std::string> args, std::vector<std::string> env = {}) {
    qmtest::RunOptions options;
    options.env = std::move(env);
    options.mergeErrors = true;
    const qmtest::Ran ran = qmtest::run(std::move(args), options);
    return {ran.exitCode, ran.out};
}

// Runs a python3 script (written to `dir`) with the given arguments.
inline Run runPython(const TempDir& dir, const std::string& script, const std::vector<std::string>& args = {}) {
    std::string path = dir.file("peer.py");
    platform::foundation::FileManager::writeFileAtomically(path, script);
    std::vector<std::string> command = {"python3", path};
    command.insert(command.end(), args.begin(), args.end());
    return runCommand(command);
}

}  // namespace foundation_test
