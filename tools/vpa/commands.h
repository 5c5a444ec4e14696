#pragma once
// The commands of the vpa tool. Each takes the arguments after its name,
// prints its own diagnostics and returns the process exit status.

#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "package_builder.h"

namespace velmora {

struct CommandInfo {
    const char* name;
    const char* summary;  // one line for the overview
    const char* help;     // the full text of "vpa help NAME"
    int (*run)(const std::vector<std::string>& args);
};

int runBuild(const std::vector<std::string>& args);
int runBundle(const std::vector<std::string>& args);
int runExtract(const std::vector<std::string>& args);
int runInspect(const std::vector<std::string>& args);
int runKeygen(const std::vector<std::string>& args);
int runSign(const std::vector<std::string>& args);
int runVerify(const std::vector<std::string>& args);

extern const char* const BuildHelp;
extern const char* const BundleHelp;
extern const char* const ExtractHelp;
extern const char* const InspectHelp;
extern const char* const KeygenHelp;
extern const char* const SignHelp;
extern const char* const VerifyHelp;

// The private key of a command's --key option. Without the option: a null
// key and true. False after a message when the key file cannot be used.
bool signingKeyOption(const char* command, const ParsedOptions& parsed, std::optional<SigningKey>& key);

// Signs every package of image (each member of a bundle on its own) with a
// fresh random nonce each. False after a message when a signature could not
// be made.
bool signEveryPackage(const char* command, std::string& image, const SigningKey& key);


}  // namespace velmora
