// Packages on disk for engine tests: an updater file (stub image of 0x18000
// bytes followed by a package) written into its own scratch folder, opened as
// the apply thread opens it, and the file entries that its lists hold.
#pragma once

#include <memory>
#include <string>

#include "app/updater_state.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "tests/support/recording_sink.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::test {

struct UpdaterFile {
    std::string folder;  // its scratch folder (Windows form)
    std::string path;    // folder + "\update.exe"
    writer::Layout layout;
    uint32_t size = 0;  // of the whole file
};

// Writes stub image + package. With a state, points state->packagePath (and
// the POSIX seam's module path, when there is one) at the file.
UpdaterFile WriteUpdaterFile(const writer::Package& package, UpdaterState* state = nullptr);
// Stub image followed by `body` as it stands (no trailer is added).
UpdaterFile WriteRawUpdaterFile(const writer::Bytes& body, UpdaterState* state = nullptr);

// The updater file opened shared for reading, as the apply thread opens it,
// with its PackageFile. Closed on destruction.
class OpenedPackage {
  public:
    explicit OpenedPackage(const std::string& path);
    ~OpenedPackage();
    OpenedPackage(const OpenedPackage&) = delete;
    OpenedPackage& operator=(const OpenedPackage&) = delete;

    bool ok() const { return handle_ != kInvalidFile; }
    PackageFile& file() { return *file_; }

  private:
    FileHandle handle_;
    std::unique_ptr<PackageFile> file_;
};

// The entries as the package reader would produce them.
FileEntry UpdateEntryOf(const writer::Package& package, const writer::Layout& layout, size_t i);
FileEntry AddEntryOf(const writer::Package& package, const writer::Layout& layout, size_t i);
FileEntry DeleteEntryOf(const writer::Package& package, size_t i);

// An UpdaterState prepared with InitUpdaterState, with a recording sink, a
// target folder and an old version name; released on destruction.
class ScopedUpdaterState {
  public:
    ScopedUpdaterState();
    ~ScopedUpdaterState();
    ScopedUpdaterState(const ScopedUpdaterState&) = delete;
    ScopedUpdaterState& operator=(const ScopedUpdaterState&) = delete;

    UpdaterState& state() { return *state_; }
    const UpdaterState& state() const { return *state_; }
    RecordingSink& sink() { return sink_; }
    const RecordingSink& sink() const { return sink_; }
    // `folder` gets a trailing backslash, as the target folder always has.
    void SetTargetFolder(const std::string& folder);
    void SetOldVersion(const std::string& version);
    // The paths recorded in changedFiles, in order.
    std::vector<std::string> ChangedFiles() const;

  private:
    std::unique_ptr<UpdaterState> state_;
    RecordingSink sink_;
};

}  // namespace kzp::test
