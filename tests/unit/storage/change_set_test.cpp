#include "storage/change_set.h"
#include "storage/commit_journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/file_helpers.h"
#include "storage/run_records.h"
#include "storage_test_support.h"

namespace velmora {
namespace {

using storage_test::exists;
using storage_test::isDirectory;
using storage_test::readFile;
using storage_test::ScratchDir;
using storage_test::writeFile;

// The whole map as text: one "kind target source" line per entry.
std::string describe(const ChangeSet& changes) {
    std::string text;
    for (const auto& [target, op] : changes.ops) {
        text += std::to_string(static_cast<int>(op.kind)) + " " + target + " " + op.source + "\n";
    }
    return text;
}

bool hostHasRam() {
    return exists("/ram");
}

// ---------------------------------------------------------------- manifest

TEST(ManifestTest, WritesOneLinePerOperationInByteOrderAndReadsItBack) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ChangeSet changes;
    setOp(changes, "/z", FileOpKind::Unlink, "");
    setOp(changes, "/b/x", FileOpKind::Link, "../target");
    setOp(changes, "/b", FileOpKind::Move, "/t");
    setOp(changes, "/a", FileOpKind::Unlink, "");
    setOp(changes, "/\xc3\xa9", FileOpKind::MoveTemp, "/ram/tmpAbCdEf");
    changes.ops["/k"] = FileOp{static_cast<FileOpKind>(2), "/never"};

    writeManifest(changes, dir / "MANIFEST");
    EXPECT_EQ(readFile(dir / "MANIFEST"),
              "U /a\n"
              "M /b /t\n"
              "L /b/x ../target\n"
              "U /z\n"
              "M /\xc3\xa9 /ram/tmpAbCdEf T\n");

    ChangeSet loaded;
    ASSERT_TRUE(loadManifest(loaded, dir / "MANIFEST"));
    // The staged file is known as one again; the plain move stays plain.
    EXPECT_EQ(describe(loaded),
              "4 /a \n"
              "0 /b /t\n"
              "3 /b/x ../target\n"
              "4 /z \n"
              "1 /\xc3\xa9 /ram/tmpAbCdEf\n");
}

// Only the exact fourth word "T" marks a staged file; anything else after the
// source is ignored, as an older installer ignores the "T".
TEST(ManifestTest, FourthWordRule) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "MANIFEST",
              "M /a /r/tmpAAAAAA T\n"
              "M /b /r/tmpBBBBBB t\n"
              "M /c /r/tmpCCCCCC TT\n"
              "M /d /r/tmpDDDDDD T extra\n"
              "L /e x T\n"
              "M /f /r/tmpFFFFFF\n"
              "M /g /flash/rw/pckg/app.vpa T\n"
              "M /h /r/tmpHHHHHHH T\n");
    ChangeSet loaded;
    ASSERT_TRUE(loadManifest(loaded, dir / "MANIFEST"));
    // A "T" on a file not named like a staged one is not believed: --cancel
    // must never delete an upload or a stranger's file.
    EXPECT_EQ(describe(loaded),
              "1 /a /r/tmpAAAAAA\n"
              "0 /b /r/tmpBBBBBB\n"
              "0 /c /r/tmpCCCCCC\n"
              "1 /d /r/tmpDDDDDD\n"
              "3 /e x\n"
              "0 /f /r/tmpFFFFFF\n"
              "0 /g /flash/rw/pckg/app.vpa\n"
              "0 /h /r/tmpHHHHHHH\n");
}

// A manifest that does not fit is not written at all, and an earlier one
// stays whole: a cut one could end in a directory's path and remove every
// file in it at --commit.
TEST(ManifestTest, OneThatDoesNotFitIsNotWritten) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string why = dir.mountTmpfs("ram", 8192);
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    ChangeSet changes;
    setOp(changes, "/flash/bin/a", FileOpKind::Unlink, "");
    writeManifest(changes, dir / "ram/MANIFEST");
    EXPECT_EQ(readFile(dir / "ram/MANIFEST"), "U /flash/bin/a\n");
    EXPECT_FALSE(exists(dir / "ram/MANIFEST.new"));

    ChangeSet big;
    for (int i = 0; i < 2000; ++i) setOp(big, "/flash/bin/file" + std::to_string(i), FileOpKind::Unlink, "");
    writeManifest(big, dir / "ram/MANIFEST");
    EXPECT_EQ(readFile(dir / "ram/MANIFEST"), "U /flash/bin/a\n");
    EXPECT_FALSE(exists(dir / "ram/MANIFEST.new"));
}

