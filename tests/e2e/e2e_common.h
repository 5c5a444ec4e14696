#pragma once
// Texts the installer prints on its own, and small set-ups shared by the
// end-to-end tests.

#include <string>

#include "support/sandbox.h"

namespace velmora {

inline const std::string kUsageOut = "usage: installer [-q] [-r <root>] [-]\n";
inline const std::string kResumingOut = "\nResuming upgrade...\n";
// --commit: its own line, then a backspace and a blank over the spinner.
inline const std::string kFinishingOut = "finishing install... \b \n";

// The listing of an empty catalogue: the 94-column header and its rule.
inline std::string emptyListing() {
    std::string header = std::string("Name            ") + "    " + "Version      " + " " +
                         "Built               " + "Note" + std::string(36, ' ');
    return header + "\n" + std::string(94, '-') + "\n";
}

// A consistent database entry of an installed package without an image
// (version 6.1, no dependencies, no files), so that the catalogue is not
// empty and nothing about it calls for a change.
inline void addInstalledRecord(SandboxRoot& sandbox, const std::string& name) {
    const std::string dir = "flash/var/pdb/" + name + "/";
    sandbox.writeFile(dir + "version", "100754944 1300000000\n");
    sandbox.writeFile(dir + "deps", "");
    sandbox.writeFile(dir + "files", "");
}

// Replaces the "@root" placeholder in arguments with the sandbox's path.
inline std::vector<std::string> withRoot(const std::vector<std::string>& args, const SandboxRoot& sandbox) {
    std::vector<std::string> out;
    for (const std::string& arg : args) {
        std::string value = arg;
        if (value.rfind("@root", 0) == 0) value = sandbox.path() + value.substr(5);
        out.push_back(value);
    }
    return out;
}

}  // namespace velmora
