// The operating-system seam.
//
// Every call that the updater makes into the operating system goes through
// this one interface. The Win32 implementation (platform/win32) is the
// product; the POSIX implementation (platform/posix) lets the same engine run
// natively for tests, sanitizers, fuzzing and the kzp tool. Methods mirror the
// Win32 calls they stand for, one method per call, and report failure the way
// those calls do (false, an invalid handle, or an all-ones value).
//
// Paths are ANSI strings in Windows form (drive letter, backslashes).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kzp {

// Each kind of handle is a type of its own that holds the system's value and
// converts into no other kind, no pointer and no number: a heap cannot be
// passed where a file is meant. The seam's implementations turn them into what
// they stand for (platform/win32/win32_handles.h, platform/handle_records.h).
enum class FileHandle : uintptr_t {};
enum class HeapHandle : uintptr_t {};
enum class RegistryKey : uintptr_t {};
enum class ProcessHandle : uintptr_t {};
enum class ModuleHandle : uintptr_t {};
enum class SnapshotHandle : uintptr_t {};
enum class WindowHandle : uintptr_t {};
enum class InstanceHandle : uintptr_t {};
enum class FontHandle : uintptr_t {};

// INVALID_HANDLE_VALUE: what a failed CreateFileA or snapshot returns.
constexpr FileHandle kInvalidFile = static_cast<FileHandle>(~uintptr_t{0});
constexpr SnapshotHandle kInvalidSnapshot = static_cast<SnapshotHandle>(~uintptr_t{0});
// Null: what a failed HeapCreate, OpenProcess or CreateFontIndirectA returns,
// and the values of "no window" and "no key".
constexpr HeapHandle kNoHeap{};
constexpr RegistryKey kNoRegistryKey{};
constexpr ProcessHandle kNoProcess{};
constexpr WindowHandle kNoWindow{};
constexpr InstanceHandle kNoInstance{};
constexpr FontHandle kNoFont{};

// Result of a failed seek or size query (INVALID_SET_FILE_POINTER, INVALID_FILE_SIZE).
constexpr uint32_t kInvalidFileValue = 0xFFFFFFFFu;

// Access rights, share modes, dispositions and attributes with their Win32 values.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kFileShareRead = 0x00000001u;
constexpr uint32_t kFileShareWrite = 0x00000002u;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kFileAttributeArchive = 0x20;

enum SeekOrigin : uint32_t { kSeekBegin = 0, kSeekCurrent = 1, kSeekEnd = 2 };

// A Windows FILETIME: 100 ns intervals since 1601-01-01 UTC, low half first.
struct FileTime {
    uint32_t low;
    uint32_t high;
};

// What GetVersionExA reports.
constexpr uint32_t kPlatformWin32Windows = 1;
constexpr uint32_t kPlatformWin32Nt = 2;
struct OsVersion {
    uint32_t platformId;
    uint32_t majorVersion;
    uint32_t minorVersion;
};

// VS_FIXEDFILEINFO, 52 bytes.
struct FixedFileInfo {
    uint32_t signature;
    uint32_t structVersion;
    uint32_t fileVersionMS;
    uint32_t fileVersionLS;
    uint32_t productVersionMS;
    uint32_t productVersionLS;
    uint32_t fileFlagsMask;
    uint32_t fileFlags;
    uint32_t fileOS;
    uint32_t fileType;
    uint32_t fileSubtype;
    uint32_t fileDateMS;
    uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52, "VS_FIXEDFILEINFO is 52 bytes");

// The fields of a LOGFONTA that the updater fills.
struct FontDescription {
    int32_t height;
    int32_t width;
    int32_t escapement;
    int32_t orientation;
    int32_t weight;
    uint8_t italic;
    uint8_t underline;
    uint8_t strikeOut;
    uint8_t charSet;
    uint8_t outPrecision;
    uint8_t clipPrecision;
    uint8_t quality;
    uint8_t pitchAndFamily;
    char faceName[32];
};