// A damaged manifest naming one target twice: loading keeps the last line
// and deletes nothing, not even the staged file of the first.
TEST(ManifestTest, RepeatedTargetDeletesNothingWhileLoading) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "tmpAAAAAA", "staged");
    writeFile(dir / "MANIFEST", "M /t " + (dir / "tmpAAAAAA") + " T\nU /t\n");
    ChangeSet loaded;
    ASSERT_TRUE(loadManifest(loaded, dir / "MANIFEST"));
    EXPECT_EQ(describe(loaded), "4 /t \n");
    EXPECT_TRUE(exists(dir / "tmpAAAAAA"));
}

struct LoadRow {
    const char* name;
    std::string content;
    bool result;
    std::string ops;  // describe() of the change set afterwards
};

class LoadManifestTest : public testing::TestWithParam<LoadRow> {};

TEST_P(LoadManifestTest, FollowsTheLineRules) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "MANIFEST", GetParam().content);
    ChangeSet changes;
    EXPECT_EQ(loadManifest(changes, dir / "MANIFEST"), GetParam().result);
    EXPECT_EQ(describe(changes), GetParam().ops);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoadManifestTest,
    testing::Values(
        LoadRow{"EmptyFileLoadsNothing", "", false, ""},
        LoadRow{"AllThreeTags", "U /a\nL /l t\nM /m /s\n", true, "4 /a \n3 /l t\n0 /m /s\n"},
        LoadRow{"LastLineWithoutLineEnd", "U /a\nM /m /s", true, "4 /a \n0 /m /s\n"},
        LoadRow{"EmptyLineEndsWithTrue", "U /a\n\nU /b\n", true, "4 /a \n"},
        LoadRow{"EmptyFirstLineEndsWithTrue", "\nU /b\n", true, ""},
        LoadRow{"SingleWordUStops", "U /a\nU\nU /b\n", false, "4 /a \n"},
        LoadRow{"SingleUnknownWordStops", "U /a\nX\nU /b\n", false, "4 /a \n"},
        LoadRow{"LinkWithoutTextStops", "U /a\nL /l\nU /b\n", false, "4 /a \n"},
        LoadRow{"MoveWithoutSourceStops", "M /m\nU /b\n", false, ""},
        LoadRow{"UnknownTagIsSkipped", "X /a /b\nu /c\nU /d\n", true, "4 /d \n"},
        LoadRow{"OnlyUnknownTagsLoadNothing", "X /a /b\n", false, ""},
        LoadRow{"WordsBeyondTheThirdIgnored", "M /m /s extra words\nU /u more\n", true,
                "0 /m /s\n4 /u \n"},
        LoadRow{"EverySpaceSplits", "M  /m /s\n", true, "0  /m\n"},
        LoadRow{"TrailingSpaceGivesEmptyTarget", "U \n", true, "4  \n"},
        LoadRow{"TabIsNotASeparator", "U\t/a\n", false, ""},
        LoadRow{"LaterLineReplacesEarlier", "M /a /t\nU /a\n", true, "4 /a \n"},
        LoadRow{"NulBytesStayInNames", std::string("U /a\0b\n", 7), true,
                std::string("4 /a\0b \n", 8)}),
    [](const testing::TestParamInfo<LoadRow>& info) { return std::string(info.param.name); });

TEST(ManifestTest, MissingManifestLoadsNothing) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ChangeSet changes;
    EXPECT_FALSE(loadManifest(changes, dir / "absent"));
    EXPECT_TRUE(isEmpty(changes));
}

