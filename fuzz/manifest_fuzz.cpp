// Loads arbitrary bytes as a manifest, writes what was loaded back and
// checks that it loads as the same operations; reads the same bytes as a
// commit journal, which must be refused or write back byte for byte.
//
// A loaded manifest is never cancelled here: cancel deletes the source of
// every staged-move line, and a fuzzed manifest names any file at all. The
// load itself can delete too (a later line for the same target drops the
// earlier line's staged file), so every unlink outside the scratch tree is
// refused while the installer's code runs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/change_set.h"
#include "storage/commit_journal.h"
#include "throwaway_tree.h"

namespace {

using namespace velmora;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "manifest_fuzz: %s\n", what);
        std::abort();
    }
}

bool sameOps(const ChangeSet& a, const ChangeSet& b) {
    if (a.ops.size() != b.ops.size()) return false;
    auto other = b.ops.begin();
    for (const auto& [target, op] : a.ops) {
        if (other->first != target || other->second.kind != op.kind || other->second.source != op.source) {
            return false;
        }
        ++other;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string input = fuzz::throwawayRoot() + "/MANIFEST";
    static const std::string written = fuzz::throwawayRoot() + "/MANIFEST.again";
    fuzz::writeFile(input, reinterpret_cast<const char*>(data), size);

    fuzz::UnlinkGuard guard;
    ChangeSet loaded;
    loadManifest(loaded, input);
    for (const auto& [target, op] : loaded.ops) {
        check(op.kind == FileOpKind::Unlink || op.kind == FileOpKind::Link || op.kind == FileOpKind::Move ||
                  op.kind == FileOpKind::MoveTemp,
              "unknown operation kind");
        check(op.kind != FileOpKind::Unlink || op.source.empty(), "a removal with a source");
        // Words are split at spaces and lines at line feeds.
        check(target.find('\n') == std::string::npos && target.find(' ') == std::string::npos,
              "a target holds a separator");
        check(op.source.find('\n') == std::string::npos && op.source.find(' ') == std::string::npos,
              "a source holds a separator");
    }

    writeManifest(loaded, written);
    ChangeSet again;
    const bool readBack = loadManifest(again, written);
    check(readBack == !loaded.ops.empty(), "a written manifest does not load");
    check(sameOps(loaded, again), "a manifest does not load as it was written");

    // Written once more, it must be byte for byte what was written before.
    static const std::string third = fuzz::throwawayRoot() + "/MANIFEST.third";
    writeManifest(again, third);
    std::FILE* a = std::fopen(written.c_str(), "rb");
    std::FILE* b = std::fopen(third.c_str(), "rb");
    check(a != nullptr && b != nullptr, "written manifests cannot be read");
    for (;;) {
        const int x = std::fgetc(a);
        check(x == std::fgetc(b), "writing a manifest twice gives different bytes");
        if (x == EOF) break;
    }
    std::fclose(a);
    std::fclose(b);

    std::vector<CommitStep> steps;
    bool fromManifest = false;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (parseJournal(bytes, steps, fromManifest)) {
        check(journalText(steps, fromManifest) == bytes, "a journal does not write back as it was read");
    }

    // Dropped without cancel: see above.
    loaded.ops.clear();
    again.ops.clear();
    fuzz::takeRefusedUnlinks();
    return 0;
}
