// vpa, the package tool: builds, bundles, signs, verifies, inspects and
// extracts package files, and makes signing keys.

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"

namespace velmora {

void commandError(const char* command, const std::string& message) {
    std::fprintf(stderr, "vpa %s: %s\n", command, message.c_str());
}

}  // namespace velmora

namespace {

using velmora::CommandInfo;

const CommandInfo Commands[] = {
    {"build", "make a package from a directory tree", velmora::BuildHelp, velmora::runBuild},
    {"bundle", "put complete packages into one bundle", velmora::BundleHelp, velmora::runBundle},
    {"extract", "place a package's files as a router would", velmora::ExtractHelp, velmora::runExtract},
    {"inspect", "show the header, parts, metadata, files and signature", velmora::InspectHelp,
     velmora::runInspect},
    {"keygen", "make a new signing key pair", velmora::KeygenHelp, velmora::runKeygen},
    {"sign", "sign every package of a package or bundle file", velmora::SignHelp, velmora::runSign},
    {"verify", "check every signature of a file as the installer does", velmora::VerifyHelp,
     velmora::runVerify},
};

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : Commands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

void printOverview(std::FILE* out) {
    std::fprintf(out,
                 "usage: vpa COMMAND [options] [arguments]\n"
                 "\n"
                 "The Velmora package tool.\n"
                 "\n"
                 "Commands:\n");
    for (const CommandInfo& command : Commands) std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
    std::fprintf(out,
                 "  %-9s show the help of a command\n"
                 "\n"
                 "Run 'vpa help COMMAND' or 'vpa COMMAND --help' for a command's options.\n",
                 "help");
}

}  // namespace

int main(int argc, char** argv) {
    // The package is read as an upload is, never as a boot image.
    ::unsetenv("bootimage");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printOverview(stderr);
        return velmora::ExitUsage;
    }
    const std::string& name = args[0];
    if (name == "-h" || name == "--help") {
        printOverview(stdout);
        return velmora::ExitSuccess;
    }
    if (name == "help") {
        if (args.size() == 1) {
            printOverview(stdout);
            return velmora::ExitSuccess;
        }
        if (args.size() > 2) {
            std::fprintf(stderr, "vpa help: takes one command name (see 'vpa --help')\n");
            return velmora::ExitUsage;
        }
        const CommandInfo* command = findCommand(args[1]);
        if (command == nullptr) {
            std::fprintf(stderr, "vpa help: unknown command '%s' (see 'vpa --help')\n", args[1].c_str());
            return velmora::ExitUsage;
        }
        std::fputs(command->help, stdout);
        return velmora::ExitSuccess;
    }
    const CommandInfo* command = findCommand(name);
    if (command == nullptr) {
        std::fprintf(stderr, "vpa: unknown command '%s' (see 'vpa --help')\n", name.c_str());
        return velmora::ExitUsage;
    }
    return command->run(std::vector<std::string>(args.begin() + 1, args.end()));
}
