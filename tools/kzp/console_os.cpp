#include "tools/kzp/console_os.h"

#include <cstring>

#include "platform/handle_records.h"

namespace kzp::tool {
namespace {

// Handles that no platform hands out: odd addresses inside this object.
char nullFileToken;
char answerKeyToken;

FileHandle NullFile() {
    return HandleOf<FileHandle>(&nullFileToken);
}
RegistryKey AnswerKey() {
    return HandleOf<RegistryKey>(&answerKeyToken);
}

}  // namespace

const char kNullFilePath[] = "*kzp-null*";

FileHandle ConsoleOs::CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                       bool noInheritAttributes, uint32_t disposition,
                                       uint32_t flagsAndAttributes) {
    if (std::strcmp(path, kNullFilePath) == 0) return NullFile();
    return inner_.CreateFileHandle(path, access, shareMode, noInheritAttributes, disposition,
                                   flagsAndAttributes);
}

bool ConsoleOs::ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
    if (file == NullFile()) {
        *read = 0;
        return true;
    }
    return inner_.ReadFile(file, buffer, size, read);
}

bool ConsoleOs::ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                           uint32_t* read) {
    if (file == NullFile()) {
        *read = 0;
        return true;
    }
    return inner_.ReadFileAt(file, position, buffer, size, read);
}

bool ConsoleOs::WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) {
    if (file == NullFile()) {
        nullWritten_ += size;
        *written = size;
        return true;
    }
    return inner_.WriteFile(file, buffer, size, written);
}

uint32_t ConsoleOs::SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) {
    if (file == NullFile()) return 0;
    return inner_.SetFilePointer(file, distance, origin);
}

uint32_t ConsoleOs::GetFileSize(FileHandle file, uint32_t* high) {
    if (file == NullFile()) {
        if (high != nullptr) *high = 0;
        return 0;
    }
    return inner_.GetFileSize(file, high);
}

bool ConsoleOs::SetFileSize(FileHandle file, uint64_t size) {
    if (file == NullFile()) return true;
    return inner_.SetFileSize(file, size);
}

bool ConsoleOs::GetLastWriteTime(FileHandle file, FileTime* lastWrite) {
    if (file == NullFile()) return false;
    return inner_.GetLastWriteTime(file, lastWrite);
}

bool ConsoleOs::SetLastWriteTime(FileHandle file, const FileTime& lastWrite) {
    if (file == NullFile()) return true;
    return inner_.SetLastWriteTime(file, lastWrite);
}

bool ConsoleOs::CloseFile(FileHandle file) {
    if (file == NullFile()) return true;
    return inner_.CloseFile(file);
}

bool ConsoleOs::OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) {
    if (!answer_.empty()) {
        *key = AnswerKey();
        return true;
    }
    return inner_.OpenRegistryKey(root, subKey, key);
}

bool ConsoleOs::QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                                   uint32_t* size) {
    if (key == AnswerKey()) {
        const uint32_t needed = static_cast<uint32_t>(answer_.size() + 1);
        if (*size < needed) return false;
        std::memcpy(buffer, answer_.c_str(), needed);
        *size = needed;
        return true;
    }
    return inner_.QueryRegistryValue(key, valueName, buffer, size);
}

void ConsoleOs::CloseRegistryKey(RegistryKey key) {
    if (key == AnswerKey()) return;
    inner_.CloseRegistryKey(key);
}

uint32_t ConsoleOs::ReadProfileString(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, uint32_t size,
                                      const char* iniPath) {
    if (!answer_.empty() && size > answer_.size()) {
        std::memcpy(buffer, answer_.c_str(), answer_.size() + 1);
        return static_cast<uint32_t>(answer_.size());
    }
    return inner_.ReadProfileString(section, key, defaultValue, buffer, size, iniPath);
}

}  // namespace kzp::tool
