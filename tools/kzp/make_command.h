// `kzp make`: its options and its run. The work itself is package_maker's.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tools/kzp/make_settings.h"

namespace CLI {
class App;
}

namespace kzp::tool {

struct MakeOptions {
    std::string project;
    std::vector<std::string> folders;
    std::optional<std::string> output, stub, title, oldVersion, newVersion, copyright, password,
        launch;
    std::optional<std::string> documentBefore, documentAfter, verify, languages;
    std::optional<uint32_t> codePage, blockSize, opcodeCost;
    std::optional<uint64_t> memoryMiB;
    bool fastApply = false, smallest = false, compact = false;
    bool keepBackups = false, deleteBackups = false;
    bool ignoreMissingUpdate = false, overwriteOnAdd = false, ignoreMissingDelete = false;
    bool targetAsk = false;
    std::vector<std::string> targetRegistry, targetIni, targetFolder, rules;
    std::optional<std::string> checkWindowTitle, checkWindowClass, checkProgram, checkWait;
    bool quiet = false;
    bool json = false;  // a JSON summary on standard output instead of the text report
};

// Adds the command and its options to `app`; parsing fills `options`.
CLI::App* AddMakeCommand(CLI::App& app, MakeOptions& options);
// Every option that shapes the package (all but the folders, the output, the
// old version's name and how the result is printed). kzp release takes the
// same ones through this, so an option added here reaches both commands.
void AddPackageOptions(CLI::App& command, MakeOptions& options);
// The settings the options ask for: the project file's, with the options'
// over them. Throws SettingsError.
MakeSettings SettingsFrom(const MakeOptions& options);
int RunMake(const MakeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kzp::tool
