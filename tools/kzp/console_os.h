// The operating-system seam as the kzp command uses it: every call goes to
// the platform's own implementation, except that a named target folder
// answers the package's registry and INI lookups (so that whatever method
// the package names succeeds, and the folder itself is set afterwards), and
// that one reserved path is a null file that takes any write.
#pragma once

#include <atomic>
#include <string>

#include "platform/forwarding_os.h"

namespace kzp::tool {

// The path of the null file (writes succeed and are counted).
extern const char kNullFilePath[];

class ConsoleOs : public ForwardingOs {
  public:
    explicit ConsoleOs(Os& inner) : ForwardingOs(inner) {}

    // Non-empty: registry values and INI entries all read as this text.
    void SetTargetAnswer(const std::string& windowsFolder) { answer_ = windowsFolder; }
    void SetAnsiCodePage(uint32_t codePage) { codePage_ = codePage; }
    uint64_t NullBytesWritten() const { return nullWritten_; }

    FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                bool noInheritAttributes, uint32_t disposition,
                                uint32_t flagsAndAttributes) override;
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                    uint32_t* read) override;
    bool WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) override;
    uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) override;
    uint32_t GetFileSize(FileHandle file, uint32_t* high) override;
    bool SetFileSize(FileHandle file, uint64_t size) override;
    bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) override;
    bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) override;
    bool CloseFile(FileHandle file) override;

    uint32_t GetAnsiCodePage() override {
        return codePage_ != 0 ? codePage_ : inner_.GetAnsiCodePage();
    }

    bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) override;
    bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                            uint32_t* size) override;
    void CloseRegistryKey(RegistryKey key) override;
    uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue,
                               char* buffer, uint32_t size, const char* iniPath) override;

  private:
    std::string answer_;
    uint32_t codePage_ = 0;
    std::atomic<uint64_t> nullWritten_{0};
};

}  // namespace kzp::tool
