#include "storage/change_set.h"
#include "storage/commit_journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "storage/file_helpers.h"
#include "storage/run_records.h"
#include "storage_test_support.h"

using namespace velmora; using namespace velmora::storage_test; using namespace std::string_literals;
using enum FileOpKind; namespace fs = std::filesystem; using Ops = std::vector<std::pair<std::string, FileOp>>;

// One "kind target source" line per entry.
static std::string describe(const ChangeSet& changes) { std::string text;
    for (const auto& [to, op] : changes.ops) text += char('0' + int(op.kind)) + (" " + to) + " " + op.source + "\n";
    return text;
}

// What each path below root holds: "=contents", ">link text", "/" for a directory, "!" when missing. The paths
// are the words of `expected` up to such a mark, so that a test reads EXPECT_EQ(state(root, text), text).
static std::string state(const std::string& root, const std::string& expected) {
    std::istringstream in(expected); std::string text;
    for (std::string word, name, path; in >> word;) {
        name = word.substr(0, word.find_first_of("=>!")); if (name.ends_with('/')) name.pop_back();
        const fs::file_status st = fs::symlink_status(path = root + "/" + name);
        text += name + (fs::is_symlink(st) ? ">" + fs::read_symlink(path).string() : fs::is_directory(st) ? "/"
                        : fs::exists(st) ? "=" + readFile(path) : "!") + " ";
    }
    return text;
}

TEST(ManifestTest, WritesOneLinePerOperationInByteOrderAndReadsItBack) {
    ScratchDir dir; ChangeSet changes, loaded;
    changes.ops = {{"/z", {Unlink, ""}}, {"/b/x", {Link, "../target"}}, {"/b", {Move, "/t"}}, {"/a", {Unlink, ""}},
                   {"/\xc3\xa9", {MoveTemp, "/ram/tmpAbCdEf"}}, {"/k", {FileOpKind(2), "/x"}}};
    ASSERT_TRUE(writeManifest(changes, dir / "M"));
    EXPECT_EQ(readFile(dir / "M"), "U /a\nM /b /t\nL /b/x ../target\nU /z\nM /\xc3\xa9 /ram/tmpAbCdEf T\n");
    ASSERT_TRUE(loadManifest(loaded, dir / "M"));
    EXPECT_EQ(describe(loaded), "4 /a \n0 /b /t\n3 /b/x ../target\n4 /z \n1 /\xc3\xa9 /ram/tmpAbCdEf\n");
    // One that does not fit is not written and the earlier one stays whole: a cut line could name a directory.
    if (!dir.mount("ram", 8192)) GTEST_SKIP() << "cannot mount a tmpfs";
    for (int i = 0; i < 2000; ++i) loaded.ops["/flash/bin/file" + std::to_string(i)] = {Unlink, ""};
    EXPECT_TRUE(writeManifest(changes, dir / "ram/M")); EXPECT_FALSE(writeManifest(loaded, dir / "ram/M"));
    EXPECT_EQ(readFile(dir / "ram/M"), readFile(dir / "M")); EXPECT_FALSE(exists(dir / "ram/M.new"));
}

// Manifest text, what loading it answers, and the change set it gives.
TEST(ManifestTest, LoadFollowsTheLineRules) {
    const struct { std::string text; bool result; std::string ops; } rows[] = {
        {"", false, ""}, {"U /a\nL /l t\nM /m /s", true, "4 /a \n3 /l t\n0 /m /s\n"}, {"L /l\nU /b\n", false, ""},
        {"\nU /b\n", true, ""},
        {"X /a /b\nu /c\nU /d\n", true, "4 /d \n"}, {"U\t/a\n", false, ""}, {"M /a /t\nU /a\n", true, "4 /a \n"},
        {"M /m /s extra words\nM  /n /s\n", true, "0  /n\n0 /m /s\n"}, {"U /a\0b\n"s, true, "4 /a\0b \n"s},
        // Only an exact fourth word "T", on a name like a staged file's, marks one that --cancel deletes.
        {"M /a /tmpAAAAAA T\nM /b /r/tmpBBBBBB t\nM /d /tmpDDDDDD T x\nM /f /tmpFFFFFF\nM /g /r/appGGGGGG T\n"
         "M /h /tmpHHHHHHH T\n", true, "1 /a /tmpAAAAAA\n0 /b /r/tmpBBBBBB\n1 /d /tmpDDDDDD\n0 /f /tmpFFFFFF\n"
         "0 /g /r/appGGGGGG\n0 /h /tmpHHHHHHH\n"}};
    ScratchDir dir; ChangeSet none; EXPECT_FALSE(loadManifest(none, dir / "absent"));
    for (const auto& row : rows) {
        ChangeSet changes; writeFile(dir / "M", row.text);
        EXPECT_TRUE(loadManifest(changes, dir / "M") == row.result && describe(changes) == row.ops) << row.text;
    }
}

