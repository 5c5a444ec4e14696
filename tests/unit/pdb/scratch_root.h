#pragma once
// A scratch router tree with the database, the schedule and the image store pointed at it, an empty catalogue
// and a change set that is cancelled at the end.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "pdb/package_db.h"
#include "planning/action_planning.h"
#include "run/installer.h"
#include "storage/change_set.h"

namespace velmora::db_test {

// A dependency list as "name min max priority;" per entry.
inline std::string render(const std::vector<Dependency>& list) {
    std::string text; const auto n = [](auto v) { return " " + std::to_string(v); };
    for (const Dependency& d : list) text += d.name + n(d.min) + n(d.max) + n(d.priority) + ";";
    return text;
}

// A record's action and state, its dependencies, bundle and files.
inline std::string summary(const PackageRecord& r) {
    std::string text = std::string(r.action == None ? "none" : actionWord(r.action)) + (r.isBundle ? " bundle" : "") +
                       (r.disabled ? " off" : "") + (r.userForced ? " user" : "");
    text += (r.deps.empty() ? "" : " deps=" + render(r.deps));
    text += (r.bundleRef.name.empty() ? "" : " in=" + render({r.bundleRef}));
    for (const std::string& file : r.files) text += " " + file;
    return text;
}

class ScratchRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/scratch-root-XXXXXX"; ASSERT_NE(::mkdtemp(pattern), nullptr); root_ = pattern;
        for (const char* dir : {"/flash/var/pdb", "/ram/pdb", "/rw/pckg/.images"})
            std::filesystem::create_directories(root_ + dir);
        setDbPaths({root_ + "/flash/var/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage",
                    root_ + "/rw/pckg/.images/"}), resetInstaller();
    }
    void TearDown() override { cancel(changes_), setDbPaths({}), resetInstaller(), std::filesystem::remove_all(root_); }
    static void resetInstaller() { Installer& i = Installer::instance();
        i.packages.clear(), i.messages.clear(), i.status.clear(), i.quiet = i.postlogReserved = false; }
    std::string db(std::string n, std::string file = "") const { return root_ + "/flash/var/pdb/" + n + "/" + file; }
    // A fresh file each time: a file truncated and rewritten in place is flushed on close.
    static void put(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path()), std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::optional<std::string> read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
    }
    // The pending operations as "kind path" below the root, in path order: M move, T staged move, L link, U unlink.
    std::string ops() const { std::string text;
        for (const auto& [target, op] : changes_.ops)
            text += (text.empty() ? "" : ", ") + ("MT?LU"[int(op.kind)] + (" " + target.substr(root_.size())));
        return text;
    }
    void commitChanges() { commit(changes_, "", false), changes_.ops.clear(); }

    std::string root_; ChangeSet changes_;
};

}  // namespace velmora::db_test
