#include "planning/offers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "package_builder.h"
#include "pdb/version.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::makeOffer;
using planning_test::ver;
using Recipe = planning_test::PackageRecipe;

struct SelectRow {
    const char* name;
    std::vector<Recipe> offers;
    bool downgrade = false;
    bool reporting = true;
    std::string expected{};  // labels of the result in order, "@" build time when set
    std::vector<std::string> messages{};
};

void PrintTo(const SelectRow& row, std::ostream* out) { *out << row.name; }

std::string labels(const std::vector<PackageInfo*>& list) {
    std::string text;
    for (const PackageInfo* info : list) {
        text += (text.empty() ? "" : " ") + recordLabel(*info);
        if (info->buildTime != 0) text += "@" + std::to_string(info->buildTime);
    }
    return text;
}

class SelectOffersTest : public CatalogueFixture, public ::testing::WithParamInterface<SelectRow> {};

TEST_P(SelectOffersTest, SelectsAndOrders) {
    const SelectRow& row = GetParam();
    std::vector<std::unique_ptr<OfferedPackage>> owned;
    std::vector<PackageInfo*> list;
    for (const Recipe& recipe : row.offers) {
        owned.push_back(makeOffer(recipe));
        list.push_back(owned.back().get());
    }
    selectOffers(list, row.downgrade, row.reporting);
    EXPECT_EQ(labels(list), row.expected);
    EXPECT_EQ(installer().messages, row.messages);
}

const Version v61 = ver(6, 1);
const Version v62 = ver(6, 2);

