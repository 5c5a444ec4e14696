// Whole-program runs of the built vpa tool, and of the build's key step (cmake/KeyMaterial.cmake and the
// compiler's checks of the code it writes).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "package/package_format.h"
#include "package_builder.h"
#include "support/no_keys.h"
#include "support/process_run.h"

namespace velmora {
namespace {

using Args = std::vector<std::string>;
const std::string script = KEY_MATERIAL_SCRIPT, sourceRoot = script.substr(0, script.rfind("/cmake/"));

std::string slurp(const std::string& path) { std::ostringstream s; s << std::ifstream(path).rdbuf(); return s.str(); }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// An expected text without a line end is the start.
bool fits(std::string_view text, std::string_view want) {
    return want.empty() || want.ends_with('\n') ? text == want : text.starts_with(want);
}
// CMake wraps its messages.
std::string squeezed(const std::string& text) { return std::regex_replace(text, std::regex("\\s+"), " "); }
Args tokens(const std::string& keyFile) {
    std::istringstream text(std::regex_replace(slurp(keyFile), std::regex("#[^\n]*"), ""));
    return {std::istream_iterator<std::string>(text), {}};
}
// The development public key, one token a line, token `index` replaced.
std::string devTokens(std::size_t index = 99, const std::string& replacement = "") {
    Args all = tokens(DEV_PUB_FILE); std::string text; if (index < all.size()) all[index] = replacement;
    for (const std::string& token : all) text += token + "\n";
    return text;
}

struct VpaTest : ::testing::Test {
    std::string dir = "/tmp/vpa-e2e-XXXXXX";
    // A script, a config file, a link, and a directory that holds only a pipe.
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        put("tree/bin/tool", "#!/bin/sh\necho tool\n", 04755), put("tree/etc/tool.conf", "level=3\n", 0640);
        std::filesystem::create_directories(at("@pipe")); ASSERT_EQ(::mkfifo(at("@pipe/p").c_str(), 0644), 0);
        ASSERT_EQ(::symlink("../bin/tool", at("@tree/etc/tool-link").c_str()), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // "@name" stands for that file in the test's directory.
    std::string at(const std::string& text) const { return std::regex_replace(text, std::regex("@"), dir + "/"); }
    void put(const std::string& name, const std::string& bytes, mode_t mode = 0644) const {
        std::filesystem::create_directories(std::filesystem::path(at("@" + name)).parent_path());
        std::ofstream(at("@" + name)) << bytes; ASSERT_EQ(::chmod(at("@" + name).c_str(), mode), 0);
    }
    ProcessRun run(Args args) const { for (auto& arg : args) arg = at(arg); return runProcess(args, dir); }
    ProcessRun vpa(Args args) const { args.insert(args.begin(), VPA_BINARY); return run(args); }
    // vpa's exit status, its output and its errors.
    void expect(const Args& args, int status, const std::string& out = "", const std::string& err = "") const {
        const ProcessRun done = vpa(args); EXPECT_EQ(done.exitStatus, status) << done.err;
        EXPECT_PRED2(fits, done.out, at(out)); EXPECT_PRED2(fits, done.err, at(err));
    }
    unsigned mode(const std::string& name) const { return unsigned(std::filesystem::status(at(name)).permissions()); }
    ProcessRun keyScript(const std::string& key) const {
        return run({CMAKE_COMMAND, "-DKEY_FILE=" + key, "-DOUTPUT=@out.cpp", "-P", script});
    }
};

Args operator+(Args args, const Args& more) { args.insert(args.end(), more.begin(), more.end()); return args; }
const Args stavel = {"build", "--name", "stavel", "--version", "6.1.3", "--build-time", "1700000000", "--arch",
                     "powerpc", "--note", "router tools", "--flags", "0x2", "--dep", "base:6.0:7.0", "--provides",
                     "web:1.0::5", "--conflicts", "old::5.0", "--keep-image", "--group", "bin/tool=2", "@tree", "-o"};
const Args in = {"build", "--name", "a", "--version", "1.0", "-o", "@o.vpa"};

TEST_F(VpaTest, BuildInspectExtractAndBundle) {
    expect(stavel + Args{"@s.vpa"}, 0, "", "vpa build: warning: the installer passes over symbolic links such as "
                                           "/etc/tool-link; they are packed but never installed\n");
    vpa(stavel + Args{"@again.vpa"}); auto image = slurp(at("@s.vpa")); EXPECT_EQ(image, slurp(at("@again.vpa")));
    const ProcessRun inspect = vpa({"inspect", "@s.vpa"}); EXPECT_EQ(inspect.exitStatus, 0); EXPECT_EQ(inspect.err, "");
    for (const std::string& line : Args{"Magic: 0xbad0f11e (package)\nLength: " + std::to_string(image.size() - 8)
             + "\n", "         8     1  header                     36\n",
             "Package stavel 6.1.3\n  Version:       6.1.3 (0x06016603)\n"
             "  Build time:    1700000000 (2023-11-14 22:13:20 UTC)\n  Flags:         0x00000002 no-metadata\n"
             "  Architecture:  powerpc\n  Note:          router tools\n  Depends:       base >= 6.0, <= 7.0\n"
             "  Provides:      web >= 1.0 (priority 5)\n  Conflicts:     old <= 5.0\n  Keep image:    yes\n"
             "  Files (3):\n    -rwsr-xr-x 0104755 group 2         20  /bin/tool\n"
             "    lrwxrwxrwx 0120777 group 0         11  /etc/tool-link  (not installed: not a regular file)\n"
             "    -rw-r----- 0100640 group 0          8  /etc/tool.conf\n",
             "(matches the signed range)\n    r:        00000000000000000000000000000000\n"})
        EXPECT_TRUE(has(inspect.out, line)) << "missing: " << line << "\nin:\n" << inspect.out;

    // Files of group 2 go to a router of that group only; nothing of a refused file is placed.
    for (const char* into : {"none", "two", "bad"}) std::filesystem::create_directories(at("@") + into);
    expect({"extract", "@s.vpa", "@none"}, 0, "/etc/tool.conf\n");
    expect({"extract", "--group", "2", "@s.vpa", "@two"}, 0, "/bin/tool\n/etc/tool.conf\n");
    EXPECT_EQ(slurp(at("@two/bin/tool")), "#!/bin/sh\necho tool\n"); EXPECT_EQ(mode("@two/bin/tool"), 04755u);
    flipByte(image, findPart(image, PartSignature)->dataOffset()); put("bad.vpa", image);
    expect({"extract", "@bad.vpa", "@bad"}, 1, "", "vpa extract: @bad.vpa: stavel-6.1.3: part 9 (signature)");
    EXPECT_TRUE(std::filesystem::is_empty(at("@bad")));

    // A bundle holds its members whole, each with its signature part.
    expect({"build", "-o", "@other.vpa", "--name=other", "--version=3.20rc2", "@tree/bin"}, 0);
    expect({"bundle", "-o", "@suite.vpa", "--name", "suite", "--version", "6.1", "--note", "all", "--disabled-member",
            "other", "--keep-image", "@s.vpa", "@other.vpa"}, 0);
    const std::string suite = vpa({"inspect", "@suite.vpa"}).out;
    for (const char* line : {"Bundle suite 6.1\n", "  Note:          all\n", "    Package other 3.20rc2\n",
                             "  Keep image:    yes\n  Disabled members: other\n  Members (2):\n    Package stavel",
                             "      Keep image:    no\n"})
        EXPECT_TRUE(has(suite, line)) << line << suite;
    EXPECT_NE(suite.find("(matches the signed range)", suite.rfind("Package other")), std::string::npos);
}

TEST_F(VpaTest, CommandLine) {
    for (const std::string cmd : {"build", "bundle", "extract", "inspect", "keygen", "sign", "verify"}) {
        expect({cmd, "-h"}, 0, "usage: vpa " + cmd + " ");
        expect({cmd, "--no"}, 2, "", "vpa " + cmd + ": unknown option '--no' (see 'vpa help " + cmd + "')\n");
    }
    const Args tree = in + Args{"@tree"}, bundle = {"bundle", "-o", "@o.vpa", "--name", "b", "--version", "1.0"};
    expect(in + Args{"-o", "@a.vpa", "@tree/bin"}, 0);
    expect({"bundle", "-o", "@ab.vpa", "--name", "ab", "--version", "1.0", "@a.vpa"}, 0);
    put("garbage.vpa", "not a package at all");
    const struct { Args args; int status; std::string out, err; } rows[] = {
        {{}, 2, "", "usage: vpa COMMAND"},
        {{"--help"}, 0, "usage: vpa COMMAND", ""},
        {{"help", "frobnicate"}, 2, "", "vpa help: unknown command 'frobnicate' (see 'vpa --help')\n"},
        {{"frobnicate"}, 2, "", "vpa: unknown command 'frobnicate' (see 'vpa --help')\n"},
        {{"build", "@tree", "--name"}, 2, "", "vpa build: option '--name' needs a value (see 'vpa help build')\n"},
        {tree + Args{"--overlay=1"}, 2, "", "vpa build: option '--overlay' takes no value (see 'vpa help build')\n"},
        {{"build", "-o", "@o.vpa", "--version", "1.0", "@tree"}, 2, "", "vpa build: needs -o OUT, --name, --version"},
        {tree + Args{"--name", "a\tcdefghijklmnopq"}, 2, "", "vpa build: bad package name 'a\\x09cdefghijklmnopq': "},
        {tree + Args{"--version", "1.0.0.0"}, 2, "", "vpa build: bad version '1.0.0.0'\n"},
        {tree + Args{"--build-time", "-1"}, 2, "", "vpa build: bad build time '-1'\n"},
        {tree + Args{"--flags", "0x"}, 2, "", "vpa build: bad flags '0x'\n"},
        {tree + Args{"--dep", "b:2.0:1.0"}, 2, "", "vpa build: --dep b:2.0:1.0: the minimum 2.0 is above the maximum"},
        {tree + Args{"--group", "nope=1"}, 2, "", "vpa build: --group nope=1: no entry /nope in the directory\n"},
        {tree + Args{"--group", "bin/tool=5"}, 2, "", "vpa build: --group bin/tool=5: expected PATH=N with N from 0"},
        {in + Args{"@nothing"}, 1, "", "vpa build: @nothing: No such file or directory\n"},
        {in + Args{"@pipe"}, 1, "", "vpa build: @pipe/p: not a regular file, directory or symbolic link\n"},
        {in + Args{"-o", "@no/o.vpa", "@tree/bin"}, 1, "", "vpa build: cannot write @no/o.vpa: No such file"},
        {{"extract", "--group", "0", "@o.vpa", "@tree"}, 2, "", "vpa extract: --group 0: expected a processor group "},
        {{"inspect", "@o.vpa"}, 1, "", "vpa inspect: cannot open @o.vpa: No such file or directory\n"},
        {{"verify", "@o.vpa"}, 2, "", "vpa verify: needs --key FILE.pub and one package file (see 'vpa help verify')"},
        {{"sign", "@o.vpa"}, 2, "", "vpa sign: needs --key FILE.key and one package file (see 'vpa help sign')\n"},
        {{"keygen"}, 2, "", "vpa keygen: needs one OUTPREFIX (see 'vpa help keygen')\n"},
        {bundle + Args{"@tree"}, 1, "", "vpa bundle: @tree: not a regular file\n"},
        {bundle + Args{"@garbage.vpa"}, 1, "", "vpa bundle: @garbage.vpa: not a package file (no package magic)\n"},
        {bundle + Args{"@ab.vpa"}, 1, "", "vpa bundle: @ab.vpa: a bundle cannot be a member of another bundle\n"},
        {bundle + Args{"@a.vpa", "@a.vpa"}, 1, "", "vpa bundle: @a.vpa: the member a is already in the bundle"},
        {bundle + Args{"@a.vpa", "--name", "a"}, 1, "", "vpa bundle: @a.vpa: a member cannot have the bundle's name"},
        {bundle + Args{"@a.vpa", "--disabled-member", "x"}, 2, "", "vpa bundle: --disabled-member x: no member"},
    };
    for (const auto& row : rows) {
        expect(row.args, row.status, row.out, row.err); EXPECT_FALSE(std::filesystem::exists(at("@o.vpa"))) << row.err;
    }
}

TEST_F(VpaTest, KeygenSignAndVerify) {
    expect({"keygen", "@mine"}, 0, "wrote @mine.key (private: keep it secret) and @mine.pub\n");
    EXPECT_EQ(mode("@mine.key"), 0600u); EXPECT_EQ(mode("@mine.pub"), 0644u);
    expect({"keygen", "@mine"}, 1, "", "vpa keygen: @mine.key: exists; not overwriting a key\n");
    // Fresh constants each time, unless taken from another key file.
    ASSERT_EQ(vpa({"keygen", "--constants", "@mine.key", "@sib"}).exitStatus + vpa({"keygen", "@their"}).exitStatus, 0);
    const auto tail = [&](const char* file) { Args all = tokens(at(file)); return Args(all.begin() + 1, all.end()); };
    const Args mine = tokens(at("@mine.pub")); ASSERT_EQ(mine.size(), 73u); EXPECT_EQ(tail("@mine.key"), mine);
    EXPECT_EQ(tail("@sib.pub"), tail("@mine.pub")); EXPECT_NE(tokens(at("@sib.pub"))[0], mine[0]);
    EXPECT_NE(tail("@their.pub"), tail("@mine.pub"));

    const Args verify = {"verify", "--key", "@mine.pub"}, sign = {"sign", "--key", "@mine.key"};
    expect({"build", "--key", "@mine.key", "-o", "@t.vpa", "--name", "t", "--version", "6.1", "@tree/bin"}, 0);
    expect(verify + Args{"@t.vpa"}, 0, "t-6.1: good\n");
    expect(in + Args{"@tree/bin", "--key", "@mine.pub"}, 1, "", "vpa build: @mine.pub: a public key file; "
           "signing needs the private key file (.key)\n");
    // In place, or with -o leaving the input as it was; each signing draws its own nonce: other bytes, as good.
    expect({"build", "-o", "@u.vpa", "--name", "u", "--version", "1.0", "@tree/bin"}, 0);
    expect(sign + Args{"-o", "@again.vpa", "@u.vpa"}, 0); EXPECT_EQ(vpa(verify + Args{"@u.vpa"}).exitStatus, 1);
    expect(sign + Args{"@u.vpa"}, 0); EXPECT_NE(slurp(at("@again.vpa")), slurp(at("@u.vpa")));
    expect(verify + Args{"@u.vpa"}, 0, "u-1.0: good\n"); expect(verify + Args{"@again.vpa"}, 0, "u-1.0: good\n");
    PackageRecipe tooShort; tooShort.name = "short", tooShort.signatureSize = 60; put("s.vpa", buildPackage(tooShort));
    expect(sign + Args{"@s.vpa"}, 1, "", "vpa sign: the signature part at offset 64 holds 60 bytes, fewer than a "
           "signature's 68: rebuild the package\n");
    EXPECT_TRUE(has(vpa({"inspect", "@s.vpa"}).out, "  Signature (60 bytes):\n    too short: 60 of 68 bytes\n"));

    // A bundle's members are signed and judged each on its own; none is taken after a refused one.
    expect({"bundle", "-o", "@b.vpa", "--name", "b", "--version", "1.0", "--key", "@mine.key", "@t.vpa", "@u.vpa"}, 0);
    expect(verify + Args{"@b.vpa"}, 0, "t-6.1: good\nu-1.0: good\n"); std::string damaged = slurp(at("@b.vpa"));
    flipByte(damaged, findPart(damaged, PartFileArchive, 1)->dataOffset() + 10, 1); put("d.vpa", damaged);
    expect(verify + Args{"@d.vpa"}, 1, "t-6.1: good\n", "vpa verify: @d.vpa: u-1.0: part 9 (signature) at offset 300: "
           "its digest does not match the signed range (altered or damaged)\n");
    // Under another key, or altered: the same refusal.
    flipByte(damaged, findPart(damaged, PartSignature, 0)->dataOffset() + 23, 1); put("d.vpa", damaged);
    expect(verify + Args{"@d.vpa"}, 1, "", "vpa verify: @d.vpa: t-6.1: part 9 (signature) at offset 138: r and v do "
           "not hold under the key (signed with another key, or altered)\n");
}

// A malformed key file stops the build's key step, naming the file and the fault.
TEST_F(VpaTest, KeyMaterialScriptStopsOnAMalformedFile) {
    const std::string words = "(one public key, 64 round constants, 8 initial words)";
    const struct { std::string text, message; } rows[] = {
        {"", ": no such file"},
        {devTokens(72), ": 72 tokens, expected 73 " + words + "; initial word H[7] is missing"},
        {devTokens() + "# extra\n0\n", ", line 75: more than 73 tokens " + words + "; '0' is one too many"},
        {devTokens(70, "1234;678"), ", line 71: '1234;678' is not a hex token"},
        {"# private\n" + std::string(64, 'a') + "\n" + devTokens(),
         ", line 3: round constant K[0] '" + devTokens().substr(0, 64) + "' has 64 hex digits, expected 8 (a private"},
        {"# see [the notes; all of them]\n\n" + devTokens() + "\r\n# end\n", ""},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(at("@k.pub")); if (!row.text.empty()) put("k.pub", row.text);
        const ProcessRun done = keyScript("@k.pub"); const bool good = row.message.empty();
        EXPECT_EQ(done.exitStatus == 0, good) << done.err; EXPECT_EQ(std::filesystem::exists(at("@out.cpp")), good);
        EXPECT_TRUE(has(squeezed(done.err), squeezed(good ? "" : at("key file @k.pub") + row.message))) << done.err;
    }
}

// A key that is no key is refused by vpa wherever it reads a key file, and by the build's text check as far
// as that reaches (not the curve).
TEST_F(VpaTest, EveryReaderRefusesAKeyThatIsNoKey) {
    expect(in + Args{"@tree/bin"}, 0);
    for (const KeyRow& row : keyRows()) {
        SCOPED_TRACE(row.name); if (row.fault == KeyFault::None) continue;
        const std::string why = "line 2: the public key " + std::string(keyFaultText(row.fault)) +
                                "; make a new key with 'vpa keygen'"; put("no.pub", "\n" + devTokens(0, row.hex));
        expect({"verify", "--key", "@no.pub", "@o.vpa"}, 1, "", "vpa verify: @no.pub: " + why + "\n");
        expect({"keygen", "--constants", "@no.pub", "@new"}, 1, "", "vpa keygen: @no.pub: " + why + "\n");
        const std::string err = squeezed(keyScript("@no.pub").err);
        EXPECT_EQ(has(err, at("key file @no.pub, ") + why), row.fault != KeyFault::NotOnCurve) << err;
    }
}

// The generated code is the authority: the compiler accepts the development key and refuses a key that is
// no key, also those the text check stops first.
TEST_F(VpaTest, CompilerRefusesGeneratedKeyMaterialThatIsNoKey) {
    const Args compile = {CXX_COMPILER, "-std=c++20", "-fsyntax-only", "-I" + sourceRoot + "/src", "@out.cpp"};
    put("key.pub", "# key\n" + devTokens()); ASSERT_EQ(keyScript("@key.pub").exitStatus, 0);
    ProcessRun done = run(compile); EXPECT_EQ(done.exitStatus, 0) << done.err;
    const auto good = slurp(at("@out.cpp")); const auto start = good.find('{', good.find("BuiltInPublicKey")) + 1;
    for (const KeyRow& row : keyRows()) {
        if (!std::set{KeyFault::Zero, KeyFault::OrderEight, KeyFault::NotOnCurve}.count(row.fault)) continue;
        std::string bytes; for (std::size_t i = 0; i < 64; i += 2) bytes += "0x" + row.hex.substr(i, 2) + ",";
        put("out.cpp", std::string(good).replace(start, good.find('}', start) - start, bytes)); done = run(compile);
        EXPECT_PRED2(has, done.err, at("key file @key.pub, line 2: the public key ") + keyFaultText(row.fault));
    }
}

}  // namespace
}  // namespace velmora