// A file this run staged goes when its operation is replaced or dropped, or the run cancelled; the source of
// a plain move never does.
TEST(ChangeSetTest, OnlyFilesThisRunStagedAreDeleted) {
    ScratchDir dir; ChangeSet changes; std::vector<std::string> staged;
    for (const char* name : {"src", "file"}) writeFile(dir / name, name);
    fs::create_symlink("file", dir / "link"); fs::create_symlink("nowhere", dir / "dangling");
    for (const char* to : {"t1", "dangling", "absent", "t4"})
        ::close(createReplacement(changes, dir / to, 1, 0644)), staged.push_back(changes.ops.at(dir / to).source);
    scheduleMove(changes, dir / "src", dir / "t1"); scheduleLink(changes, "text", dir / "t1");
    for (const char* target : {"dangling", "absent", "file", "link", "t5"}) scheduleRemove(changes, dir / target);
    scheduleMove(changes, dir / "src", dir / "t5"); scheduleRemove(changes, dir / "t5");
    EXPECT_EQ(describe(changes), "4 " + (dir / "file") + " \n4 " + (dir / "link") + " \n3 " + (dir / "t1") +
                                     " text\n1 " + (dir / "t4") + " " + staged[3] + "\n");
    cancel(changes); EXPECT_TRUE(isEmpty(changes) && std::none_of(staged.begin(), staged.end(), exists));
    EXPECT_EQ(state(dir.path(), "src=src dangling>nowhere "), "src=src dangling>nowhere ");
}

// A directory (or a link to one) or nothing is kept, a file is not; a pending removal is dropped, another
// pending operation refuses.
TEST(ChangeSetTest, KeepDirectory) {
    ScratchDir dir; ChangeSet changes; writeFile(dir / "file", "x"); fs::create_directory_symlink(".", dir / "link");
    changes.ops = {{dir / "file", {Unlink, ""}}, {dir / "link", {MoveTemp, "/s"}}};
    EXPECT_TRUE(keepDirectory(changes, dir / "none") && !keepDirectory(changes, dir / "file"));
    EXPECT_TRUE(!keepDirectory(changes, dir / "link") && keepDirectory((changes.ops.clear(), changes), dir / "link"));
}

// The staged file goes in the nearest existing ancestor, named "tmp" and six characters, with the mode's
// permission bits whatever they allow, while its file system has room for the size plus a tenth, strictly (a
// 64 KiB tmpfs has 65536 bytes); else in /ram, which this host lacks: a failed stream and nothing recorded.
TEST(ChangeSetTest, ReplacementsAreStagedNearTheTarget) {
    if (exists("/ram")) GTEST_SKIP() << "this host has a /ram of its own";
    ScratchDir dir;
    if (!dir.mount("small", 65536) || !dir.mount("ro", 65536, true)) GTEST_SKIP() << "cannot mount a tmpfs";
    const struct { const char* target; std::uint32_t size; unsigned mode; bool beside; } rows[] = {
        {"small/sub/f", 59578, 0640, true}, {"small/f", 5, 0x8000 | 0444, true}, {"small/sub/f", 59579, 0, false},
        {"small/sub/f", 4000000000u, 0, false}, {"small/sub/f", 0, 0, false}, {"ro/f", 10, 0, false}};
    for (const auto& row : rows) {
        ChangeSet changes; std::ofstream stream; SCOPED_TRACE(row.size);
        openReplacement(stream, changes, dir / row.target, row.size, row.mode); stream << "hello"; stream.close();
        ASSERT_EQ(stream.good() && changes.ops.size() == 1, row.beside);
        const FileOp op = row.beside ? changes.ops.begin()->second : FileOp{};
        EXPECT_TRUE(!row.beside || (readFile(op.source) == "hello" && op.kind == MoveTemp && hasPrefix(op.source, dir /
            "small/tmp") && op.source.size() == dir.path().size() + 16 && fs::status(op.source).permissions() ==
            fs::perms(row.mode & 0777))) << op.source;
        cancel(changes); EXPECT_TRUE(!exists(dir / "small/sub") && fs::is_empty(dir / "small"));
    }
    ChangeSet changes;  // a pending operation stays when no file could be made for it
    scheduleLink(changes, "x", dir / "ro/f"); EXPECT_EQ(createReplacement(changes, dir / "ro/f", 10, 0644), -1);
    EXPECT_EQ(describe(changes), "3 " + (dir / "ro/f") + " x\n");
}

