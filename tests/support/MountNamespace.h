#pragma once
// A mount namespace of a command's own, for tests that mount what the machine
// must not see (a tiny file system, a fake folder over sysfs, a folder made
// read-only, another password database). Root makes one outright. A user who
// is not root makes one inside a user namespace of its own, where the kernel
// allows that, mounts there as that namespace's root, and starts the program
// under test as itself again: its own uid and gid, no capability.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace qmtest {

class MountNamespace {
public:
    // The command that runs the shell `script` in a mount namespace of its
    // own, as root there, with `words` as its $0, $1, ...; then `program`
    // (the program under test and its arguments), started as the user who
    // runs the test, as further words: the script ends with exec "$@".
    static std::vector<std::string> command(const std::string& script, const std::vector<std::string>& words,
                                            const std::vector<std::string>& program) {
        std::vector<std::string> command = {"unshare", "--mount", "--propagation", "private"};
        if (geteuid() != 0) command.insert(command.begin() + 1, {"--user", "--map-root-user"});
        command.insert(command.end(), {"sh", "-c", script});
        command.insert(command.end(), words.begin(), words.end());
        // Any other user than root becomes itself again in a user namespace
        // nested in the first, with no capability.
        if (geteuid() != 0)
            command.insert(command.end(), {"unshare", "--user", "--map-user=" + std::to_string(geteuid()),
                                           "--map-group=" + std::to_string(getegid()), "--"});
        command.insert(command.end(), program.begin(), program.end());
        return command;
    }

    // Why no mount namespace can be made here; "" when it can.
    static std::string unavailable() {
        static const std::string why = [] {
            if (run(command("mount -t tmpfs tmpfs /tmp && exec \"$@\"", {"sh"}, {"true"})) == 0) return std::string();
            return std::string(geteuid() == 0 ? "no mount namespace: unshare --mount fails here"
                                              : "not root, and the kernel lets no user who is not root make a "
                                                "mount namespace (unshare --user --mount fails)");
        }();
        return why;
    }

private:
    // The exit status of `args` run with no output; -1 when it could not run.
    static int run(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&quiet, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = -1;
        const int failed = posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        int status = 0;
        if (failed || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

}  // namespace qmtest