TEST(ManifestTest, HugeLinesLoadAndCommitWithoutHarm) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string deep = dir.path();
    while (deep.size() < 3 * 1024 * 1024) {
        deep += "/d";
    }
    writeFile(dir / "MANIFEST", "M " + deep + "/f " + dir.path() + "/missing\nU " + deep + "\nL " + deep +
                                    "/l x\n");
    ChangeSet changes;
    ASSERT_TRUE(loadManifest(changes, dir / "MANIFEST"));
    EXPECT_EQ(changes.ops.size(), 3u);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(commit(changes, "", false));
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("symlink: "), std::string::npos);
    EXPECT_NE(errors.find("rename: "), std::string::npos);
}

// ------------------------------------------------------ recording operations

TEST(SetOpTest, ReplacingAMoveTempDeletesItsTemporaryFile) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "target", 10, 0);
    ASSERT_TRUE(stream.good());
    stream.close();
    std::string temporary = changes.ops.at(dir / "target").source;
    ASSERT_TRUE(exists(temporary));

    scheduleMove(changes, dir / "other", dir / "target");
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(describe(changes), "0 " + (dir / "target") + " " + (dir / "other") + "\n");

    // A plain move's source is not ours to delete.
    writeFile(dir / "other", "keep");
    scheduleLink(changes, "elsewhere", dir / "target");
    EXPECT_EQ(readFile(dir / "other"), "keep");
    EXPECT_EQ(describe(changes), "3 " + (dir / "target") + " elsewhere\n");
}

TEST(ScheduleRemoveTest, RecordsUnlinkOnlyForWhatExists) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "file", "x");
    ASSERT_EQ(::symlink("file", (dir / "good-link").c_str()), 0);
    ChangeSet changes;
    scheduleRemove(changes, dir / "file");
    scheduleRemove(changes, dir / "good-link");
    scheduleRemove(changes, dir / "absent");
    EXPECT_EQ(describe(changes), "4 " + (dir / "file") + " \n4 " + (dir / "good-link") + " \n");
}

TEST(ScheduleRemoveTest, DanglingSymlinkDropsThePendingOperationOnly) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "dangling", 10, 0);
    stream.close();
    std::string temporary = changes.ops.at(dir / "dangling").source;
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);

    scheduleRemove(changes, dir / "dangling");
    EXPECT_TRUE(isEmpty(changes));
    EXPECT_FALSE(exists(temporary));  // staged by us and never to be moved
    EXPECT_TRUE(exists(dir / "dangling"));
}

struct KeepRow {
    const char* name;
    const char* onDisk;  // "", "dir", "file" or "dirlink"
    int pending;         // -1 none, otherwise a FileOpKind value
    bool result;
    bool opRemains;
};

class KeepDirectoryTest : public testing::TestWithParam<KeepRow> {};

TEST_P(KeepDirectoryTest, Decides) {
    const KeepRow& row = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir / "p";
    std::string onDisk = row.onDisk;
    if (onDisk == "dir") {
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    } else if (onDisk == "file") {
        writeFile(path, "x");
    } else if (onDisk == "dirlink") {
        ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
        ASSERT_EQ(::symlink("real", path.c_str()), 0);
    }
    ChangeSet changes;
    if (row.pending >= 0) {
        setOp(changes, path, static_cast<FileOpKind>(row.pending), row.pending == 4 ? "" : "/src");
    }
    std::string before = describe(changes);

    EXPECT_EQ(keepDirectory(changes, path), row.result);
    EXPECT_EQ(describe(changes), row.opRemains ? before : "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KeepDirectoryTest,
    testing::Values(KeepRow{"MissingWillBeCreated", "", -1, true, false},
                    KeepRow{"ExistingDirectory", "dir", -1, true, false},
                    KeepRow{"SymlinkToDirectory", "dirlink", -1, true, false},
                    KeepRow{"PlainFile", "file", -1, false, false},
                    KeepRow{"PendingUnlinkOfDirectoryIsDropped", "dir", 4, true, false},
                    KeepRow{"PendingUnlinkOfFileIsDroppedButRefused", "file", 4, false, false},
                    KeepRow{"PendingMoveTempKept", "dir", 1, false, true},
                    KeepRow{"PendingMoveKept", "", 0, false, true},
                    KeepRow{"PendingLinkKept", "dir", 3, false, true}),
    [](const testing::TestParamInfo<KeepRow>& info) { return std::string(info.param.name); });

TEST(CancelTest, DeletesTemporaryFilesButNeverMoveSources) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "move-source", "mine");
    writeFile(dir / "victim", "stays");
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "new", 10, 0);
    stream << "data";
    stream.close();
    std::string temporary = changes.ops.at(dir / "new").source;
    scheduleMove(changes, dir / "move-source", dir / "moved");
    scheduleRemove(changes, dir / "victim");
    scheduleLink(changes, "x", dir / "link");

    cancel(changes);
    EXPECT_TRUE(isEmpty(changes));
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(readFile(dir / "move-source"), "mine");
    EXPECT_EQ(readFile(dir / "victim"), "stays");
    EXPECT_FALSE(exists(dir / "link"));
    EXPECT_FALSE(exists(dir / "moved"));
}

