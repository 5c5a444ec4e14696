#pragma once
// The installer's command line: one scan of the options, then one run mode.

namespace velmora {

// Runs the installer with the given arguments; the result is the exit status.
int runInstaller(int argc, char** argv);

}  // namespace velmora