// Removals that must come first, moves and links in key order (the first key leading), then the other
// removals; a removal of a file that a move or link replaces, under any spelling, is that rename itself.
TEST(CommitTest, PlanOrdersAndMergesTheSteps) {
    const struct { Ops ops; std::string firstKey, plan; } rows[] = {
        {{{"/f//bin/a", {Unlink, ""}}, {"/f/bin/a", {MoveTemp, "/f/tmpAbCdEf"}}}, "", "M /f/bin/a /f/tmpAbCdEf;"},
        {{{"/a", {Unlink, ""}}, {"/z", {Move, "/u"}}, {"/b", {Link, "/t"}}}, "", "L /b /t;M /z /u;U /a ;"},
        {{{"/d/x", {Unlink, ""}}, {"/d/x/y", {Move, "/u"}}}, "", "E /d/x ;M /d/x/y /u;"},
        {{{"/a", {Move, "/s1"}}, {"/b", {Move, "/s2"}}}, "/b", "M /b /s2;M /a /s1;"}};
    for (const auto& row : rows) {
        ChangeSet changes; changes.ops.insert(row.ops.begin(), row.ops.end()); std::string plan;
        for (const CommitStep& step : planCommit(changes, row.firstKey))
            plan += std::string(1, char(step.kind)) + " " + step.target + " " + step.source + ";";
        EXPECT_EQ(plan, row.plan);
    }
}

// Journal text ('|' stands for the NUL that ends each field); of a text that does not read, no step is trusted.
TEST(CommitJournalTest, TextAndItsReader) {
    const auto z = [](std::string s) { return std::replace(s.begin(), s.end(), '|', '\0'), s; };
    const std::vector<CommitStep> steps = {{StepKind::RemoveFirst, "/e", ""}, {StepKind::Place, "/m", "/s"},
                                           {StepKind::Link, "/l", "t"}, {StepKind::Remove, "/u", ""}};
    const std::string text = z("VJ1|C|E|/e||M|/m|/s|L|/l|t|U|/u||END|"); std::vector<CommitStep> read;
    bool fromManifest = false; EXPECT_EQ(journalText(steps, true), text);
    ASSERT_TRUE(parseJournal(text, read, fromManifest) && fromManifest);
    EXPECT_EQ(journalText(read, false), journalText(steps, false));
    EXPECT_TRUE(parseJournal(journalText(steps, false), read, fromManifest) && !fromManifest);
    for (const char* bad : {"VJ1|C|E|/e||M|/m|/s|L|/l|t|U|/u||END", "VJ2|R|END|", "VJ1|X|END|", "VJ1|R|M|/t|END|",
                            "VJ1|R|M||/s|END|", "VJ1|R|Q|/t|/s|END|", "VJ1|R|MM|/t|/s|END|", "VJ1|R|ENDS|", ""})
        EXPECT_FALSE(parseJournal(z(bad), read, fromManifest)) << bad;
}

