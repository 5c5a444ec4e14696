#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pdb/db_files.h"

namespace velmora {
namespace {

using namespace std::string_literals;

std::string render(const std::vector<Dependency>& list) {
    std::string text;
    for (const Dependency& d : list) {
        text += d.name + " " + std::to_string(d.min) + " " + std::to_string(d.max) + " " +
                std::to_string(d.priority) + ";";
    }
    return text;
}

struct NumberRow {
    const char* name;
    std::string text;
    bool isSigned;
    bool ok;
    long long value;
};

TEST(DbNumbers, AreWholeDecimalWordsWithinTheirType) {
    const NumberRow rows[] = {
        {"Zero", "0", false, true, 0},
        {"LargestUnsigned", "4294967295", false, true, 4294967295LL},
        {"LeadingZeros", "007", false, true, 7},
        {"UnsignedOverflowByOne", "4294967296", false, false, 0},
        {"HugeNumber", "99999999999999999999999999", false, false, 0},
        {"SignOnUnsigned", "-1", false, false, 0},
        {"PlusSign", "+1", false, false, 0},
        {"Empty", "", false, false, 0},
        {"DottedVersion", "6.1", false, false, 0},
        {"TrailingGarbage", "12a", false, false, 0},
        {"SmallestSigned", "-2147483648", true, true, -2147483648LL},
        {"LargestSigned", "2147483647", true, true, 2147483647LL},
        {"SignedOverflow", "2147483648", true, false, 0},
        {"SignedUnderflow", "-2147483649", true, false, 0},
        {"LoneMinus", "-", true, false, 0},
        {"DoubleMinus", "--1", true, false, 0},
        {"NegativeZero", "-0", true, true, 0},
    };
    for (const NumberRow& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.isSigned) {
            std::int32_t value = 99;
            EXPECT_EQ(parseSigned(row.text, value), row.ok);
            if (row.ok) {
                EXPECT_EQ(value, row.value);
            }
        } else {
            std::uint32_t value = 99;
            EXPECT_EQ(parseUnsigned(row.text, value), row.ok);
            if (row.ok) {
                EXPECT_EQ(value, static_cast<std::uint32_t>(row.value));
            }
        }
    }
}

struct ListRow {
    const char* name;
    std::string input;
    bool withPriority;
    bool complete;
    std::string entries;
};

TEST(DbDependencyFile, ReadsEntriesUntilTheFirstMissingName) {
    const std::string longName(kMaxDbWord + 1, 'n');
    const ListRow rows[] = {
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
        {"NameTooLong", longName + " 1 2\n", false, false, ""},
        {"LongestNameKept", std::string(kMaxDbWord, 'n') + " 1 2\n", false, true,
         std::string(kMaxDbWord, 'n') + " 1 2 0;"},
        {"BinaryBytesInAName", "\xff\x01\x7f 1 2\n", false, true, "\xff\x01\x7f 1 2 0;"},
        {"NulBytesAreNotSpace", "a\0b 1 2"s, false, true, "a\0b 1 2 0;"s},
    };
    for (const ListRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream in(row.input);
        std::vector<Dependency> list;
        EXPECT_EQ(readDependencyFile(in, row.withPriority, list), row.complete);
        EXPECT_EQ(render(list), row.entries);
    }
}

TEST(DbDependencyFile, AnEndlessWordIsDamageAndIsNotKept) {
    std::istringstream in("a 1 2\n" + std::string(4 << 20, 'x'));
    std::vector<Dependency> list;
    EXPECT_FALSE(readDependencyFile(in, false, list));
    EXPECT_EQ(render(list), "a 1 2 0;");
}

TEST(DbDependencyFile, WrittenListsReadBackTheSame) {
    const std::vector<Dependency> provides = {
        {"dhcp", 0, 0, 0}, {"ntp", 100689408, 100754944, -2147483647 - 1}, {"x", 4294967295u, 1, 2147483647}};
    std::ostringstream out;
    writeDependencyFile(out, provides, true);
    EXPECT_EQ(out.str(), "dhcp 0 0 0\nntp 100689408 100754944 -2147483648\nx 4294967295 1 2147483647\n");
    std::istringstream in(out.str());
    std::vector<Dependency> back;
    EXPECT_TRUE(readDependencyFile(in, true, back));
    EXPECT_EQ(render(back), render(provides));

    std::ostringstream withoutPriority;
    writeDependencyFile(withoutPriority, provides, false);
    EXPECT_EQ(withoutPriority.str(), "dhcp 0 0\nntp 100689408 100754944\nx 4294967295 1\n");
}

struct VersionRow {
    const char* name;
    std::string input;
    bool ok;
    Version version;
    std::uint32_t buildTime;
};

TEST(DbVersionFile, NeedsTwoUnsignedNumbers) {
    const VersionRow rows[] = {
        {"Release", "100754944 1300000000\n", true, 100754944, 1300000000},
        {"NoLineEnd", "1 2", true, 1, 2},
        {"ExtraWordsIgnored", "1 2 3\n", true, 1, 2},
        {"BuildTimeMissing", "100754944\n", false, 100754944, 0},
        {"Empty", "", false, 0, 0},
        {"DottedVersion", "6.1 1300000000\n", false, 0, 0},
        {"HugeBuildTime", "1 12345678901234567890\n", false, 1, 0},
    };
    for (const VersionRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream in(row.input);
        Version version = 0;
        std::uint32_t buildTime = 0;
        EXPECT_EQ(readVersionFile(in, version, buildTime), row.ok);
        EXPECT_EQ(version, row.version);
        EXPECT_EQ(buildTime, row.buildTime);
    }
    std::ostringstream out;
    writeVersionFile(out, 100754944, 1300000000);
    EXPECT_EQ(out.str(), "100754944 1300000000\n");
}

struct FilesRow {
    const char* name;
    std::string input;
    std::set<std::string> files;
};

TEST(DbFilesFile, ReadsOneKeepablePathPerLine) {
    const std::string longest(kMaxDbPath, 'p');
    const FilesRow rows[] = {
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
    for (const FilesRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream in(row.input);
        std::set<std::string> files;
        readFilesFile(in, files);
        EXPECT_EQ(files, row.files);
    }
}

TEST(DbFilesFile, WritesPathsWithoutOneLeadingSlash) {
    std::ostringstream out;
    writeFilesFile(out, {"", "/bin/foo", "//twice", "relative", "/bad\nline"});
    EXPECT_EQ(out.str(), "/twice\nbin/foo\nrelative\n");
}

TEST(DbStateFiles, DisabledIsUserUnlessItsFirstLineIsAuto) {
    const std::pair<std::string, bool> rows[] = {
        {"auto\n", false}, {"auto", false},  {"auto\nuser\n", false},         {"user\n", true},
        {"", true},        {"auto \n", true}, {"autox\n", true},              {"\nauto\n", true},
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
        {"uninstall", Uninstall}, {"  enable\n", Enable},   {"disable now\n", Disable},
        {"enabled\n", None},      {"Enable\n", None},       {"", None},
        {"\n\n", None},           {"x uninstall\n", None},  {std::string(1000, 'u'), None},
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
