// vpa bundle: several complete packages in one file, each keeping its own
// signature.

#include <sys/stat.h>

#include <cstdio>
#include <map>

#include "command_line.h"
#include "commands.h"
#include "directory_entries.h"
#include "package/package_check.h"
#include "package/package_reader.h"
#include "package_builder.h"
#include "version_text.h"

namespace velmora {

const char* const BundleHelp =
    "usage: vpa bundle -o OUT.vpa --name NAME --version VERSION [options] MEMBER.vpa...\n"
    "\n"
    "Puts complete member packages, each signed on its own, into one bundle\n"
    "with a header and metadata of its own. Members keep their signatures,\n"
    "unless --key is given: then every member is signed anew, each on its own.\n"
    "\n"
    "  -o, --output FILE          where to write the bundle\n"
    "  --name NAME                bundle name, 1-16 characters\n"
    "  --version VERSION          e.g. 6.1, 6.1.3, 3.20rc2\n"
    "  --build-time SECONDS       build time; default: $SOURCE_DATE_EPOCH, else now\n"
    "  --note TEXT                note shown in the installer's listing\n"
    "  --disabled-member NAME     the member NAME starts disabled; repeatable\n"
    "  --keep-image               the installer keeps the bundle's image; without\n"
    "                             it, the members of an installed bundle are\n"
    "                             uninstalled by the next run that loads them\n"
    "  --key FILE.key             sign every member with this private key, each\n"
    "                             with a fresh random nonce (see 'vpa help keygen')\n";

namespace {

const char* const Command = "bundle";

// Reads a member package as the installer would and keeps its name.
bool loadMember(const std::string& path, std::string& image, std::string& name) {
    if (!isInputFile(Command, path)) return false;
    OfferedPackage member;
    const ReadFault fault = readOfferedFile(member, path);
    if (fault.kind != ReadFault::None) {
        commandError(Command, path + ": " + offeredFileObjection(path));
        return false;
    }
    if (member.isBundle) {
        commandError(Command, path + ": a bundle cannot be a member of another bundle");
        return false;
    }
    std::string error;
    if (!readWholeFile(path, image, error)) {
        commandError(Command, error);
        return false;
    }
    name = member.name;
    return true;
}

}  // namespace

int runBundle(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {
        {"-o", true, "--output"}, {"--output", true}, {"--name", true},           {"--version", true},
        {"--build-time", true},   {"--note", true},   {"--disabled-member", true}, {"--key", true},
        {"--keep-image", false},
    };
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help bundle')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(BundleHelp, stdout);
        return ExitSuccess;
    }
    auto output = parsed->value("--output");
    auto name = parsed->value("--name");
    auto versionText = parsed->value("--version");
    if (!output || !name || !versionText || parsed->operands.empty()) {
        commandError(Command, "needs -o OUT, --name, --version and at least one member (see 'vpa help bundle')");
        return ExitUsage;
    }
    BundleRecipe recipe;
    if (!isValidPackageName(*name)) {
        commandError(Command, "bad bundle name '" + printable(*name) +
                                  "': 1-16 characters, not beginning with '.', no '/', blanks or control characters");
        return ExitUsage;
    }
    recipe.bundle.name = *name;
    auto version = parseVersionText(*versionText);
    if (!version) {
        commandError(Command, "bad version '" + *versionText + "'");
        return ExitUsage;
    }
    recipe.bundle.version = *version;
    auto buildTime = buildTimeOption(parsed->value("--build-time"));
    if (!buildTime) {
        commandError(Command, "bad build time '" + *parsed->value("--build-time") + "'");
        return ExitUsage;
    }
    recipe.bundle.buildTime = *buildTime;
    recipe.bundle.note = parsed->value("--note");
    recipe.bundle.keepImage = parsed->has("--keep-image");
    std::optional<SigningKey> key;
    if (!signingKeyOption(Command, *parsed, key)) return ExitFailure;

    std::map<std::string, std::string> memberNames;  // name -> the file it came from
    for (const std::string& path : parsed->operands) {
        std::string image;
        std::string memberName;
        if (!loadMember(path, image, memberName)) return ExitFailure;
        if (memberName == recipe.bundle.name) {
            // The installer would take it for the bundle itself and install nothing of it.
            commandError(Command, path + ": a member cannot have the bundle's name " + printable(memberName));
            return ExitFailure;
        }
        if (auto [first, added] = memberNames.emplace(memberName, path); !added) {
            commandError(Command, path + ": the member " + printable(memberName) + " is already in the bundle (from " +
                                      first->second + ")");
            return ExitFailure;
        }
        recipe.members.push_back(std::move(image));
    }
    for (const std::string& disabled : parsed->values("--disabled-member")) {
        if (memberNames.count(disabled) == 0) {
            commandError(Command, "--disabled-member " + disabled + ": no member of that name");
            return ExitUsage;
        }
        recipe.disabledMembers.push_back(disabled);
    }

    std::string image = buildBundle(recipe);
    if (image.size() - FileHeaderSize > 0xFFFFFFFFu) {
        commandError(Command, "the bundle would be larger than 4 GiB");
        return ExitFailure;
    }
    if (key && !signEveryPackage(Command, image, *key)) return ExitFailure;
    if (!writeFileAtomically(*output, image, error)) {
        commandError(Command, error);
        return ExitFailure;
    }
    return ExitSuccess;
}

}  // namespace velmora
