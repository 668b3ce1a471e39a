#include <stdlib.h>
#include <windows.h>

#include "platform/win32/win32_os.h"
#include "tests/support/test_platform.h"

namespace kzp::test {
namespace {

Win32Os g_os;
std::string g_root;
int g_next = 0;

void RemoveRoot() {
    RemovePath(g_root);
}

// A fresh folder for this run: process ids repeat under Wine, so the name also
// carries the time and is retried until the folder is new.
std::string Root() {
    if (g_root.empty()) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        for (unsigned attempt = 0;; ++attempt) {
            g_root = std::string(temp) + "kzp-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(GetTickCount() + attempt);
            if (CreateDirectoryA(g_root.c_str(), nullptr)) break;
        }
        atexit(RemoveRoot);
    }
    return g_root;
}

void ListInto(const std::string& folder, const std::string& prefix,
              std::map<std::string, Bytes>* tree) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        std::string full = folder + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListInto(full, prefix + name + "\\", tree);
        } else {
            Bytes bytes;
            ReadBytes(full, &bytes);
            (*tree)[prefix + name] = bytes;
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

}  // namespace

Os& BaseOs() {
    return g_os;
}
PosixOs* Posix() {
    return nullptr;
}
bool OnWindows() {
    return true;
}

std::string NewScratchFolder() {
    std::string path = Root() + "\\scratch" + std::to_string(++g_next);
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

bool WriteBytes(const std::string& path, const Bytes& data) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = data.empty() ||
              WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(f);
    return ok && written == data.size();
}

bool ReadBytes(const std::string& path, Bytes* data) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(f, nullptr);
    data->assign(size, 0);
    DWORD got = 0;
    BOOL ok = size == 0 || ReadFile(f, data->data(), size, &got, nullptr);
    CloseHandle(f);
    return ok && got == size;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolder(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    return PathExists(path);
}

bool RemovePath(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileA(path.c_str()) != FALSE;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name != "." && name != "..") RemovePath(path + "\\" + name);
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    return RemoveDirectoryA(path.c_str()) != FALSE;
}

std::map<std::string, Bytes> ReadTree(const std::string& folder) {
    std::map<std::string, Bytes> tree;
    ListInto(folder, "", &tree);
    return tree;
}

std::string TestProgramFolder() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.rfind('\\'));
}

// Read from the folder entry: a file that a run holds open without sharing
// still shows its time.
bool FileTimeOf(const std::string& path, uint64_t* ticks) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    *ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
             data.ftLastWriteTime.dwLowDateTime;
    return true;
}

}  // namespace kzp::test