// The part of PROCESSENTRY32 that the running-program check reads.
struct ProcessEntry {
    uint32_t size;  // set to kProcessEntrySize before each call, as Tool Help demands
    uint32_t processId;
    char exeFile[260];
};
constexpr uint32_t kProcessEntrySize = 296;

// Predefined registry keys by the package's root index.
enum RegistryRoot : uint32_t {
    kClassesRoot = 0,
    kCurrentUser = 1,
    kLocalMachine = 2,
    kUsers = 3,
};

// Shell folder identifiers (CSIDL values).
constexpr int kCsidlDesktop = 0;
constexpr int kCsidlPersonal = 5;
constexpr int kCsidlDesktopDirectory = 16;
constexpr int kCsidlProgramFiles = 38;

class Os {
  public:
    // Files (CreateFileA, ReadFile, WriteFile, SetFilePointer, GetFileSize,
    // GetFileTime, SetFileTime, CloseHandle, MoveFileA, DeleteFileA,
    // FindFirstFileA + FindClose, CreateDirectoryA).
    // `noInheritAttributes` passes a SECURITY_ATTRIBUTES record without
    // descriptor and with inheritance off, as the NT family wants it.
    virtual FileHandle CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                        bool noInheritAttributes, uint32_t disposition,
                                        uint32_t flagsAndAttributes) = 0;
    virtual bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) = 0;
    virtual bool WriteFile(FileHandle file, const void* buffer, uint32_t size,
                           uint32_t* written) = 0;
    // Moves the file pointer by a signed 32-bit distance; returns the new
    // position or kInvalidFileValue.
    virtual uint32_t SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) = 0;
    // Reads from `position` (below 2^31) in one call where the system has one
    // (ReadFile with an offset, pread); afterwards the file pointer stands at
    // an unknown place. By default a seek and a read. The 9x family
    // (GetVersion's platform id 1) refuses an offset for disk files: callers
    // ask GetVersion first and seek and read there.
    virtual bool ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                            uint32_t* read) {
        *read = 0;
        if (position > 0x7FFFFFFFu) return false;
        if (SetFilePointer(file, static_cast<int32_t>(position), kSeekBegin) != position)
            return false;
        return ReadFile(file, buffer, size, read);
    }
    // Returns the low 32 bits of the size (kInvalidFileValue on failure) and
    // stores the high half when `high` is given.
    virtual uint32_t GetFileSize(FileHandle file, uint32_t* high) = 0;
    // Sets the size of a file opened for writing (SetEndOfFile at `size`);
    // the file pointer stays where it was. Growing a file takes its disk
    // space at once, so writes within the size cannot fail for want of it.
    virtual bool SetFileSize(FileHandle file, uint64_t size) = 0;
    virtual bool GetLastWriteTime(FileHandle file, FileTime* lastWrite) = 0;
    // Sets the last-write time only; creation and access times are untouched.
    virtual bool SetLastWriteTime(FileHandle file, const FileTime& lastWrite) = 0;
    virtual bool CloseFile(FileHandle file) = 0;
    // Refuses an existing target, like MoveFileA.
    virtual bool MoveFileNoReplace(const char* from, const char* to) = 0;
    virtual bool RemoveFile(const char* path) = 0;
    // FindFirstFileA followed by FindClose: true when anything matches.
    virtual bool FindFirstFileExists(const char* path) = 0;
    virtual bool MakeDirectory(const char* path) = 0;
    // Whether two names (or relative paths) name one file, as the file system
    // compares them: without regard to case, and with slash and backslash
    // alike.
    virtual bool SameFileName(const char* a, const char* b) = 0;

    // Heaps (HeapCreate, HeapAlloc with HEAP_ZERO_MEMORY, HeapReAlloc, HeapFree,
    // HeapDestroy, GetProcessHeap) and global memory (GlobalAlloc with
    // GMEM_ZEROINIT, GlobalFree).
    virtual HeapHandle HeapCreate() = 0;
    virtual void HeapDestroy(HeapHandle heap) = 0;
    virtual HeapHandle ProcessHeap() = 0;
    virtual void* HeapAllocZero(HeapHandle heap, size_t size) = 0;
    virtual void* HeapReAllocZero(HeapHandle heap, void* block, size_t size) = 0;
    virtual void HeapFree(HeapHandle heap, void* block) = 0;
    virtual void* GlobalAllocZero(size_t size) = 0;
    virtual void GlobalFree(void* block) = 0;

    // Time (timeGetTime, Sleep).
    virtual uint32_t TickCount() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;

    // The running system (GetVersionExA, GetACP, GetModuleFileNameA,
    // GetWindowsDirectoryA, GetSystemDirectoryA, the shell's special folders,
    // version resources, LoadStringA, CreateFontIndirectA, DeleteObject).
    virtual OsVersion GetVersion() = 0;
    virtual uint32_t GetAnsiCodePage() = 0;
    virtual uint32_t GetOwnModulePath(char* buffer, uint32_t size) = 0;
    virtual uint32_t GetWindowsFolder(char* buffer, uint32_t size) = 0;
    virtual uint32_t GetSystemFolder(char* buffer, uint32_t size) = 0;
    // SHGetSpecialFolderLocation, SHGetPathFromIDListA into a 260-byte buffer,
    // CoTaskMemFree.
    virtual void GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) = 0;
    virtual uint32_t VersionInfoSize(const char* file) = 0;
    virtual bool VersionInfoBlock(const char* file, uint32_t size, void* block) = 0;
    // VerQueryValueA with the sub-block "\".
    virtual bool QueryRootVersionValue(const void* block, FixedFileInfo* info) = 0;
    virtual int LoadStringResource(InstanceHandle instance, uint32_t id, char* buffer,
                                   int size) = 0;
    virtual FontHandle CreateFontFrom(const FontDescription& font) = 0;
    virtual void DestroyFont(FontHandle font) = 0;

    // Registry (RegOpenKeyExA with KEY_READ, RegQueryValueExA, RegCloseKey).
    // `root` is the package's root index; indexes above 3 are refused before
    // they reach this call.
    virtual bool OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) = 0;
    // `size` is the buffer size in and the value size out.
    virtual bool QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                                    uint32_t* size) = 0;
    virtual void CloseRegistryKey(RegistryKey key) = 0;

    // INI files (GetPrivateProfileStringA).
    virtual uint32_t ReadProfileString(const char* section, const char* key,
                                       const char* defaultValue, char* buffer, uint32_t size,
                                       const char* iniPath) = 0;

    // Top-level windows (FindWindowA); null texts stand for "any".
    virtual bool FindTopLevelWindow(const char* className, const char* windowName) = 0;

    // Process status interface ("psapi.dll": EnumProcesses, OpenProcess,
    // EnumProcessModules, GetModuleFileNameExA, CloseHandle).
    virtual bool LoadProcessStatus() = 0;
    virtual void UnloadProcessStatus() = 0;
    // Sizes are in bytes, as in the Win32 calls.
    virtual bool EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) = 0;
    virtual ProcessHandle OpenProcessForQuery(uint32_t processId) = 0;
    virtual bool EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                                  uint32_t* needed) = 0;
    virtual uint32_t GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                                   uint32_t size) = 0;
    virtual void CloseProcess(ProcessHandle process) = 0;

    // Tool Help (CreateToolhelp32Snapshot with TH32CS_SNAPPROCESS |
    // TH32CS_SNAPTHREAD, Process32First, Process32Next, CloseHandle).
    virtual bool HasToolHelp() = 0;
    virtual SnapshotHandle CreateProcessSnapshot() = 0;
    // Return the call's BOOL result as it is: the check walks while it is 1.
    virtual int ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) = 0;
    virtual int ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) = 0;
    virtual void CloseSnapshot(SnapshotHandle snapshot) = 0;

  protected:
    ~Os() = default;
};

// The seam in use. The program installs its implementation once at start;
// tests install theirs (often a wrapper around the native one).
Os& TheOs();
void SetOs(Os* os);

}  // namespace kzp