// A move from another file system is a copy; one that does not fit fails the commit before anything is touched.
TEST(CommitTest, ACopyThatDoesNotFitTouchesNothing) {
    ScratchDir dir;
    if (!dir.mount("other", 1 << 20) || !dir.mount("full", 8192)) GTEST_SKIP() << "cannot mount a tmpfs";
    writeFile(dir / "other/src", std::string(40000, 'q')); writeFile(dir / "old", "old"); ChangeSet full;
    full.ops = {{dir / "full/file", {Move, dir / "other/src"}}, {dir / "old", {Unlink, ""}}};
    testing::internal::CaptureStderr(); EXPECT_FALSE(commit(full, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "copy: " + (dir / "full/file") + ": No space left on device\n");
    EXPECT_TRUE(exists(dir / "old") && fs::is_empty(dir / "full"));
}

// A stopped commit is carried out again from its journal, from the first step: done over a finished commit
// it changes nothing, and the journal goes. A journal that does not read whole is deleted unused.
TEST(CommitJournalTest, ReplayOverAFinishedCommitChangesNothing) {
    ScratchDir dir; const std::string d = dir.path(); setRecordDir(d + "/db/");
    for (const char* sub : {"db", "keep", "usr/lib", "dir/sub", "plain"}) fs::create_directories(d + "/" + sub);
    for (const char* name : {"keep/old", "keep/gone", "file-then-dir", "tmpBBBBBB", "usr/lib/x", "tmpCCCCCC",
                             "tmpDDDDDD", "dir/f", "dir/.hidden", "plain/f"})
        writeFile(d + "/" + name, name);
    fs::create_directory_symlink("usr/lib", d + "/lib");
    const Ops ops = {
        {"/lib//x", {Unlink, ""}}, {"/usr/lib/x", {MoveTemp, d + "/tmpCCCCCC"}},  // one file, two spellings
        {"/keep/", {Unlink, ""}}, {"/keep/old", {MoveTemp, d + "/tmpBBBBBB"}},     // keeps what moves in
        {"/file-then-dir", {Unlink, ""}}, {"/file-then-dir/x", {Link, "/somewhere"}}, {"/absent", {Unlink, ""}},
        {"/dir", {Unlink, ""}}, {"/plain", {Unlink, ""}},  // what is not plain stays
        {"/new/deep/link", {Link, "../up"}}, {"/first", {Move, d + "/tmpDDDDDD"}}};
    ChangeSet changes; for (const auto& [target, op] : ops) changes.ops[d + target] = op;
    const std::string journal = journalText(planCommit(changes, d + "/first"), false);
    const std::string after = "keep/old=tmpBBBBBB keep/gone! lib/x=tmpCCCCCC first=tmpDDDDDD "
                              "file-then-dir/x>/somewhere dir/f! dir/.hidden=dir/.hidden dir/sub/ plain! "
                              "new/deep/link>../up tmpDDDDDD! db/.journal! ";
    testing::internal::CaptureStderr(); EXPECT_TRUE(commit(changes, d + "/first", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); EXPECT_EQ(changes.ops.count(d + "/first"), 0u);
    EXPECT_EQ(state(d, after), after);
    for (const std::string& text : {journal, journal.substr(0, journal.size() - 1)}) {
        writeFile(d + "/db/.journal", text); EXPECT_TRUE(finishInterruptedCommit()); EXPECT_EQ(state(d, after), after);
    }
    EXPECT_FALSE(finishInterruptedCommit());
    // Staged files a stopped run left in a registered directory go; a file a package owns stays, whatever its name.
    ::close(createReplacement(changes, d + "/dir/new", 1, 0644)); writeFile(d + "/dir/tmpOwned", "owned");
    ASSERT_TRUE(hasStagingRecords()); removeStagedLeftovers({collapsedPath(d + "/dir//tmpOwned")});
    EXPECT_FALSE(exists(changes.ops[d + "/dir/new"].source));
    const std::string leftovers = "dir/tmpOwned=owned dir/.hidden=dir/.hidden db/.staged! ";
    EXPECT_EQ(state(d, leftovers), leftovers);
    ::close(createReplacement(changes, d + "/dir/new", 1, 0644));  // registered afresh
    EXPECT_TRUE(hasStagingRecords()); cancel(changes); setRecordDir(""); EXPECT_FALSE(hasStagingRecords());
}