// A cancelled manifest deletes the files the saving run staged, and never
// the source of a plain move (an uploaded package that was to become an
// image), whichever installer wrote the manifest.
TEST(CancelTest, LoadedManifestDeletesOnlyStagedFiles) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "tmpAAAAAA", "staged by the earlier run");
    writeFile(dir / "tmpBBBBBB", "named like one, but a plain move");
    writeFile(dir / "upload.vpa", "an uploaded package");
    writeFile(dir / "MANIFEST", "M " + (dir / "a") + " " + (dir / "tmpAAAAAA") + " T\n" +
                                    "M " + (dir / "b") + " " + (dir / "tmpBBBBBB") + "\n" +
                                    "M " + (dir / "image") + " " + (dir / "upload.vpa") + "\n");
    ChangeSet changes;
    ASSERT_TRUE(loadManifest(changes, dir / "MANIFEST"));
    cancel(changes);
    EXPECT_TRUE(isEmpty(changes));
    EXPECT_FALSE(exists(dir / "tmpAAAAAA"));
    EXPECT_TRUE(exists(dir / "tmpBBBBBB"));
    EXPECT_EQ(readFile(dir / "upload.vpa"), "an uploaded package");
}

// A run that stages a file and then learns that its target is to go (it
// does not exist, so nothing is recorded) deletes the staged file.
TEST(ScheduleRemoveTest, DroppedStagedFileIsDeleted) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "upload.vpa", "package");
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "disabled", 5, 0);
    stream << "auto\n";
    stream.close();
    const std::string temporary = changes.ops.at(dir / "disabled").source;
    ASSERT_TRUE(exists(temporary));
    scheduleMove(changes, dir / "upload.vpa", dir / "image");

    scheduleRemove(changes, dir / "disabled");
    scheduleRemove(changes, dir / "image");

    EXPECT_TRUE(isEmpty(changes));
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(readFile(dir / "upload.vpa"), "package");
}

// ------------------------------------------------------------ openReplacement

// The temporary name: directory, "/tmp", six characters from mkstemp.
void expectTemporaryIn(const std::string& temporary, const std::string& directory) {
    EXPECT_EQ(parentDir(temporary), directory);
    EXPECT_EQ(temporary.size(), directory.size() + 10) << temporary;
    EXPECT_EQ(temporary.compare(directory.size(), 4, "/tmp"), 0) << temporary;
}

