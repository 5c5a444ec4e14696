#include "planning/catalogue_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "planning/catalogue.h"
#include "planning/dependency_rules.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::placeholder;
using planning_test::ver;

// The index must answer exactly as the catalogue's own scans, order
// included, over a catalogue with the awkward cases side by side.
class CatalogueIndexTest : public CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        add({.name = "a", .version = ver(2, 0)});
        add({.name = "p", .version = ver(1, 0), .provides = {dep("a", ver(1, 0), ver(1, 5)), dep("a", ver(3, 0))}});
        add({.name = "a", .version = ver(1, 0), .disabled = true});
        add({.name = "self", .version = ver(1, 0), .provides = {dep("self"), dep("svc", 0, 0, -1)}});
        add(placeholder("a"));
        PackageRecord* holder = add({.name = "q", .version = 0xFFFFFFFF, .buildTime = 0xFFFFFFFF,
                                     .provides = {dep("svc")}});
        holder->bundleRef.name = "bun";
        add({.name = "svc", .version = ver(4, 0)});
        add({.name = "A", .version = ver(2, 0)});
        add({.name = "m1"})->bundleRef.name = "bun";
        add({.name = ""});
        add({.name = "m2", .disabled = true})->bundleRef.name = "bun";
        add({.name = "bun"})->isBundle = true;
    }
};

TEST_F(CatalogueIndexTest, CandidatesAreThoseOfTheCatalogueScan) {
    CatalogueIndex index(installer());
    const std::vector<Dependency> probes = {
        dep("a"),           dep("a", ver(2, 0)), dep("a", 0, ver(1, 0)), dep("a", ver(1, 2), ver(1, 3)),
        dep("a", ver(5, 0)), dep("svc"),          dep("svc", ver(5, 0)),   dep("self"),
        dep("A"),           dep(""),             dep("nowhere"),          dep("q"),
    };
    for (const Dependency& probe : probes) {
        SCOPED_TRACE(probe.name + " " + std::to_string(probe.min) + " " + std::to_string(probe.max));
        std::vector<PackageRecord*> expected;
        candidatesFor(installer(), probe, true, expected);
        std::vector<PackageRecord*> got;
        index.candidates(probe, got);
        EXPECT_EQ(got, expected);
    }
}

TEST_F(CatalogueIndexTest, FirstNamedIsFind) {
    CatalogueIndex index(installer());
    for (const char* name : {"a", "p", "self", "svc", "A", "", "bun", "q", "nowhere"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(index.firstNamed(name), find(installer(), name));
    }
}

TEST_F(CatalogueIndexTest, MembersLeaveOutPlaceholders) {
    CatalogueIndex index(installer());
    for (const char* name : {"bun", "", "a"}) {
        SCOPED_TRACE(name);
        std::vector<PackageRecord*> expected;
        for (const auto& record : installer().packages) {
            if (!isPlaceholder(*record) && sameName(record->bundleRef.name, name)) expected.push_back(record.get());
        }
        EXPECT_EQ(index.membersOf(name), expected);
    }
    EXPECT_EQ(index.membersOf("bun").size(), 2u);
}

}  // namespace
}  // namespace velmora
