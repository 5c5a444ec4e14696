// Runs every scenario file of tests/e2e/scenarios: packages and a tree laid
// out, the installer run, its output and the tree after compared. The verbs
// are listed in scenarios/README.txt; an unknown verb fails the scenario.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

using Words = std::vector<std::string>;

std::string unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) { out += s[i]; continue; }
        char c = s[++i];
        if (c == 'n') out += '\n';
        else if (c == 'b') out += '\b';
        else if (c == 's') out += ' ';
        else if (c == 'x') out += char(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)), i += 2;
        else if (c == '{') {  // \{N}c: c repeated N times
            std::size_t end = s.find('}', i);
            out.append(std::stoul(std::string(s.substr(i + 1, end - i - 1))), s[end + 1]), i = end + 1;
        } else out += '\\', out += c;  // left for the regular expressions
    }
    return out;
}

Words split(const std::string& text, char by) {
    Words out(1);
    for (char c : text) c == by ? out.emplace_back().size() : (out.back() += c).size();
    return out;
}

struct Scenario {
    std::unique_ptr<SandboxRoot> box = std::make_unique<SandboxRoot>();
    std::map<std::string, std::string> images;
    EnvOverrides env;
    std::string stdinData;
    TreeSnapshot before;
    RunResult run;
    bool ran = false, errChecked = false, statusChecked = false, stagedAllowed = false;

    std::string text(const std::string& raw) {
        if (raw.size() > 1 && raw[0] == '@') { EXPECT_TRUE(images.count(raw.substr(1))) << raw; }
        return raw.size() > 1 && raw[0] == '@' ? images[raw.substr(1)] : unescape(raw);
    }

    // package ID NAME VERSION FIELD...: the recipe's fields, then damage to the built image.
    void package(const Words& w) {
        PackageRecipe r = packageRecipe(w[2] == "\"\"" ? "" : w[2], w[3]);
        BundleRecipe bundle;
        const SigningKey* key = &developmentKey();
        auto dependency = [](const std::string& v) {  // NAME[:MIN[:MAX]]
            Words f = split(v, ':');
            return Dependency{f[0], f.size() > 1 ? ver(f[1]) : 0, f.size() > 2 ? ver(f[2]) : 0, 0};
        };
        for (std::size_t i = 4; i < w.size(); ++i) {
            std::string k = w[i].substr(0, w[i].find('=')), v = unescape(w[i].substr(k.size() + (k != w[i])));
            Words f = split(v, ':');
            if (k == "file") r.files.push_back(regularFile(f[0], f.size() > 1 ? f[1] : "",
                                                           f.size() > 2 ? std::stoi(f[2], nullptr, 8) : 0644));
            else if (k == "dir") r.files.push_back(directoryEntry(v));
            else if (k == "link") r.files.push_back(symlinkEntry(f[0], f[1]));
            else if (k == "dep") r.deps.push_back(dependency(v));
            else if (k == "provides") r.provides.push_back(dependency(v));
            else if (k == "conflicts") r.conflicts.push_back(dependency(v));
            else if (k == "keep") r.keepImage = true, r.keepImageData = v;
            else if (k == "boot") r.flags = FlagBootImage;
            else if (k == "overlay") r.overlay = true;
            else if (k == "arch") r.arch = v;
            else if (k == "note") r.note = v;
            else if (k == "built") r.buildTime = std::stoul(v);
            else if (k == "sigsize") r.signatureSize = std::stoul(v);
            else if (k == "part") r.extraParts.push_back(ExtraPart{std::uint16_t(std::stoi(v)), "kkkkkkkk"});
            else if (k == "key") key = v == "none" ? nullptr : &strangerKey();
            else if (k == "member") bundle.members.push_back(text("@" + v));
            else if (k == "off") bundle.disabledMembers.push_back(v);
            else if (k != "flip" && k != "cut" && k != "rmpart" && k != "append" && k != "magic" && k != "size")
                ADD_FAILURE() << "unknown field " << w[i];
        }
        bundle.bundle = r;
        std::string image = bundle.members.empty() ? buildPackage(r, key) : buildBundle(bundle);
        for (std::size_t i = 4; i < w.size(); ++i) {
            std::string k = w[i].substr(0, w[i].find('='));
            Words f = split(w[i].substr(k.size() + 1 > w[i].size() ? w[i].size() : k.size() + 1), ':');
            std::optional<PartLocation> part = findPart(image, f[0] == "" ? 0 : std::atoi(f[0].c_str()));
            // flip and cut: TYPE:OFFSET into the part's data, a negative one from its end
            long offset = k == "flip" || k == "cut" ? std::stol(f[1]) : 0;
            std::size_t at = part ? part->dataOffset() + (offset < 0 ? part->size + offset : offset) : 0;
            if (k == "flip") flipByte(image, at, f.size() > 2 ? std::stoi(f[2], nullptr, 16) : 0xFF);
            else if (k == "cut") cutImage(image, at);
            else if (k == "rmpart") removePart(image, std::stoi(f[0]));
            else if (k == "append") image += unescape(f[0]);
            else if (k == "magic") setMagic(image, std::stoul(f[0]));
            else if (k == "size") setPartSize(image, std::stoi(f[0]), std::stoul(f[1]));
        }
        images[w[1]] = image;
    }

