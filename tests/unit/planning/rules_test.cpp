#include <gtest/gtest.h>

#include "planning/admission.h"
#include "planning/catalogue.h"
#include "planning/catalogue_index.h"
#include "planning/dependency_rules.h"
#include "planning_test_support.h"

namespace velmora::planning_test {

using namespace std::string_literals;
using Records = std::vector<PackageRecord*>;

// One rule on two packages, or on a package and a dependency entry: n sameName (both ways), s satisfies,
// p providesFor, c isOrContains, d dependsOn, x conflictsWith, v compareVersions (and compareForSelection both
// ways).
TEST(DependencyRules, Decide) {
    const struct { char rule; std::string a, b; int expected; } rows[] = {
        {'n', "stavel", "stavel", 1}, {'n', "stavel", "Stavel", 0}, {'n', "ab\0c"s, "ab", 0}, {'s', "x:6.1", "x", 1},
        {'s', "x:6.1", "x:6.0:6.1", 1}, {'s', "x:6.1", "x:6.2", 0}, {'s', "x:6.1", "x::6.0", 0},
        {'s', "x:#FFFF6600", "x:6.0", 1}, {'s', "y:6.1 ^x", "x", 0}, {'p', "e ^x:6.1:6.1", "x:6.0", 1},
        {'p', "e ^x:6.1:6.1", "x::6.1", 1}, {'p', "e ^x:6.1:6.1", "x:6.2", 0}, {'p', "e ^x:6.1:6.1", "x::6.0", 0},
        {'p', "e ^x", "x:9.0:9.1", 1}, {'p', "e ^y", "x", 0}, {'p', "p ^y ^x:2.0:2.0", "x:1.0:3.0", 1},
        {'p', "x:6.1", "x", 0}, {'c', "b|m|x", "x", 1}, {'c', "b ^x", "x", 0},
        {'d', "a >b", "b", 1}, {'d', "a >x", "b ^x", 1}, {'d', "a >b:2.0", "b", 0}, {'d', "b", "a >b", 0},
        {'d', "a >m", "B|m", 1}, {'d', "B|m >b", "b", 1},
        // Conflict lists: only the first package's is read.
        {'x', "a ~b", "b", 1}, {'x', "b", "a ~b", 0}, {'x', "a ~b:2.0:3.0", "b", 0}, {'x', "a ~x", "b ^x", 1},
        {'x', "a ~x:2.0", "b ^x:1.0:1.0", 0},
        // b provides a's name: its first such entry decides by sign; a provides b's name.
        {'x', "a", "b ^a:::-1", 1}, {'x', "a", "b ^a", 0}, {'x', "a ~x", "b ^a ^x", 0},
        {'x', "a", "b ^a ^a:::-1", 0}, {'x', "a ^b", "b", 1}, {'x', "a ^b:::-1", "b", 0},
        {'x', "a ^b:::-1 ^x:::5", "b ^x", 0},
        // Both provide one name: the higher priority pushes the other out.
        {'x', "a ^x:::2", "b ^x:::1", 1}, {'x', "b ^x:::1", "a ^x:::2", 0}, {'x', "a ^x:::1", "b ^x:::1", 0},
        {'x', "a ^x ^y:::5", "b ^y ^x:::1", 0}, {'x', "a ^x ~x", "b ^x", 0},
        // Bundles and placeholders (all-ones in only one field is none).
        {'x', "a", "B|a", 1}, {'x', "B|b", "b", 0}, {'x', "B|m ~b", "b", 1}, {'x', "B|m:* ~b", "b", 0},
        {'x', "a:* ~b", "b", 0}, {'x', "a ~b", "b:*", 0}, {'x', "a ~b", "b:#FFFFFFFF", 1},
        {'x', "a@4294967295 ~b", "b", 1}, {'v', "x:6.1", "x:6.0", 1}, {'v', "x:#80000000", "x", 1},
        {'v', "x:6.1@100", "x:6.0@200", 1}, {'v', "x:6.1@200", "x:6.1@100", 1}, {'v', "x:6.1@2147483648", "x:6.1@1", 1},
        {'v', "x:6.1@7", "x:6.1@7", 0}, {'v', "x", "y", 0}, {'v', "B:9.0|x:6.0", "x:6.1", -1},
        {'v', "B:#0|x:5.0|x:7.0", "x:6.0", -1}, {'v', "x:6.1@5", "b|x:6.1@9", -1}, {'v', "x:2.0|x:1.0", "x:1.5", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule + (" " + row.a + " / " + row.b));
        if (row.rule == 'n') { EXPECT_EQ(sameName(row.a, row.b) + sameName(row.b, row.a), 2 * row.expected); continue; }
        const auto a = make(row.a);
        switch (row.rule) {
        case 's': EXPECT_EQ(satisfies(*a, dep(row.b)), row.expected == 1); break;
        case 'p': EXPECT_EQ(providesFor(*a, dep(row.b)), row.expected == 1); break;
        case 'c': EXPECT_EQ(isOrContains(*a, row.b), row.expected == 1); break;
        case 'd': EXPECT_EQ(dependsOn(*a, *make(row.b)), row.expected == 1); break;
        case 'x': EXPECT_EQ(conflictsWith(*a, *make(row.b)), row.expected == 1); break;
        default:
            EXPECT_EQ(compareVersions(*a, *make(row.b)), row.expected);
            EXPECT_EQ(compareForSelection(*a, *make(row.b), false), row.expected);
            EXPECT_EQ(compareForSelection(*a, *make(row.b), true), -row.expected);
        }
    }
}

PackageRecord* at(std::size_t i) { return Installer::instance().packages.at(i).get(); }

// Named or providing: the first enabled match, else the last disabled one. Only an enabled record's own conflict
// list counts.
TEST_F(Planning, Lookups) {
    add("b, a off, x ^a, a:2.0, p:*");
    EXPECT_TRUE(find(installer(), "a") == at(1) && find(installer(), "A") == nullptr);
    EXPECT_TRUE(findIndex(installer(), "p") == 4 && findIndex(installer(), "") == -1);
    EXPECT_TRUE(findNamedOrProviding(installer(), "a") == at(2) && findNamedOrProviding(installer(), "X") == nullptr);
    reset(), add("x off, p ^x off, other, q:*");
    EXPECT_TRUE(findNamedOrProviding(installer(), "x") == at(1) && findNamedOrProviding(installer(), "q") == at(3));
    reset(), add("b, c ~a off, h:* ~a, d ~a, e ~a");
    EXPECT_EQ(findConflicting(installer(), *make("a ~b")), at(3));
}

// The index answers exactly as the scans, order included.
TEST_F(Planning, IndexAnswersAsTheScans) {
    add("a:2.0, p ^a:1.0:1.5 ^a:3.0, a off, self ^self ^svc:::-1, a:*, q:* ^svc in=bun, svc:4.0, A:2.0, m1 in=bun, "
        "m2 off in=bun, bun bundle");
    CatalogueIndex index(installer());
    for (const char* probe : {"a", "a:2.0", "a::1.0", "a:1.2:1.3", "a:5.0", "svc", "svc:5.0", "self", "A", "no", "q"}) {
        SCOPED_TRACE(probe);
        Records expected, got;
        candidatesFor(installer(), dep(probe), true, expected);
        index.candidates(dep(probe), got);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(index.firstNamed(dep(probe).name), find(installer(), dep(probe).name));
    }
    EXPECT_EQ(index.membersOf("bun"), (Records{at(8), at(9)}));
    EXPECT_TRUE(index.membersOf("a").empty());
    Records found;  // the scans themselves: catalogue order, disabled ones only when asked, no placeholder
    for (bool disabled : {false, true}) candidatesFor(installer(), dep("a"), disabled, found);
    EXPECT_EQ(found, (Records{at(0), at(1), at(0), at(1), at(2)}));
}

// Outcome bits: 1 upgrade, 2 downgrade, 8 incompatible, 0x10 conflicting, 0x20 same version; the flags besides
// AllowUpgrade (2 downgrade, 8 incompatible, 0x10 conflicting, 0x20 reinstall). The board: "minimum
// [erase-size-hex [refused]]", asked on every check: an answer kept from an earlier row would show.
TEST_F(Planning, Admission) {
    const std::string kNewerA2 = "WARNING: omitting package a-1.0: newer package a-2.0 is already installed",
                      kArchA1 = "ERROR: can not install a-1.0: it is not made for powerpc, but for i386",
                      kNeedsB = "ERROR: can not install a-1.0: b is not installed, but is required",
                      kClashC2 = "ERROR: can not install a-1.0: it conflicts with c-2.0",
                      kMin = "ERROR: omitting package stavel-6.0: min Velmora version is 6.1";
    const struct { const char *catalogue, *offer; InstallFlags flags; AdmissionOutcome expected;
        std::string message = ""; const char* board = nullptr; } rows[] = {
        // The installed version (the first record of the name, disabled or not); only the first refusal is told.
        {"", "a", 0, 0}, {"a", "a:2.0", 0, 1}, {"a:2.0", "a", 0, 2, kNewerA2}, {"a:2.0", "a =x86", 0, 0xA, kNewerA2},
        {"a:2.0 off", "a", 0, 2, kNewerA2}, {"a, a:3.0", "a:2.0", 0, 1},
        {"a@5", "a@5", 0, 0x20, "WARNING: omitting package a-1.0: it is already installed"},
        // Architecture, requirements (enabled records only), conflicts.
        {"", "a =i386", 0, 8, kArchA1}, {"", "a =", 0, 0}, {"", "a >b =i386", 0, 8, kArchA1},
        {"c:#0 ^b", "a >b:1.0", 0, 0}, {"c", "a >c >b >d", 0, 8, kNeedsB}, {"", "a >b", 8, 8},
        {"b off", "a >b:3.20rc2", 0, 8, "ERROR: can not install a-1.0: b-3.20rc2 is not installed, but is required"},
        {"c ~a", "a >b", 0, 0x18, kNeedsB}, {"c:2.0 ~a", "a", 0, 0x10, kClashC2}, {"c ~a", "a", 0x10, 0x10},
        {"c ~a", "a =i386", 0x10, 0x18, kArchA1}, {"c:2.0 ~a", "a =i386", 8, 0x18, kClashC2},
        // The board rules, for core packages: "stavel" and names starting "velmora".
        {"", "stavel:6.0", 0, 8, kMin, "6.1"}, {"", "stavel:6.1", 0, 0, "", "6.1"}, {"", "stavel", 0, 0},
        {"option off", "stavel:6.0", 0, 0, "", "6.1"}, {"p ^option", "stavel:6.0", 0, 8, kMin, "6.1"},
        {"", "velmora-ppp:6.0", 0, 8, "ERROR: omitting package velmora-ppp-6.0: min Velmora version is 6.1", "6.1"},
        {"", "stavelx:6.0", 0, 0, "", "6.1"}, {"", "Velmora:6.0", 0, 0, "", "6.1"},
        {"", "stavel:6.0", 0, 0, "", "6.1 0 refused"}, {"", "stavel:3.20rc2", 0, 0, "", "0.0 40000"},
        {"", "stavel:3.20rc1", 0, 8,
         "WARNING: omitting package stavel-3.20rc1: it does not support current file system", "0.0 40000"},
        {"", "stavel:3.20rc1", 0, 0, "", "0.0 20000"}, {"", "stavel:6.0 =i386", 0, 8, kMin, "6.1"},
        {"", "stavel:3.0", 0, 8, "ERROR: omitting package stavel-3.0: min Velmora version is 6.1", "6.1 40000"},
        {"", "stavel:6.0", 8, 8, "", "6.1"},
        {"stavel:7.0", "stavel:6.0 =i386", 0, 0xA,
          "WARNING: omitting package stavel-6.0: newer package stavel-7.0 is already installed", "6.1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.catalogue) + " / " + row.offer);
        reset(), add(row.catalogue), devices_ = {}, devices_.flashPresent = row.board != nullptr;
        std::istringstream board(row.board ? row.board : "0.0");
        std::string minimum, refused;
        board >> minimum >> std::hex >> devices_.eraseSize >> refused;
        devices_.boardMinimum = v(minimum), devices_.minimumRefused = !refused.empty();
        devices_.mtdPresent = devices_.eraseSize != 0;
        EXPECT_EQ(admitOffer(installer(), *make(row.offer), AllowUpgrade | row.flags), row.expected);
        EXPECT_EQ(messages(), row.message);
    }
}

}  // namespace velmora::planning_test
