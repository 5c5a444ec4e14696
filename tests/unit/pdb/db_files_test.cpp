#include "pdb/db_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "scratch_root.h"

namespace velmora {
namespace {

using namespace std::string_literals;

using db_test::render;

TEST(DbNumbers, AreWholeDecimalWordsWithinTheirType) {
    // text, signed, accepted, value
    const std::tuple<std::string, bool, bool, long long> rows[] = {
        {"0", false, true, 0},          {"4294967295", false, true, 4294967295LL},
        {"007", false, true, 7},        {"4294967296", false, false, 0},
        {"99999999999999999999999999", false, false, 0},
        {"-1", false, false, 0},        {"+1", false, false, 0},
        {"", false, false, 0},          {"6.1", false, false, 0},
        {"12a", false, false, 0},       {"-2147483648", true, true, -2147483648LL},
        {"2147483647", true, true, 2147483647LL},
        {"2147483648", true, false, 0}, {"-2147483649", true, false, 0},
        {"-", true, false, 0},          {"--1", true, false, 0},        {"+1", true, false, 0},
        {"-0", true, true, 0},
    };
    for (const auto& [text, isSigned, ok, expected] : rows) {
        SCOPED_TRACE(text);
        std::int32_t signedValue = 99;
        std::uint32_t unsignedValue = 99;
        EXPECT_EQ(isSigned ? parseSigned(text, signedValue) : parseUnsigned(text, unsignedValue), ok);
        if (ok) {
            EXPECT_EQ(isSigned ? signedValue : static_cast<long long>(unsignedValue), expected);
        }
    }
}

TEST(DbDependencyFile, ReadsEntriesUntilTheFirstMissingName) {
    const std::string longest(kMaxDbWord, 'n');
    // name, input, with priority, complete, entries read
    const std::tuple<const char*, std::string, bool, bool, std::string> rows[] = {
        {"EmptyFile", "", false, true, ""},
        {"OnlyWhiteSpace", " \n\t\r\n", false, true, ""},
        {"FinalReleaseLowerBound", "stavel 100689408 0\n", false, true, "stavel 100689408 0 0;"},
        {"DottedNumberEndsTheList", "dhcp 1 2\nstavel 6.1 0\nntp 3 4\n", false, false, "dhcp 1 2 0;"},
        {"EntriesMayCrossLines", "a 1\n2 b\n3 4", false, true, "a 1 2 0;b 3 4 0;"},
        {"CutAfterName", "a 1 2\nb", false, false, "a 1 2 0;"},
        {"CutAfterLowerBound", "a 1 2\nb 3\n", false, false, "a 1 2 0;"},
        {"OverflowingBound", "a 1 4294967296\n", false, false, ""},
        {"NegativePriority", "dhcp 1 2 -7\n", true, true, "dhcp 1 2 -7;"},
        {"MissingPriority", "dhcp 1 2\n", true, false, ""},
        {"PriorityNotANumber", "dhcp 1 2 high\n", true, false, ""},
        {"NameTooLong", longest + "n 1 2\n", false, false, ""},
        {"LongestNameKept", longest + " 1 2\n", false, true, longest + " 1 2 0;"},
        {"BinaryBytesInAName", "\xff\x01\x7f 1 2\n", false, true, "\xff\x01\x7f 1 2 0;"},
        {"NulBytesAreNotSpace", "a\0b 1 2"s, false, true, "a\0b 1 2 0;"s},
        {"AnEndlessWordIsDamageAndNotKept", "a 1 2\n" + std::string(4 << 20, 'x'), false, false, "a 1 2 0;"},
    };
    for (const auto& [name, input, withPriority, complete, entries] : rows) {
        SCOPED_TRACE(name);
        std::istringstream in(input);
        std::vector<Dependency> list;
        EXPECT_EQ(readDependencyFile(in, withPriority, list), complete);
        EXPECT_EQ(render(list), entries);
    }
}

TEST(DbDependencyFile, WrittenListsReadBackTheSame) {
    const std::vector<Dependency> provides = {
        {"dhcp", 0, 0, 0}, {"ntp", 100689408, 100754944, -2147483647 - 1}, {"x", 4294967295u, 1, 2147483647}};
    std::ostringstream out, withoutPriority;
    writeDependencyFile(out, provides, true);
    EXPECT_EQ(out.str(), "dhcp 0 0 0\nntp 100689408 100754944 -2147483648\nx 4294967295 1 2147483647\n");
    std::istringstream in(out.str());
    std::vector<Dependency> back;
    EXPECT_TRUE(readDependencyFile(in, true, back));
    EXPECT_EQ(render(back), render(provides));
    writeDependencyFile(withoutPriority, provides, false);
    EXPECT_EQ(withoutPriority.str(), "dhcp 0 0\nntp 100689408 100754944\nx 4294967295 1\n");
}

TEST(DbVersionFile, NeedsTwoUnsignedNumbers) {
    // input, accepted, version, build time
    const std::tuple<std::string, bool, Version, std::uint32_t> rows[] = {
        {"100754944 1300000000\n", true, 100754944, 1300000000},
        {"1 2", true, 1, 2},
        {"1 2 3\n", true, 1, 2},
        {"100754944\n", false, 100754944, 0},
        {"", false, 0, 0},
        {"6.1 1300000000\n", false, 0, 0},
        {"1 12345678901234567890\n", false, 1, 0},
    };
    for (const auto& [input, ok, expectedVersion, expectedBuild] : rows) {
        SCOPED_TRACE(input);
        std::istringstream in(input);
        Version version = 0;
        std::uint32_t buildTime = 0;
        EXPECT_EQ(readVersionFile(in, version, buildTime), ok);
        EXPECT_EQ(version, expectedVersion);
        EXPECT_EQ(buildTime, expectedBuild);
    }
    std::ostringstream out;
    writeVersionFile(out, 100754944, 1300000000);
    EXPECT_EQ(out.str(), "100754944 1300000000\n");
}

TEST(DbFilesFile, ReadsOneKeepablePathPerLine) {
    const std::string longest(kMaxDbPath, 'p');
    const std::tuple<const char*, std::string, std::set<std::string>> rows[] = {
        {"RelativeGetsSlash", "bin/foo\n", {"/bin/foo"}},
        {"AbsoluteUnchanged", "/bin/foo\n", {"/bin/foo"}},
        {"EmptyLinesSkipped", "\n\nbin/a\n\n", {"/bin/a"}},
        {"LastLineWithoutEnd", "bin/a\nbin/b", {"/bin/a", "/bin/b"}},
        {"DuplicatesKeptOnce", "bin/a\n/bin/a\n", {"/bin/a"}},
        {"SpacesArePartOfThePath", "my file\n", {"/my file"}},
        {"ParentComponentSkipped", "../etc/passwd\nbin/../../x\na/..\nbin/ok\n", {"/bin/ok"}},
        {"DotsInsideANameKept", "bin/..x\nbin/x..\n", {"/bin/..x", "/bin/x.."}},
        {"FlashItselfSkipped", "/\n.\n//\n./.\n", {}},
        {"NulByteSkipped", "bin/a\0b\nbin/c\n"s, {"/bin/c"}},
        {"LongestLineKept", longest + "\n", {"/" + longest}},
        {"OverLongLineDropped", longest + "q\nbin/next\n", {"/bin/next"}},
    };
    for (const auto& [name, input, expected] : rows) {
        SCOPED_TRACE(name);
        std::istringstream in(input);
        std::set<std::string> files;
        readFilesFile(in, files);
        EXPECT_EQ(files, expected);
    }
    std::ostringstream out;
    writeFilesFile(out, {"", "/bin/foo", "//twice", "relative", "/bad\nline"});
    EXPECT_EQ(out.str(), "/twice\nbin/foo\nrelative\n");
}

TEST(DbStateFiles, DisabledIsUserUnlessItsFirstLineIsAuto) {
    const std::pair<std::string, bool> rows[] = {
        {"auto\n", false}, {"auto", false},   {"auto\nuser\n", false}, {"user\n", true},
        {"", true},        {"auto \n", true}, {"autox\n", true},       {"\nauto\n", true},
        {"AUTO\n", true},  {"auto\r\n", true}, {std::string(1 << 16, 'a'), true},
    };
    for (const auto& [content, userForced] : rows) {
        SCOPED_TRACE(content.substr(0, 16));
        std::istringstream in(content);
        EXPECT_EQ(readDisabledFile(in), userForced);
    }
}

TEST(DbStateFiles, ScheduleTakesItsFirstWord) {
    const std::pair<std::string, PendingAction> rows[] = {
        {"uninstall", Uninstall}, {"  enable\n", Enable},  {"disable now\n", Disable},
        {"enabled\n", None},      {"Enable\n", None},      {"", None},
        {"\n\n", None},           {"x uninstall\n", None}, {std::string(1000, 'u'), None},
    };
    for (const auto& [content, action] : rows) {
        SCOPED_TRACE(content.substr(0, 16));
        std::istringstream in(content);
        EXPECT_EQ(readScheduleFile(in), action);
    }
}

TEST(DbReaders, AStreamThatIsNotOpenReadsAsEmpty) {
    std::ifstream missing("/nonexistent/definitely/not/here");
    std::vector<Dependency> list;
    EXPECT_TRUE(readDependencyFile(missing, false, list));
    Version version = 0;
    std::uint32_t buildTime = 0;
    EXPECT_FALSE(readVersionFile(missing, version, buildTime));
    EXPECT_EQ(readScheduleFile(missing), None);
}

}  // namespace
}  // namespace velmora
