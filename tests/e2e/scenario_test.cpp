// Runs every scenario file of tests/e2e/scenarios: packages and a tree laid
// out, the installer run, its output and the tree after compared. The verbs
// are listed in scenarios/README.txt; an unknown verb fails the scenario.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "e2e/e2e_common.h"
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
        } else if (c == '\\') out += '\\';
        else out += '\\', out += c;  // left for the regular expressions
    }
    return out;
}

Words split(const std::string& text, char by) {
    Words out;
    std::string word;
    std::istringstream in(text);
    while (std::getline(in, word, by)) out.push_back(word);
    return out;
}

struct Scenario {
    std::unique_ptr<SandboxRoot> box = std::make_unique<SandboxRoot>();
    std::map<std::string, std::string> images;
    EnvOverrides env;
    std::string stdinData;
    TreeSnapshot before;
    RunResult run;
    bool ran = false, marked = false, errChecked = false, statusChecked = false, stagedAllowed = false;

    std::string text(const std::string& raw) {
        if (raw.size() > 1 && raw[0] == '@') {
            if (!images.count(raw.substr(1))) ADD_FAILURE() << "no package " << raw;
            return images[raw.substr(1)];
        }
        return unescape(raw);
    }

    Dependency dependency(const std::string& value) {
        Words f = split(value, ':');
        return Dependency{f[0], f.size() > 1 ? ver(f[1]) : 0, f.size() > 2 ? ver(f[2]) : 0, 0};
    }

