#pragma once
// Carrying out a change set so that a kill or a power loss at any moment
// leaves every file whole and the next run able to finish the job.
//
// The commit first brings every file that sits on another file system (a
// file staged in /ram) across into a file beside its target, flushes
// everything, and writes the journal: the list of steps, whole or not at
// all. Only then does it touch a target. Each step replaces its target in
// one rename (a removal that a new file replaces is that same rename), and
// every step can be done again without harm, so the next run that finds
// the journal does all of it again and deletes the journal.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct ChangeSet;

enum class StepKind : char {
    RemoveFirst = 'E',  // a file where a new directory must go
    Place = 'M',        // rename source over target
    Link = 'L',         // a symbolic link with the text source, renamed over target
    Remove = 'U',       // delete target (a directory: its plain entries that nothing replaces)
};

struct CommitStep {
    StepKind kind = StepKind::Place;
    std::string target;
    std::string source;
};

// The steps of a change set in the order they are carried out: removals
// that must come first, then moves and links in key order, then the other
// removals. A removal of a path that a move or link also names is left out.
std::vector<CommitStep> planCommit(const ChangeSet& changes, const std::string& firstKey);

// Bytes the journal of these changes takes on the flash.
std::uint64_t journalSize(const ChangeSet& changes);

// The whole commit; false when any link, rename or copy failed.
bool commitChanges(ChangeSet& changes, const std::string& firstKey, bool progress);

// Finishes a commit that a stopped run left in its journal, then deletes
// the journal (and a manifest the commit carried out or made stale). False
// when there was no journal.
bool finishInterruptedCommit();

// The journal's text and its reader (for the fuzzer and the tests).
std::string journalText(const std::vector<CommitStep>& steps, bool fromManifest);
bool parseJournal(const std::string& text, std::vector<CommitStep>& steps, bool& fromManifest);

}  // namespace velmora
