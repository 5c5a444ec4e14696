// vpa verify: every signature of a package or bundle file, checked the way
// the installer checks it: the file read through the installer's package
// stream with hashing, each signature's digest compared with the signed
// range it closes, its commitment checked under the given key.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "commands.h"
#include "key_file.h"
#include "package/package_format.h"
#include "package/package_stream.h"
#include "package/signature_verifier.h"

namespace velmora {

const char* const VerifyHelp =
    "usage: vpa verify --key FILE.pub PACKAGE.vpa\n"
    "\n"
    "Checks every signature of a package or bundle file as an installer\n"
    "built with the key FILE.pub would: for each package (each member of a\n"
    "bundle on its own) the digest of its signed range must equal the\n"
    "signature's digest (the digest check), and the commitment r and value v\n"
    "must hold under the public key and its package-hash constants (the\n"
    "commitment check). A private key file (.key) serves as well.\n"
    "\n"
    "  --key FILE   the public key to check against (see 'vpa help keygen')\n"
    "\n"
    "Prints one line per package verified. Exits with 0 when every package\n"
    "has a good signature, 1 (naming each failing package and the check it\n"
    "fails) otherwise.\n";

namespace {

const char* const Command = "verify";

// The package's name from the first bytes of its header part.
std::string headerName(PackageFile& file) {
    char name[PackageNameSize] = {};
    file.clear();
    file.read(name, PackageNameSize);
    std::string text(name, strnlen(name, static_cast<std::size_t>(file.gcount())));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

struct Verification {
    std::size_t verified = 0;
    std::vector<std::string> failures;
};

// The signature part of the current package: what the installer does when
// it reaches it.
void checkSignature(PackageStreamBuf& buffer, const PublicKeyMaterial& key, const std::string& label,
                    Verification& result) {
    if (buffer.partRemaining() < SignatureSize) {
        result.failures.push_back(label + ": the signature part has " + std::to_string(buffer.partRemaining()) +
                                  " bytes, fewer than 68");
        return;
    }
    std::uint8_t fields[SignatureSize];
    if (!buffer.readSignature(fields)) {
        result.failures.push_back(label +
                                  ": digest check failed: the signed range does not match the signature's digest");
        return;
    }
    if (!verifyCommitment(fields, fields + 20, fields + 36, key.publicKey.data(), key.constants)) {
        result.failures.push_back(label +
                                  ": commitment check failed: r and v do not hold under the key (signed with "
                                  "another key, or altered)");
        return;
    }
    std::printf("%s: good signature\n", label.c_str());
    ++result.verified;
}

Verification verifyAll(PackageFile& file, std::uint64_t fileSize, const PublicKeyMaterial& key) {
    Verification result;
    PackageStreamBuf& buffer = file.packageBuffer();
    std::optional<std::string> open;  // the package whose signature is still to come
    for (;;) {
        const std::int32_t type = buffer.nextPart();
        if (type < 0) break;
        if (std::uint64_t{buffer.partStart()} + buffer.partSize() > fileSize) {
            result.failures.push_back("part " + std::to_string(type) + " at offset " +
                                      std::to_string(buffer.partStart() - PartHeaderSize) +
                                      " runs past the end of the file");
            break;
        }
        if (type == PartHeader) {
            if (open) result.failures.push_back(*open + " has no signature part");
            open = "package " + headerName(file);
        } else if (type == PartSignature && open) {
            checkSignature(buffer, key, *open, result);
            open.reset();
        }
    }
    if (open) result.failures.push_back(*open + " has no signature part");
    if (result.verified == 0 && result.failures.empty()) result.failures.push_back("no package in the file");
    return result;
}

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
    struct stat status {};
    std::ifstream input(path, std::ios::binary);
    if (::stat(path.c_str(), &status) != 0 || !input) {
        commandError(Command, path + ": cannot open: " + std::strerror(errno));
        return ExitFailure;
    }
    if (!S_ISREG(status.st_mode)) {
        commandError(Command, path + ": not a regular file");
        return ExitFailure;
    }
    PackageFile file(input, true);
    if (file.magic() != PackageMagic && file.magic() != OverlayMagic) {
        commandError(Command, path + ": not a package file");
        return ExitFailure;
    }
    Verification result = verifyAll(file, static_cast<std::uint64_t>(status.st_size), *key);
    std::fflush(stdout);
    for (const std::string& failure : result.failures) commandError(Command, path + ": " + failure);
    return result.failures.empty() ? ExitSuccess : ExitFailure;
}

}  // namespace velmora
