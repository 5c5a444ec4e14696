#include "planning/admission.h"

#include <gtest/gtest.h>

#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;

// Outcome bits: 1 upgrade, 2 downgrade, 8 incompatible, 0x10 conflicting, 0x20 same version; the flags besides
// AllowUpgrade (2 downgrade, 8 incompatible, 0x10 conflicting, 0x20 reinstall). The board: "minimum
// [erase-size-hex [refused]]".
struct AdmissionRow {
    const char *catalogue, *offer;
    InstallFlags flags;
    AdmissionOutcome expected;
    std::string message = "";
    const char* board = nullptr;
};

class AdmissionTest : public CatalogueFixture, public ::testing::WithParamInterface<AdmissionRow> {};

TEST_P(AdmissionTest, OutcomeAndMessages) {
    const AdmissionRow& row = GetParam();
    add(row.catalogue);
    if (row.board) {
        std::istringstream board(row.board);
        std::string minimum, refused;
        board >> minimum >> std::hex >> devices_.eraseSize >> refused;
        devices_.flashPresent = true, devices_.boardMinimum = v(minimum), devices_.minimumRefused = !refused.empty();
        devices_.mtdPresent = devices_.eraseSize != 0;
    }
    const std::string before = labels(installer().packages);
    EXPECT_EQ(admitOffer(installer(), *make(row.offer), AllowUpgrade | row.flags), row.expected);
    EXPECT_EQ(messages(), row.message);
    EXPECT_EQ(labels(installer().packages), before);
}

const std::string kNewerA2 = "WARNING: omitting package a-1.0: newer package a-2.0 is already installed",
                  kArchA1 = "ERROR: can not install a-1.0: it is not made for powerpc, but for i386",
                  kNeedsB = "ERROR: can not install a-1.0: b is not installed, but is required",
                  kClashC2 = "ERROR: can not install a-1.0: it conflicts with c-2.0",
                  kMin = "ERROR: omitting package stavel-6.0: min Velmora version is 6.1";

using R = AdmissionRow;
INSTANTIATE_TEST_SUITE_P(Rows, AdmissionTest, ::testing::Values(
    // The installed version.
    R{"", "a", 0, 0}, R{"a", "a:2.0", 0, 1}, R{"a:2.0", "a", 0, 2, kNewerA2}, R{"a:2.0", "a", 2, 2},
    R{"a:2.0", "a =x86", 0, 0xA, kNewerA2}, R{"a:2.0 off", "a", 0, 2, kNewerA2}, R{"a, a:3.0", "a:2.0", 0, 1},
    R{"a@5", "a@5", 0, 0x20, "WARNING: omitting package a-1.0: it is already installed"}, R{"a@5", "a@5", 0x20, 0x20},
    R{"a@5", "a@6", 0, 1},
    R{"a@6", "a@5", 0, 2, "WARNING: omitting package a-1.0: newer package a-1.0 is already installed"},
    // Architecture, requirements, conflicts.
    R{"", "a =i386", 0, 8, kArchA1}, R{"", "a =", 0, 0}, R{"", "a =i386", 8, 8}, R{"", "a >b =i386", 0, 8, kArchA1},
    R{"", "a =PowerPC", 0, 8, "ERROR: can not install a-1.0: it is not made for powerpc, but for PowerPC"},
    R{"b", "a >b:1.0", 0, 0}, R{"c:#0 ^b", "a >b:1.0", 0, 0}, R{"b off", "a >b", 0, 8, kNeedsB},
    R{"b:*", "a >b", 0, 8, kNeedsB}, R{"c", "a >c >b >d", 0, 8, kNeedsB}, R{"", "a >b", 8, 8},
    R{"b", "a >b:3.20rc2:4.0", 0, 8, "ERROR: can not install a-1.0: b-3.20rc2 is not installed, but is required"},
    R{"c ~a", "a >b", 0, 0x18, kNeedsB}, R{"c:2.0 ~a", "a", 0, 0x10, kClashC2}, R{"c ~a off", "a", 0, 0},
    R{"c:2.0", "a ~c", 0, 0}, R{"c ~a", "a", 0x10, 0x10}, R{"c ~a", "a =i386", 0x10, 0x18, kArchA1},
    R{"c:2.0 ~a", "a =i386", 8, 0x18, kClashC2}, R{"a:2.0, c ~a", "a", 0, 0x12, kNewerA2},
    // The board rules, for core packages: "stavel" and names starting "velmora".
    R{"", "stavel:6.0", 0, 8, kMin, "6.1"}, R{"", "stavel:6.1", 0, 0, "", "6.1"}, R{"", "stavel", 0, 0},
    R{"option off", "stavel:6.0", 0, 0, "", "6.1"}, R{"p ^option", "stavel:6.0", 0, 8, kMin, "6.1"},
    R{"", "velmora-ppp:6.0", 0, 8, "ERROR: omitting package velmora-ppp-6.0: min Velmora version is 6.1", "6.1"},
    R{"", "stavelx:6.0", 0, 0, "", "6.1"}, R{"", "Velmora:6.0", 0, 0, "", "6.1"},
    R{"", "stavel:6.0", 0, 0, "", "6.1 0 refused"}, R{"", "stavel:3.20rc2", 0, 0, "", "0.0 40000"},
    R{"", "stavel:3.20rc1", 0, 8, "WARNING: omitting package stavel-3.20rc1: it does not support current file system",
      "0.0 40000"},
    R{"", "stavel:3.20rc1", 0, 0, "", "0.0 20000"}, R{"", "stavel:6.0 =i386", 0, 8, kMin, "6.1"},
    R{"", "stavel:3.0", 0, 8, "ERROR: omitting package stavel-3.0: min Velmora version is 6.1", "6.1 40000"},
    R{"", "stavel:6.0", 8, 8, "", "6.1"},
    R{"stavel:7.0", "stavel:6.0 =i386", 0, 0xA,
      "WARNING: omitting package stavel-6.0: newer package stavel-7.0 is already installed", "6.1"}));

// The minimum may change between calls, so it is asked every time, but only for core packages.
using BoardTest = CatalogueFixture;
TEST_F(BoardTest, AskedOnEveryCheckOfACorePackage) {
    devices_.flashPresent = true;
    EXPECT_TRUE(checkBoardCompatibility(installer(), *make("stavel:9.0"), true));
    EXPECT_TRUE(checkBoardCompatibility(installer(), *make("stavel:9.0"), true));
    admitOffer(installer(), *make("ppp"), AllowUpgrade);
    EXPECT_EQ(devices_.calls.size(), 2u);
}

}  // namespace
}  // namespace velmora
