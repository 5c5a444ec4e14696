#pragma once
// Packages for the planning tests, written as pkg("a", ver(6, 1)).needs("b"),
// and a fixture with an empty catalogue and absent flash devices.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pdb/version.h"
#include "planning/package_record.h"
#include "run/installer.h"
#include "storage/flash_device.h"

namespace velmora::planning_test {

constexpr Version ver(unsigned major, unsigned minor, char kind = 'f', unsigned number = 0) {
    return (Version{major} << 24) | (Version{minor} << 16) |
           (static_cast<Version>(static_cast<unsigned char>(kind)) << 8) | Version{number};
}

inline constexpr Version kAllOnes = 0xFFFFFFFF;

inline Dependency dep(std::string name, Version min = 0, Version max = 0, std::int32_t priority = 0) {
    return Dependency{std::move(name), min, max, priority};
}

// A package as a test row describes it; each setter returns a changed copy.
// State, action and bundle reference are for catalogue records only.
struct Pkg {
    std::string name;
    Version version = 0;
    std::uint32_t buildTime = 0;
    std::vector<Dependency> deps{}, provides{}, conflicts{};
    std::vector<Pkg> members{};
    std::string arch = "powerpc";
    bool disabled = false, isBundle = false;
    PendingAction action = None;
    std::string bundleRef{};

    Pkg built(std::uint32_t t) const { return with([&](Pkg& p) { p.buildTime = t; }); }
    Pkg needs(std::string n, Version min = 0, Version max = 0) const {
        return with([&](Pkg& p) { p.deps.push_back(dep(std::move(n), min, max)); });
    }
    Pkg gives(std::string n, Version min = 0, Version max = 0, std::int32_t priority = 0) const {
        return with([&](Pkg& p) { p.provides.push_back(dep(std::move(n), min, max, priority)); });
    }
    Pkg clashes(std::string n, Version min = 0, Version max = 0) const {
        return with([&](Pkg& p) { p.conflicts.push_back(dep(std::move(n), min, max)); });
    }
    Pkg member(const Pkg& m) const { return with([&](Pkg& p) { p.members.push_back(m); }); }
    Pkg forArch(std::string a) const { return with([&](Pkg& p) { p.arch = std::move(a); }); }
    Pkg off() const { return with([](Pkg& p) { p.disabled = true; }); }
    Pkg act(PendingAction a) const { return with([&](Pkg& p) { p.action = a; }); }
    Pkg in(std::string bundle) const { return with([&](Pkg& p) { p.bundleRef = std::move(bundle); }); }
    Pkg bundle() const { return with([](Pkg& p) { p.isBundle = true; }); }

private:
    template <typename Change>
    Pkg with(Change change) const {
        Pkg copy = *this;
        change(copy);
        return copy;
    }
};
inline void PrintTo(const Pkg& p, std::ostream* out) { *out << p.name; }

inline Pkg pkg(std::string name, Version version = 0) { return Pkg{std::move(name), version}; }
// All-ones as both version and build time.
inline Pkg placeholder(std::string name) { return pkg(std::move(name), kAllOnes).built(kAllOnes); }

// An OfferedPackage or a PackageRecord.
template <typename Info = OfferedPackage>
std::unique_ptr<Info> make(const Pkg& p) {
    auto info = std::make_unique<Info>();
    info->name = p.name;
    info->version = p.version;
    info->buildTime = p.buildTime;
    info->deps = p.deps;
    info->provides = p.provides;
    info->conflicts = p.conflicts;
    info->arch = p.arch;
    for (const Pkg& member : p.members) info->members.push_back(make<PackageInfo>(member));
    info->isBundle = p.isBundle || !p.members.empty();
    if constexpr (std::is_same_v<Info, PackageRecord>) {
        info->disabled = p.disabled;
        info->action = p.action;
        info->bundleRef.name = p.bundleRef;
    }
    return info;
}
inline std::unique_ptr<OfferedPackage> makeOffer(const Pkg& p) { return make(p); }
inline std::unique_ptr<PackageRecord> makeRecord(const Pkg& p) { return make<PackageRecord>(p); }

// Names table rows by their name field.
template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

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
        installer.arch = "powerpc";
        setFlashDeviceSubstitute(nullptr);
    }
    // Devices absent unless a test says otherwise; never the host's.
    void useDevices(const FlashDeviceSubstitute& devices) {
        devices_ = devices;
        devices_.calls.clear();
        setFlashDeviceSubstitute(&devices_);
    }
    PackageRecord* add(const Pkg& p) { return installer().packages.emplace_back(makeRecord(p)).get(); }
    void add(const std::vector<Pkg>& catalogue) {
        for (const Pkg& p : catalogue) add(p);
    }
    static Installer& installer() { return Installer::instance(); }
    static const std::vector<std::string>& messages() { return Installer::instance().messages; }

    FlashDeviceSubstitute devices_;
};

}  // namespace velmora::planning_test
