#include "planning/catalogue.h"

#include <gtest/gtest.h>

#include "planning/catalogue_index.h"
#include "planning/dependency_rules.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;
using CatalogueTest = CatalogueFixture;
using Records = std::vector<PackageRecord*>;

PackageRecord* at(std::size_t i) { return Installer::instance().packages.at(i).get(); }

// Named or providing: the first enabled match, else the last disabled one. Only an enabled record's own conflict
// list counts.
TEST_F(CatalogueTest, Lookups) {
    add("b, a off, x ^a, a:2.0, p:*");
    EXPECT_TRUE(find(installer(), "a") == at(1) && find(installer(), "A") == nullptr);
    EXPECT_TRUE(findIndex(installer(), "p") == 4 && findIndex(installer(), "") == -1);
    EXPECT_TRUE(findNamedOrProviding(installer(), "a") == at(2) && findNamedOrProviding(installer(), "X") == nullptr);
    installer().packages.clear();
    add("x off, p ^x off, other, q:*");
    EXPECT_TRUE(findNamedOrProviding(installer(), "x") == at(1) && findNamedOrProviding(installer(), "q") == at(3));
    installer().packages.clear();
    add("b, c ~a off, h:* ~a");
    EXPECT_EQ(findConflicting(installer(), *make("a ~b")), nullptr);
    add("d ~a, e ~a");
    EXPECT_EQ(findConflicting(installer(), *make("a ~b")), at(3));
}

TEST_F(CatalogueTest, CandidatesInCatalogueOrderWithoutPlaceholders) {
    add("p ^x:2.0:2.0, x:*, x:2.5 off, x:1.0, x:3.0, q ^x:4.0:4.0");
    Records found;
    candidatesFor(installer(), dep("x:2.0:3.0"), false, found);
    candidatesFor(installer(), dep("x:2.0:3.0"), true, found);
    EXPECT_EQ(found, (Records{at(0), at(4), at(0), at(2), at(4)}));
    EXPECT_TRUE(firstCandidateFor(installer(), dep("x:2.0:3.0"), false) == at(0) &&
                firstCandidateFor(installer(), dep("x:2.5:2.5"), false) == nullptr);
    EXPECT_EQ(firstCandidateFor(installer(), dep("x:2.5:2.5"), true), at(2));
    EXPECT_EQ(firstCandidateFor(installer(), Dependency{"x", kPlaceholderMark, kPlaceholderMark}, true), nullptr);
}

// The index answers exactly as the scans, order included.
TEST_F(CatalogueTest, IndexAnswersAsTheScans) {
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
}

}  // namespace
}  // namespace velmora