TEST(OpenReplacementTest, PutsTheFileInTheNearestExistingAncestor) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(::mkdir((dir / "a").c_str(), 0755), 0);
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "a/b/c/file", 5, 0640);
    stream << "hello";
    stream.close();
    ASSERT_TRUE(stream.good());

    const FileOp& op = changes.ops.at(dir / "a/b/c/file");
    EXPECT_EQ(op.kind, FileOpKind::MoveTemp);
    expectTemporaryIn(op.source, dir / "a");
    EXPECT_EQ(readFile(op.source), "hello");
    struct stat st {};
    ASSERT_EQ(::stat(op.source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(exists(dir / "a/b"));  // nothing else is touched before commit
}

struct RoomRow {
    const char* name;
    std::uint32_t sizeHint;
    bool beside;
};

class OpenReplacementRoomTest : public testing::TestWithParam<RoomRow> {};

// A 64 KiB tmpfs has 16 free blocks of 4096 bytes: 65536 bytes. The file
// plus a tenth must be strictly less than that.
TEST_P(OpenReplacementRoomTest, NeedsRoomForTheFilePlusATenth) {
    const RoomRow& row = GetParam();
    if (!row.beside && hostHasRam()) {
        GTEST_SKIP() << "this host has a /ram of its own, which the test must not write to";
    }
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string why = dir.mountTmpfs("small", 65536);
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "small/sub/file", row.sizeHint, 0);
    if (row.beside) {
        const FileOp& op = changes.ops.at(dir / "small/sub/file");
        EXPECT_EQ(op.kind, FileOpKind::MoveTemp);
        expectTemporaryIn(op.source, dir / "small");
        EXPECT_TRUE(stream.good());
    } else {
        // It went for /ram, which this host lacks: a failed stream, nothing
        // recorded, nothing made beside the target.
        EXPECT_TRUE(stream.fail());
        EXPECT_EQ(changes.ops.count(dir / "small/sub/file"), 0u);
        EXPECT_TRUE(std::filesystem::is_empty(dir / "small"));
    }
    stream.close();
    cancel(changes);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OpenReplacementRoomTest,
    testing::Values(RoomRow{"FitsWithOneByteToSpare", 59578, true},  // 59578 + 5957 = 65535
                    RoomRow{"ExactlyFullGoesToRam", 59579, false},   // 59579 + 5957 = 65536
                    RoomRow{"FarTooLargeGoesToRam", 4000000000u, false},
                    RoomRow{"NoHintGoesToRam", 0, false}),
    [](const testing::TestParamInfo<RoomRow>& info) { return std::string(info.param.name); });

TEST(OpenReplacementTest, UncreatableTemporaryFileGivesAFailedStreamOrNoDescriptor) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string why = dir.mountTmpfs("readonly", 65536, true);
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    ChangeSet changes;
    std::ofstream stream;
    openReplacement(stream, changes, dir / "readonly/file", 10, 0644);
    EXPECT_TRUE(stream.fail());
    stream << "lost";
    EXPECT_TRUE(stream.fail());
    // Nothing is recorded under a name mkstemp did not create for us, and a
    // pending operation for the target from before stays as it was.
    EXPECT_EQ(changes.ops.count(dir / "readonly/file"), 0u);
    EXPECT_EQ(createReplacement(changes, dir / "readonly/file", 10, 0644), -1);
    EXPECT_TRUE(changes.ops.empty());
    scheduleLink(changes, "x", dir / "readonly/other");
    openReplacement(stream, changes, dir / "readonly/other", 10, 0644);
    EXPECT_EQ(changes.ops.at(dir / "readonly/other").kind, FileOpKind::Link);
}

