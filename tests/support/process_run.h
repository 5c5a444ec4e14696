#pragma once
// Runs a program (the built vpa, cmake, strace) to its end with its output caught, for end-to-end tests that
// do not need a sandbox root.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora {

struct ProcessRun {
    int exitStatus = -1;  // -1 when it could not be started or did not exit normally
    std::string out, err;
};

// argv[0] is the program's path. Standard input is /dev/null; standard output and error go through files in
// scratchDir, which must exist.
inline ProcessRun runProcess(std::vector<std::string> args, const std::string& scratchDir) {
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const std::string paths[] = {scratchDir + "/.run-out", scratchDir + "/.run-err"};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (int fd : {1, 2}) {
        posix_spawn_file_actions_addopen(&actions, fd, paths[fd - 1].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    ProcessRun run;
    pid_t pid = 0;
    int status = 0;
    if (!args.empty() && posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) == 0 &&
        ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exitStatus = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {1, 2}) {
        std::ifstream in(paths[fd - 1], std::ios::binary);
        (fd == 1 ? run.out : run.err).assign(std::istreambuf_iterator<char>(in), {});
        ::unlink(paths[fd - 1].c_str());
    }
    return run;
}

}  // namespace velmora