INSTANTIATE_TEST_SUITE_P(
    Selection, SelectOffersTest,
    ::testing::Values(
        SelectRow{.name = "EmptyStaysEmpty", .offers = {}},
        SelectRow{.name = "ASingleOfferIsKept", .offers = {{.name = "a", .version = v61}}, .expected = "a-6.1"},
        SelectRow{.name = "TheNewerWins",
                  .offers = {{.name = "a", .version = v61}, {.name = "a", .version = v62}},
                  .expected = "a-6.2",
                  .messages = {"WARNING: omitting package a-6.1: newer package is already provided"}},
        SelectRow{.name = "TheNewerWinsSilentlyWithoutReporting",
                  .offers = {{.name = "a", .version = v62}, {.name = "a", .version = v61}},
                  .reporting = false,
                  .expected = "a-6.2"},
        SelectRow{.name = "TheOlderWinsInDowngradeMode",
                  .offers = {{.name = "a", .version = v61}, {.name = "a", .version = v62}},
                  .downgrade = true,
                  .expected = "a-6.1",
                  .messages = {"WARNING: omitting package a-6.2: older package is already provided"}},
        SelectRow{.name = "TheLaterBuildWins",
                  .offers = {{.name = "a", .version = v61, .buildTime = 100}, {.name = "a", .version = v61, .buildTime = 200}},
                  .reporting = false,
                  .expected = "a-6.1@200"},
        SelectRow{.name = "TheEarlierBuildWinsInDowngradeMode",
                  .offers = {{.name = "a", .version = v61, .buildTime = 200}, {.name = "a", .version = v61, .buildTime = 100}},
                  .downgrade = true,
                  .expected = "a-6.1@100",
                  .messages = {"WARNING: omitting package a-6.1: older package is already provided"}},
        SelectRow{.name = "AnOfferDroppedByOneThatIsDroppedItself",
                  .offers = {{.name = "a", .version = v61}, {.name = "a", .version = v62}, {.name = "a", .version = ver(6, 3)}},
                  .expected = "a-6.3",
                  .messages = {"WARNING: omitting package a-6.1: newer package is already provided",
                               "WARNING: omitting package a-6.2: newer package is already provided"}},
        SelectRow{.name = "NamesDifferingInCaseAreUnrelated",
                  .offers = {{.name = "a", .version = v61}, {.name = "A", .version = v62}},
                  .expected = "A-6.2 a-6.1"}),
    [](const ::testing::TestParamInfo<SelectRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bundles, SelectOffersTest,
    ::testing::Values(
        SelectRow{.name = "AnEqualBundleCarriesTheSingleOffer",
                  .offers = {{.name = "m", .version = v61},
                             {.name = "bun", .version = v61, .members = {{.name = "m", .version = v61}}}},
                  .expected = "bun-6.1"},
        SelectRow{.name = "AnEqualBundleListedFirstCarriesTheSingleOffer",
                  .offers = {{.name = "bun", .version = v61, .members = {{.name = "m", .version = v61}}},
                             {.name = "m", .version = v61}},
                  .expected = "bun-6.1"},
        SelectRow{.name = "ABundleWithANewerMemberDropsTheSingleOffer",
                  .offers = {{.name = "m", .version = v61},
                             {.name = "bun", .version = v61, .members = {{.name = "m", .version = v62}}}},
                  .expected = "bun-6.1",
                  .messages = {"WARNING: omitting package m-6.1: newer package is already provided"}},
        SelectRow{.name = "ANewerSingleOfferDropsTheBundle",
                  .offers = {{.name = "m", .version = v62},
                             {.name = "bun", .version = v61, .members = {{.name = "m", .version = v61}}}},
                  .expected = "m-6.2",
                  .messages = {"WARNING: omitting package bun-6.1: newer package is already provided"}}),
    [](const ::testing::TestParamInfo<SelectRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Order, SelectOffersTest,
    ::testing::Values(
        SelectRow{.name = "ANeededPackageComesFirst",
                  .offers = {{.name = "b", .version = v61, .deps = {dep("a")}}, {.name = "a", .version = v61}},
                  .expected = "a-6.1 b-6.1"},
        SelectRow{.name = "AProvidedNameCountsAsNeeded",
                  .offers = {{.name = "a", .version = v61, .provides = {dep("x")}},
                             {.name = "b", .version = v61, .deps = {dep("x")}}},
                  .expected = "a-6.1 b-6.1"},
        SelectRow{.name = "UnrelatedOffersComeOutReversed",
                  .offers = {{.name = "a", .version = v61}, {.name = "b", .version = v61}, {.name = "c", .version = v61}},
                  .expected = "c-6.1 b-6.1 a-6.1"},
        SelectRow{.name = "APackageComesAfterWhatConflictsWithIt",
                  .offers = {{.name = "y", .version = v61, .conflicts = {dep("x")}}, {.name = "x", .version = v61}},
                  .expected = "y-6.1 x-6.1"},
        SelectRow{.name = "AnUnrelatedOfferPlacedLastGoesToTheFront",
                  .offers = {{.name = "a", .version = v61}, {.name = "b", .version = v61, .deps = {dep("a")}},
                             {.name = "x", .version = v61}},
                  .expected = "x-6.1 a-6.1 b-6.1"},
        SelectRow{.name = "InsertedAfterTheLastRelatedOne",
                  .offers = {{.name = "a", .version = v61}, {.name = "b", .version = v61},
                             {.name = "c", .version = v61, .deps = {dep("a"), dep("b")}}},
                  // b, a so far; c needs both and goes after a, the later.
                  .expected = "b-6.1 a-6.1 c-6.1"},
        SelectRow{.name = "ANeedThroughABundleMember",
                  .offers = {{.name = "bun", .version = v61, .members = {{.name = "m", .version = v61}}},
                             {.name = "app", .version = v61, .deps = {dep("m")}}},
                  .expected = "bun-6.1 app-6.1"}),
    [](const ::testing::TestParamInfo<SelectRow>& info) { return std::string(info.param.name); });

using EqualOffersTest = CatalogueFixture;

// Of equal related offers of the same kind, the first in the list stands
// for all of them, silently.
TEST_F(EqualOffersTest, TheFirstOfEqualOffersIsKept) {
    struct Case {
        const char* name;
        Recipe recipe;
    };
    for (const Case& c : {Case{"single", {.name = "a", .version = v61, .buildTime = 7}},
                          Case{"bundle", {.name = "bun", .version = v61, .buildTime = 7,
                                          .members = {{.name = "m", .version = v61}}}}}) {
        SCOPED_TRACE(c.name);
        auto first = makeOffer(c.recipe);
        auto second = makeOffer(c.recipe);
        auto third = makeOffer(c.recipe);
        std::vector<PackageInfo*> list{first.get(), second.get(), third.get()};
        selectOffers(list, false, true);
        EXPECT_EQ(list, std::vector<PackageInfo*>{first.get()});

        std::vector<PackageInfo*> downgrade{third.get(), first.get()};
        selectOffers(downgrade, true, true);
        EXPECT_EQ(downgrade, std::vector<PackageInfo*>{third.get()});
    }
    EXPECT_TRUE(installer().messages.empty());
}

TEST_F(EqualOffersTest, AnOfferListedTwiceIsKeptOnce) {
    auto offer = makeOffer({.name = "a", .version = v61});
    auto other = makeOffer({.name = "b", .version = v61});
    std::vector<PackageInfo*> list{offer.get(), other.get(), offer.get()};
    selectOffers(list, false, true);
    EXPECT_EQ(list, (std::vector<PackageInfo*>{other.get(), offer.get()}));
    EXPECT_TRUE(installer().messages.empty());
}

// An upload directory with real package files made by the builder.
class ScanOffersTest : public CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        char pattern[] = "/tmp/offers-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        CatalogueFixture::TearDown();
    }
    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ + name, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string package(const std::string& name, Version version) {
        velmora::PackageRecipe recipe;
        recipe.name = name;
        recipe.version = version;
        recipe.deps = {dep("stavel", ver(6, 0))};
        return buildPackage(recipe);
    }

    std::string dir_;
};