TEST(CreateReplacementTest, HandsBackTheOpenFileWithItsMode) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ChangeSet changes;
    // Even a mode without write permission: the descriptor is already open
    // for writing, and the type bits of an archive mode are ignored.
    const int fd = createReplacement(changes, dir / "sub/file", 5, 0x8000 | 0444);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "hello", 5), 5);
    EXPECT_EQ(::close(fd), 0);
    const FileOp& op = changes.ops.at(dir / "sub/file");
    EXPECT_EQ(op.kind, FileOpKind::MoveTemp);
    expectTemporaryIn(op.source, dir.path());
    EXPECT_EQ(readFile(op.source), "hello");
    struct stat st {};
    ASSERT_EQ(::stat(op.source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    const std::string temporary = op.source;
    cancel(changes);
    EXPECT_FALSE(exists(temporary));
}

// ------------------------------------------------------------------- commit

TEST(CommitTest, RemovesAndLinksBeforeAnyMove) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(::mkdir((dir / "x").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "x/dir").c_str(), 0755), 0);
    writeFile(dir / "x/dir/old1", "1");
    writeFile(dir / "x/dir/old2", "2");
    // The temporary file lies outside the directory (made beside a target
    // inside it, the removal would take it along).
    std::string temporary = dir / "tmpAbCdEf";
    writeFile(temporary, "new");
    ChangeSet changes;
    setOp(changes, dir / "x/dir/f", FileOpKind::MoveTemp, temporary);
    setOp(changes, dir / "x/dir/", FileOpKind::Unlink, "");

    ASSERT_TRUE(commit(changes, "", false));
    EXPECT_TRUE(isDirectory(dir / "x/dir"));
    EXPECT_EQ(readFile(dir / "x/dir/f"), "new");
    EXPECT_FALSE(exists(dir / "x/dir/old1"));
    EXPECT_FALSE(exists(dir / "x/dir/old2"));
    EXPECT_FALSE(exists(temporary));
    EXPECT_EQ(changes.ops.size(), 2u);  // the caller discards the change set
}

// The order a commit works in: removals that must come first, moves and
// links in key order, then the other removals; a removal of a file that a
// move or link replaces (under any spelling) is that rename itself.
TEST(CommitTest, PlanOrdersAndMergesTheSteps) {
    const struct {
        const char* name;
        std::vector<std::pair<std::string, FileOp>> ops;
        std::string firstKey;
        std::string plan;
    } rows[] = {
        {"RemovalOfAReplacedFileIsTheRename",
         {{"/f//bin/a", {FileOpKind::Unlink, ""}}, {"/f/bin/a", {FileOpKind::MoveTemp, "/f/tmpAbCdEf"}}},
         "",
         "M /f/bin/a /f/tmpAbCdEf;"},
        {"RemovalsComeAfterTheMoves",
         {{"/a", {FileOpKind::Unlink, ""}}, {"/z", {FileOpKind::Move, "/u"}}, {"/b", {FileOpKind::Link, "/t"}}},
         "",
         "L /b /t;M /z /u;U /a ;"},
        {"AFileWhereADirectoryMustGoGoesFirst",
         {{"/d/x", {FileOpKind::Unlink, ""}}, {"/d/x/y", {FileOpKind::Move, "/u"}}},
         "",
         "E /d/x ;M /d/x/y /u;"},
        {"FirstKeyLeads",
         {{"/a", {FileOpKind::Move, "/s1"}}, {"/b", {FileOpKind::Move, "/s2"}}},
         "/b",
         "M /b /s2;M /a /s1;"},
    };
    for (const auto& row : rows) {
        ChangeSet changes;
        for (const auto& [target, op] : row.ops) changes.ops[target] = op;
        std::string plan;
        for (const CommitStep& step : planCommit(changes, row.firstKey)) {
            plan += std::string(1, static_cast<char>(step.kind)) + " " + step.target + " " + step.source + ";";
        }
        EXPECT_EQ(plan, row.plan) << row.name;
    }
}

TEST(CommitTest, DirectoryWithSubdirectoryOrDotEntryStays) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    makeDirs(dir / "d/sub");
    writeFile(dir / "d/plain", "x");
    writeFile(dir / "d/.hidden", "x");
    makeDirs(dir / "e");
    writeFile(dir / "e/plain", "x");
    ChangeSet changes;
    setOp(changes, dir / "d", FileOpKind::Unlink, "");
    setOp(changes, dir / "e", FileOpKind::Unlink, "");
    setOp(changes, dir / "absent", FileOpKind::Unlink, "");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(commit(changes, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(exists(dir / "d/plain"));
    EXPECT_TRUE(exists(dir / "d/.hidden"));
    EXPECT_TRUE(isDirectory(dir / "d/sub"));
    EXPECT_FALSE(exists(dir / "e"));
}

TEST(CommitTest, LinkReplacesTheTargetAndMakesItsDirectories) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "old", "x");
    ChangeSet changes;
    scheduleLink(changes, "first/text", dir / "old");
    scheduleLink(changes, "../up", dir / "new/deep/link");

    ASSERT_TRUE(commit(changes, "", false));
    char buffer[64] = {};
    ASSERT_GT(::readlink((dir / "old").c_str(), buffer, sizeof buffer - 1), 0);
    EXPECT_STREQ(buffer, "first/text");
    char buffer2[64] = {};
    ASSERT_GT(::readlink((dir / "new/deep/link").c_str(), buffer2, sizeof buffer2 - 1), 0);
    EXPECT_STREQ(buffer2, "../up");
}

