// vpa verify: a package or bundle file read as an installer built with the
// given key reads an upload, with the installer's own readers and checks.

#include <cstdio>

#include "commands.h"
#include "key_file.h"
#include "package_sinks.h"

namespace velmora {

const char* const VerifyHelp =
    "usage: vpa verify --key FILE.pub PACKAGE.vpa\n"
    "\n"
    "Reads a package or bundle file as an installer built with the key\n"
    "FILE.pub reads an upload, with the installer's own readers and checks:\n"
    "the file's length, the header and metadata parts, the order of the\n"
    "parts, every archive entry's path and content (the files of every\n"
    "processor group), and each package's signature: its digest over the\n"
    "signed range, then r and v under the key. Whether the installer would\n"
    "admit the package (versions, requirements, architecture) is not judged.\n"
    "A private key file (.key) serves as well.\n"
    "\n"
    "  --key FILE   the public key to check against (see 'vpa help keygen')\n"
    "\n"
    "Prints \"NAME-VERSION: good\" for each package the installer would take.\n"
    "Exit status: 0 when it would take the whole file; 1 otherwise, each\n"
    "objection on standard error with the part, its offset and the rule;\n"
    "2 for a wrong command line.\n";

namespace {

const char* const Command = "verify";

}  // namespace

int runVerify(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {{"--key", true}};
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help verify')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(VerifyHelp, stdout);
        return ExitSuccess;
    }
    auto keyPath = parsed->value("--key");
    if (!keyPath || parsed->operands.size() != 1) {
        commandError(Command, "needs --key FILE.pub and one package file (see 'vpa help verify')");
        return ExitUsage;
    }
    auto key = loadPublicKey(*keyPath, error);
    if (!key) {
        commandError(Command, error);
        return ExitFailure;
    }
    const std::string& path = parsed->operands[0];
    if (!isInputFile(Command, path)) return ExitFailure;

    const TrustedKey trusted{key->publicKey.data(), &key->constants};
    DiscardSink sink;
    const FileVerdict verdict = checkPackageFile(path, &trusted, sink);
    for (const std::string& label : verdict.accepted) std::printf("%s: good\n", label.c_str());
    std::fflush(stdout);
    for (const std::string& objection : verdict.objections) commandError(Command, path + ": " + objection);
    return verdict.objections.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace velmora
