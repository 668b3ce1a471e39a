#include "platform/win32/win32_os.h"

#include <windows.h>
#include <mmsystem.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string.h>

#include "platform/win32/win32_handles.h"

namespace kzp {
namespace {

HKEY RootKey(RegistryRoot root) {
    switch (root) {
        case kClassesRoot:
            return HKEY_CLASSES_ROOT;
        case kCurrentUser:
            return HKEY_CURRENT_USER;
        case kLocalMachine:
            return HKEY_LOCAL_MACHINE;
        default:
            return HKEY_USERS;
    }
}

// "psapi.dll" functions, resolved at run time.
using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

struct ProcessStatus {
    HMODULE library;
    EnumProcessesFn enumProcesses;
    EnumProcessModulesFn enumProcessModules;
    GetModuleFileNameExFn getModuleFileNameEx;
};
ProcessStatus g_processStatus;

// Tool Help functions of "kernel32.dll".
using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessWalkFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

struct ToolHelp {
    CreateSnapshotFn createSnapshot;
    ProcessWalkFn first;
    ProcessWalkFn next;
};

template <typename T>
T Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

ToolHelp LoadToolHelp() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    ToolHelp t{};
    if (kernel == nullptr) return t;
    t.createSnapshot = Resolve<CreateSnapshotFn>(kernel, "CreateToolhelp32Snapshot");
    t.first = Resolve<ProcessWalkFn>(kernel, "Process32First");
    t.next = Resolve<ProcessWalkFn>(kernel, "Process32Next");
    return t;
}

int WalkProcess(ProcessWalkFn walk, SnapshotHandle snapshot, ProcessEntry* entry) {
    if (walk == nullptr) return 0;
    PROCESSENTRY32 native;
    memset(&native, 0, sizeof(native));
    // The check sets the 32-bit record size; the record of this build is what
    // the call accepts.
    native.dwSize = sizeof(native);
    int result = walk(ToWin32(snapshot), &native);
    entry->processId = native.th32ProcessID;
    memcpy(entry->exeFile, native.szExeFile, sizeof(entry->exeFile));
    entry->exeFile[sizeof(entry->exeFile) - 1] = 0;
    return result;
}

}  // namespace

// ---- files ---------------------------------------------------------------

FileHandle Win32Os::CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                     bool noInheritAttributes, uint32_t disposition,
                                     uint32_t flagsAndAttributes) {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = FALSE;
    return FromWin32<FileHandle>(CreateFileA(path, access, shareMode,
                                             noInheritAttributes ? &attributes : nullptr,
                                             disposition, flagsAndAttributes, nullptr));
}

bool Win32Os::ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
    DWORD got = 0;
    BOOL ok = ::ReadFile(ToWin32(file), buffer, size, &got, nullptr);
    *read = got;
    return ok != FALSE;
}

bool Win32Os::ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                         uint32_t* read) {
    *read = 0;
    if (position > 0x7FFFFFFFu) return false;
    // A handle opened for synchronous access reads at the given offset and
    // leaves its file pointer after the bytes read.
    OVERLAPPED at = {};
    at.Offset = position;
    DWORD got = 0;
    BOOL ok = ::ReadFile(ToWin32(file), buffer, size, &got, &at);
    *read = got;
    // At or past the end the call fails with ERROR_HANDLE_EOF: a short read.
    return ok != FALSE || GetLastError() == ERROR_HANDLE_EOF;
}

bool Win32Os::WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) {
    DWORD put = 0;
    BOOL ok = ::WriteFile(ToWin32(file), buffer, size, &put, nullptr);
    *written = put;
    return ok != FALSE;
}

uint32_t Win32Os::SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) {
    return ::SetFilePointer(ToWin32(file), distance, nullptr, origin);
}

uint32_t Win32Os::GetFileSize(FileHandle file, uint32_t* high) {
    DWORD h = 0;
    DWORD low = ::GetFileSize(ToWin32(file), &h);
    if (high != nullptr) *high = h;
    return low;
}

