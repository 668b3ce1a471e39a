#include "tests/support/robust_run.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "engine/apply_thread.h"
#include "engine/notification_view.h"
#include "engine/rollback.h"
#include "support/text.h"
#include "tests/support/faulty_os.h"

namespace kzp::test {

TreeState ReadTreeState(const std::string& folder) {
    TreeState tree;
    for (auto& [name, contents] : ReadTree(folder)) {
        FileState& file = tree[name];
        file.contents = std::move(contents);
        FileTimeOf(folder + "\\" + name, &file.time);
    }
    return tree;
}

bool WriteTreeState(const std::string& folder, const TreeState& tree) {
    for (const auto& [name, file] : tree) {
        const std::string path = folder + "\\" + name;
        const size_t slash = path.find_last_of('\\');
        if (!MakeFolder(path.substr(0, slash))) return false;
        if (!WriteBytes(path, file.contents) || !SetFileTimeOf(path, file.time)) return false;
    }
    return true;
}

std::string DescribeDifference(const TreeState& expected, const TreeState& actual) {
    std::ostringstream out;
    for (const auto& [name, file] : expected) {
        auto it = actual.find(name);
        if (it == actual.end()) {
            out << "missing " << name << "; ";
        } else if (it->second.contents != file.contents) {
            out << "contents of " << name << " differ (" << it->second.contents.size() << " bytes, "
                << file.contents.size() << " expected); ";
        } else if (it->second.time != file.time) {
            out << "time of " << name << " differs; ";
        }
    }
    for (const auto& [name, file] : actual) {
        if (expected.count(name) == 0) out << "stray " << name << "; ";
    }
    return out.str();
}

void RehashTrailer(writer::Bytes* body) {
    body->resize(body->size() - 16);
    writer::Digest digest = writer::Md5(*body);
    body->insert(body->end(), digest.begin(), digest.end());
}

size_t FindMarker(const writer::Bytes& body, const std::string& marker) {
    auto it = std::search(body.begin(), body.end(), marker.begin(), marker.end());
    return it == body.end() ? std::string::npos : static_cast<size_t>(it - body.begin());
}

void PutU32At(writer::Bytes* body, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*body)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

WholeRun::WholeRun() : state_(std::make_unique<UpdaterState>()) {
    InitUpdaterState(state_.get(), kNoInstance);
    state_->sink = &sink_;
    state_->prompts = &prompts_;
    // The window starts the thread before the run; -F is not given.
    state_->threadHandle = 1;
    state_->skipConfirm = 0;
}

WholeRun::~WholeRun() {
    ReleaseUpdaterState(state_.get());
}

RunOutcome WholeRun::Run(const std::string& updaterPath) {
    CopyText(state_->packagePath, kMaxPath, updaterPath.c_str());
    ApplyThread(state_.get());
    // The font is the window's; there is one per process, and the next run
    // would start without it.
    ReleasePackageFont();
    RunOutcome outcome;
    outcome.result = state_->runResult;
    const auto& all = sink_.All();
    if (!all.empty() && all.back().posted) {
        outcome.endCode = all.back().code;
        outcome.endValue = all.back().value;
    }
    for (int32_t i = 0; i < state_->changedFiles->Count(); ++i) {
        outcome.changedFiles.push_back(state_->changedFiles->Get(i));
    }
    // The window's thread: the actions for the end code, of which only the
    // restore touches files (backups are deleted only when the user closes).
    if (beforeEndCode) beforeEndCode();
    auto actions = std::make_unique<WindowActions>();
    DescribeNotification(*state_, outcome.endCode, outcome.endValue, actions.get());
    state_->threadHandle = kNoThread;
    for (int i = 0; i < actions->count; ++i) {
        if (actions->items[i].kind == WindowActionKind::kRestoreChangedFiles) {
            RestoreChangedFiles(*state_);
            outcome.restored = true;
        }
    }
    return outcome;
}

RunOutcome WholeRun::RunBody(const writer::Bytes& body) {
    const std::string path = NewScratchFolder() + "\\update.exe";
    writer::Bytes file = writer::MakeStubImage();
    file.insert(file.end(), body.begin(), body.end());
    WriteBytes(path, file);
    return Run(path);
}

RunOutcome WholeRun::RunPackage(const writer::Package& package) {
    return RunBody(writer::BuildPackage(package));
}

writer::Package PackageForFolder(const std::string& target) {
    writer::Package p;
    p.title = "App";
    p.oldVersion = "1.0";
    p.newVersion = "1.1";
    p.target.type = 3;
    p.target.rootOrBase = 6;  // no base: the path is complete
    p.target.path = target;
    return p;
}

MeteredRun RunMetered(const writer::Bytes& body) {
    FaultyOs counter(BaseOs());
    WholeRun run;
    MeteredRun metered;
    {
        ScopedOs use(counter);
        metered.outcome = run.RunBody(body);
    }
    metered.reads = counter.Count(OsCall::kRead);
    metered.largestAllocation = counter.LargestAllocation();
    return metered;
}

}  // namespace kzp::test
