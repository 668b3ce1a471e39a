// kzp: makes self-applying updates from two folders (or one per old release),
// inspects them, applies them from a console, tells which one fits a folder
// and repairs folders that an interrupted run left. Each
// command lives in its own files (its options and its run); this file only
// puts them together.
#include <CLI/CLI.hpp>
#include <iostream>

#include "tools/kzp/apply_command.h"
#include "tools/kzp/exit_codes.h"
#include "tools/kzp/identify_command.h"
#include "tools/kzp/info_command.h"
#include "tools/kzp/make_command.h"
#include "tools/kzp/recover_command.h"
#include "tools/kzp/release_command.h"

#ifndef KZP_VERSION
#define KZP_VERSION "(unknown version)"
#endif

using namespace kzp::tool;

int main(int argc, char** argv) {
    CLI::App app{"kzp: make self-applying updates, inspect them, apply them"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "kzp " KZP_VERSION);

    MakeOptions make;
    CLI::App* makeCommand = AddMakeCommand(app, make);
    InfoOptions info;
    CLI::App* infoCommand = AddInfoCommand(app, info);
    ApplyOptions apply;
    CLI::App* applyCommand = AddApplyCommand(app, apply);
    RecoverOptions recover;
    CLI::App* recoverCommand = AddRecoverCommand(app, recover);
    ReleaseOptions release;
    CLI::App* releaseCommand = AddReleaseCommand(app, release);
    IdentifyOptions identify;
    CLI::App* identifyCommand = AddIdentifyCommand(app, identify);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (makeCommand->parsed()) return RunMake(make, std::cout, std::cerr);
    if (infoCommand->parsed()) return RunInfo(info, std::cout, std::cerr);
    if (applyCommand->parsed()) return RunApply(apply, std::cout, std::cerr);
    if (recoverCommand->parsed()) return RunRecover(recover, std::cout, std::cerr);
    if (releaseCommand->parsed()) return RunRelease(release, std::cout, std::cerr);
    if (identifyCommand->parsed()) return RunIdentify(identify, std::cout, std::cerr);
    return kExitUsage;
}
