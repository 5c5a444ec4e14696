#pragma once
// Small package descriptions for the planning tests, and a fixture that
// gives each test an empty catalogue and flash devices that are absent.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "planning/package_record.h"
#include "run/installer.h"
#include "storage/flash_device.h"

namespace velmora::planning_test {

constexpr Version ver(unsigned major, unsigned minor, char kind = 'f', unsigned number = 0) {
    return (Version{major} << 24) | (Version{minor} << 16) |
           (static_cast<Version>(static_cast<unsigned char>(kind)) << 8) | Version{number};
}

inline constexpr Version kAllOnes = 0xFFFFFFFF;
inline constexpr const char* kArch = "powerpc";

inline Dependency dep(std::string name, Version min = 0, Version max = 0, std::int32_t priority = 0) {
    Dependency d;
    d.name = std::move(name);
    d.min = min;
    d.max = max;
    d.priority = priority;
    return d;
}

// A package as a test row describes it. A placeholder has all-ones as both
// version and build time.
struct PackageRecipe {
    std::string name{};
    Version version = 0;
    std::uint32_t buildTime = 0;
    std::vector<Dependency> deps{};
    std::vector<Dependency> provides{};
    std::vector<Dependency> conflicts{};
    std::vector<PackageRecipe> members{};
    std::string arch = kArch;
    bool disabled = false;  // for catalogue records only
};

inline PackageRecipe placeholder(std::string name) {
    PackageRecipe recipe;
    recipe.name = std::move(name);
    recipe.version = kAllOnes;
    recipe.buildTime = kAllOnes;
    return recipe;
}

inline void fill(PackageInfo& info, const PackageRecipe& recipe) {
    info.name = recipe.name;
    info.version = recipe.version;
    info.buildTime = recipe.buildTime;
    info.deps = recipe.deps;
    info.provides = recipe.provides;
    info.conflicts = recipe.conflicts;
    info.arch = recipe.arch;
    for (const PackageRecipe& member : recipe.members) {
        auto m = std::make_unique<PackageInfo>();
        fill(*m, member);
        info.members.push_back(std::move(m));
    }
    info.isBundle = !recipe.members.empty();
}

inline std::unique_ptr<OfferedPackage> makeOffer(const PackageRecipe& recipe) {
    auto offer = std::make_unique<OfferedPackage>();
    fill(*offer, recipe);
    return offer;
}

inline std::unique_ptr<PackageRecord> makeRecord(const PackageRecipe& recipe) {
    auto record = std::make_unique<PackageRecord>();
    fill(*record, recipe);
    record->disabled = recipe.disabled;
    return record;
}

// Rows print by name only.
inline void PrintTo(const PackageRecipe& recipe, std::ostream* out) { *out << recipe.name; }

class CatalogueFixture : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        useDevices(FlashDeviceSubstitute{});
    }
    void TearDown() override { reset(); }

    static void reset() {
        Installer& installer = Installer::instance();
        installer.packages.clear();
        installer.messages.clear();
        installer.status.clear();
        installer.quiet = false;
        installer.arch = kArch;
        setFlashDeviceSubstitute(nullptr);
    }

    // Devices absent unless a test says otherwise; never the host's.
    void useDevices(const FlashDeviceSubstitute& devices) {
        devices_ = devices;
        devices_.calls.clear();
        setFlashDeviceSubstitute(&devices_);
    }

    PackageRecord* add(const PackageRecipe& recipe) {
        Installer& installer = Installer::instance();
        installer.packages.push_back(makeRecord(recipe));
        return installer.packages.back().get();
    }

    Installer& installer() { return Installer::instance(); }

    FlashDeviceSubstitute devices_;
};

}  // namespace velmora::planning_test
