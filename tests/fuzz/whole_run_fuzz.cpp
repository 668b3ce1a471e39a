// Whole runs over fuzzed packages: the apply thread end to end, then the
// window's handling of the end code, against a small target folder that is
// set up again for every input. The harness writes the package's header and
// its target-folder section itself (so that the target folder stays the
// scratch one) and the input supplies the rest: running-program check,
// documents, options, the three lists and the data area. The trailer is
// computed for whatever comes out, so the input is never refused as
// tampered.
//
// What must hold for every input:
// - nothing outside the target folder is created, changed or removed;
// - a run that fails or is cancelled leaves, once the window has restored
//   the changed files, the target folder exactly as it was (contents,
//   last-write times, names as Windows compares them, no stray file);
// - a run that succeeds loses no old file's contents: each is still in the
//   target folder, under its own name or a backup's;
// - every handle is closed.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/updater_state.h"
#include "engine/apply_thread.h"
#include "engine/notification_view.h"
#include "engine/prompts.h"
#include "engine/rollback.h"
#include "engine/status_notification.h"
#include "package/package_layout.h"
#include "support/md5.h"
#include "support/result_code.h"
#include "tests/fuzz/fuzz_platform.h"
#include "tests/fuzz/whole_run_prefix.h"

namespace kzp::fuzz {
namespace {

namespace fs = std::filesystem;

struct HostFile {
    std::string contents;
    // From stat: a package may give a file a time that file_time_type
    // cannot hold.
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    bool operator==(const HostFile&) const = default;
};
using HostTree = std::map<std::string, HostFile>;

HostTree ReadHostTree(const fs::path& root) {
    HostTree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        HostFile file;
        FILE* f = fopen(it->path().c_str(), "rb");
        Require(f != nullptr, "cannot read a file of the tree");
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) file.contents.append(buffer, n);
        fclose(f);
        struct stat status;
        Require(stat(it->path().c_str(), &status) == 0, "cannot stat a file of the tree");
        file.seconds = status.st_mtim.tv_sec;
        file.nanoseconds = status.st_mtim.tv_nsec;
        // Keyed as Windows tells names apart: a rollback that puts a file
        // back under the package's spelling of its name ("readmE.txt" for
        // "readme.txt") has put it back.
        std::string key = fs::relative(it->path(), root).string();
        for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        while (tree.count(key)) key += '\0';
        tree[key] = file;
    }
    return tree;
}

class Answers : public Prompts {
  public:
    bool Confirm(UpdaterState&, const char*, const char*) override { return true; }
    uint32_t PasswordDialog(UpdaterState&) override { return 0; }
    uint32_t TargetFolderDialog(UpdaterState&) override { return 1; }
    void DocumentDialog(UpdaterState&, const char*) override {}
};

class LastPost : public StatusSink {
  public:
    void Send(uint32_t, intptr_t) override {}
    void Post(uint32_t code, intptr_t value) override {
        ++posts;
        this->code = code;
        this->value = value;
    }
    int posts = 0;
    uint32_t code = 0;
    intptr_t value = 0;
};

struct Setup {
    ScratchFile updater = Scratch("updater.exe");
    ScratchFile outside = Scratch("outside.txt");
    fs::path root = Seam().HostPath("C:\\");
    fs::path target = Seam().HostPath(kWholeRunTarget);
    HostTree oldTree;
    HostTree outsideTree;

    Setup() {
        Seam().SetProcessTable({});
        Seam().SetWindows({});
        const std::string sentinel = "not the package's";
        Refill(outside, 0, reinterpret_cast<const uint8_t*>(sentinel.data()), sentinel.size());
        ResetTarget();
        oldTree = ReadHostTree(target);
    }

