// vpa keygen: a new signing key pair, from the kernel's random source.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "key_file.h"
#include "system_random.h"

namespace velmora {

const char* const KeygenHelp =
    "usage: vpa keygen [--constants FROM] OUTPREFIX\n"
    "\n"
    "Makes a new signing key pair: OUTPREFIX.key, the private key (mode\n"
    "0600; keep it secret), and OUTPREFIX.pub, the public half that an\n"
    "installer build trusts (cmake -DINSTALLER_KEY_FILE=OUTPREFIX.pub).\n"
    "The private scalar comes from the kernel's random source (getrandom).\n"
    "Existing files are not overwritten.\n"
    "\n"
    "  --constants FROM    take the package-hash constants from the key file\n"
    "                      FROM (.pub or .key) instead of fresh random ones\n"
    "\n"
    "Key files are text; '#' starts a comment to the end of its line;\n"
    "otherwise whitespace-separated hex tokens:\n"
    "  .pub  the public key (64 hex digits: its 32 bytes, byte 0 first), then\n"
    "        the 64 round constants K[0..63] and the 8 initial words H[0..7]\n"
    "        of the package hash (8 hex digits each, ordinary hex numbers);\n"
    "  .key  the private scalar (64 hex digits: 32 bytes, little-endian,\n"
    "        byte 0 first), then the same 73 tokens as the .pub, so that the\n"
    "        private key carries the constants it signs with.\n";

namespace {

const char* const Command = "keygen";

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool randomConstants(PackageHashConstants& constants) {
    std::uint8_t bytes[4 * (64 + 8)];
    if (!systemRandomBytes(bytes, sizeof bytes)) return false;
    auto word = [&](std::size_t i) {
        return static_cast<std::uint32_t>(bytes[4 * i]) << 24 | static_cast<std::uint32_t>(bytes[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
    };
    for (std::size_t i = 0; i < 64; ++i) constants.k[i] = word(i);
    for (std::size_t i = 0; i < 8; ++i) constants.h[i] = word(64 + i);
    return true;
}

}  // namespace

int runKeygen(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {{"--constants", true}};
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help keygen')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(KeygenHelp, stdout);
        return ExitSuccess;
    }
    if (parsed->operands.size() != 1 || parsed->operands[0].empty()) {
        commandError(Command, "needs one OUTPREFIX (see 'vpa help keygen')");
        return ExitUsage;
    }
    const std::string keyPath = parsed->operands[0] + ".key";
    const std::string publicPath = parsed->operands[0] + ".pub";
    for (const std::string& path : {keyPath, publicPath}) {
        if (exists(path)) {
            commandError(Command, path + ": exists; not overwriting a key");
            return ExitFailure;
        }
    }

    PublicKeyMaterial material;
    if (auto from = parsed->value("--constants")) {
        auto source = loadPublicKey(*from, error);
        if (!source) {
            commandError(Command, error);
            return ExitFailure;
        }
        material.constants = source->constants;
    } else if (!randomConstants(material.constants)) {
        commandError(Command, "no random bytes from the kernel");
        return ExitFailure;
    }

    // Almost every 32 random bytes make a key; the few that do not (0 and
    // +-1 modulo the group order) are drawn again.
    std::array<std::uint8_t, 32> privateScalar{};
    std::optional<std::array<std::uint8_t, 32>> publicKey;
    for (int attempt = 0; attempt < 8 && !publicKey; ++attempt) {
        if (!systemRandomBytes(privateScalar.data(), privateScalar.size())) break;
        publicKey = publicKeyOf(privateScalar);
    }
    if (!publicKey) {
        commandError(Command, "no random bytes from the kernel");
        return ExitFailure;
    }
    material.publicKey = *publicKey;

    if (!writeFileAtomically(keyPath, privateKeyText(privateScalar, material), error, 0600)) {
        commandError(Command, error);
        return ExitFailure;
    }
    if (!writeFileAtomically(publicPath, publicKeyText(material), error)) {
        // Half a key pair is no use to anyone.
        ::unlink(keyPath.c_str());
        commandError(Command, error);
        return ExitFailure;
    }
    std::printf("wrote %s (private: keep it secret) and %s\n", keyPath.c_str(), publicPath.c_str());
    return ExitSuccess;
}

}  // namespace velmora
