#include "tests/support/package_fixture.h"

#include <cstring>

#include "platform/posix/posix_os.h"
#include "support/file_helpers.h"
#include "support/text.h"
#include "tests/support/test_platform.h"

namespace kzp::test {

namespace {

UpdaterFile WriteImageAnd(const writer::Bytes& body, const writer::Layout& layout,
                          UpdaterState* state) {
    UpdaterFile file;
    file.folder = NewScratchFolder();
    file.path = file.folder + "\\update.exe";
    file.layout = layout;
    writer::Bytes bytes = writer::MakeStubImage();
    bytes.insert(bytes.end(), body.begin(), body.end());
    file.size = static_cast<uint32_t>(bytes.size());
    WriteBytes(file.path, bytes);
    if (state != nullptr) {
        CopyText(state->packagePath, kMaxPath, file.path.c_str());
        if (Posix() != nullptr) Posix()->SetModulePath(file.path);
    }
    return file;
}

void CopyName(char* target, const std::string& name) {
    std::memset(target, 0, kMaxPath);
    CopyText(target, kMaxPath, name.c_str());
}

}  // namespace

UpdaterFile WriteUpdaterFile(const writer::Package& package, UpdaterState* state) {
    writer::Layout layout;
    writer::Bytes body = writer::BuildPackage(package, &layout);
    return WriteImageAnd(body, layout, state);
}

UpdaterFile WriteRawUpdaterFile(const writer::Bytes& body, UpdaterState* state) {
    return WriteImageAnd(body, writer::Layout{}, state);
}

OpenedPackage::OpenedPackage(const std::string& path)
    : handle_(OpenFileForRead(path.c_str(), kFileShareRead, 0)),
      file_(std::make_unique<PackageFile>(handle_)) {}

OpenedPackage::~OpenedPackage() {
    if (handle_ != kInvalidFile) TheOs().CloseFile(handle_);
}

FileEntry UpdateEntryOf(const writer::Package& package, const writer::Layout& layout, size_t i) {
    const writer::UpdateEntry& source = package.updates.at(i);
    FileEntry entry{};
    CopyName(entry.name, source.name);
    std::memcpy(entry.digest, source.digest.data(), 16);
    entry.fileTime = FileTime{source.fileTime.low, source.fileTime.high};
    entry.dataOffset = source.dataOffsetOverride.value_or(layout.updateOffsets.at(i));
    entry.dataLength =
        source.dataLengthOverride.value_or(static_cast<uint32_t>(source.stream.size()));
    return entry;
}

FileEntry AddEntryOf(const writer::Package& package, const writer::Layout& layout, size_t i) {
    const writer::AddEntry& source = package.adds.at(i);
    FileEntry entry{};
    CopyName(entry.name, source.name);
    entry.fileTime = FileTime{source.fileTime.low, source.fileTime.high};
    entry.dataOffset = source.dataOffsetOverride.value_or(layout.addOffsets.at(i));
    entry.dataLength =
        source.dataLengthOverride.value_or(static_cast<uint32_t>(source.contents.size()));
    return entry;
}

FileEntry DeleteEntryOf(const writer::Package& package, size_t i) {
    const writer::DeleteEntry& source = package.deletes.at(i);
    FileEntry entry{};
    CopyName(entry.name, source.name);
    std::memcpy(entry.digest, source.digest.data(), 16);
    return entry;
}

ScopedUpdaterState::ScopedUpdaterState() : state_(std::make_unique<UpdaterState>()) {
    InitUpdaterState(state_.get(), kNoInstance);
    state_->sink = &sink_;
}

ScopedUpdaterState::~ScopedUpdaterState() {
    ReleaseUpdaterState(state_.get());
}

void ScopedUpdaterState::SetTargetFolder(const std::string& folder) {
    CopyText(state_->targetFolder, kMaxPath, folder.c_str());
    AppendBackslashIfMissing(state_->targetFolder, kMaxPath);
}

void ScopedUpdaterState::SetOldVersion(const std::string& version) {
    CopyText(state_->oldVersion, kMaxPath, version.c_str());
}

std::vector<std::string> ScopedUpdaterState::ChangedFiles() const {
    std::vector<std::string> paths;
    StringList* list = state_->changedFiles;
    if (list == nullptr) return paths;
    for (int32_t i = 0; i < list->Count(); ++i) paths.emplace_back(list->Get(i));
    return paths;
}

}  // namespace kzp::test