    // package ID NAME VERSION FIELD...: the recipe's fields, then damage to the built image.
    void package(const Words& w) {
        PackageRecipe r = packageRecipe(w[2] == "\"\"" ? "" : w[2], w[3]);
        BundleRecipe bundle;
        const SigningKey* key = &developmentKey();
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
            std::optional<PartLocation> part;
            std::size_t at = 0;
            if (k == "flip" || k == "cut") {  // TYPE:OFFSET into its data, a negative one from its end
                part = findPart(image, std::stoi(f[0]));
                if (!part) { ADD_FAILURE() << "no part in " << w[i]; continue; }
                long offset = std::stol(f[1]);
                at = part->dataOffset() + (offset < 0 ? part->size + offset : offset);
            }
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
        if (!marked) before = box->snapshot();
        for (std::string& a : args) a = a == "\"\"" ? "" : a;
        run = box->runInstaller(withRoot(args, *box), stdinData, mode, env);
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
        auto root = [&](std::size_t from, Words front, Words back) {
            Words args{"-r", "@root"};
            args.insert(args.end(), front.begin(), front.end());
            args.insert(args.end(), w.begin() + from, w.end());
            args.insert(args.end(), back.begin(), back.end());
            return args;
        };
        auto is = [&](const std::string& base) { return v == base || v == base + "~" || v == base + "/"; };
        if (v == "package") package(w);
        else if (v == "blob") images[w[1]] = rest(2);
        else if (v == "layout") {
            SandboxLayout layout;
            for (std::size_t i = 1; i < w.size(); ++i) {
                if (w[i] == "noboot") layout.bootDir = false;
                else if (w[i] == "nopdb") layout.packageDatabase = false;
                else if (w[i] == "ramdev") layout.ramOnOtherDevice = true;
                else ADD_FAILURE() << "unknown layout " << w[i];
            }
            box = std::make_unique<SandboxRoot>(layout);
        } else if (v == "write") EXPECT_TRUE(box->writeFile(w[1], rest(2)));
        else if (v == "writemode") EXPECT_TRUE(box->writeFile(w[1], rest(3), std::stoi(w[2], nullptr, 8)));
        else if (v == "mkdir") EXPECT_TRUE(box->makeDirs(w[1]));
        else if (v == "symlink") EXPECT_TRUE(box->makeSymlink(w[1], w[2]));
        else if (v == "remove") for (std::size_t i = 1; i < w.size(); ++i) box->removeAll(w[i]);
        else if (v == "cutfile") {  // cutfile PATH N: keep N bytes, or all but -N
            std::string data = box->readFile(w[1]).value_or("");
            long n = std::stol(w[2]);
            EXPECT_TRUE(box->writeFile(w[1], data.substr(0, n < 0 ? data.size() + n : n)));
        } else if (v == "insert" || v == "head") {  // insert PATH LINE TEXT before that line (0: first); head PATH LINES
            std::string data = box->readFile(w[1]).value_or("");
            std::size_t at = 0;
            for (int i = std::stoi(w[2]); i > 0 && at < data.size(); --i) at = data.find('\n', at) + 1;
            at = std::min(at, data.size());
            EXPECT_TRUE(box->writeFile(w[1], v == "head" ? data.substr(0, at) : data.insert(at, rest(3))));
        } else if (v == "env") {
            std::string name = w[1].substr(0, w[1].find('='));
            env[name] = w[1].size() > name.size() ? std::optional(w[1].substr(name.size() + 1)) : std::nullopt;
        } else if (v == "stdin") stdinData = rest(1);
        else if (v == "run") start(root(1, {}, {}));
        else if (v == "stream") stdinData = text("@" + w[1]), start(root(2, {}, {"-"}));
        else if (v == "exec") start(Words(w.begin() + 1, w.end()));
        else if (v == "chroot") start(Words(w.begin() + 1, w.end()), RunMode::Chrooted);
        else if (v == "staged") stagedAllowed = true;  // the runs may leave staged files behind
        else if (v == "status") {
            EXPECT_EQ(run.exitStatus, std::stoi(w[1])) << run.out << run.err;
            statusChecked = true;
        }
        else if (is("out")) expectText(v, run.out, rest(1));
        else if (is("err")) expectText(v, run.err, rest(1)), errChecked = true;
        else if (v == "postlog") EXPECT_EQ(box->readFile("flash/postlog").value_or(""), rest(1));
        else if (is("file")) expectText(v, box->readFile(w[1]).value_or("<missing>"), rest(2));
        else if (v == "mode") EXPECT_EQ(box->snapshot()[w[1]].mode, unsigned(std::stoi(w[2], nullptr, 8))) << w[1];
        else if (v == "link") EXPECT_EQ(box->readLink(w[1]).value_or("<missing>"), w[2]) << w[1];
        else if (v == "absent" || v == "exists") {
            for (std::size_t i = 1; i < w.size(); ++i) EXPECT_EQ(box->exists(w[i]), v == "exists") << w[i];
        } else if (v == "mark") before = box->snapshot(), marked = true;
        else if (v == "unchanged") {  // since `mark` or the last run began; `except` names path prefixes
            marked = false;
            TreeSnapshot after = box->snapshot(), was = before;
            for (TreeSnapshot* tree : {&after, &was}) {
                std::erase_if(*tree, [&](const auto& entry) {
                    if (isTemporaryName(entry.first)) return true;
                    for (std::size_t i = 2; i < w.size(); ++i) if (entry.first.rfind(w[i], 0) == 0) return true;
                    return false;
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

std::vector<std::string> scenarioFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
        if (entry.path().extension() == ".txt") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
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
            for (std::size_t i; (i = line.find("$" + name)) != std::string::npos;) line.replace(i, name.size() + 1, value);
        }
        if (line.rfind("let ", 0) == 0) {
            std::size_t end = line.find(' ', 4);
            lets[line.substr(4, end - 4)] = line.substr(end + 1);
            continue;
        }
        for (std::size_t at; (at = line.find(" ; ")) != std::string::npos || !line.empty();) {
            const std::string statement = line.substr(0, at);
            line = at == std::string::npos ? "" : line.substr(at + 3);
            (lines.empty() && statement.rfind("case ", 0) != 0 ? prelude : lines).push_back(statement);
        }
    }
    if (lines.empty()) std::swap(prelude, lines), lines.insert(lines.begin(), "case all");
    std::unique_ptr<Scenario> s;
    std::string current;
    auto step = [&](const std::string& line) {
        Words w;
        std::istringstream words(line);
        for (std::string word; words >> word;) w.push_back(word);
        SCOPED_TRACE(current + ": " + line);
        s->step(w, line);
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
