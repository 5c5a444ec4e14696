#include "storage/free_space.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "storage/change_set.h"
#include "storage/run_records.h"
#include "storage_test_support.h"

using namespace velmora; using namespace velmora::storage_test;
constexpr std::uint32_t kBlock = 4096;  // tmpfs block size on this host

// A size in bytes, or in blocks followed by "b" and bytes more ("12b1").
static std::uint64_t sizeOf(const std::string& w) {
    std::size_t end = 0; const std::uint64_t value = std::stoull(w, &end);
    return end == w.size() ? value : value * kBlock + (end + 1 < w.size() ? std::stoull(w.substr(end + 1)) : 0);
}

// Each account must keep more than 16 blocks free. Rows: a scratch /flash and /flash/boot of so many blocks
// (boot 0: none, its statfs fails and it counts bytes against nothing) beside a roomy /ram, a script of
// steps, and whether the changes fit. Steps: "w PATH SIZE" writes a file, "s PATH SIZE" stages a new file
// for PATH as the archive writer does, "m FROM TO" moves, "r" removes, "l" links, "u" removes without
// asking the disk, "d PATH" keeps the run's records (and so the commit journal) in PATH.
TEST(FreeSpaceTest, EachAccountKeepsMoreThanSixteenBlocks) {
    const struct { unsigned flash, boot; const char* script; bool fits; } rows[] = {
        {17, 17, "l flash/l", true}, {16, 17, "l flash/l", false}, {17, 16, "l flash/l", false},
        {20, 20, "w flash/a 2b r flash/a w flash/boot/b 3b1 r flash/boot/b u flash/no u ram/x", true},
        // A new file from elsewhere takes its blocks, rounded up.
        {64, 20, "w ram/n 47b m ram/n flash/n", true}, {64, 20, "w ram/n 47b1 m ram/n flash/n", false},
        // One from elsewhere is copied beside the old file before that goes: both need room during the commit.
        {40, 20, "w flash/t 10b w ram/n 13b m ram/n flash/t", true},
        {40, 20, "w flash/t 10b w ram/n 14b m ram/n flash/t", false},
        // A file on the flash already costs nothing more, below new directories too ("new" is not "newer").
        {40, 20, "w flash/t 10b w flash/tmpABCDEF 12b m flash/tmpABCDEF flash/t", true},
        {80, 20, "w flash/newer 10b s flash/new/x/a 13b s flash/new/y/b 12b1 s flash/newer 3b", true},
        {80, 20, "w flash/newer 10b s flash/new/x/a 13b s flash/new/y/b 37b1 s flash/newer 3b", false},
        // The boot account counts the paths that begin with its text.
        {64, 20, "w ram/i 4b m ram/i flash/bootimage", false}, {64, 20, "w ram/i 4b m ram/i flash/var/image", true},
        {64, 0, "", false}, {64, 0, "w noboot-huge 3000000000 r noboot-huge", true},
        {64, 0, "w noboot-x 16 r noboot-x", false},  // the account it cannot read starts from nothing
        // The commit's journal is charged where it is kept: 40 - 23 - 1 leaves 16.
        {40, 20, "d flash/db/ w ram/n 23b m ram/n flash/n", false},
        {40, 20, "d ram/db/ w ram/n 23b m ram/n flash/n", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script); ScratchDir dir; ChangeSet changes; std::istringstream script(row.script);
        if (!dir.mount("flash", row.flash * kBlock) || (row.boot && !dir.mount("flash/boot", row.boot * kBlock)) ||
            !dir.mount("ram", 16 << 20))
            GTEST_SKIP() << "cannot mount a tmpfs";
        for (std::string step, path, word; script >> step >> path;) {
            path = dir / path; if (step == "w" || step == "s" || step == "m") script >> word;
            const std::uint64_t size = step == "w" || step == "s" ? sizeOf(word) : 0;
            const std::string bytes(std::min<std::uint64_t>(size, 1 << 24), 'b');  // a larger file is sparse
            if (step == "w") { writeFile(path, bytes); ASSERT_EQ(::truncate(path.c_str(), off_t(size)), 0); }
            const int fd = step == "s" ? createReplacement(changes, path, std::uint32_t(size), 0644) : -1;
            if (fd >= 0) { ASSERT_EQ(::write(fd, bytes.data(), size), ssize_t(size)); ::close(fd); }
            if (step == "m") scheduleMove(changes, path, dir / word);
            if (step == "r") scheduleRemove(changes, path);
            if (step == "l") scheduleLink(changes, "x", path); else if (step == "d") setRecordDir(path);
            if (step == "u") setOp(changes, path, FileOpKind::Unlink, "");
        }
        EXPECT_EQ(checkSpaceAt(changes, dir / "flash", dir / (row.boot ? "flash/boot" : "noboot")), row.fits);
        cancel(changes); setRecordDir("");
    }
}
