#include "planning/admission.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "planning_test_support.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::makeOffer;
using planning_test::PackageRecipe;
using planning_test::placeholder;
using planning_test::ver;

FlashDeviceSubstitute noDevices() { return {}; }

FlashDeviceSubstitute boardMinimum(Version minimum) {
    FlashDeviceSubstitute devices;
    devices.flashPresent = true;
    devices.boardMinimum = minimum;
    return devices;
}

FlashDeviceSubstitute eraseBlocks(std::uint32_t size) {
    FlashDeviceSubstitute devices;
    devices.mtdPresent = true;
    devices.eraseSize = size;
    return devices;
}

struct AdmissionRow {
    const char* name;
    std::vector<PackageRecipe> catalogue;
    PackageRecipe offer;
    InstallFlags flags;
    FlashDeviceSubstitute devices;
    AdmissionOutcome expected;
    std::vector<std::string> messages;
};
void PrintTo(const AdmissionRow& row, std::ostream* out) { *out << row.name; }

class AdmissionTest : public CatalogueFixture, public ::testing::WithParamInterface<AdmissionRow> {};

TEST_P(AdmissionTest, OutcomeAndMessages) {
    const AdmissionRow& row = GetParam();
    for (const PackageRecipe& recipe : row.catalogue) add(recipe);
    useDevices(row.devices);
    auto offer = makeOffer(row.offer);

    EXPECT_EQ(admitOffer(installer(), *offer, row.flags), row.expected);
    EXPECT_EQ(installer().messages, row.messages);
    EXPECT_EQ(installer().packages.size(), row.catalogue.size());
}

const InstallFlags kRun = AllowUpgrade;  // every run passes it