    void ResetTarget() {
        std::error_code ec;
        fs::remove_all(target, ec);
        for (const WholeRunOldFile& file : kWholeRunOldFiles) {
            fs::path path = target / file.hostName;
            fs::create_directories(path.parent_path());
            ScratchFile scratch{"", path.string()};
            Refill(scratch, 0, reinterpret_cast<const uint8_t*>(file.contents),
                   strlen(file.contents));
            fs::last_write_time(path, fs::file_time_type(std::chrono::seconds(1000000000)));
        }
    }
};

}  // namespace
}  // namespace kzp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    static fuzz::Setup* setup = new fuzz::Setup;
    setup->ResetTarget();
    const fuzz::HostTree outsideBefore = fuzz::ReadHostTree(setup->root);

    // Image, the harness's prefix, the input, the trailer.
    std::vector<uint8_t> body = fuzz::WholeRunPrefix();
    body.insert(body.end(), data, data + size);
    uint8_t digest[16];
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, body.data(), static_cast<uint32_t>(body.size()));
    Md5Final(digest, &context);
    body.insert(body.end(), digest, digest + 16);
    fuzz::Refill(setup->updater, kPackageOffset, body.data(), body.size());

    static UpdaterState* state = new UpdaterState;
    InitUpdaterState(state, kNoInstance);
    fuzz::LastPost sink;
    fuzz::Answers answers;
    state->sink = &sink;
    state->prompts = &answers;
    state->threadHandle = 1;
    strcpy(state->packagePath, setup->updater.windowsPath.c_str());
    ApplyThread(state);
    fuzz::Require(sink.posts == 1, "one end code");
    fuzz::Require(fuzz::Seam().OpenFileCount() == 0, "a file handle of the run was left open");

    // The window: the actions for the end code; only the restore touches files.
    static WindowActions* actions = new WindowActions;
    state->threadHandle = kNoThread;
    DescribeNotification(*state, sink.code, sink.value, actions);
    for (int i = 0; i < actions->count; ++i) {
        if (actions->items[i].kind == WindowActionKind::kRestoreChangedFiles)
            RestoreChangedFiles(*state);
    }
    const Result result = state->runResult;
    static const bool verbose = getenv("KZP_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        fprintf(stderr, "result 0x%x, %d changed files\n", result, state->changedFiles->Count());
    ReleaseUpdaterState(state);

    // Nothing outside the target folder.
    fuzz::HostTree after = fuzz::ReadHostTree(setup->root);
    fuzz::HostTree outsideAfter;
    for (auto& [name, file] : after) {
        if (name.rfind(std::string(fuzz::kWholeRunTargetHost) + "/", 0) != 0)
            outsideAfter[name] = file;
    }
    fuzz::HostTree outsideExpected;
    for (auto& [name, file] : outsideBefore) {
        if (name.rfind(std::string(fuzz::kWholeRunTargetHost) + "/", 0) != 0)
            outsideExpected[name] = file;
    }
    outsideExpected.erase("updater.exe");
    outsideAfter.erase("updater.exe");
    fuzz::Require(outsideAfter == outsideExpected, "a file outside the target folder was touched");

    fuzz::HostTree targetAfter = fuzz::ReadHostTree(setup->target);
    if (verbose) {
        for (const auto& [name, file] : targetAfter) {
            auto it = setup->oldTree.find(name);
            if (it == setup->oldTree.end() || !(it->second == file))
                fprintf(stderr, "after the run: %s (%zu bytes, %lld.%09lld)%s\n", name.c_str(),
                        file.contents.size(), static_cast<long long>(file.seconds),
                        static_cast<long long>(file.nanoseconds),
                        it == setup->oldTree.end() ? ", not in the old tree" : "");
        }
        for (const auto& [name, file] : setup->oldTree) {
            if (!targetAfter.count(name)) fprintf(stderr, "gone: %s\n", name.c_str());
        }
    }
    if (result != kResultOk) {
        fuzz::Require(targetAfter == setup->oldTree, "a failed run was not restored exactly");
    } else {
        for (const auto& [name, file] : setup->oldTree) {
            bool found = false;
            for (const auto& [otherName, other] : targetAfter)
                found = found || other.contents == file.contents;
            fuzz::Require(found, "a successful run lost an old file's contents");
        }
    }
    return 0;
}
