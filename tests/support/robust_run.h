// Whole runs as the program makes them, for tests that judge a run by what it
// leaves in the target folder: the apply thread over an updater file on this
// thread, then the window's handling of the end code (on codes 1, 2 and 18 it
// restores the changed files), and the folder's files with their last-write
// times before and after.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/updater_state.h"
#include "support/result_code.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_prompts.h"
#include "tests/support/test_platform.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::test {

struct FileState {
    Bytes contents;
    uint64_t time = 0;  // last-write time, FILETIME ticks
    bool operator==(const FileState&) const = default;
};
// Every file below a folder by relative path (backslashes).
using TreeState = std::map<std::string, FileState>;

TreeState ReadTreeState(const std::string& folder);
// Writes each file (making its folders) and gives it its time.
bool WriteTreeState(const std::string& folder, const TreeState& tree);
// A readable account of how two trees differ ("" when they are equal).
std::string DescribeDifference(const TreeState& expected, const TreeState& actual);

// A package body (as BuildPackage gives it) with its trailer computed again,
// for packages patched after they were built.
void RehashTrailer(writer::Bytes* body);
// Offset of the first occurrence of `marker` in `body` (npos when absent).
size_t FindMarker(const writer::Bytes& body, const std::string& marker);
void PutU32At(writer::Bytes* body, size_t offset, uint32_t value);

// How a whole run ended.
struct RunOutcome {
    Result result = 0;
    uint32_t endCode = 0;
    intptr_t endValue = 0;
    bool restored = false;  // the window restored the changed files
    std::vector<std::string> changedFiles;
};

class WholeRun {
  public:
    WholeRun();
    ~WholeRun();
    WholeRun(const WholeRun&) = delete;
    WholeRun& operator=(const WholeRun&) = delete;

    UpdaterState& state() { return *state_; }
    RecordingSink& sink() { return sink_; }
    ScriptedPrompts& prompts() { return prompts_; }

    // The apply thread over the updater file at `path` (the user answers Yes
    // unless the script says otherwise), then the window's actions for its
    // end code. Runs once per object.
    RunOutcome Run(const std::string& updaterPath);
    // Writes stub image + `body` into a scratch folder and runs it.
    RunOutcome RunBody(const writer::Bytes& body);
    RunOutcome RunPackage(const writer::Package& package);

    // Called when the thread has ended, before the window handles its end
    // code (to arm a fault for the restore).
    std::function<void()> beforeEndCode;

  private:
    std::unique_ptr<UpdaterState> state_;
    RecordingSink sink_;
    ScriptedPrompts prompts_;
};

// A package for the folder `target`, named in full (type 3 without a base),
// from version 1.0 to 1.1 of "App", with no entries yet.
writer::Package PackageForFolder(const std::string& target);

// A whole run over `body` that also counts what it asked of the system.
struct MeteredRun {
    RunOutcome outcome;
    uint64_t reads = 0;            // calls to read a file
    size_t largestAllocation = 0;  // the largest block asked of a heap
};
MeteredRun RunMetered(const writer::Bytes& body);

}  // namespace kzp::test
