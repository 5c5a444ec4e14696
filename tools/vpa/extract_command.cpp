// vpa extract: the files of a package placed as a router would place them.

#include <sys/stat.h>

#include <cstdio>

#include "commands.h"
#include "package_sinks.h"

namespace velmora {

const char* const ExtractHelp =
    "usage: vpa extract [--group N] PACKAGE.vpa DIR\n"
    "\n"
    "Unpacks the files of a package or bundle file into DIR exactly as the\n"
    "installer places them below /flash (DIR standing for /flash), with the\n"
    "installer's own reader and rules: regular files only, with their\n"
    "permission bits; directories made on the way; entries of other kinds\n"
    "passed over. Nothing is written unless the installer would take the\n"
    "whole file (the signature's digest is checked, not its key: see 'vpa\n"
    "help verify').\n"
    "\n"
    "  --group N   the router's processor group, 1-4: its files are placed\n"
    "              too; default: none, only the files for every processor\n"
    "\n"
    "Prints each file placed, as its path below /flash. Exit status: 0 when\n"
    "done; 1 when the file is refused or a file cannot be written; 2 for a\n"
    "wrong command line.\n";

namespace {

const char* const Command = "extract";

}  // namespace

int runExtract(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {{"--group", true}};
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help extract')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(ExtractHelp, stdout);
        return ExitSuccess;
    }
    if (parsed->operands.size() != 2) {
        commandError(Command, "needs one package file and one directory (see 'vpa help extract')");
        return ExitUsage;
    }
    unsigned group = 0;
    if (auto text = parsed->value("--group")) {
        auto value = parseUnsigned(*text, 4);
        if (!value || *value == 0) {
            commandError(Command, "--group " + printable(*text) + ": expected a processor group from 1 to 4");
            return ExitUsage;
        }
        group = static_cast<unsigned>(*value);
    }
    const std::string& path = parsed->operands[0];
    std::string root = parsed->operands[1];
    if (!isInputFile(Command, path)) return ExitFailure;
    struct stat status {};
    if (::stat(root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        commandError(Command, root + ": no such directory (make it first)");
        return ExitFailure;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();

    // The whole file is judged before anything is written, as the
    // installer places nothing of a package it refuses.
    DiscardSink check;
    FileVerdict verdict = checkPackageFile(path, nullptr, check);
    TreeSink tree(root, group);
    if (verdict.objections.empty()) verdict = checkPackageFile(path, nullptr, tree);
    for (const std::string& placed : tree.written()) std::printf("%s\n", printable(placed).c_str());
    std::fflush(stdout);
    for (const std::string& objection : verdict.objections) commandError(Command, path + ": " + objection);
    return verdict.objections.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace velmora
