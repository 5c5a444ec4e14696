#pragma once
// Packages and sandbox checks shared by the end-to-end installation tests:
// packages are made in-process by the builder the tool uses, and every run
// is judged by the files it left in its sandbox root.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "package_builder.h"
#include "support/dev_key.h"
#include "support/sandbox.h"
#include "version_text.h"

namespace velmora {

inline Version ver(std::string_view text) { return parseVersionText(text).value_or(0); }

inline PackageRecipe packageRecipe(const std::string& name, std::string_view version, std::vector<FileEntry> files = {})
{
    PackageRecipe recipe;
    recipe.name = name, recipe.version = ver(version), recipe.buildTime = 1300000000, recipe.files = std::move(files);
    return recipe;
}

inline std::string makePackage(const PackageRecipe& recipe) { return buildPackage(recipe, &developmentKey()); }

inline Dependency needs(const std::string& name, std::string_view min = "0") { return {name, ver(min), 0, 0}; }

// A temporary file of the change set: "tmp" and six more characters.
inline bool isTemporaryName(std::string_view relative) {
    std::string_view base = relative.substr(relative.rfind('/') + 1);
    return base.size() == 9 && base.substr(0, 3) == "tmp";
}

inline std::vector<std::string> temporaryFiles(const TreeSnapshot& tree) {
    std::vector<std::string> found;
    for (const auto& [path, entry] : tree) if (isTemporaryName(path)) found.push_back(path);
    return found;
}

// Differences between two listings, leaving out the paths a run may touch.
inline std::string changesBesides(TreeSnapshot before, TreeSnapshot after, const std::vector<std::string>& allowed) {
    for (const std::string& path : allowed) before.erase(path), after.erase(path);
    return describeChanges(before, after);
}

// Base of the installation tests: one sandbox root per test, laid out like
// a router with an upload directory.
class InstallTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_FALSE(box.path().empty());
        ASSERT_TRUE(box.makeDirs("flash/rw/pckg"));
    }

    RunResult upgradeRun() { return box.runInstaller({"-r", box.path()}); }

    void upload(const std::string& fileName, const std::string& image, const std::string& dir = "flash/rw/pckg/") {
        ASSERT_TRUE(box.writeFile(dir + fileName, image));
    }

    SandboxRoot box;
};

}  // namespace velmora
