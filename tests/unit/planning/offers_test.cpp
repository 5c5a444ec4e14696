#include "planning/offers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "package_builder.h"
#include "planning_test_support.h"
#include "unit/pdb/scratch_root.h"

namespace velmora::planning_test {

#define NEWER(label) "WARNING: omitting package " label ": newer package is already provided"

// The offers; after selection their labels in order ("@" build time when set) and the messages.
TEST_F(Planning, SelectOffers) {
    const struct { const char *offers, *expected, *messages = ""; bool downgrade = false, reporting = true; } rows[] = {
        {"a:6.1, a:6.2, a:6.3", "a-6.3", NEWER("a-6.1") "; " NEWER("a-6.2")},
        {"a:6.2, a:6.1", "a-6.2", "", false, false},
        {"a:6.1@2, a:6.1@1", "a-6.1@1", "WARNING: omitting package a-6.1: older package is already provided", true},
        // Of equal offers of one kind the first stands for all, silently; an equal bundle carries a single offer.
        {"a:6.1@1, a:6.1@1, a:6.1@1", "a-6.1@1"}, {"m:6.1, bun:6.1|m:6.1", "bun-6.1"},
        {"m:6.1, bun:6.1|m:6.2", "bun-6.1", NEWER("m-6.1")}, {"m:6.2, bun:6.1|m:6.1", "m-6.2", NEWER("bun-6.1")},
        // Order: what is needed first, what conflicts before what it conflicts with, unrelated ones reversed, a
        // related one after the last it relates to.
        {"y:6.1 ~x, x:6.1", "y-6.1 x-6.1"}, {"a:6.1, b:6.1 >a, x:6.1", "x-6.1 a-6.1 b-6.1"},
        {"a:6.1, b:6.1, c:6.1 >a >b", "b-6.1 a-6.1 c-6.1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.offers);
        reset(), add(row.offers);
        std::vector<PackageInfo*> list;
        for (const auto& r : installer().packages) list.push_back(r.get());
        selectOffers(list, row.downgrade, row.reporting);
        std::vector<std::string> result;
        for (const PackageInfo* p : list)
            result.push_back(recordLabel(*p) + (p->buildTime ? "@" + std::to_string(p->buildTime) : ""));
        EXPECT_EQ(join(result) + "|" + messages(), std::string(row.expected) + "|" + row.messages);
    }
}

using ScanOffersTest = db_test::ScratchRoot;

// Regular package files are read; the rest is reported, and a missing directory adds nothing.
TEST_F(ScanOffersTest, ReadsRegularPackageFilesAndReportsTheRest) {
    const std::string dir = root_ + "/upload/";
    PackageRecipe recipe; recipe.name = "good", recipe.version = v("6.1");
    const std::string good = buildPackage(recipe);
    for (const char* name : {"good.vpd", ".hidden.vpa", "upper.VPA", "good.vpa.part"}) put(dir + name, good);
    put(dir + "cut.vpa", good.substr(0, good.size() - 10));
    std::filesystem::create_directory(dir + "sub.vpd");
    ASSERT_EQ(::mkfifo((dir + "pipe.vpa").c_str(), 0600), 0);
    std::vector<std::unique_ptr<OfferedPackage>> offers;
    scanOffers(dir, offers), scanOffers(dir + "absent/", offers);
    ASSERT_EQ(join(offers), "good-6.1"); EXPECT_EQ(offers[0]->path, dir + "good.vpd");
    std::vector<std::string> reported = Installer::instance().messages; std::sort(reported.begin(), reported.end());
    EXPECT_EQ(join(reported, "; "), "ERROR: broken package cut.vpa; ERROR: broken package pipe.vpa; "
                                    "ERROR: broken package sub.vpd");
}

}  // namespace velmora::planning_test
