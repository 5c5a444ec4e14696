#pragma once
// Runs a program (the built vpa, cmake) to its end with its output caught,
// for end-to-end tests of the tools that do not need a sandbox root.

#include <string>
#include <vector>

namespace velmora {

struct ProcessRun {
    int exitStatus = -1;  // -1 when it could not be started or did not exit normally
    std::string out, err;
};

// argv[0] is the program's path. Standard input is /dev/null; standard
// output and error go through files in scratchDir, which must exist.
ProcessRun runProcess(const std::vector<std::string>& argv, const std::string& scratchDir);

}  // namespace velmora
