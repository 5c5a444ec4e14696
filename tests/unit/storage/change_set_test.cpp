#include "storage/change_set.h"
#include "storage/commit_journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/file_helpers.h"
#include "storage/run_records.h"
#include "storage_test_support.h"

namespace velmora {
namespace {

using namespace storage_test;
using enum FileOpKind;
namespace fs = std::filesystem;
using Ops = std::vector<std::pair<std::string, FileOp>>;

// The whole map as text: one "kind target source" line per entry.
std::string describe(const ChangeSet& changes) {
    std::string text;
    for (const auto& [to, op] : changes.ops) text += char('0' + int(op.kind)) + (" " + to) + " " + op.source + "\n";
    return text;
}

// What each path below root holds: "=contents", ">link text", "/" for a directory, "!" when missing.
std::string state(const std::string& root, const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        const std::string path = root + "/" + name; const fs::file_status st = fs::symlink_status(path);
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
    // One that does not fit is not written, and the earlier one stays whole: a cut one could end in a
    // directory's path and remove every file in it at --commit.
    if (!dir.mount("ram", 8192)) GTEST_SKIP() << "cannot mount a tmpfs";
    for (int i = 0; i < 2000; ++i) loaded.ops["/flash/bin/file" + std::to_string(i)] = {Unlink, ""};
    EXPECT_TRUE(writeManifest(changes, dir / "ram/M")); EXPECT_FALSE(writeManifest(loaded, dir / "ram/M"));
    EXPECT_EQ(readFile(dir / "ram/M"), readFile(dir / "M")); EXPECT_FALSE(exists(dir / "ram/M.new"));
}

// Manifest text, what loading it answers, and the change set it gives.
TEST(ManifestTest, LoadFollowsTheLineRules) {
    const struct { std::string text; bool result; std::string ops; } rows[] = {
        {"", false, ""}, {"U /a\nL /l t\nM /m /s\n", true, "4 /a \n3 /l t\n0 /m /s\n"},
        {"U /a\nM /m /s", true, "4 /a \n0 /m /s\n"}, {"U /a\n\nU /b\n", true, "4 /a \n"}, {"\nU /b\n", true, ""},
        {"U /a\nU\nU /b\n", false, "4 /a \n"}, {"U /a\nX\nU /b\n", false, "4 /a \n"},
        {"U /a\nL /l\nU /b\n", false, "4 /a \n"}, {"M /m\nU /b\n", false, ""},
        {"X /a /b\nu /c\nU /d\n", true, "4 /d \n"}, {"X /a /b\n", false, ""}, {"U\t/a\n", false, ""},
        {"M /m /s extra words\nU /u more\n", true, "0 /m /s\n4 /u \n"}, {"M  /m /s\n", true, "0  /m\n"},
        {"U \n", true, "4  \n"}, {"M /a /t\nU /a\n", true, "4 /a \n"},
        {std::string("U /a\0b\n", 7), true, std::string("4 /a\0b \n", 8)},
        // Only an exact fourth word "T", on a name like a staged file's, marks one that --cancel deletes.
        {"M /a /r/tmpAAAAAA T\nM /b /r/tmpBBBBBB t\nM /c /r/tmpCCCCCC TT\nM /d /r/tmpDDDDDD T x\n", true,
         "1 /a /r/tmpAAAAAA\n0 /b /r/tmpBBBBBB\n0 /c /r/tmpCCCCCC\n1 /d /r/tmpDDDDDD\n"},
        {"L /e x T\nM /f /r/tmpFFFFFF\nM /g /flash/rw/pckg/app.vpa T\nM /h /r/tmpHHHHHHH T\n", true,
         "3 /e x\n0 /f /r/tmpFFFFFF\n0 /g /flash/rw/pckg/app.vpa\n0 /h /r/tmpHHHHHHH\n"}};
    ScratchDir dir; ChangeSet none; EXPECT_FALSE(loadManifest(none, dir / "absent"));
    for (const auto& row : rows) {
        writeFile(dir / "M", row.text); ChangeSet changes;
        EXPECT_EQ(loadManifest(changes, dir / "M"), row.result) << row.text;
        EXPECT_EQ(describe(changes), row.ops) << row.text;
    }
    // Lines of megabytes load, and committing them fails with messages instead of harm.
    std::string deep = dir.path(); while (deep.size() < 3 << 20) deep += "/d";
    writeFile(dir / "M", "M " + deep + "/f " + dir.path() + "/missing\nU " + deep + "\nL " + deep + "/l x\n");
    ASSERT_TRUE(loadManifest(none, dir / "M") && none.ops.size() == 3); testing::internal::CaptureStderr();
    EXPECT_FALSE(commit(none, "", false)); const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(errors.find("symlink: ") != errors.npos && errors.find("rename: ") != errors.npos) << errors;
}

// A file this run staged goes when its operation is replaced or dropped, or the run cancelled; the source of
// a plain move never does, and neither does a file that a loaded manifest merely names.
TEST(ChangeSetTest, OnlyFilesThisRunStagedAreDeleted) {
    ScratchDir dir;
    for (const char* name : {"src", "file", "tmpAAAAAA", "tmpBBBBBB", "tmpCCCCCC"}) writeFile(dir / name, name);
    fs::create_symlink("file", dir / "link"); fs::create_symlink("nowhere", dir / "dangling"); ChangeSet changes;
    std::vector<std::string> staged;
    for (const char* target : {"t1", "dangling", "absent", "t4"}) {
        ::close(createReplacement(changes, dir / target, 1, 0644));
        staged.push_back(changes.ops.at(dir / target).source);
    }
    scheduleMove(changes, dir / "src", dir / "t1"); scheduleLink(changes, "text", dir / "t1");
    for (const char* target : {"dangling", "absent", "file", "link", "t5"}) scheduleRemove(changes, dir / target);
    scheduleMove(changes, dir / "src", dir / "t5"); scheduleRemove(changes, dir / "t5");
    EXPECT_EQ(describe(changes), "4 " + (dir / "file") + " \n4 " + (dir / "link") + " \n3 " + (dir / "t1") +
                                     " text\n1 " + (dir / "t4") + " " + staged[3] + "\n");
    cancel(changes); EXPECT_TRUE(isEmpty(changes) && std::none_of(staged.begin(), staged.end(), exists));
    EXPECT_EQ(state(dir.path(), {"src", "dangling"}), "src=src dangling>nowhere ");
    writeFile(dir / "M", "M /a " + (dir / "tmpAAAAAA") + " T\nM /b " + (dir / "tmpBBBBBB") + "\nM /c " +
                             (dir / "tmpCCCCCC") + " T\nU /c\nM /i " + (dir / "src") + "\n");
    ASSERT_TRUE(loadManifest(changes, dir / "M")); cancel(changes);
    EXPECT_EQ(state(dir.path(), {"tmpAAAAAA", "tmpBBBBBB", "tmpCCCCCC", "src"}),
              "tmpAAAAAA! tmpBBBBBB=tmpBBBBBB tmpCCCCCC=tmpCCCCCC src=src ");
}

// What is on disk, the pending kind (-1: none), the answer, and whether the pending operation stays.
TEST(ChangeSetTest, KeepDirectory) {
    const struct { std::string onDisk; int pending; bool keeps, opStays; } rows[] = {
        {"", -1, true, false}, {"dir", -1, true, false}, {"dirlink", -1, true, false}, {"file", -1, false, false},
        {"dir", 4, true, false}, {"file", 4, false, false}, {"dir", 1, false, true}, {"", 0, false, true},
        {"dir", 3, false, true}};
    for (const auto& row : rows) {
        ScratchDir dir; const std::string path = dir / "p"; if (row.onDisk == "dir") fs::create_directory(path);
        if (row.onDisk == "file") writeFile(path, "x");
        if (row.onDisk == "dirlink") fs::create_directory_symlink(".", path);
        ChangeSet changes;
        if (row.pending >= 0) changes.ops[path] = {FileOpKind(row.pending), "/src"};
        EXPECT_EQ(keepDirectory(changes, path), row.keeps) << row.onDisk << row.pending;
        EXPECT_EQ(changes.ops.size(), row.opStays ? 1u : 0u) << row.onDisk << row.pending;
    }
}

// The staged file goes in the nearest existing ancestor, named "tmp" and six characters, with the mode's
// permission bits whatever they allow; nothing else is made before the commit.
TEST(ChangeSetTest, ReplacementsAreStagedNearTheTarget) {
    ScratchDir dir; fs::create_directory(dir / "a"); ChangeSet changes; std::ofstream stream;
    openReplacement(stream, changes, dir / "a/b/c/file", 5, 0640); stream << "hello"; stream.close();
    const int fd = createReplacement(changes, dir / "a/ro", 5, 0x8000 | 0444); EXPECT_EQ(::write(fd, "world", 5), 5);
    ::close(fd);
    const struct { const char* target; unsigned mode; const char* text; } rows[] = {
        {"a/b/c/file", 0640, "hello"}, {"a/ro", 0444, "world"}};
    for (const auto& row : rows) {
        const FileOp& op = changes.ops.at(dir / row.target);
        const bool named = op.source.size() == dir.path().size() + 12 && hasPrefix(op.source, dir / "a/tmp");
        EXPECT_TRUE(op.kind == MoveTemp && named) << op.source; EXPECT_EQ(readFile(op.source), row.text);
        EXPECT_EQ(fs::status(op.source).permissions(), fs::perms(row.mode));
    }
    EXPECT_FALSE(exists(dir / "a/b")); cancel(changes); EXPECT_TRUE(fs::is_empty(dir / "a"));
}

// Beside the target only while its file system has room for the size plus a tenth, strictly (a 64 KiB tmpfs
// has 65536 bytes); else in /ram, which this host lacks: a failed stream and nothing recorded.
TEST(ChangeSetTest, ReplacementNeedsRoomBesideTheTarget) {
    if (exists("/ram")) GTEST_SKIP() << "this host has a /ram of its own";
    ScratchDir dir;
    if (!dir.mount("small", 65536) || !dir.mount("ro", 65536, true)) GTEST_SKIP() << "cannot mount a tmpfs";
    const struct { const char* target; std::uint32_t size; bool beside; } rows[] = {
        {"small/sub/f", 59578, true}, {"small/sub/f", 59579, false}, {"small/sub/f", 4000000000u, false},
        {"small/sub/f", 0, false}, {"ro/f", 10, false}};
    for (const auto& row : rows) {
        ChangeSet changes; std::ofstream stream; openReplacement(stream, changes, dir / row.target, row.size, 0);
        EXPECT_TRUE(stream.good() == row.beside && changes.ops.size() == row.beside) << row.size; cancel(changes);
        EXPECT_TRUE(fs::is_empty(dir / "small"));
    }
    ChangeSet changes;  // a pending operation stays when no file could be made for it
    scheduleLink(changes, "x", dir / "ro/f"); EXPECT_EQ(createReplacement(changes, dir / "ro/f", 10, 0644), -1);
    EXPECT_EQ(describe(changes), "3 " + (dir / "ro/f") + " x\n");
}

// The order a commit works in: removals that must come first, moves and links in key order (the first key
// leading), then the other removals; a removal of a file that a move or link replaces, under any spelling,
// is that rename itself.
TEST(CommitTest, PlanOrdersAndMergesTheSteps) {
    const struct { Ops ops; std::string firstKey, plan; } rows[] = {
        {{{"/f//bin/a", {Unlink, ""}}, {"/f/bin/a", {MoveTemp, "/f/tmpAbCdEf"}}}, "", "M /f/bin/a /f/tmpAbCdEf;"},
        {{{"/a", {Unlink, ""}}, {"/z", {Move, "/u"}}, {"/b", {Link, "/t"}}}, "", "L /b /t;M /z /u;U /a ;"},
        {{{"/d/x", {Unlink, ""}}, {"/d/x/y", {Move, "/u"}}}, "", "E /d/x ;M /d/x/y /u;"},
        {{{"/l/", {Unlink, ""}}, {"/l", {Link, "t"}}}, "", "L /l t;"},
        {{{"/a", {Move, "/s1"}}, {"/b", {Move, "/s2"}}}, "/b", "M /b /s2;M /a /s1;"}};
    for (const auto& row : rows) {
        ChangeSet changes; changes.ops.insert(row.ops.begin(), row.ops.end()); std::string plan;
        for (const CommitStep& step : planCommit(changes, row.firstKey))
            plan += std::string(1, char(step.kind)) + " " + step.target + " " + step.source + ";";
        EXPECT_EQ(plan, row.plan);
    }
}

// Journal text ('|' stands for the NUL byte that ends each field), and texts that do not read: then not a
// single step is trusted.
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

// Every step is attempted; each failure is reported and fails the commit. A move from another file system
// is a copy, mode and all, and the source stays; a copy that does not fit fails the commit before anything
// is touched.
TEST(CommitTest, FailuresAreReportedAndMovesAcrossFileSystemsCopy) {
    ScratchDir dir; for (const char* name : {"present", "doomed", "file"}) writeFile(dir / name, name);
    ChangeSet changes, across, full;
    changes.ops = {{dir / "a", {Move, dir / "missing"}}, {dir / "b", {Move, dir / "present"}},
                   {dir / "c", {Link, "text"}}, {dir / "file/below", {Link, "text"}}, {dir / "doomed", {Unlink, ""}}};
    testing::internal::CaptureStderr(); EXPECT_FALSE(commit(changes, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "rename: No such file or directory\nsymlink: Not a directory\n");
    EXPECT_EQ(state(dir.path(), {"a", "b", "c", "doomed"}), "a! b=present c>text doomed! ");
    if (!dir.mount("other", 1 << 20) || !dir.mount("full", 8192)) GTEST_SKIP() << "cannot mount a tmpfs";
    const std::string bytes(40000, 'q'); writeFile(dir / "other/src", bytes);
    fs::permissions(dir / "other/src", fs::perms(0600)); across.ops = {{dir / "dest/file", {Move, dir / "other/src"}}};
    ASSERT_TRUE(commit(across, "", false));
    EXPECT_TRUE(readFile(dir / "dest/file") == bytes && readFile(dir / "other/src") == bytes);
    EXPECT_EQ(fs::status(dir / "dest/file").permissions(), fs::perms(0600));
    full.ops = {{dir / "full/file", {Move, dir / "other/src"}}, {dir / "dest/file", {Unlink, ""}}};
    testing::internal::CaptureStderr(); EXPECT_FALSE(commit(full, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "copy: " + (dir / "full/file") + ": No space left on device\n");
    EXPECT_TRUE(exists(dir / "dest/file") && fs::is_empty(dir / "full"));
}

// A stopped commit is carried out again from its journal, from the first step: done over a finished commit
// it changes nothing, and the journal goes. A journal that does not read whole is deleted unused.
TEST(CommitJournalTest, ReplayOverAFinishedCommitChangesNothing) {
    ScratchDir dir; const std::string d = dir.path(); setRecordDir(d + "/db/");
    for (const char* sub : {"db", "keep", "usr/lib", "dir/sub", "plain"}) fs::create_directories(d + "/" + sub);
    for (const char* name : {"keep/old", "keep/gone", "file-then-dir", "replaced", "tmpAAAAAA", "tmpBBBBBB",
                             "usr/lib/x", "tmpCCCCCC", "tmpDDDDDD", "dir/f", "dir/.hidden", "plain/f", "linked"})
        writeFile(d + "/" + name, name);
    fs::create_directory_symlink("usr/lib", d + "/lib");
    const Ops ops = {
        {"/lib//x", {Unlink, ""}}, {"/usr/lib/x", {MoveTemp, d + "/tmpCCCCCC"}},  // one file, two spellings
        {"/keep/", {Unlink, ""}}, {"/keep/old", {MoveTemp, d + "/tmpBBBBBB"}},     // keeps what moves in
        {"/file-then-dir", {Unlink, ""}}, {"/file-then-dir/x", {Link, "/somewhere"}},
        {"//replaced", {Unlink, ""}}, {"/replaced", {MoveTemp, d + "/tmpAAAAAA"}},
        {"/dir", {Unlink, ""}}, {"/plain", {Unlink, ""}}, {"/absent", {Unlink, ""}},  // what is not plain stays
        {"/linked", {Link, "first/text"}}, {"/new/deep/link", {Link, "../up"}}, {"/first", {Move, d + "/tmpDDDDDD"}}};
    ChangeSet changes; for (const auto& [target, op] : ops) changes.ops[d + target] = op;
    const std::string journal = journalText(planCommit(changes, d + "/first"), false);
    const std::vector<std::string> names = {"keep/old", "keep/gone", "replaced", "lib/x", "first", "file-then-dir/x",
                                            "dir/f", "dir/.hidden", "dir/sub", "plain", "linked", "new/deep/link",
                                            "tmpAAAAAA", "tmpDDDDDD", "db/.journal"};
    const std::string after = "keep/old=tmpBBBBBB keep/gone! replaced=tmpAAAAAA lib/x=tmpCCCCCC first=tmpDDDDDD "
                              "file-then-dir/x>/somewhere dir/f! dir/.hidden=dir/.hidden dir/sub/ plain! "
                              "linked>first/text new/deep/link>../up tmpAAAAAA! tmpDDDDDD! db/.journal! ";
    testing::internal::CaptureStderr(); EXPECT_TRUE(commit(changes, d + "/first", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); EXPECT_EQ(changes.ops.count(d + "/first"), 0u);
    EXPECT_EQ(state(d, names), after);
    for (const std::string& text : {journal, journal.substr(0, journal.size() - 1)}) {
        writeFile(d + "/db/.journal", text); EXPECT_TRUE(finishInterruptedCommit()); EXPECT_EQ(state(d, names), after);
    }
    EXPECT_FALSE(finishInterruptedCommit());
    // Staged files a stopped run left in a registered directory go; a file a package owns stays, whatever
    // its name.
    ::close(createReplacement(changes, d + "/dir/new", 1, 0644)); writeFile(d + "/dir/tmpOwned", "owned");
    ASSERT_TRUE(hasStagingRecords());
    removeStagedLeftovers({collapsedPath(d + "/dir//tmpOwned")});
    EXPECT_FALSE(exists(changes.ops[d + "/dir/new"].source));
    EXPECT_EQ(state(d, {"dir/tmpOwned", "dir/.hidden", "db/.staged"}),
              "dir/tmpOwned=owned dir/.hidden=dir/.hidden db/.staged! ");
    ::close(createReplacement(changes, d + "/dir/new", 1, 0644));  // registered afresh
    EXPECT_TRUE(hasStagingRecords()); cancel(changes); setRecordDir(""); EXPECT_FALSE(hasStagingRecords());
}

}  // namespace
}  // namespace velmora
