// vpa sign: (re)signs every package of an existing file; and the --key
// handling that build and bundle share with it.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "directory_entries.h"
#include "key_file.h"
#include "package/package_check.h"

namespace velmora {

const char* const SignHelp =
    "usage: vpa sign --key FILE.key [-o OUT.vpa] PACKAGE.vpa\n"
    "\n"
    "Signs every package of a package or bundle file with the private key:\n"
    "each package's signature part gets the SHA-1 digest of its signed range\n"
    "(from its header part through the signature part's header) and the\n"
    "commitment r and value v, made with a fresh random nonce. A bundle's\n"
    "members are signed each on its own. Signatures already there are\n"
    "replaced.\n"
    "\n"
    "  --key FILE.key      the private key (see 'vpa help keygen')\n"
    "  -o, --output FILE   where to write the signed file; default: in place\n";

bool signingKeyOption(const char* command, const ParsedOptions& parsed, std::optional<SigningKey>& key) {
    key.reset();
    auto path = parsed.value("--key");
    if (!path) return true;
    std::string error;
    key = loadSigningKey(*path, error);
    if (!key) commandError(command, error);
    return key.has_value();
}

bool signEveryPackage(const char* command, std::string& image, const SigningKey& key) {
    std::size_t signatures = 0;
    for (const PartLocation& part : locateParts(image)) {
        if (part.type == PartSignature) ++signatures;
    }
    if (signatures == 0) {
        commandError(command, "nothing to sign: no signature part");
        return false;
    }
    for (const PartLocation& part : locateParts(image)) {
        if (part.type != PartSignature) continue;
        if (part.size < SignatureSize || part.size > image.size() - part.dataOffset()) {
            commandError(command, "the signature part at offset " + std::to_string(part.offset) + " holds " +
                                      std::to_string(std::min<std::size_t>(part.size, image.size() - part.dataOffset())) +
                                      " bytes, fewer than a signature's 68: rebuild the package");
            return false;
        }
    }
    if (signImage(image, &key) != signatures) {
        commandError(command, "could not sign every package (no random bytes, or a signature part without a "
                              "header part before it)");
        return false;
    }
    return true;
}

namespace {

const char* const Command = "sign";

}  // namespace

int runSign(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {{"--key", true}, {"-o", true, "--output"}, {"--output", true}};
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help sign')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(SignHelp, stdout);
        return ExitSuccess;
    }
    if (!parsed->has("--key") || parsed->operands.size() != 1) {
        commandError(Command, "needs --key FILE.key and one package file (see 'vpa help sign')");
        return ExitUsage;
    }
    std::optional<SigningKey> key;
    if (!signingKeyOption(Command, *parsed, key)) return ExitFailure;

    const std::string& path = parsed->operands[0];
    if (!isInputFile(Command, path)) return ExitFailure;
    // A signature vouches for the package: sign only what the installer can read.
    if (const std::string objection = offeredFileObjection(path); !objection.empty()) {
        commandError(Command, path + ": " + objection);
        return ExitFailure;
    }
    std::string image;
    if (!readWholeFile(path, image, error)) {
        commandError(Command, error);
        return ExitFailure;
    }
    if (!signEveryPackage(Command, image, *key)) return ExitFailure;
    if (!writeFileAtomically(parsed->value("--output").value_or(path), image, error)) {
        commandError(Command, error);
        return ExitFailure;
    }
    return ExitSuccess;
}

}  // namespace velmora