TEST(CommitTest, FailedRenameIsReportedAndTheRestStillHappens) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "present", "ok");
    writeFile(dir / "doomed", "x");
    ChangeSet changes;
    scheduleMove(changes, dir / "missing", dir / "a-target");
    scheduleMove(changes, dir / "present", dir / "b-target");
    scheduleLink(changes, "text", dir / "c-link");
    scheduleRemove(changes, dir / "doomed");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(commit(changes, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "rename: No such file or directory\n");
    EXPECT_FALSE(exists(dir / "a-target"));
    EXPECT_EQ(readFile(dir / "b-target"), "ok");
    EXPECT_TRUE(exists(dir / "c-link"));
    EXPECT_FALSE(exists(dir / "doomed"));
}

TEST(CommitTest, FailedLinkIsReported) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "file", "x");
    writeFile(dir / "src", "moved");
    ChangeSet changes;
    scheduleLink(changes, "text", dir / "file/below");  // a file cannot hold entries
    scheduleMove(changes, dir / "src", dir / "dst");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(commit(changes, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "symlink: Not a directory\n");
    EXPECT_EQ(readFile(dir / "dst"), "moved");
}

TEST(CommitTest, FirstKeyMovesFirstAndLeavesTheMap) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    makeDirs(dir / "d");
    writeFile(dir / "src", "early");
    writeFile(dir / "src2", "late");
    ChangeSet changes;
    scheduleMove(changes, dir / "src", dir / "d/early");
    scheduleMove(changes, dir / "src2", dir / "d/late");
    // The directory keeps what the change set moves into it.
    setOp(changes, dir / "d", FileOpKind::Unlink, "");

    ASSERT_TRUE(commit(changes, dir / "d/early", false));
    EXPECT_EQ(changes.ops.count(dir / "d/early"), 0u);
    EXPECT_EQ(readFile(dir / "d/early"), "early");
    EXPECT_EQ(readFile(dir / "d/late"), "late");
}

TEST(CommitTest, MoveAcrossFileSystemsCopiesAndLeavesTheSource) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string why = dir.mountTmpfs("other", 1 << 20);
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    std::string bytes(40000, 'q');
    writeFile(dir / "other/src", bytes);
    ASSERT_EQ(::chmod((dir / "other/src").c_str(), 0600), 0);
    ChangeSet changes;
    scheduleMove(changes, dir / "other/src", dir / "dest/file");

    ASSERT_TRUE(commit(changes, "", false));
    EXPECT_EQ(readFile(dir / "dest/file"), bytes);
    EXPECT_EQ(readFile(dir / "other/src"), bytes);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "dest/file").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(CommitTest, FailedCrossDeviceCopyIsReported) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string why = dir.mountTmpfs("other", 1 << 20);
    if (why.empty()) {
        why = dir.mountTmpfs("full", 8192);
    }
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    writeFile(dir / "other/src", std::string(40000, 'q'));
    ChangeSet changes;
    scheduleMove(changes, dir / "other/src", dir / "full/file");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(commit(changes, "", false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "copy: " + (dir / "full/file") + ": No space left on device\n");
    EXPECT_TRUE(exists(dir / "other/src"));
}

