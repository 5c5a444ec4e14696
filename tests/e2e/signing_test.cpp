// Signing keys end to end: `vpa keygen`, signing with build/bundle/sign
// --key, `vpa verify`, the installer's own check of what the development
// key signed, and the build's refusal of a malformed key file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "package/key_check.h"
#include "package/package_format.h"
#include "package/package_hash.h"
#include "package_builder.h"
#include "support/dev_key.h"
#include "support/no_keys.h"
#include "support/process_run.h"
#include "support/sandbox.h"

namespace velmora {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// CMake wraps its messages; compare them with every run of blanks as one space.
std::string squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t';
        if (!blank) {
            out += c;
        } else if (!out.empty() && out.back() != ' ') {
            out += ' ';
        }
    }
    return out;
}

// Tokens of a key file outside comments.
std::vector<std::string> keyTokens(const std::string& path) {
    std::istringstream lines(readFile(path));
    std::vector<std::string> tokens;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        while (words >> word) tokens.push_back(word);
    }
    return tokens;
}

unsigned permissions(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class SigningTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vpa-signing-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    void writeFile(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path(name)).parent_path());
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    ProcessRun vpa(std::vector<std::string> args) const {
        args.insert(args.begin(), VPA_BINARY);
        return runProcess(args, dir);
    }

    // A key pair PREFIX.key / PREFIX.pub with the development constants.
    void makeKey(const std::string& prefix) const {
        ProcessRun run = vpa({"keygen", "--constants", DEV_PUB_FILE, path(prefix)});
        ASSERT_EQ(run.exitStatus, 0) << run.err;
    }

    void makeTree() const {
        writeFile("tree/bin/tool", std::string(4000, 't'));
        writeFile("tree/etc/tool.conf", "level=3\n");
    }

    ProcessRun build(const std::string& out, const std::string& name, const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args = {"build", "-o", path(out), "--name", name, "--version", "6.1",
                                         "--build-time", "1700000000"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path("tree"));
        return vpa(args);
    }

    std::string dir;
};