    // The end of the checks of a run: its status (0 unless said) and no error output unless said.
    void settle() {
        if (!ran) return;
        if (!statusChecked) { EXPECT_EQ(run.exitStatus, 0) << run.out << run.err; }
        if (!errChecked) { EXPECT_EQ(run.err, "") << run.out; }
        ran = statusChecked = errChecked = false;
    }

    // Every run ends by itself and leaves no staged file that no pending manifest names.
    void start(Words args, RunMode mode = RunMode::Normal) {
        settle();
        before = box->snapshot();
        // "@root" at the start of an argument stands for the sandbox's path.
        for (std::string& a : args) a = a == "\"\"" ? "" : a.starts_with("@root") ? box->path() + a.substr(5) : a;
        run = box->runInstaller(args, stdinData, mode, env);
        stdinData.clear();
        ran = true;
        EXPECT_EQ(run.signal, 0);
        std::string manifest = box->readFile("ram/MANIFEST").value_or("");
        for (const std::string& path : temporaryFiles(box->snapshot())) {
            if (!stagedAllowed) { EXPECT_NE(manifest.find(" /" + path), std::string::npos) << "left behind: " << path; }
        }
    }

    void expectText(const std::string& verb, const std::string& actual, const std::string& expected) {
        if (verb.back() == '~') EXPECT_NE(actual.find(expected), std::string::npos) << actual;
        else if (verb.back() == '/') EXPECT_TRUE(std::regex_match(actual, std::regex(expected))) << actual;
        else EXPECT_EQ(actual, expected);
    }

    // One line; `rest` is the text after the verb's fixed words.
    void step(const Words& w, const std::string& line) {
        const std::string& v = w[0];
        auto rest = [&](std::size_t words) {  // the text after that many words and one space
            std::size_t at = 0;
            for (std::size_t i = 0; i < words; ++i) at = line.find(' ', line.find_first_not_of(' ', at));
            return at >= line.size() ? std::string() : text(line.substr(at + 1));
        };
        Words root{"-r", "@root"};
        root.insert(root.end(), w.begin() + (v == "stream" ? 2 : 1), w.end());
        auto is = [&](const std::string& base) { return v == base || v == base + "~" || v == base + "/"; };
        if (v == "package") package(w);
        else if (v == "blob") images[w[1]] = rest(2);
        else if (v == "layout") {  // a fresh root: nopdb, noboot, ramdev
            auto has = [&](const char* word) { return std::find(w.begin(), w.end(), word) != w.end(); };
            box = std::make_unique<SandboxRoot>(SandboxLayout{!has("nopdb"), !has("noboot"), has("ramdev")});
        } else if (v == "write") EXPECT_TRUE(box->writeFile(w[1], rest(2)));
        else if (v == "writemode") EXPECT_TRUE(box->writeFile(w[1], rest(3), std::stoi(w[2], nullptr, 8)));
        else if (v == "mkdir") EXPECT_TRUE(box->makeDirs(w[1]));
        else if (v == "symlink") std::filesystem::create_symlink(w[2], box->hostPath(w[1]));
        else if (v == "remove") for (std::size_t i = 1; i < w.size(); ++i) box->removeAll(w[i]);
        else if (v == "cutfile") {  // cutfile PATH N: keep N bytes, or all but -N
            std::string data = box->readFile(w[1]).value_or("");
            EXPECT_TRUE(box->writeFile(w[1], data.substr(0, std::stol(w[2]) + (w[2][0] == '-' ? data.size() : 0))));
        } else if (v == "insert" || v == "head") {  // insert PATH LINE TEXT (0: first); head PATH LINES
            std::string data = box->readFile(w[1]).value_or("");
            std::size_t at = 0;
            for (int i = std::stoi(w[2]); i > 0 && at < data.size(); --i) at = data.find('\n', at) + 1;
            at = std::min(at, data.size());
            EXPECT_TRUE(box->writeFile(w[1], v == "head" ? data.substr(0, at) : data.insert(at, rest(3))));
        } else if (v == "env") env[w[1].substr(0, w[1].find('='))] = w[1].substr(w[1].find('=') + 1);
        else if (v == "stdin") stdinData = rest(1);
        else if (v == "run") start(root);
        else if (v == "stream") root.push_back("-"), stdinData = text("@" + w[1]), start(root);
        else if (v == "exec") start(Words(w.begin() + 1, w.end()));
        else if (v == "chroot") start(Words(w.begin() + 1, w.end()), RunMode::Chrooted);
        else if (v == "staged") stagedAllowed = true;  // the runs may leave staged files behind
        else if (v == "status") { EXPECT_EQ(run.exitStatus, std::stoi(w[1])) << run.err; statusChecked = true; }
        else if (is("out")) expectText(v, run.out, rest(1));
        else if (is("err")) expectText(v, run.err, rest(1)), errChecked = true;
        else if (v == "postlog") EXPECT_EQ(box->readFile("flash/postlog").value_or(""), rest(1));
        else if (is("file")) expectText(v, box->readFile(w[1]).value_or("<missing>"), rest(2));
        else if (v == "mode") EXPECT_EQ(box->snapshot()[w[1]].mode, unsigned(std::stoi(w[2], nullptr, 8))) << w[1];
        else if (v == "link") EXPECT_EQ(box->snapshot()[w[1]].type + box->snapshot()[w[1]].digest, "l" + w[2]) << w[1];
        else if (v == "absent" || v == "exists") {
            for (std::size_t i = 1; i < w.size(); ++i) EXPECT_EQ(box->exists(w[i]), v == "exists") << w[i];
        } else if (v == "unchanged") {  // since the last run began; `except` names path prefixes
            TreeSnapshot after = box->snapshot(), was = before;
            for (TreeSnapshot* tree : {&after, &was}) {
                std::erase_if(*tree, [&](const auto& e) {
                    auto under = [&](const std::string& p) { return e.first.rfind(p, 0) == 0; };
                    return isTemporaryName(e.first) || std::any_of(w.begin() + std::min(w.size(), 2ul), w.end(), under);
                });
            }
            EXPECT_EQ(describeChanges(was, after), "");
        } else if (v == "verify") {  // verify ID [TEXT]: vpa verify finds fault TEXT in the image, or none
            const std::string file = box->hostPath("v.vpa"), expected = rest(2);
            ASSERT_TRUE(box->writeFile("v.vpa", text("@" + w[1])));
            ProcessRun check = runProcess({VPA_BINARY, "verify", "--key", DEV_PUB_FILE, file}, box->hostPath(""));
            EXPECT_EQ(check.exitStatus, expected.empty() ? 0 : 1) << check.err;
            if (!expected.empty()) { EXPECT_NE(check.err.find("vpa verify: " + file + ": "), std::string::npos); }
            EXPECT_NE(check.err.find(expected), std::string::npos) << check.err;
            box->removeAll("v.vpa");
        } else ADD_FAILURE() << "unknown verb: " << line;
    }
};