bool Win32Os::SetFileSize(FileHandle file, uint64_t size) {
    HANDLE h = ToWin32(file);
    LONG high = 0;
    const DWORD low = ::SetFilePointer(h, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    LONG sizeHigh = static_cast<LONG>(size >> 32);
    if (::SetFilePointer(h, static_cast<LONG>(size), &sizeHigh, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        return false;
    }
    const bool ok = SetEndOfFile(h) != FALSE;
    ::SetFilePointer(h, static_cast<LONG>(low), &high, FILE_BEGIN);
    return ok;
}

bool Win32Os::GetLastWriteTime(FileHandle file, FileTime* lastWrite) {
    FILETIME t;
    if (!GetFileTime(ToWin32(file), nullptr, nullptr, &t)) return false;
    lastWrite->low = t.dwLowDateTime;
    lastWrite->high = t.dwHighDateTime;
    return true;
}

bool Win32Os::SetLastWriteTime(FileHandle file, const FileTime& lastWrite) {
    FILETIME t;
    t.dwLowDateTime = lastWrite.low;
    t.dwHighDateTime = lastWrite.high;
    return SetFileTime(ToWin32(file), nullptr, nullptr, &t) != FALSE;
}

bool Win32Os::CloseFile(FileHandle file) {
    return CloseHandle(ToWin32(file)) != FALSE;
}

bool Win32Os::MoveFileNoReplace(const char* from, const char* to) {
    return MoveFileA(from, to) != FALSE;
}

bool Win32Os::RemoveFile(const char* path) {
    return DeleteFileA(path) != FALSE;
}

bool Win32Os::FindFirstFileExists(const char* path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(path, &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return true;
}

bool Win32Os::MakeDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != FALSE;
}

namespace {

// A name in the form the file system compares: upper case in the system's
// code page (double-byte characters included), slashes as backslashes.
bool FoldFileName(const char* name, char* folded, DWORD size) {
    const size_t length = strlen(name);
    if (length >= size) return false;
    memcpy(folded, name, length + 1);
    CharUpperBuffA(folded, static_cast<DWORD>(length));
    for (size_t i = 0; i < length; ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(folded[i])) && folded[i + 1] != 0) {
            ++i;
        } else if (folded[i] == '/') {
            folded[i] = '\\';
        }
    }
    return true;
}

}  // namespace

bool Win32Os::SameFileName(const char* a, const char* b) {
    char foldedA[2 * MAX_PATH];
    char foldedB[2 * MAX_PATH];
    if (!FoldFileName(a, foldedA, sizeof(foldedA)) || !FoldFileName(b, foldedB, sizeof(foldedB)))
        return strcmp(a, b) == 0;
    return strcmp(foldedA, foldedB) == 0;
}

// ---- memory -------------------------------------------------------------

HeapHandle Win32Os::HeapCreate() {
    return FromWin32<HeapHandle>(::HeapCreate(0, 0, 0));
}

void Win32Os::HeapDestroy(HeapHandle heap) {
    ::HeapDestroy(ToWin32(heap));
}

HeapHandle Win32Os::ProcessHeap() {
    return FromWin32<HeapHandle>(GetProcessHeap());
}

void* Win32Os::HeapAllocZero(HeapHandle heap, size_t size) {
    if (heap == kNoHeap) return nullptr;
    return HeapAlloc(ToWin32(heap), HEAP_ZERO_MEMORY, size);
}

void* Win32Os::HeapReAllocZero(HeapHandle heap, void* block, size_t size) {
    if (heap == kNoHeap) return nullptr;
    if (block == nullptr) return HeapAllocZero(heap, size);
    return HeapReAlloc(ToWin32(heap), HEAP_ZERO_MEMORY, block, size);
}

void Win32Os::HeapFree(HeapHandle heap, void* block) {
    if (heap != kNoHeap && block != nullptr) ::HeapFree(ToWin32(heap), 0, block);
}

void* Win32Os::GlobalAllocZero(size_t size) {
    return GlobalAlloc(GMEM_ZEROINIT, size);
}

void Win32Os::GlobalFree(void* block) {
    if (block != nullptr) ::GlobalFree(static_cast<HGLOBAL>(block));
}

// ---- time -------------------------------------------------------------

uint32_t Win32Os::TickCount() {
    return timeGetTime();
}

void Win32Os::SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// ---- the running system -------------------------------------------------

OsVersion Win32Os::GetVersion() {
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&info);
#pragma GCC diagnostic pop
    return OsVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
}

uint32_t Win32Os::GetAnsiCodePage() {
    return GetACP();
}

uint32_t Win32Os::GetOwnModulePath(char* buffer, uint32_t size) {
    return GetModuleFileNameA(nullptr, buffer, size);
}

uint32_t Win32Os::GetWindowsFolder(char* buffer, uint32_t size) {
    return GetWindowsDirectoryA(buffer, size);
}

uint32_t Win32Os::GetSystemFolder(char* buffer, uint32_t size) {
    return GetSystemDirectoryA(buffer, size);
}

void Win32Os::GetSpecialFolder(WindowHandle owner, int csidl, char* buffer260) {
    LPITEMIDLIST list = nullptr;
    buffer260[0] = 0;
    if (SHGetSpecialFolderLocation(ToWin32(owner), csidl, &list) != S_OK) return;
    SHGetPathFromIDListA(list, buffer260);
    CoTaskMemFree(list);
}

uint32_t Win32Os::VersionInfoSize(const char* file) {
    DWORD handle = 0;
    return GetFileVersionInfoSizeA(file, &handle);
}

bool Win32Os::VersionInfoBlock(const char* file, uint32_t size, void* block) {
    return GetFileVersionInfoA(file, 0, size, block) != FALSE;
}

bool Win32Os::QueryRootVersionValue(const void* block, FixedFileInfo* info) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, "\\", &value, &length) || value == nullptr ||
        length < sizeof(FixedFileInfo)) {
        return false;
    }
    memcpy(info, value, sizeof(*info));
    return true;
}

int Win32Os::LoadStringResource(InstanceHandle instance, uint32_t id, char* buffer, int size) {
    return LoadStringA(ToWin32(instance), id, buffer, size);
}

