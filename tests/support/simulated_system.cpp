#include "tests/support/simulated_system.h"

#include <cstring>

#include "platform/handle_records.h"
#include "tests/support/test_platform.h"

namespace kzp::test {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string KeyName(RegistryRoot root, const std::string& key) {
    return std::to_string(static_cast<int>(root)) + "\\" + Lower(key);
}

// Copies a text as the Win32 calls do: the length without terminator, or the
// size needed when the buffer is too small.
uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
    if (text.size() + 1 > size) return static_cast<uint32_t>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<uint32_t>(text.size());
}

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

}  // namespace

SimulatedSystem::SimulatedSystem() : FaultyOs(BaseOs()) {}

void SimulatedSystem::SetRegistryValue(RegistryRoot root, const std::string& key,
                                       const std::string& name, const std::string& bytes) {
    registry_[KeyName(root, key)][Lower(name)] = bytes;
}

uint32_t SimulatedSystem::GetWindowsFolder(char* buffer, uint32_t size) {
    return CopyOut(windowsFolder, buffer, size);
}

uint32_t SimulatedSystem::GetSystemFolder(char* buffer, uint32_t size) {
    return CopyOut(systemFolder, buffer, size);
}

void SimulatedSystem::GetSpecialFolder(WindowHandle, int csidl, char* buffer260) {
    auto it = specialFolders.find(csidl);
    buffer260[0] = 0;
    if (it != specialFolders.end()) CopyOut(it->second, buffer260, 260);
}

uint32_t SimulatedSystem::VersionInfoSize(const char* file) {
    return shellVersion != 0 && Lower(file) == "shell32.dll" ? sizeof(FixedFileInfo) : 0;
}

bool SimulatedSystem::VersionInfoBlock(const char* file, uint32_t size, void* block) {
    if (VersionInfoSize(file) == 0 || size < sizeof(FixedFileInfo)) return false;
    FixedFileInfo info{};
    info.signature = kFixedFileInfoSignature;
    info.fileVersionMS = shellVersion;
    std::memcpy(block, &info, sizeof(info));
    return true;
}

bool SimulatedSystem::QueryRootVersionValue(const void* block, FixedFileInfo* info) {
    std::memcpy(info, block, sizeof(*info));
    return info->signature == kFixedFileInfoSignature;
}

bool SimulatedSystem::OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) {
    auto it = registry_.find(KeyName(root, subKey));
    if (it == registry_.end()) return false;
    *key = HandleOf<RegistryKey>(&it->second);
    return true;
}

bool SimulatedSystem::QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                                         uint32_t* size) {
    auto* values = RecordOf<std::map<std::string, std::string>>(key);
    auto it = values->find(Lower(valueName));
    if (it == values->end()) return false;
    const std::string& bytes = it->second;
    if (bytes.size() > *size) {
        *size = static_cast<uint32_t>(bytes.size());
        return false;  // ERROR_MORE_DATA
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    *size = static_cast<uint32_t>(bytes.size());
    return true;
}

bool SimulatedSystem::FindTopLevelWindow(const char* className, const char* windowName) {
    ++windowProbes;
    return findWindow ? findWindow(className, windowName) : false;
}

bool SimulatedSystem::Scan() {
    ++scans;
    if (beforeScan && !beforeScan()) return false;
    snapshot_ = processes;
    next_ = 0;
    return true;
}

bool SimulatedSystem::EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) {
    *returned = 0;
    if (!Scan()) return false;
    uint32_t n = 0;
    for (const Process& p : snapshot_) {
        if ((n + 1) * 4 > size) break;
        ids[n++] = p.id;
    }
    *returned = n * 4;
    return true;
}

ProcessHandle SimulatedSystem::OpenProcessForQuery(uint32_t processId) {
    for (size_t i = 0; i < snapshot_.size(); ++i) {
        if (snapshot_[i].id != processId) continue;
        if (!snapshot_[i].canOpen) return kNoProcess;
        return HandleNumber<ProcessHandle>(i + 1);
    }
    return kNoProcess;
}

bool SimulatedSystem::EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                                       uint32_t* needed) {
    const Process& p = snapshot_.at(NumberOf(process) - 1);
    if (!p.canListModules) return false;
    const size_t count = p.modules.size();
    *needed = static_cast<uint32_t>(count * sizeof(ModuleHandle));
    for (size_t i = 0; i < count && (i + 1) * sizeof(ModuleHandle) <= size; ++i) {
        modules[i] = HandleNumber<ModuleHandle>(i + 1);
    }
    return true;
}

uint32_t SimulatedSystem::GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                                        uint32_t size) {
    const Process& p = snapshot_.at(NumberOf(process) - 1);
    size_t index = NumberOf(module);
    if (index == 0 || index > p.modules.size() || size == 0) return 0;
    const std::string& path = p.modules[index - 1];
    // GetModuleFileNameExA cuts a long path to the buffer.
    size_t n = path.size() < size - 1 ? path.size() : size - 1;
    std::memcpy(buffer, path.data(), n);
    buffer[n] = 0;
    return static_cast<uint32_t>(n);
}

SnapshotHandle SimulatedSystem::CreateProcessSnapshot() {
    return Scan() ? HandleOf<SnapshotHandle>(this) : kInvalidSnapshot;
}

int SimulatedSystem::ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) {
    next_ = 0;
    return ProcessNext(snapshot, entry);
}

int SimulatedSystem::ProcessNext(SnapshotHandle, ProcessEntry* entry) {
    if (entry->size != kProcessEntrySize || next_ >= snapshot_.size()) return 0;
    const Process& p = snapshot_[next_++];
    entry->processId = p.id;
    CopyOut(p.exeFile, entry->exeFile, sizeof(entry->exeFile));
    return 1;
}

}  // namespace kzp::test