TEST_F(ScanOffersTest, ReadsPackageFilesOnly) {
    put("good.vpa", package("good", v61));
    put("other.vpd", package("other", v62));
    put(".hidden.vpa", package("hidden", v61));
    put("upper.VPA", package("upper", v61));
    put("notes.txt", package("notes", v61));
    put("good.vpa.part", package("part", v61));
    std::filesystem::create_directory(dir_ + "sub.vpd");
    ASSERT_EQ(::mkfifo((dir_ + "pipe.vpa").c_str(), 0600), 0);
    velmora::BundleRecipe bundle;
    bundle.bundle.name = "bun";
    bundle.bundle.version = v61;
    bundle.members = {package("m1", v61), package("m2", v61)};
    put("bun.vpa", buildBundle(bundle));

    std::vector<std::unique_ptr<OfferedPackage>> offers;
    scanOffers(dir_, offers);

    std::vector<std::string> found;
    for (const auto& offer : offers) {
        found.push_back(recordLabel(*offer) + " " + offer->path);
        if (offer->name == "good") {
            ASSERT_EQ(offer->deps.size(), 1u);
            EXPECT_EQ(offer->deps[0].name, "stavel");
        }
        if (offer->name == "bun") {
            EXPECT_TRUE(offer->isBundle);
            ASSERT_EQ(offer->members.size(), 2u);
            EXPECT_EQ(offer->members[1]->name, "m2");
        }
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"bun-6.1 " + dir_ + "bun.vpa", "good-6.1 " + dir_ + "good.vpa",
                                               "other-6.2 " + dir_ + "other.vpd"}));
    // Neither a directory nor a pipe named like a package file is read as one.
    std::vector<std::string> messages = installer().messages;
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{"ERROR: broken package pipe.vpa", "ERROR: broken package sub.vpd"}));
}

TEST_F(ScanOffersTest, ABrokenFileIsReportedAndSkipped) {
    std::string cut = package("cut", v61);
    cut.resize(cut.size() - 10);
    put("cut.vpa", cut);
    put("empty.vpd", "");
    put("fine.vpa", package("fine", v61));

    std::vector<std::unique_ptr<OfferedPackage>> offers;
    scanOffers(dir_, offers);

    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0]->name, "fine");
    std::vector<std::string> messages = installer().messages;
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{"ERROR: broken package cut.vpa", "ERROR: broken package empty.vpd"}));
}

TEST_F(ScanOffersTest, AMissingDirectoryAddsNothingSilently) {
    std::vector<std::unique_ptr<OfferedPackage>> offers;
    scanOffers(dir_ + "absent/", offers);
    EXPECT_TRUE(offers.empty());
    EXPECT_TRUE(installer().messages.empty());
}

TEST_F(ScanOffersTest, AppendsToTheOffersAlreadyThere) {
    put("late.vpa", package("late", v61));
    std::vector<std::unique_ptr<OfferedPackage>> offers;
    offers.push_back(makeOffer({.name = "early"}));
    scanOffers(dir_, offers);
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_EQ(offers[0]->name, "early");
    EXPECT_EQ(offers[1]->name, "late");
}

}  // namespace
}  // namespace velmora