std::set<std::string> scenarioFiles() {
    std::set<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(SCENARIO_DIR)) {
        if (file.path().extension() == ".txt") names.insert(file.path().stem().string());
    }
    return names;
}

class Scenarios : public SandboxTest, public ::testing::WithParamInterface<std::string> {};

// Statements (lines, or parts of a line split by " ; ") before the first
// `case` are replayed at the start of every case, each in a fresh root.
// `let NAME TEXT` (a whole line) makes later "$NAME" stand for TEXT.
TEST_P(Scenarios, Run) {
    std::ifstream in(std::string(SCENARIO_DIR) + "/" + GetParam() + ".txt");
    std::vector<std::string> prelude, lines;
    std::map<std::string, std::string> lets;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (auto let = lets.rbegin(); let != lets.rend(); ++let) {  // longer names first
            const auto& [name, value] = *let;
            for (std::size_t i; (i = line.find("$" + name)) != line.npos;) line.replace(i, name.size() + 1, value);
        }
        std::size_t end = line.find(' ', 4);
        if (line.rfind("let ", 0) == 0) lets[line.substr(4, end - 4)] = line.substr(end + 1);
        else for (std::size_t at; (at = line.find(" ; ")) != std::string::npos || !line.empty();) {
            const std::string statement = line.substr(0, at);
            line = at == std::string::npos ? "" : line.substr(at + 3);
            (lines.empty() && statement.rfind("case ", 0) != 0 ? prelude : lines).push_back(statement);
        }
    }
    if (lines.empty()) std::swap(prelude, lines), lines.insert(lines.begin(), "case all");
    std::unique_ptr<Scenario> s;
    std::string current;
    auto step = [&](const std::string& line) {
        Words w = split(line, ' ');
        SCOPED_TRACE(current + ": " + line);
        s->step((std::erase(w, ""), w), line);
    };
    for (const std::string& line : lines) {
        if (line.rfind("case ", 0) != 0) { step(line); continue; }
        if (s) s->settle();
        s = std::make_unique<Scenario>();
        current = line;
        for (const std::string& p : prelude) step(p);
    }
    SCOPED_TRACE(current);
    s->settle();
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, ::testing::ValuesIn(scenarioFiles()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace velmora
