// vpa build: a package from a directory tree.

#include <cstdio>

#include "command_line.h"
#include "commands.h"
#include "directory_entries.h"
#include "package/package_install.h"
#include "package_builder.h"
#include "version_text.h"

namespace velmora {

const char* const BuildHelp =
    "usage: vpa build -o OUT.vpa --name NAME --version VERSION [options] DIR\n"
    "\n"
    "Packs every regular file under DIR into a package, stored as /PATH\n"
    "relative to DIR, with its mode. Entries are taken in sorted order, so\n"
    "the same tree gives the same package. Directories are not packed: the\n"
    "installer makes them as its files need them. Symbolic links are packed,\n"
    "but the installer passes over them (a warning says so).\n"
    "\n"
    "  -o, --output FILE        where to write the package\n"
    "  --name NAME              package name, 1-16 characters\n"
    "  --version VERSION        e.g. 6.1, 6.1.3, 3.20rc2, 5.0beta, 3.20alpha1\n"
    "  --build-time SECONDS     build time (seconds since 1970); default:\n"
    "                           $SOURCE_DATE_EPOCH, else the current time\n"
    "  --arch ARCH              architecture the package is for (e.g. powerpc)\n"
    "  --note TEXT              note shown in the installer's listing\n"
    "  --flags FLAGS            header flags, decimal or 0x..; 1: boot image,\n"
    "                           2: no metadata files in the package database\n"
    "  --dep NAME[:MIN[:MAX]]   requirement; repeatable\n"
    "  --provides NAME[:MIN[:MAX[:PRIORITY]]]\n"
    "                           provided name; repeatable\n"
    "  --conflicts NAME[:MIN[:MAX]]\n"
    "                           conflicting package; repeatable\n"
    "  --keep-image             the installer keeps the package image\n"
    "  --overlay                write an overlay package\n"
    "  --group PATH=N           install PATH only on processor group N (1-4;\n"
    "                           0: every processor); repeatable\n"
    "  --key FILE.key           sign the package with this private key, with a\n"
    "                           fresh random nonce (see 'vpa help keygen')\n"
    "\n"
    "MIN and MAX are version texts, inclusive; empty or 0 means unbounded.\n"
    "Without --key the package is not signed: its signature part holds the\n"
    "digest of the signed range and zero r and v, which no installer accepts\n"
    "('vpa sign' can sign it later).\n";

namespace {

const char* const Command = "build";

bool addDependencies(const ParsedOptions& parsed, const char* option, bool withPriority,
                     std::vector<Dependency>& list) {
    for (const std::string& text : parsed.values(option)) {
        std::string error;
        auto entry = parseDependencyText(text, withPriority, error);
        if (!entry) {
            commandError(Command, std::string(option) + " " + text + ": " + error);
            return false;
        }
        list.push_back(*entry);
    }
    return true;
}

// Applies --group PATH=N to the collected entries.
bool applyGroups(const ParsedOptions& parsed, std::vector<FileEntry>& files) {
    for (const std::string& text : parsed.values("--group")) {
        std::size_t equals = text.rfind('=');
        auto group = equals == std::string::npos ? std::nullopt : parseUnsigned(text.substr(equals + 1), 4);
        if (!group || equals == 0) {
            commandError(Command, "--group " + text + ": expected PATH=N with N from 0 to 4");
            return false;
        }
        std::string path = text.substr(0, equals);
        if (path.front() != '/') path.insert(path.begin(), '/');
        bool found = false;
        for (FileEntry& file : files) {
            if (file.path == path) {
                file.processorGroup = static_cast<std::uint8_t>(*group);
                found = true;
            }
        }
        if (!found) {
            commandError(Command, "--group " + text + ": no entry " + path + " in the directory");
            return false;
        }
    }
    return true;
}

}  // namespace

int runBuild(const std::vector<std::string>& args) {
    static const std::vector<OptionRule> rules = {
        {"-o", true, "--output"}, {"--output", true},    {"--name", true},      {"--version", true},
        {"--build-time", true},   {"--arch", true},      {"--note", true},      {"--flags", true},
        {"--dep", true},          {"--provides", true},  {"--conflicts", true}, {"--keep-image", false},
        {"--overlay", false},     {"--group", true},     {"--key", true},
    };
    std::string error;
    auto parsed = parseOptions(args, rules, error);
    if (!parsed) {
        commandError(Command, error + " (see 'vpa help build')");
        return ExitUsage;
    }
    if (parsed->help) {
        std::fputs(BuildHelp, stdout);
        return ExitSuccess;
    }
    auto output = parsed->value("--output");
    auto name = parsed->value("--name");
    auto versionText = parsed->value("--version");
    if (!output || !name || !versionText || parsed->operands.size() != 1) {
        commandError(Command, "needs -o OUT, --name, --version and one directory (see 'vpa help build')");
        return ExitUsage;
    }
    PackageRecipe recipe;
    if (!isValidPackageName(*name)) {
        commandError(Command, "bad package name '" + printable(*name) +
                                  "': 1-16 characters, not beginning with '.', no '/', blanks or control characters");
        return ExitUsage;
    }
    recipe.name = *name;
    auto version = parseVersionText(*versionText);
    if (!version) {
        commandError(Command, "bad version '" + *versionText + "'");
        return ExitUsage;
    }
    recipe.version = *version;
    auto buildTime = buildTimeOption(parsed->value("--build-time"));
    if (!buildTime) {
        commandError(Command, "bad build time '" + *parsed->value("--build-time") + "'");
        return ExitUsage;
    }
    recipe.buildTime = *buildTime;
    if (auto text = parsed->value("--flags")) {
        auto value = parseUnsigned(*text, 0xFFFFFFFFul);
        if (!value) {
            commandError(Command, "bad flags '" + *text + "'");
            return ExitUsage;
        }
        recipe.flags = static_cast<std::uint32_t>(*value);
    }
    recipe.arch = parsed->value("--arch");
    recipe.note = parsed->value("--note");
    recipe.keepImage = parsed->has("--keep-image");
    recipe.overlay = parsed->has("--overlay");
    if (!addDependencies(*parsed, "--dep", false, recipe.deps) ||
        !addDependencies(*parsed, "--provides", true, recipe.provides) ||
        !addDependencies(*parsed, "--conflicts", false, recipe.conflicts)) {
        return ExitUsage;
    }

    auto files = collectDirectoryEntries(parsed->operands[0], error);
    if (!files) {
        commandError(Command, error);
        return ExitFailure;
    }
    recipe.files = std::move(*files);
    const FileEntry* link = nullptr;
    for (const FileEntry& entry : recipe.files) {
        if (!namesFileBelowFlash(entry.path)) {
            commandError(Command, printable(parsed->operands[0] + entry.path) +
                                      ": a name the installer cannot install (it holds a line break)");
            return ExitFailure;
        }
        if ((entry.mode & 0xF000) == 0xA000 && link == nullptr) link = &entry;
    }
    if (!applyGroups(*parsed, recipe.files)) return ExitUsage;
    std::optional<SigningKey> key;
    if (!signingKeyOption(Command, *parsed, key)) return ExitFailure;

    std::string image = buildPackage(recipe, nullptr);
    if (image.size() - FileHeaderSize > 0xFFFFFFFFu) {
        commandError(Command, "the package would be larger than 4 GiB");
        return ExitFailure;
    }
    if (key && !signEveryPackage(Command, image, *key)) return ExitFailure;
    if (!writeFileAtomically(*output, image, error)) {
        commandError(Command, error);
        return ExitFailure;
    }
    if (link != nullptr) {
        commandError(Command, "warning: the installer passes over symbolic links such as " + printable(link->path) +
                                  "; they are packed but never installed");
    }
    return ExitSuccess;
}

}  // namespace velmora