FontHandle Win32Os::CreateFontFrom(const FontDescription& font) {
    LOGFONTA logFont;
    memset(&logFont, 0, sizeof(logFont));
    logFont.lfHeight = font.height;
    logFont.lfWidth = font.width;
    logFont.lfEscapement = font.escapement;
    logFont.lfOrientation = font.orientation;
    logFont.lfWeight = font.weight;
    logFont.lfItalic = font.italic;
    logFont.lfUnderline = font.underline;
    logFont.lfStrikeOut = font.strikeOut;
    logFont.lfCharSet = font.charSet;
    logFont.lfOutPrecision = font.outPrecision;
    logFont.lfClipPrecision = font.clipPrecision;
    logFont.lfQuality = font.quality;
    logFont.lfPitchAndFamily = font.pitchAndFamily;
    static_assert(sizeof(logFont.lfFaceName) == sizeof(font.faceName), "face fields match");
    memcpy(logFont.lfFaceName, font.faceName, sizeof(logFont.lfFaceName));
    return FromWin32<FontHandle>(CreateFontIndirectA(&logFont));
}

void Win32Os::DestroyFont(FontHandle font) {
    if (font != kNoFont) DeleteObject(ToWin32(font));
}

// ---- registry -------------------------------------------------------------

bool Win32Os::OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(RootKey(root), subKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    *key = FromWin32<RegistryKey>(opened);
    return true;
}

bool Win32Os::QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                                 uint32_t* size) {
    DWORD length = *size;
    LONG status = RegQueryValueExA(ToWin32(key), valueName, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer), &length);
    *size = length;
    return status == ERROR_SUCCESS;
}

void Win32Os::CloseRegistryKey(RegistryKey key) {
    RegCloseKey(ToWin32(key));
}

// ---- INI files --------------------------------------------------------------

uint32_t Win32Os::ReadProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, uint32_t size, const char* iniPath) {
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, iniPath);
}

// ---- windows and processes --------------------------------------------

bool Win32Os::FindTopLevelWindow(const char* className, const char* windowName) {
    return FindWindowA(className, windowName) != nullptr;
}

bool Win32Os::LoadProcessStatus() {
    ProcessStatus& p = g_processStatus;
    p.library = LoadLibraryA("psapi.dll");
    if (p.library == nullptr) return false;
    p.enumProcesses = Resolve<EnumProcessesFn>(p.library, "EnumProcesses");
    p.enumProcessModules = Resolve<EnumProcessModulesFn>(p.library, "EnumProcessModules");
    p.getModuleFileNameEx = Resolve<GetModuleFileNameExFn>(p.library, "GetModuleFileNameExA");
    if (p.enumProcesses == nullptr || p.enumProcessModules == nullptr ||
        p.getModuleFileNameEx == nullptr) {
        UnloadProcessStatus();
        return false;
    }
    return true;
}

void Win32Os::UnloadProcessStatus() {
    ProcessStatus& p = g_processStatus;
    if (p.library != nullptr) FreeLibrary(p.library);
    memset(&p, 0, sizeof(p));
}

bool Win32Os::EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) {
    DWORD bytes = 0;
    BOOL ok = g_processStatus.enumProcesses != nullptr &&
              g_processStatus.enumProcesses(reinterpret_cast<DWORD*>(ids), size, &bytes);
    *returned = bytes;
    return ok != FALSE;
}

ProcessHandle Win32Os::OpenProcessForQuery(uint32_t processId) {
    return FromWin32<ProcessHandle>(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
}

bool Win32Os::EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                               uint32_t* needed) {
    DWORD bytes = 0;
    BOOL ok = g_processStatus.enumProcessModules != nullptr &&
              g_processStatus.enumProcessModules(ToWin32(process),
                                                 reinterpret_cast<HMODULE*>(modules), size, &bytes);
    *needed = bytes;
    return ok != FALSE;
}

uint32_t Win32Os::GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                                uint32_t size) {
    if (g_processStatus.getModuleFileNameEx == nullptr) return 0;
    return g_processStatus.getModuleFileNameEx(ToWin32(process), ToWin32(module), buffer, size);
}

void Win32Os::CloseProcess(ProcessHandle process) {
    CloseHandle(ToWin32(process));
}

bool Win32Os::HasToolHelp() {
    ToolHelp t = LoadToolHelp();
    return t.createSnapshot != nullptr && t.first != nullptr && t.next != nullptr;
}

SnapshotHandle Win32Os::CreateProcessSnapshot() {
    ToolHelp t = LoadToolHelp();
    if (t.createSnapshot == nullptr) return kInvalidSnapshot;
    return FromWin32<SnapshotHandle>(t.createSnapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0));
}

int Win32Os::ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) {
    return WalkProcess(LoadToolHelp().first, snapshot, entry);
}

int Win32Os::ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) {
    return WalkProcess(LoadToolHelp().next, snapshot, entry);
}

void Win32Os::CloseSnapshot(SnapshotHandle snapshot) {
    if (snapshot != kInvalidSnapshot) CloseHandle(ToWin32(snapshot));
}

}  // namespace kzp
