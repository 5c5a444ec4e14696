#include "planning/admission.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;

// Flash devices that say the board's minimum version, the erase block size,
// or refuse the minimum request.
FlashDeviceSubstitute board(Version minimum, std::uint32_t eraseSize = 0, bool refused = false) {
    FlashDeviceSubstitute devices;
    devices.flashPresent = true;
    devices.boardMinimum = minimum;
    devices.minimumRefused = refused;
    devices.mtdPresent = eraseSize != 0;
    devices.eraseSize = eraseSize;
    return devices;
}

struct AdmissionRow {
    const char* name;
    std::vector<Pkg> catalogue;
    Pkg offer;
    AdmissionOutcome expected;
    std::string message{};   // the one message, if any
    InstallFlags flags = 0;  // besides AllowUpgrade, which every run passes
    FlashDeviceSubstitute devices{};
};
void PrintTo(const AdmissionRow& row, std::ostream* out) { *out << row.name; }

class AdmissionTest : public CatalogueFixture, public ::testing::WithParamInterface<AdmissionRow> {};

TEST_P(AdmissionTest, OutcomeAndMessages) {
    const AdmissionRow& row = GetParam();
    add(row.catalogue);
    useDevices(row.devices);
    EXPECT_EQ(admitOffer(installer(), *makeOffer(row.offer), AllowUpgrade | row.flags), row.expected);
    EXPECT_EQ(messages(), row.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.message});
    EXPECT_EQ(installer().packages.size(), row.catalogue.size());
}

const Pkg a1 = pkg("a", ver(1, 0)), a2 = pkg("a", ver(2, 0));
const std::string kNewerA2 = "WARNING: omitting package a-1.0: newer package a-2.0 is already installed";
const std::string kSameA1 = "WARNING: omitting package a-1.0: it is already installed";
const std::string kArchA1 = "ERROR: can not install a-1.0: it is not made for powerpc, but for i386";
const std::string kNeedsB = "ERROR: can not install a-1.0: b is not installed, but is required";
const std::string kClashC2 = "ERROR: can not install a-1.0: it conflicts with c-2.0";
const Pkg stavel6 = pkg("stavel", ver(6, 0)), stavelRc1 = pkg("stavel", ver(3, 20, 'c', 1));
const std::string kMinStavel6 = "ERROR: omitting package stavel-6.0: min Velmora version is 6.1";