TEST_F(SigningTest, KeygenWritesAKeyPairThatTheBuildAccepts) {
    ProcessRun run = vpa({"keygen", path("release")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(permissions(path("release.key")), 0600u);
    EXPECT_EQ(permissions(path("release.pub")), 0644u);
    const std::vector<std::string> publicTokens = keyTokens(path("release.pub"));
    const std::vector<std::string> privateTokens = keyTokens(path("release.key"));
    ASSERT_EQ(publicTokens.size(), 73u);
    ASSERT_EQ(privateTokens.size(), 74u);
    EXPECT_EQ(std::vector<std::string>(privateTokens.begin() + 1, privateTokens.end()), publicTokens);

    // The build's own reader takes the public half and fixes it into code.
    ProcessRun configure = runProcess({CMAKE_COMMAND, "-DKEY_FILE=" + path("release.pub"),
                                       "-DOUTPUT=" + path("key_material.cpp"), "-P", KEY_MATERIAL_SCRIPT},
                                      dir);
    ASSERT_EQ(configure.exitStatus, 0) << configure.err;
    const std::string code = readFile(path("key_material.cpp"));
    const std::string& key = publicTokens[0];
    EXPECT_TRUE(contains(code, "0x" + key.substr(0, 2) + ", 0x" + key.substr(2, 2) + ",")) << code;
    EXPECT_TRUE(contains(code, "0x" + publicTokens[1] + "u,")) << code;
    EXPECT_TRUE(contains(code, "0x" + publicTokens[72] + "u,")) << code;

    // A key is never overwritten.
    run = vpa({"keygen", path("release")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vpa keygen: " + path("release.key") + ": exists; not overwriting a key\n");

    // Fresh constants each time, unless taken from another key file.
    ASSERT_EQ(vpa({"keygen", path("second")}).exitStatus, 0);
    ASSERT_EQ(vpa({"keygen", "--constants", path("release.key"), path("sibling")}).exitStatus, 0);
    const std::vector<std::string> second = keyTokens(path("second.pub"));
    const std::vector<std::string> sibling = keyTokens(path("sibling.pub"));
    EXPECT_NE(std::vector<std::string>(second.begin() + 1, second.end()),
              std::vector<std::string>(publicTokens.begin() + 1, publicTokens.end()));
    EXPECT_EQ(std::vector<std::string>(sibling.begin() + 1, sibling.end()),
              std::vector<std::string>(publicTokens.begin() + 1, publicTokens.end()));
    EXPECT_NE(sibling[0], publicTokens[0]);
}

TEST_F(SigningTest, BuildWithKeyVerifiesUnderThatKeyOnly) {
    makeKey("mine");
    makeKey("theirs");
    makeTree();
    ProcessRun run = build("tool.vpa", "tool", {"--key", path("mine.key")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    run = vpa({"verify", "--key", path("mine.pub"), path("tool.vpa")});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "tool-6.1: good\n");
    EXPECT_EQ(run.err, "");

    run = vpa({"verify", "--key", path("theirs.pub"), path("tool.vpa")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "vpa verify: " + path("tool.vpa") +
                           ": tool-6.1: part 9 (signature) at offset 138: r and v do not hold under the key (signed "
                           "with another key, or altered)\n");

    // Each signing draws its own nonce: other bytes, as good a signature.
    ASSERT_EQ(build("again.vpa", "tool", {"--key", path("mine.key")}).exitStatus, 0);
    EXPECT_NE(readFile(path("again.vpa")), readFile(path("tool.vpa")));
    EXPECT_EQ(vpa({"verify", "--key", path("mine.pub"), path("again.vpa")}).exitStatus, 0);

    // Signing needs the private half.
    run = build("bad.vpa", "tool", {"--key", path("mine.pub")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vpa build: " + path("mine.pub") + ": a public key file; signing needs the private key file (.key)\n");
    EXPECT_FALSE(std::filesystem::exists(path("bad.vpa")));
}

TEST_F(SigningTest, SignCommandSignsAnUnsignedPackage) {
    makeKey("mine");
    makeTree();
    ASSERT_EQ(build("tool.vpa", "tool").exitStatus, 0);
    ProcessRun run = vpa({"verify", "--key", path("mine.pub"), path("tool.vpa")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(contains(run.err, "not signed (r and v are zero); sign it with 'vpa sign'")) << run.err;

    run = vpa({"sign", "--key", path("mine.key"), "-o", path("signed.vpa"), path("tool.vpa")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(vpa({"verify", "--key", path("mine.pub"), path("signed.vpa")}).exitStatus, 0);
    EXPECT_EQ(vpa({"verify", "--key", path("mine.pub"), path("tool.vpa")}).exitStatus, 1) << "-o leaves the input";

    ASSERT_EQ(vpa({"sign", "--key", path("mine.key"), path("tool.vpa")}).exitStatus, 0);
    EXPECT_EQ(vpa({"verify", "--key", path("mine.pub"), path("tool.vpa")}).exitStatus, 0);

    // No partial signature: a signature part too short for one is refused.
    PackageRecipe recipe;
    recipe.name = "short";
    recipe.signatureSize = 60;
    writeFile("short.vpa", buildPackage(recipe));
    run = vpa({"sign", "--key", path("mine.key"), path("short.vpa")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vpa sign: the signature part at offset 64 holds 60 bytes, fewer than a signature's 68: "
                       "rebuild the package\n");
}

TEST_F(SigningTest, VerifyNamesTheFailingMemberOfABundleAndTheCheck) {
    makeKey("mine");
    makeTree();
    ASSERT_EQ(build("stavel.vpa", "stavel").exitStatus, 0);
    ASSERT_EQ(build("other.vpa", "other").exitStatus, 0);
    ProcessRun run = vpa({"bundle", "-o", path("suite.vpa"), "--name", "suite", "--version", "6.1", "--key",
                          path("mine.key"), path("stavel.vpa"), path("other.vpa")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    run = vpa({"verify", "--key", path("mine.pub"), path("suite.vpa")});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "stavel-6.1: good\nother-6.1: good\n");

    const std::string bundle = readFile(path("suite.vpa"));
    const struct {
        const char* name;
        std::uint16_t type;
        std::size_t member;
        std::size_t offset;  // into the part's data
        const char* out;
        const char* err;
    } cases[] = {
        // The installer takes no member after one whose signature fails.
        {"archive byte of the second member", PartFileArchive, 1, 10, "stavel-6.1: good\n",
         "other-6.1: part 9 (signature) at offset 384: its digest does not match the signed range"},
        {"r of the first member", PartSignature, 0, 20 + 3, "",
         "stavel-6.1: part 9 (signature) at offset 180: r and v do not hold"},
        {"v of the second member", PartSignature, 1, 36 + 30, "stavel-6.1: good\n", "other-6.1: part 9 (signature) at offset 384: r and v do not hold"},
        {"digest of the first member", PartSignature, 0, 0, "", "stavel-6.1: part 9 (signature) at offset 180: its digest does not match"},
    };
    for (const auto& c : cases) {
        std::string damaged = bundle;
        auto part = findPart(damaged, c.type, c.member);
        ASSERT_TRUE(part) << c.name;
        flipByte(damaged, part->dataOffset() + c.offset, 0x01);
        writeFile("damaged.vpa", damaged);
        run = vpa({"verify", "--key", path("mine.pub"), path("damaged.vpa")});
        EXPECT_EQ(run.exitStatus, 1) << c.name;
        EXPECT_EQ(run.out, c.out) << c.name;
        EXPECT_TRUE(contains(run.err, "vpa verify: " + path("damaged.vpa") + ": " + c.err)) << c.name << "\n"
                                                                                             << run.err;
    }

    // A member without a signature part is named too.
    std::string unsignedMember = bundle;
    auto lastSignature = findPart(unsignedMember, PartSignature, 1);
    unsignedMember.erase(lastSignature->offset);
    fixFileLength(unsignedMember);
    writeFile("cut.vpa", unsignedMember);
    run = vpa({"verify", "--key", path("mine.pub"), path("cut.vpa")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "vpa verify: " + path("cut.vpa") + ": other-6.1: no signature part: the file ends where it is due\n");
}

// The installer built with development.pub accepts what development.key
// signed through the tool, and nothing signed by another key.
class InstallerKeyTest : public SigningTest {
protected:
    void SetUp() override {
        if (auto reason = sandboxUnavailableReason()) GTEST_SKIP() << *reason;
        SigningTest::SetUp();
    }
};

TEST_F(InstallerKeyTest, AcceptsTheDevelopmentKeyOnly) {
    makeKey("stranger");
    makeTree();
    ASSERT_EQ(build("dev.vpa", "tool", {"--key", DEV_KEY_FILE}).exitStatus, 0);
    ASSERT_EQ(build("stranger.vpa", "tool", {"--key", path("stranger.key")}).exitStatus, 0);

    SandboxRoot accepted;
    ASSERT_FALSE(accepted.path().empty());
    RunResult run = accepted.runInstaller({"-r", accepted.path(), "-"}, readFile(path("dev.vpa")));
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(accepted.readFile("flash/etc/tool.conf").value_or(""), "level=3\n");

    SandboxRoot refused;
    ASSERT_FALSE(refused.path().empty());
    run = refused.runInstaller({"-r", refused.path(), "-"}, readFile(path("stranger.vpa")));
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.out, "ERROR: installation of tool-6.1 failed: broken package")) << run.out;
    EXPECT_FALSE(refused.exists("flash/etc/tool.conf"));
}

// Malformed key files stop the build's key step with a message naming the
// file and the fault.
struct MalformedKeyFile {
    const char* name;
    std::string text;
    std::string message;  // after "key file PATH"
};

std::string developmentTokens() {
    std::string text;
    for (const std::string& token : keyTokens(DEV_PUB_FILE)) text += token + "\n";
    return text;
}

// The development key's tokens, one to a line, with token index replaced.
std::string withToken(std::size_t index, const std::string& replacement) {
    std::vector<std::string> tokens = keyTokens(DEV_PUB_FILE);
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) text += (i == index ? replacement : tokens[i]) + "\n";
    return text;
}

class KeyMaterialScriptTest : public SigningTest, public ::testing::WithParamInterface<MalformedKeyFile> {};

TEST_P(KeyMaterialScriptTest, StopsWithTheFault) {
    const std::string keyFile = path("bad.pub");
    if (std::string(GetParam().name) != "Missing") writeFile("bad.pub", GetParam().text);
    ProcessRun run = runProcess(
        {CMAKE_COMMAND, "-DKEY_FILE=" + keyFile, "-DOUTPUT=" + path("out.cpp"), "-P", KEY_MATERIAL_SCRIPT}, dir);
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(squeezed(run.err), squeezed("key file " + keyFile + GetParam().message))) << run.err;
    EXPECT_FALSE(std::filesystem::exists(path("out.cpp")));
}

INSTANTIATE_TEST_SUITE_P(
    Files, KeyMaterialScriptTest,
    ::testing::Values(
        MalformedKeyFile{"Missing", "", ": no such file"},
        MalformedKeyFile{"Empty", "# only a comment\n",
                         ": 0 tokens, expected 73 (one public key, 64 round constants, 8 initial words); the "
                         "public key is missing"},
        MalformedKeyFile{"OneWordShort", withToken(72, ""), ": 72 tokens, expected 73 (one public key, 64 round "
                                                            "constants, 8 initial words); initial word H[7] is missing"},
        MalformedKeyFile{"OneWordTooMany", developmentTokens() + "# extra\n00000000\n",
                         ", line 75: more than 73 tokens (one public key, 64 round constants, 8 initial words); "
                         "'00000000' is one too many"},
        MalformedKeyFile{"ShortWord", withToken(4, "1234567"),
                         ", line 5: round constant K[3] '1234567' has 7 hex digits, expected 8"},
        MalformedKeyFile{"ShortPublicKey", withToken(0, "09"),
                         ", line 1: the public key '09' has 2 hex digits, expected 64"},
        MalformedKeyFile{"NotHex", withToken(66, "ghijklmn"), ", line 67: 'ghijklmn' is not a hex token"},
        MalformedKeyFile{"Semicolon", withToken(70, "1234;678"), ", line 71: '1234;678' is not a hex token"},
        MalformedKeyFile{"HexPrefix", withToken(9, "0x12345678"), ", line 10: '0x12345678' is not a hex token"},
        MalformedKeyFile{"PrivateKeyFile", "# private\n" + std::string(64, 'a') + "\n" + developmentTokens(),
                         ", line 3: round constant K[0]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SigningTest, KeyMaterialScriptTakesCommentsBracketsAndBlankLines) {
    writeFile("good.pub", "# see [the notes; all of them]\n\n" + developmentTokens() + "\r\n# end\n");
    ProcessRun run = runProcess({CMAKE_COMMAND, "-DKEY_FILE=" + path("good.pub"), "-P", KEY_MATERIAL_SCRIPT}, dir);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "well-formed")) << run.out;
}

std::string refusal(KeyFault fault) {
    return std::string("the public key ") + keyFaultText(fault) + "; make a new key with 'vpa keygen'";
}

// A key that is no key is refused by vpa wherever it reads a key file, and
// by the build's text check as far as that reaches (not the curve).
TEST_F(SigningTest, EveryReaderRefusesAKeyThatIsNoKey) {
    // An unsigned package with the r that a zero key accepts with any v but 0.
    makeTree();
    ASSERT_EQ(build("forged.vpa", "tool").exitStatus, 0);
    std::string forged = readFile(path("forged.vpa"));
    char r[32];
    packageHash(std::array<std::uint8_t, 32>{}.data(), 32, reinterpret_cast<std::uint8_t*>(r),
                developmentPublicKey().constants);
    forged.replace(findPart(forged, PartSignature)->dataOffset() + 20, 48, std::string(r, 16) + std::string(32, 'v'));
    writeFile("forged.vpa", forged);
    const std::string keyFile = path("no.pub");
    for (const KeyRow& row : keyRows()) {
        if (row.fault == KeyFault::None) continue;
        writeFile("no.pub", "# no key\n" + withToken(0, row.hex));
        const std::string where = keyFile + ": line 2: " + refusal(row.fault) + "\n";
        EXPECT_EQ(vpa({"verify", "--key", keyFile, path("forged.vpa")}).err, "vpa verify: " + where) << row.name;
        EXPECT_EQ(vpa({"keygen", "--constants", keyFile, path("new")}).err, "vpa keygen: " + where) << row.name;
        const ProcessRun run = runProcess({CMAKE_COMMAND, "-DKEY_FILE=" + keyFile, "-P", KEY_MATERIAL_SCRIPT}, dir);
        EXPECT_EQ(contains(squeezed(run.err), "key file " + keyFile + ", line 2: " + refusal(row.fault)),
                  row.fault != KeyFault::NotOnCurve)
            << row.name << run.err;
    }
}

// The generated code is the authority: the compiler accepts the development
// key and refuses a key that is no key, also those the text check stops first.
TEST_F(SigningTest, CompilerRefusesGeneratedKeyMaterialThatIsNoKey) {
    const std::string script = KEY_MATERIAL_SCRIPT;
    const std::string include = "-I" + script.substr(0, script.rfind("/cmake/")) + "/src";
    const std::vector<std::string> compile = {CXX_COMPILER, "-std=c++20", "-fsyntax-only", include, path("key.cpp")};
    writeFile("key.pub", "# key\n" + developmentTokens());
    ProcessRun run = runProcess(
        {CMAKE_COMMAND, "-DKEY_FILE=" + path("key.pub"), "-DOUTPUT=" + path("key.cpp"), "-P", script}, dir);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    run = runProcess(compile, dir);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::string good = readFile(path("key.cpp"));
    const std::size_t start = good.find('{', good.find("BuiltInPublicKey")) + 1;
    for (const KeyRow& row : keyRows()) {
        const KeyFault fault = row.fault;
        if (fault != KeyFault::Zero && fault != KeyFault::OrderEight && fault != KeyFault::NotOnCurve) continue;
        std::string bytes;
        for (std::size_t at = 0; at < 64; at += 2) bytes += "0x" + row.hex.substr(at, 2) + ",";
        writeFile("key.cpp", std::string(good).replace(start, good.find('}', start) - start, bytes));
        run = runProcess(compile, dir);
        EXPECT_TRUE(contains(run.err, "key file " + path("key.pub") + ", line 2: " + refusal(fault))) << run.err;
    }
}

// The real configure step refuses a malformed INSTALLER_KEY_FILE.
TEST_F(SigningTest, ConfigureStopsOnAMalformedKeyFile) {
    writeFile("bad.pub", withToken(3, "123"));
    std::string source = KEY_MATERIAL_SCRIPT;
    source = source.substr(0, source.rfind("/cmake/"));
    ProcessRun run = runProcess({CMAKE_COMMAND, "-S", source, "-B", path("build"), "-DINSTALLER_TESTS=OFF",
                                 "-DINSTALLER_KEY_FILE=" + path("bad.pub")},
                                dir);
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_TRUE(contains(squeezed(run.err), squeezed("key file " + path("bad.pub") +
                                                     ", line 4: round constant K[2] '123' has 3 hex digits, "
                                                     "expected 8")))
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(path("build/generated/key_material.cpp")));
}

}  // namespace
}  // namespace velmora
