#include "pdb/db_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "scratch_root.h"

using namespace velmora;
using namespace std::string_literals;

// Every reader of the database files on the inputs it meets, damaged ones included, as "accepted|what was read":
// u/i unsigned/signed number, d/D dependency list without/with priority ("name min max priority;" per entry),
// v version file, f files file (a set of paths), a "disabled" (user or not), s schedule (the action word).
TEST(DbFiles, Readers) {
    const std::string word(255, 'n'), path(kMaxDbPath, 'p');
    const std::tuple<char, std::string, std::string> rows[] = {
        {'u', "4294967295", "1|4294967295"}, {'u', "007", "1|7"}, {'u', "4294967296", "0"}, {'u', "12a", "0"},
        {'u', "99999999999999999999999999", "0"}, {'i', "-2147483648", "1|-2147483648"}, {'i', "-", "0"},
        {'i', "2147483647", "1|2147483647"}, {'i', "2147483648", "0"}, {'i', "-2147483649", "0"}, {'i', "+1", "0"},
        {'d', " \n\t\va\r1\f2\n", "1|a 1 2 0;"}, {'d', "a 1\n2 b\n3 4", "1|a 1 2 0;b 3 4 0;"},
        {'d', "dhcp 1 2\nstavel 6.1 0\nntp 3 4\n", "0|dhcp 1 2 0;"}, {'d', "a 1 4294967296\n", "0|"},
        {'D', "dhcp 1 2 -7\n", "1|dhcp 1 2 -7;"}, {'D', "dhcp 1 2\n", "0|"}, {'d', word + "n 1 2\n", "0|"},
        {'d', word + " 1 2\n", "1|" + word + " 1 2 0;"}, {'d', "a\0b 1 2"s, "1|a\0b 1 2 0;"s},
        {'d', "a 1 2\n" + std::string(4 << 20, 'x'), "0|a 1 2 0;"},
        {'v', "1 2 3\n", "1|1 2"}, {'v', "6.1 1300000000\n", "0|0 0"}, {'v', "1 12345678901234567890\n", "0|1 0"},
        {'f', "\n\nbin/a\n/bin/a\nbin/b", "/bin/a /bin/b "}, {'f', "my file\n", "/my file "},
        {'f', "../etc/passwd\nbin/../../x\na/..\nbin/ok\nbin/..x\nbin/x..\n", "/bin/..x /bin/ok /bin/x.. "},
        {'f', "/\n.\n//\n./.\nbin/a\0b\n"s, ""},
        {'f', path + "\n" + path + "q\nbin/next\n", "/bin/next /" + path + " "},
        {'a', "auto", "0"}, {'a', "auto\nuser\n", "0"}, {'a', "", "1"}, {'a', "auto \n", "1"}, {'a', "\nauto\n", "1"},
        {'a', "auto\r\n", "1"}, {'s', "  enable\n", "enable"}, {'s', "enabled\n", ""}, {'s', "\n\n", ""},
        {'s', "disable now\n", "disable"}, {'s', "x uninstall\n", ""}};
    for (const auto& [reader, input, expected] : rows) {
        std::istringstream in(input); std::uint32_t u = 0, build = 0; std::int32_t i = 0;
        std::vector<Dependency> list; std::set<std::string> files; std::string got;
        if (reader == 'u') got = parseUnsigned(input, u) ? "1|" + std::to_string(u) : "0";
        if (reader == 'i') got = parseSigned(input, i) ? "1|" + std::to_string(i) : "0";
        if (reader == 'd' || reader == 'D') got = std::to_string(readDependencyFile(in, reader == 'D', list)) + "|";
        if (reader == 'v') got = std::to_string(readVersionFile(in, u, build)) + "|";
        if (reader == 'v') got += std::to_string(u) + " " + std::to_string(build);
        if (reader == 'f') { readFilesFile(in, files); for (const std::string& file : files) got += file + " "; }
        if (reader == 'a') got = std::to_string(readDisabledFile(in));
        if (reader == 's') got = actionWord(readScheduleFile(in));
        EXPECT_EQ(got + db_test::render(list), expected) << reader << " " << input.substr(0, 40);
    }
    std::ifstream missing("/nonexistent/file"); std::vector<Dependency> list; std::uint32_t version = 0, build = 0;
    EXPECT_TRUE(readDependencyFile(missing, false, list) && !readVersionFile(missing, version, build));
    EXPECT_EQ(readScheduleFile(missing), None);
}

TEST(DbFiles, Writers) {
    const std::vector<Dependency> provides = {
        {"dhcp", 0, 0, 0}, {"ntp", 100689408, 100754944, -2147483647 - 1}, {"x", 4294967295u, 1, 2147483647}};
    std::ostringstream with, without, version, files;
    writeDependencyFile(with, provides, true), writeDependencyFile(without, provides, false);
    EXPECT_EQ(with.str(), "dhcp 0 0 0\nntp 100689408 100754944 -2147483648\nx 4294967295 1 2147483647\n");
    EXPECT_EQ(without.str(), "dhcp 0 0\nntp 100689408 100754944\nx 4294967295 1\n");
    writeVersionFile(version, 100754944, 1300000000), writeFilesFile(files, {"", "/bin/foo", "//twice", "/bad\nl"});
    EXPECT_EQ(version.str() + files.str(), "100754944 1300000000\n/twice\nbin/foo\n");
}
