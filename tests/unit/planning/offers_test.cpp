#include "planning/offers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "package_builder.h"
#include "planning_test_support.h"
#include "unit/pdb/scratch_root.h"

namespace velmora {
namespace {

using namespace planning_test;

struct SelectRow {
    const char* name;
    std::vector<Pkg> offers;
    std::string expected;  // labels of the result in order, "@" build time when set
    std::vector<std::string> messages{};
    bool downgrade = false;
    bool reporting = true;
};
void PrintTo(const SelectRow& row, std::ostream* out) { *out << row.name; }

class SelectOffersTest : public CatalogueFixture, public ::testing::WithParamInterface<SelectRow> {};

TEST_P(SelectOffersTest, SelectsAndOrders) {
    const SelectRow& row = GetParam();
    std::vector<std::unique_ptr<OfferedPackage>> owned;
    std::vector<PackageInfo*> list;
    for (const Pkg& p : row.offers) list.push_back(owned.emplace_back(makeOffer(p)).get());
    selectOffers(list, row.downgrade, row.reporting);
    std::string result;
    for (const PackageInfo* info : list) {
        result += (result.empty() ? "" : " ") + recordLabel(*info);
        if (info->buildTime != 0) result += "@" + std::to_string(info->buildTime);
    }
    EXPECT_EQ(result, row.expected);
    EXPECT_EQ(messages(), row.messages);
}

const Pkg a61 = pkg("a", ver(6, 1)), a62 = pkg("a", ver(6, 2)), b61 = pkg("b", ver(6, 1)), c61 = pkg("c", ver(6, 1));
const Pkg m61 = pkg("m", ver(6, 1)), bun61 = pkg("bun", ver(6, 1));
const std::string kNewerA61 = "WARNING: omitting package a-6.1: newer package is already provided";

INSTANTIATE_TEST_SUITE_P(
    Rows, SelectOffersTest,
    ::testing::Values(
        // Selection.
        SelectRow{"EmptyStaysEmpty", {}, ""},
        SelectRow{"ASingleOfferIsKept", {a61}, "a-6.1"},
        SelectRow{"TheNewerWins", {a61, a62}, "a-6.2", {kNewerA61}},
        SelectRow{"TheNewerWinsSilentlyWithoutReporting", {a62, a61}, "a-6.2", {}, false, false},
        SelectRow{"TheOlderWinsInDowngradeMode", {a61, a62}, "a-6.1",
                  {"WARNING: omitting package a-6.2: older package is already provided"}, true},
        SelectRow{"TheLaterBuildWins", {a61.built(100), a61.built(200)}, "a-6.1@200", {}, false, false},
        SelectRow{"TheEarlierBuildWinsInDowngradeMode", {a61.built(200), a61.built(100)}, "a-6.1@100",
                  {"WARNING: omitting package a-6.1: older package is already provided"}, true},
        SelectRow{"AnOfferDroppedByOneThatIsDroppedItself", {a61, a62, pkg("a", ver(6, 3))}, "a-6.3",
                  {kNewerA61, "WARNING: omitting package a-6.2: newer package is already provided"}},
        SelectRow{"NamesDifferingInCaseAreUnrelated", {a61, pkg("A", ver(6, 2))}, "A-6.2 a-6.1"},
        // Equal offers of the same kind: the first stands for all, silently.
        SelectRow{"OfEqualOffersTheFirstIsKept", {a61.built(1), a61.built(1), a61.built(1)}, "a-6.1@1"},
        SelectRow{"OfEqualBundlesTheFirstIsKept", {bun61.member(m61).built(1), bun61.member(m61).built(1)},
                  "bun-6.1@1"},
        // Bundles.
        SelectRow{"AnEqualBundleCarriesTheSingleOffer", {m61, bun61.member(m61)}, "bun-6.1"},
        SelectRow{"AnEqualBundleListedFirstCarriesTheSingleOffer", {bun61.member(m61), m61}, "bun-6.1"},
        SelectRow{"ABundleWithANewerMemberDropsTheSingleOffer", {m61, bun61.member(pkg("m", ver(6, 2)))}, "bun-6.1",
                  {"WARNING: omitting package m-6.1: newer package is already provided"}},
        SelectRow{"ANewerSingleOfferDropsTheBundle", {pkg("m", ver(6, 2)), bun61.member(m61)}, "m-6.2",
                  {"WARNING: omitting package bun-6.1: newer package is already provided"}},
        // Order.
        SelectRow{"ANeededPackageComesFirst", {b61.needs("a"), a61}, "a-6.1 b-6.1"},
        SelectRow{"AProvidedNameCountsAsNeeded", {a61.gives("x"), b61.needs("x")}, "a-6.1 b-6.1"},
        SelectRow{"UnrelatedOffersComeOutReversed", {a61, b61, c61}, "c-6.1 b-6.1 a-6.1"},
        SelectRow{"APackageComesAfterWhatConflictsWithIt", {pkg("y", ver(6, 1)).clashes("x"), pkg("x", ver(6, 1))},
                  "y-6.1 x-6.1"},
        SelectRow{"AnUnrelatedOfferPlacedLastGoesToTheFront", {a61, b61.needs("a"), pkg("x", ver(6, 1))},
                  "x-6.1 a-6.1 b-6.1"},
        // b, a so far; c needs both and goes after a, the later.
        SelectRow{"InsertedAfterTheLastRelatedOne", {a61, b61, c61.needs("a").needs("b")}, "b-6.1 a-6.1 c-6.1"},
        SelectRow{"ANeedThroughABundleMember", {bun61.member(m61), pkg("app", ver(6, 1)).needs("m")},
                  "bun-6.1 app-6.1"}),
    rowName<SelectRow>);

using EqualOffersTest = CatalogueFixture;

// The first of equal offers is kept by identity, in either mode, and an
// offer listed twice is kept once.
TEST_F(EqualOffersTest, TheFirstIsKeptByIdentity) {
    auto first = makeOffer(a61.built(7)), second = makeOffer(a61.built(7)), other = makeOffer(b61);
    std::vector<PackageInfo*> list{first.get(), second.get()};
    selectOffers(list, false, true);
    EXPECT_EQ(list, std::vector<PackageInfo*>{first.get()});
    list = {second.get(), first.get()};
    selectOffers(list, true, true);
    EXPECT_EQ(list, std::vector<PackageInfo*>{second.get()});
    list = {first.get(), other.get(), first.get()};
    selectOffers(list, false, true);
    EXPECT_EQ(list, (std::vector<PackageInfo*>{other.get(), first.get()}));
    EXPECT_TRUE(messages().empty());
}

// An upload directory with real package files made by the builder.
class ScanOffersTest : public db_test::ScratchRoot {
protected:
    void put(const std::string& name, const std::string& bytes) const { ScratchRoot::put(dir() + name, bytes); }
    std::string dir() const { return root_ + "/upload/"; }
    static std::string package(const std::string& name, Version version = ver(6, 1)) {
        PackageRecipe recipe;
        recipe.name = name;
        recipe.version = version;
        return buildPackage(recipe);
    }
};

TEST_F(ScanOffersTest, ReadsRegularPackageFilesAndReportsTheRest) {
    put("good.vpa", package("good"));
    put("other.vpd", package("other", ver(6, 2)));
    for (const char* name : {".hidden.vpa", "upper.VPA", "notes.txt", "good.vpa.part"}) put(name, package("no"));
    std::string cut = package("cut");
    put("cut.vpa", cut.substr(0, cut.size() - 10));
    put("empty.vpd", "");
    std::filesystem::create_directory(dir() + "sub.vpd");
    ASSERT_EQ(::mkfifo((dir() + "pipe.vpa").c_str(), 0600), 0);
    BundleRecipe bundle;
    bundle.bundle.name = "bun";
    bundle.bundle.version = ver(6, 1);
    bundle.members = {package("m1"), package("m2")};
    put("bun.vpa", buildBundle(bundle));

    std::vector<std::unique_ptr<OfferedPackage>> offers;
    offers.push_back(makeOffer(pkg("early")));  // appended to
    scanOffers(dir(), offers);
    std::vector<std::string> found;
    for (const auto& offer : offers) found.push_back(recordLabel(*offer) + " " + offer->path);
    std::vector<std::string> messages = Installer::instance().messages;
    std::sort(found.begin(), found.end());
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(found, (std::vector<std::string>{"bun-6.1 " + dir() + "bun.vpa", "early-0.0 ",
                                               "good-6.1 " + dir() + "good.vpa", "other-6.2 " + dir() + "other.vpd"}));
    EXPECT_EQ(offers[0]->name, "early");
    for (const auto& offer : offers) EXPECT_EQ(offer->members.size(), offer->name == "bun" ? 2u : 0u) << offer->name;
    // Neither a directory nor a pipe named like a package file is read as one.
    EXPECT_EQ(messages, (std::vector<std::string>{"ERROR: broken package cut.vpa", "ERROR: broken package empty.vpd",
                                                  "ERROR: broken package pipe.vpa", "ERROR: broken package sub.vpd"}));
    // A missing directory adds nothing, silently.
    scanOffers(dir() + "absent/", offers);
    EXPECT_EQ(offers.size(), 4u);
    EXPECT_EQ(Installer::instance().messages.size(), 4u);
}

}  // namespace
}  // namespace velmora