// A stopped commit is carried out again from its journal, from the first
// step: done over a finished commit, it changes nothing, and the journal
// goes. A journal that does not read whole is deleted unused.
TEST(CommitJournalTest, ReplayOverAFinishedCommitChangesNothing) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    setRecordDir(dir / "db/");
    for (const char* sub : {"db", "keep", "usr/lib"}) makeDirs(dir / sub);
    writeFile(dir / "keep/old", "old");  // a directory that keeps a file moved into it
    writeFile(dir / "keep/gone", "gone");
    writeFile(dir / "file-then-dir", "in the way");
    writeFile(dir / "replaced", "v1");
    writeFile(dir / "tmpAAAAAA", "v2");
    writeFile(dir / "tmpBBBBBB", "new");
    writeFile(dir / "usr/lib/x", "old x");  // also reached as lib/x
    ASSERT_EQ(::symlink("usr/lib", (dir / "lib").c_str()), 0);
    writeFile(dir / "tmpCCCCCC", "new x");
    ChangeSet changes;
    setOp(changes, dir.path() + "/lib//x", FileOpKind::Unlink, "");
    setOp(changes, dir / "usr/lib/x", FileOpKind::MoveTemp, dir / "tmpCCCCCC");
    setOp(changes, dir / "keep/", FileOpKind::Unlink, "");
    setOp(changes, dir / "keep/old", FileOpKind::MoveTemp, dir / "tmpBBBBBB");
    setOp(changes, dir / "file-then-dir", FileOpKind::Unlink, "");
    setOp(changes, dir / "file-then-dir/x", FileOpKind::Link, "/somewhere");
    setOp(changes, dir.path() + "//replaced", FileOpKind::Unlink, "");
    setOp(changes, dir / "replaced", FileOpKind::MoveTemp, dir / "tmpAAAAAA");
    const std::string journal = journalText(planCommit(changes, ""), false);

    ASSERT_TRUE(commit(changes, "", false));
    EXPECT_FALSE(exists(dir / "db/.journal"));
    const std::string after = readFile(dir / "keep/old") + readFile(dir / "replaced") + readFile(dir / "lib/x");
    EXPECT_EQ(after, "newv2new x");
    EXPECT_FALSE(exists(dir / "keep/gone"));
    EXPECT_TRUE(isDirectory(dir / "file-then-dir"));
    EXPECT_EQ(readFile(dir / "usr/lib/x"), "new x");

    for (const std::string& text : {journal, journal.substr(0, journal.size() - 1)}) {
        writeFile(dir / "db/.journal", text);
        EXPECT_TRUE(finishInterruptedCommit());
        EXPECT_FALSE(exists(dir / "db/.journal"));
        EXPECT_EQ(readFile(dir / "keep/old") + readFile(dir / "replaced") + readFile(dir / "lib/x"), after);
        char link[64] = {};
        EXPECT_GT(::readlink((dir / "file-then-dir/x").c_str(), link, sizeof link - 1), 0);
        EXPECT_STREQ(link, "/somewhere");
    }
    EXPECT_FALSE(finishInterruptedCommit());
    setRecordDir("");
}

// Staged files a stopped run left in a registered directory go; a file a
// package owns goes nowhere, whatever its name.
TEST(CommitJournalTest, LeftoversGoButNotWhatAPackageOwns) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    setRecordDir(dir / "db/");
    makeDirs(dir / "db");
    makeDirs(dir / "bin");
    ChangeSet changes;
    const int fd = createReplacement(changes, dir / "bin/new", 1, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    writeFile(dir / "bin/tmpOwned", "a package's file");
    writeFile(dir / "bin/plain", "x");
    ASSERT_TRUE(hasStagingRecords());

    removeStagedLeftovers({collapsedPath(dir / "bin//tmpOwned")});
    EXPECT_FALSE(exists(changes.ops[dir / "bin/new"].source));
    EXPECT_TRUE(exists(dir / "bin/tmpOwned"));
    EXPECT_TRUE(exists(dir / "bin/plain"));
    EXPECT_FALSE(hasStagingRecords());
    EXPECT_FALSE(exists(dir / "db/.staged"));
    setRecordDir("");
}

}  // namespace
}  // namespace velmora
