#include "planning/dependency_rules.h"

#include <gtest/gtest.h>

#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;
using namespace std::string_literals;

// One rule on two packages, or on a package and a dependency entry: n sameName (both ways), s satisfies,
// o rangesOverlap (a's first provision), p providesFor, c isOrContains, d dependsOn, x conflictsWith,
// v compareVersions (and compareForSelection both ways).
TEST(DependencyRules, Decide) {
    const struct { char rule; std::string a, b; int expected; } rows[] = {
        {'n', "stavel", "stavel", 1}, {'n', "stavel", "Stavel", 0}, {'n', "ab\0c"s, "ab", 0}, {'s', "x:6.1", "x", 1},
        {'s', "x:6.1", "x:6.0:6.1", 1}, {'s', "x:6.1", "x:6.2", 0}, {'s', "x:6.1", "x::6.0", 0},
        {'s', "x:#FFFF6600", "x:6.0", 1}, {'s', "y:6.1 ^x", "x", 0}, {'o', "e ^x:6.1:6.1", "x:6.0", 1},
        {'o', "e ^x:6.1:6.1", "x::6.1", 1}, {'o', "e ^x:6.1:6.1", "x:6.2", 0}, {'o', "e ^x:6.1:6.1", "x::6.0", 0},
        {'o', "e ^x", "x:9.0:9.1", 1}, {'o', "e ^y", "x", 0}, {'p', "p ^y ^x:2.0:2.0", "x:1.0:3.0", 1},
        {'p', "p ^x:1.0:1.0", "x:2.0", 0}, {'p', "x:6.1", "x", 0}, {'c', "b|m|x", "x", 1}, {'c', "b ^x", "x", 0},
        {'d', "a >b", "b", 1}, {'d', "a >x", "b ^x", 1}, {'d', "a >b:2.0", "b", 0}, {'d', "b", "a >b", 0},
        {'d', "a >m", "B|m", 1}, {'d', "B|m >b", "b", 1}, {'d', "B|m", "b", 0},
        // Conflict lists: only the first package's is read.
        {'x', "a ~b", "b", 1}, {'x', "b", "a ~b", 0}, {'x', "a ~b:2.0:3.0", "b", 0}, {'x', "a ~x", "b ^x", 1},
        {'x', "a ~x:2.0", "b ^x:1.0:1.0", 0},
        // b provides a's name: its first such entry decides by sign; a provides b's name.
        {'x', "a", "b ^a:::-1", 1}, {'x', "a", "b ^a", 0}, {'x', "a ~x", "b ^a ^x", 0}, {'x', "a", "b ^a|a", 0},
        {'x', "a", "b ^a ^a:::-1", 0}, {'x', "a ^b", "b", 1}, {'x', "a ^b:::-1", "b", 0},
        {'x', "a ^b:::-1 ^x:::5", "b ^x", 0},
        // Both provide one name: the higher priority pushes the other out.
        {'x', "a ^x:::2", "b ^x:::1", 1}, {'x', "b ^x:::1", "a ^x:::2", 0}, {'x', "a ^x:::1", "b ^x:::1", 0},
        {'x', "a ^x:::-1", "b ^x:::-2", 1}, {'x', "a ^x ^y:::5", "b ^y ^x:::1", 0}, {'x', "a ^x ~x", "b ^x", 0},
        // Bundles and placeholders (all-ones in only one field is none).
        {'x', "a", "B|a", 1}, {'x', "B|b", "b", 0}, {'x', "B|m ~b", "b", 1}, {'x', "B|m:* ~b", "b", 0},
        {'x', "a:* ~b", "b", 0}, {'x', "a ~b", "b:*", 0}, {'x', "a ~b", "b:#FFFFFFFF", 1},
        {'x', "a@4294967295 ~b", "b", 1}, {'v', "x:6.1", "x:6.0", 1}, {'v', "x:#80000000", "x", 1},
        {'v', "x:6.1@100", "x:6.0@200", 1}, {'v', "x:6.1@200", "x:6.1@100", 1}, {'v', "x:6.1@2147483648", "x:6.1@1", 1},
        {'v', "x:6.1@7", "x:6.1@7", 0}, {'v', "x", "y", 0}, {'v', "B|x:6.1", "x:6.0", 1}, {'v', "b1|m1", "b2|m2", 0},
        {'v', "B:9.0|x:6.0", "x:6.1", -1}, {'v', "B:#0|x:5.0|x:7.0", "x:6.0", -1}, {'v', "x:6.1@5", "b|x:6.1@9", -1},
        {'v', "x:2.0|x:1.0", "x:1.5", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule + (" " + row.a + " / " + row.b));
        if (row.rule == 'n') {
            EXPECT_EQ(sameName(row.a, row.b), row.expected == 1);
            EXPECT_EQ(sameName(row.b, row.a), row.expected == 1);
            continue;
        }
        const auto a = make(row.a);
        switch (row.rule) {
        case 's': EXPECT_EQ(satisfies(*a, dep(row.b)), row.expected == 1); break;
        case 'o': EXPECT_EQ(rangesOverlap(a->provides.at(0), dep(row.b)), row.expected == 1); break;
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

}  // namespace
}  // namespace velmora