INSTANTIATE_TEST_SUITE_P(
    Rows, AdmissionTest,
    ::testing::Values(
        // The installed version.
        AdmissionRow{"NewPackage", {}, a1, 0},
        AdmissionRow{"Upgrade", {a1}, a2, Upgrade},
        AdmissionRow{"DowngradeRefused", {a2}, a1, Downgrade, kNewerA2},
        AdmissionRow{"DowngradeAllowed", {a2}, a1, Downgrade, "", AllowDowngrade},
        AdmissionRow{"ReinstallAllowsNoDowngrade", {a2}, a1, Downgrade, kNewerA2, Reinstall},
        AdmissionRow{"DowngradeThenForeignArchSaysNothingMore", {a2}, a1.forArch("x86"), Downgrade | Incompatible,
                     kNewerA2},
        AdmissionRow{"DisabledInstalledStillCounts", {a2.off()}, a1, Downgrade, kNewerA2},
        AdmissionRow{"FirstRecordOfTheNameCompared", {a1, pkg("a", ver(3, 0))}, a2, Upgrade},
        AdmissionRow{"SameVersionRefused", {a1.built(5)}, a1.built(5), SameVersion, kSameA1},
        AdmissionRow{"SameVersionReinstall", {a1.built(5)}, a1.built(5), SameVersion, "", Reinstall},
        AdmissionRow{"AllowDowngradeAllowsNoReinstall", {a1}, a1, SameVersion, kSameA1, AllowDowngrade},
        AdmissionRow{"LaterBuildIsUpgrade", {a1.built(5)}, a1.built(6), Upgrade},
        AdmissionRow{"EarlierBuildIsDowngrade", {a1.built(6)}, a1.built(5), Downgrade,
                     "WARNING: omitting package a-1.0: newer package a-1.0 is already installed"},
        AdmissionRow{"AllowIncompatibleKeepsVersionMessages", {a1}, a1, SameVersion, kSameA1,
                     AllowIncompatible | AllowConflicting},
        // Architecture, requirements, conflicts.
        AdmissionRow{"ForeignArch", {}, a1.forArch("i386"), Incompatible, kArchA1},
        AdmissionRow{"EmptyArchPasses", {}, a1.forArch(""), 0},
        AdmissionRow{"ArchComparedExactly", {}, a1.forArch("PowerPC"), Incompatible,
                     "ERROR: can not install a-1.0: it is not made for powerpc, but for PowerPC"},
        AdmissionRow{"AllowIncompatibleSilencesArch", {}, a1.forArch("i386"), Incompatible, "", AllowIncompatible},
        AdmissionRow{"ArchRefusalSilencesRequirement", {}, a1.needs("b").forArch("i386"), Incompatible, kArchA1},
        AdmissionRow{"RequirementMetByName", {pkg("b", ver(1, 0))}, a1.needs("b", ver(1, 0)), 0},
        AdmissionRow{"RequirementMetByProvision", {pkg("c").gives("b")}, a1.needs("b", ver(1, 0)), 0},
        AdmissionRow{"RequirementMetOnlyWhenDisabled", {pkg("b").off()}, a1.needs("b"), Incompatible, kNeedsB},
        AdmissionRow{"RequirementMetOnlyByPlaceholder", {placeholder("b")}, a1.needs("b"), Incompatible, kNeedsB},
        AdmissionRow{"RequirementLabelShowsMinimum", {pkg("b", ver(1, 0))},
                     a1.needs("b", ver(3, 20, 'c', 2), ver(4, 0)), Incompatible,
                     "ERROR: can not install a-1.0: b-3.20rc2 is not installed, but is required"},
        AdmissionRow{"OnlyFirstUnmetRequirementReported", {pkg("c")}, a1.needs("c").needs("b").needs("d"),
                     Incompatible, kNeedsB},
        AdmissionRow{"AllowIncompatibleSilencesRequirement", {}, a1.needs("b"), Incompatible, "", AllowIncompatible},
        AdmissionRow{"RequirementRefusalSilencesConflict", {pkg("c", ver(1, 0)).clashes("a")}, a1.needs("b"),
                     Incompatible | Conflicting, kNeedsB},
        AdmissionRow{"Conflict", {pkg("c", ver(2, 0)).clashes("a")}, a1, Conflicting, kClashC2},
        AdmissionRow{"ConflictWithDisabledIgnored", {pkg("c").clashes("a").off()}, a1, 0},
        AdmissionRow{"OffersOwnConflictListNotRead", {pkg("c", ver(2, 0))}, a1.clashes("c"), 0},
        AdmissionRow{"AllowConflictingSilencesConflict", {pkg("c").clashes("a")}, a1, Conflicting, "",
                     AllowConflicting},
        AdmissionRow{"AllowConflictingKeepsArchMessage", {pkg("c").clashes("a")}, a1.forArch("i386"),
                     Incompatible | Conflicting, kArchA1, AllowConflicting},
        AdmissionRow{"AllowIncompatibleKeepsConflictMessage", {pkg("c", ver(2, 0)).clashes("a")}, a1.forArch("i386"),
                     Incompatible | Conflicting, kClashC2, AllowIncompatible},
        AdmissionRow{"DowngradeRefusalSilencesConflict", {a2, pkg("c").clashes("a")}, a1, Downgrade | Conflicting,
                     kNewerA2},
        // The board rules, for core packages: "stavel" and names starting "velmora".
        AdmissionRow{"CoreBelowBoardMinimum", {}, stavel6, Incompatible, kMinStavel6, 0, board(ver(6, 1))},
        AdmissionRow{"CoreAtBoardMinimum", {}, pkg("stavel", ver(6, 1)), 0, "", 0, board(ver(6, 1))},
        AdmissionRow{"OptionRecordLiftsMinimum", {pkg("option").off()}, stavel6, 0, "", 0, board(ver(6, 1))},
        AdmissionRow{"OptionProvisionDoesNotLiftMinimum", {pkg("p").gives("option")}, stavel6, Incompatible,
                     kMinStavel6, 0, board(ver(6, 1))},
        AdmissionRow{"VelmoraPrefixIsCore", {}, pkg("velmora-ppp", ver(6, 0)), Incompatible,
                     "ERROR: omitting package velmora-ppp-6.0: min Velmora version is 6.1", 0, board(ver(6, 1))},
        AdmissionRow{"LongerStavelIsNotCore", {}, pkg("stavelx", ver(6, 0)), 0, "", 0, board(ver(6, 1))},
        AdmissionRow{"CoreNameCaseSensitive", {}, pkg("Velmora", ver(6, 0)), 0, "", 0, board(ver(6, 1))},
        AdmissionRow{"RefusedMinimumRequestMeansNoMinimum", {}, stavel6, 0, "", 0, board(ver(6, 1), 0, true)},
        AdmissionRow{"CoreWithoutDevices", {}, pkg("stavel", ver(1, 0)), 0},
        AdmissionRow{"OldCoreOnLargeEraseBlocks", {}, stavelRc1, Incompatible,
                     "WARNING: omitting package stavel-3.20rc1: it does not support current file system", 0,
                     board(0, 0x40000)},
        AdmissionRow{"Rc2OnLargeEraseBlocks", {}, pkg("stavel", ver(3, 20, 'c', 2)), 0, "", 0, board(0, 0x40000)},
        AdmissionRow{"OldCoreOnSmallEraseBlocks", {}, stavelRc1, 0, "", 0, board(0, 0x20000)},
        AdmissionRow{"MinimumCheckedBeforeEraseBlocks", {}, pkg("stavel", ver(3, 0)), Incompatible,
                     "ERROR: omitting package stavel-3.0: min Velmora version is 6.1", 0, board(ver(6, 1), 0x40000)},
        AdmissionRow{"BoardRefusalSilencesArch", {}, stavel6.forArch("i386"), Incompatible, kMinStavel6, 0,
                     board(ver(6, 1))},
        AdmissionRow{"DowngradeRefusalSilencesBoard", {pkg("stavel", ver(7, 0))}, stavel6.forArch("i386"),
                     Downgrade | Incompatible,
                     "WARNING: omitting package stavel-6.0: newer package stavel-7.0 is already installed", 0,
                     board(ver(6, 1))},
        AdmissionRow{"AllowIncompatibleSilencesBoard", {}, stavel6, Incompatible, "", AllowIncompatible,
                     board(ver(6, 1))}),
    rowName<AdmissionRow>);

// The minimum may change between calls, so it is asked every time, but
// only for core packages.
using BoardTest = CatalogueFixture;

TEST_F(BoardTest, AskedOnEveryCheckButNotForOtherPackages) {
    useDevices(board(0));
    auto core = makeOffer(pkg("stavel", ver(9, 0)));
    EXPECT_TRUE(checkBoardCompatibility(installer(), *core, true));
    EXPECT_TRUE(checkBoardCompatibility(installer(), *core, true));
    EXPECT_EQ(devices_.calls.size(), 2u);
    devices_.calls.clear();
    admitOffer(installer(), *makeOffer(pkg("ppp", ver(1, 0))), AllowUpgrade);
    EXPECT_TRUE(devices_.calls.empty());
}

}  // namespace
}  // namespace velmora
