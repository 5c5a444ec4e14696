#pragma once
// Small helpers shared by the end-to-end tests.

#include <string>
#include <vector>

#include "support/sandbox.h"

namespace velmora {

// Replaces the "@root" placeholder in arguments with the sandbox's path.
inline std::vector<std::string> withRoot(const std::vector<std::string>& args, const SandboxRoot& sandbox) {
    std::vector<std::string> out;
    for (const std::string& arg : args) out.push_back(arg.starts_with("@root") ? sandbox.path() + arg.substr(5) : arg);
    return out;
}

}  // namespace velmora