INSTANTIATE_TEST_SUITE_P(
    Planning, AdmissionTest,
    ::testing::Values(
        // Installed version.
        AdmissionRow{"NewPackage", {}, {.name = "a", .version = ver(1, 0)}, kRun, noDevices(), 0, {}},
        AdmissionRow{"Upgrade", {{.name = "a", .version = ver(1, 0)}}, {.name = "a", .version = ver(2, 0)}, kRun,
                     noDevices(), Upgrade, {}},
        AdmissionRow{"DowngradeRefused",
                     {{.name = "a", .version = ver(2, 0)}},
                     {.name = "a", .version = ver(1, 0)},
                     kRun,
                     noDevices(),
                     Downgrade,
                     {"WARNING: omitting package a-1.0: newer package a-2.0 is already installed"}},
        AdmissionRow{"DowngradeAllowed", {{.name = "a", .version = ver(2, 0)}}, {.name = "a", .version = ver(1, 0)},
                     kRun | AllowDowngrade, noDevices(), Downgrade, {}},
        AdmissionRow{"DowngradeThenForeignArchSaysNothingMore",
                     {{.name = "a", .version = ver(2, 0)}},
                     {.name = "a", .version = ver(1, 0), .arch = "x86"},
                     kRun,
                     noDevices(),
                     Downgrade | Incompatible,
                     {"WARNING: omitting package a-1.0: newer package a-2.0 is already installed"}},
        AdmissionRow{"DisabledInstalledStillCounts",
                     {{.name = "a", .version = ver(2, 0), .disabled = true}},
                     {.name = "a", .version = ver(1, 0)},
                     kRun,
                     noDevices(),
                     Downgrade,
                     {"WARNING: omitting package a-1.0: newer package a-2.0 is already installed"}},
        AdmissionRow{"FirstRecordOfTheNameCompared",
                     {{.name = "a", .version = ver(1, 0)}, {.name = "a", .version = ver(3, 0)}},
                     {.name = "a", .version = ver(2, 0)}, kRun, noDevices(), Upgrade, {}},
        AdmissionRow{"SameVersionRefused",
                     {{.name = "a", .version = ver(1, 0), .buildTime = 5}},
                     {.name = "a", .version = ver(1, 0), .buildTime = 5},
                     kRun,
                     noDevices(),
                     SameVersion,
                     {"WARNING: omitting package a-1.0: it is already installed"}},
        AdmissionRow{"SameVersionReinstall", {{.name = "a", .version = ver(1, 0), .buildTime = 5}},
                     {.name = "a", .version = ver(1, 0), .buildTime = 5}, kRun | Reinstall, noDevices(), SameVersion,
                     {}},
        AdmissionRow{"LaterBuildIsUpgrade", {{.name = "a", .version = ver(1, 0), .buildTime = 5}},
                     {.name = "a", .version = ver(1, 0), .buildTime = 6}, kRun, noDevices(), Upgrade, {}},
        AdmissionRow{"EarlierBuildIsDowngrade",
                     {{.name = "a", .version = ver(1, 0), .buildTime = 6}},
                     {.name = "a", .version = ver(1, 0), .buildTime = 5},
                     kRun,
                     noDevices(),
                     Downgrade,
                     {"WARNING: omitting package a-1.0: newer package a-1.0 is already installed"}},
        AdmissionRow{"AllowIncompatibleKeepsVersionMessages",
                     {{.name = "a", .version = ver(1, 0)}},
                     {.name = "a", .version = ver(1, 0)},
                     kRun | AllowIncompatible | AllowConflicting,
                     noDevices(),
                     SameVersion,
                     {"WARNING: omitting package a-1.0: it is already installed"}},

        // Architecture.
        AdmissionRow{"ForeignArch",
                     {},
                     {.name = "a", .version = ver(1, 0), .arch = "i386"},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-1.0: it is not made for powerpc, but for i386"}},
        AdmissionRow{"EmptyArchPasses", {}, {.name = "a", .arch = ""}, kRun, noDevices(), 0, {}},
        AdmissionRow{"AllowIncompatibleSilencesArch", {}, {.name = "a", .arch = "i386"}, kRun | AllowIncompatible,
                     noDevices(), Incompatible, {}},
        AdmissionRow{"ArchRefusalSilencesRequirement",
                     {},
                     {.name = "a", .deps = {dep("b")}, .arch = "i386"},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-0.0: it is not made for powerpc, but for i386"}},

        // Requirements.
        AdmissionRow{"RequirementMetByName", {{.name = "b", .version = ver(1, 0)}},
                     {.name = "a", .deps = {dep("b", ver(1, 0))}}, kRun, noDevices(), 0, {}},
        AdmissionRow{"RequirementMetByProvision", {{.name = "c", .provides = {dep("b")}}},
                     {.name = "a", .deps = {dep("b", ver(1, 0))}}, kRun, noDevices(), 0, {}},
        AdmissionRow{"RequirementMetOnlyWhenDisabled",
                     {{.name = "b", .disabled = true}},
                     {.name = "a", .version = ver(1, 0), .deps = {dep("b")}},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-1.0: b is not installed, but is required"}},
        AdmissionRow{"RequirementMetOnlyByPlaceholder",
                     {placeholder("b")},
                     {.name = "a", .version = ver(1, 0), .deps = {dep("b")}},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-1.0: b is not installed, but is required"}},
        AdmissionRow{"RequirementLabelShowsMinimum",
                     {{.name = "b", .version = ver(1, 0)}},
                     {.name = "a", .version = ver(1, 0), .deps = {dep("b", ver(3, 20, 'c', 2), ver(4, 0))}},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-1.0: b-3.20rc2 is not installed, but is required"}},
        AdmissionRow{"OnlyFirstUnmetRequirementReported",
                     {{.name = "c"}},
                     {.name = "a", .version = ver(1, 0), .deps = {dep("c"), dep("b"), dep("d")}},
                     kRun,
                     noDevices(),
                     Incompatible,
                     {"ERROR: can not install a-1.0: b is not installed, but is required"}},
        AdmissionRow{"AllowIncompatibleSilencesRequirement", {}, {.name = "a", .deps = {dep("b")}},
                     kRun | AllowIncompatible, noDevices(), Incompatible, {}},
        AdmissionRow{"RequirementRefusalSilencesConflict",
                     {{.name = "c", .version = ver(1, 0), .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0), .deps = {dep("b")}},
                     kRun,
                     noDevices(),
                     Incompatible | Conflicting,
                     {"ERROR: can not install a-1.0: b is not installed, but is required"}},

        // Conflicts.
        AdmissionRow{"Conflict",
                     {{.name = "c", .version = ver(2, 0), .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0)},
                     kRun,
                     noDevices(),
                     Conflicting,
                     {"ERROR: can not install a-1.0: it conflicts with c-2.0"}},
        AdmissionRow{"ConflictWithDisabledIgnored", {{.name = "c", .conflicts = {dep("a")}, .disabled = true}},
                     {.name = "a", .version = ver(1, 0)}, kRun, noDevices(), 0, {}},
        AdmissionRow{"OffersOwnConflictListNotRead", {{.name = "c", .version = ver(2, 0)}},
                     {.name = "a", .version = ver(1, 0), .conflicts = {dep("c")}}, kRun, noDevices(), 0, {}},
        AdmissionRow{"AllowConflictingSilencesConflict", {{.name = "c", .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0)}, kRun | AllowConflicting, noDevices(), Conflicting, {}},
        AdmissionRow{"AllowConflictingKeepsArchMessage",
                     {{.name = "c", .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0), .arch = "i386"},
                     kRun | AllowConflicting,
                     noDevices(),
                     Incompatible | Conflicting,
                     {"ERROR: can not install a-1.0: it is not made for powerpc, but for i386"}},
        AdmissionRow{"AllowIncompatibleKeepsConflictMessage",
                     {{.name = "c", .version = ver(2, 0), .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0), .arch = "i386"},
                     kRun | AllowIncompatible,
                     noDevices(),
                     Incompatible | Conflicting,
                     {"ERROR: can not install a-1.0: it conflicts with c-2.0"}},
        AdmissionRow{"DowngradeRefusalSilencesConflict",
                     {{.name = "a", .version = ver(2, 0)}, {.name = "c", .conflicts = {dep("a")}}},
                     {.name = "a", .version = ver(1, 0)},
                     kRun,
                     noDevices(),
                     Downgrade | Conflicting,
                     {"WARNING: omitting package a-1.0: newer package a-2.0 is already installed"}},

        // Board rules for core packages.
        AdmissionRow{"CoreBelowBoardMinimum",
                     {},
                     {.name = "stavel", .version = ver(6, 0)},
                     kRun,
                     boardMinimum(ver(6, 1)),
                     Incompatible,
                     {"ERROR: omitting package stavel-6.0: min Velmora version is 6.1"}},
        AdmissionRow{"CoreAtBoardMinimum", {}, {.name = "stavel", .version = ver(6, 1)}, kRun,
                     boardMinimum(ver(6, 1)), 0, {}},
        AdmissionRow{"OptionRecordLiftsMinimum", {{.name = "option", .disabled = true}},
                     {.name = "stavel", .version = ver(6, 0)}, kRun, boardMinimum(ver(6, 1)), 0, {}},
        AdmissionRow{"OptionProvisionDoesNotLiftMinimum",
                     {{.name = "p", .provides = {dep("option")}}},
                     {.name = "stavel", .version = ver(6, 0)},
                     kRun,
                     boardMinimum(ver(6, 1)),
                     Incompatible,
                     {"ERROR: omitting package stavel-6.0: min Velmora version is 6.1"}},
        AdmissionRow{"VelmoraPrefixIsCore",
                     {},
                     {.name = "velmora-ppp", .version = ver(6, 0)},
                     kRun,
                     boardMinimum(ver(6, 1)),
                     Incompatible,
                     {"ERROR: omitting package velmora-ppp-6.0: min Velmora version is 6.1"}},
        AdmissionRow{"LongerStavelIsNotCore", {}, {.name = "stavelx", .version = ver(6, 0)}, kRun,
                     boardMinimum(ver(6, 1)), 0, {}},
        AdmissionRow{"CoreNameCaseSensitive", {}, {.name = "Velmora", .version = ver(6, 0)}, kRun,
                     boardMinimum(ver(6, 1)), 0, {}},
        AdmissionRow{"OldCoreOnLargeEraseBlocks",
                     {},
                     {.name = "stavel", .version = ver(3, 20, 'c', 1)},
                     kRun,
                     eraseBlocks(0x40000),
                     Incompatible,
                     {"WARNING: omitting package stavel-3.20rc1: it does not support current file system"}},
        AdmissionRow{"Rc2OnLargeEraseBlocks", {}, {.name = "stavel", .version = ver(3, 20, 'c', 2)}, kRun,
                     eraseBlocks(0x40000), 0, {}},
        AdmissionRow{"OldCoreOnSmallEraseBlocks", {}, {.name = "stavel", .version = ver(3, 20, 'c', 1)}, kRun,
                     eraseBlocks(0x20000), 0, {}},
        AdmissionRow{"CoreWithoutDevices", {}, {.name = "stavel", .version = ver(1, 0)}, kRun, noDevices(), 0, {}},
        AdmissionRow{"BoardRefusalSilencesArch",
                     {},
                     {.name = "stavel", .version = ver(6, 0), .arch = "i386"},
                     kRun,
                     boardMinimum(ver(6, 1)),
                     Incompatible,
                     {"ERROR: omitting package stavel-6.0: min Velmora version is 6.1"}},
        AdmissionRow{"DowngradeRefusalSilencesBoard",
                     {{.name = "stavel", .version = ver(7, 0)}},
                     {.name = "stavel", .version = ver(6, 0), .arch = "i386"},
                     kRun,
                     boardMinimum(ver(6, 1)),
                     Downgrade | Incompatible,
                     {"WARNING: omitting package stavel-6.0: newer package stavel-7.0 is already installed"}},
        AdmissionRow{"AllowIncompatibleSilencesBoard", {}, {.name = "stavel", .version = ver(6, 0)},
                     kRun | AllowIncompatible, boardMinimum(ver(6, 1)), Incompatible, {}}),
    [](const ::testing::TestParamInfo<AdmissionRow>& info) { return info.param.name; });

using BoardTest = CatalogueFixture;

TEST_F(BoardTest, MessageReachesTheConsole) {
    useDevices(boardMinimum(ver(6, 1)));
    auto offer = makeOffer({.name = "velmora", .version = ver(6, 0, 'b', 3)});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(admitOffer(installer(), *offer, AllowUpgrade), Incompatible);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ERROR: omitting package velmora-6.0beta3: min Velmora version is 6.1\n");
}

TEST_F(BoardTest, NotReportingStaysSilent) {
    useDevices(boardMinimum(ver(6, 1)));
    auto old = makeOffer({.name = "stavel", .version = ver(6, 0)});
    EXPECT_FALSE(checkBoardCompatibility(installer(), *old, false));
    EXPECT_TRUE(installer().messages.empty());
    EXPECT_TRUE(checkBoardCompatibility(installer(), *makeOffer({.name = "stavel", .version = ver(6, 1)}), true));
    EXPECT_TRUE(installer().messages.empty());
}

TEST_F(BoardTest, MinimumCheckedBeforeEraseBlocks) {
    FlashDeviceSubstitute devices = boardMinimum(ver(6, 1));
    devices.mtdPresent = true;
    devices.eraseSize = 0x40000;
    useDevices(devices);
    auto offer = makeOffer({.name = "stavel", .version = ver(3, 0)});
    EXPECT_FALSE(checkBoardCompatibility(installer(), *offer, true));
    EXPECT_EQ(installer().messages,
              std::vector<std::string>{"ERROR: omitting package stavel-3.0: min Velmora version is 6.1"});
}

TEST_F(BoardTest, BoardAskedOnEveryCheckButNotForOtherPackages) {
    useDevices(boardMinimum(0));
    auto core = makeOffer({.name = "stavel", .version = ver(9, 0)});
    EXPECT_TRUE(checkBoardCompatibility(installer(), *core, true));
    EXPECT_TRUE(checkBoardCompatibility(installer(), *core, true));
    EXPECT_EQ(devices_.calls.size(), 2u);

    devices_.calls.clear();
    admitOffer(installer(), *makeOffer({.name = "ppp", .version = ver(1, 0)}), AllowUpgrade);
    EXPECT_TRUE(devices_.calls.empty());
}

TEST_F(BoardTest, RefusedMinimumRequestMeansNoMinimum) {
    FlashDeviceSubstitute devices = boardMinimum(ver(6, 1));
    devices.minimumRefused = true;
    useDevices(devices);
    EXPECT_TRUE(checkBoardCompatibility(installer(), *makeOffer({.name = "stavel", .version = ver(1, 0)}), true));
}

}  // namespace
}  // namespace velmora
