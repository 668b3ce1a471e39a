#include "platform/posix/posix_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/handle_records.h"
#include "platform/posix/code_page.h"
#include "platform/posix/posix_ini.h"
#include "resources/string_table.h"

namespace kzp {

namespace {

// FILETIME of the Unix epoch (1970-01-01) in 100 ns units.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::string RegistryKeyName(RegistryRoot root, const std::string& key) {
    std::string k = Lower(key);
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return std::to_string(static_cast<unsigned>(root)) + "\\" + k;
}

uint32_t CopyOut(const std::string& text, char* buffer, uint32_t size) {
    if (size == 0) return 0;
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(text.size(), size - 1));
    memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return n;
}

}  // namespace

struct PosixOs::OpenFile {
    int fd;
    uint32_t access;
    uint32_t shareMode;
    dev_t device;
    ino_t inode;
    std::string hostPath;
};

// Every block carries a header so that a heap can free all its blocks at
// once and a resize knows how many bytes are new.
struct PosixOs::Heap {
    struct Block {
        Block* previous;
        Block* next;
        size_t size;
        size_t padding;  // keeps the payload 16-byte aligned
    };
    Block head{&head, &head, 0, 0};
    std::mutex mutex;

    static Block* HeaderOf(void* payload) { return static_cast<Block*>(payload) - 1; }

    // Beyond a terabyte a request is a fault; with a 32-bit size_t the
    // header must not make the size wrap either.
    static bool TooLarge(size_t size) {
        return static_cast<uint64_t>(size) > (uint64_t{1} << 40) || size > SIZE_MAX - sizeof(Block);
    }

    void* Alloc(size_t size) {
        if (TooLarge(size)) return nullptr;
        Block* block = static_cast<Block*>(calloc(1, sizeof(Block) + size));
        if (block == nullptr) return nullptr;
        block->size = size;
        std::lock_guard<std::mutex> lock(mutex);
        block->next = head.next;
        block->previous = &head;
        head.next->previous = block;
        head.next = block;
        return block + 1;
    }
    void Unlink(Block* block) {
        block->previous->next = block->next;
        block->next->previous = block->previous;
    }
    void Free(void* payload) {
        if (payload == nullptr) return;
        Block* block = HeaderOf(payload);
        {
            std::lock_guard<std::mutex> lock(mutex);
            Unlink(block);
        }
        free(block);
    }
    void* ReAlloc(void* payload, size_t size) {
        if (payload == nullptr) return Alloc(size);
        if (TooLarge(size)) return nullptr;
        Block* old = HeaderOf(payload);
        std::lock_guard<std::mutex> lock(mutex);
        size_t oldSize = old->size;
        Block* previous = old->previous;
        Block* next = old->next;
        Block* block = static_cast<Block*>(realloc(old, sizeof(Block) + size));
        if (block == nullptr) return nullptr;
        previous->next = block;
        next->previous = block;
        block->size = size;
        if (size > oldSize) memset(reinterpret_cast<char*>(block + 1) + oldSize, 0, size - oldSize);
        return block + 1;
    }
    ~Heap() {
        Block* block = head.next;
        while (block != &head) {
            Block* next = block->next;
            free(block);
            block = next;
        }
    }
};

struct PosixOs::Snapshot {
    std::vector<Process> processes;
    size_t next = 0;
};

PosixOs::PosixOs() : processHeap_(new Heap) {
    drives_['Z'] = "/";
    specialFolders_[kCsidlProgramFiles] = "C:\\Program Files";
    specialFolders_[kCsidlDesktopDirectory] = "C:\\Documents and Settings\\User\\Desktop";
    specialFolders_[kCsidlPersonal] = "C:\\Documents and Settings\\User\\My Documents";
    specialFolders_[kCsidlDesktop] = "C:\\Documents and Settings\\User\\Desktop";
    fileVersions_["shell32.dll"] = 0x00060000;
}

PosixOs::~PosixOs() {
    for (OpenFile* file : openFiles_) {
        close(file->fd);
        delete file;
    }
    delete processHeap_;
}

// ---- configuration ------------------------------------------------------

void PosixOs::MapDrive(char letter, const std::string& hostFolder) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    std::string folder = hostFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    drives_[letter] = folder;
}

std::string PosixOs::HostPath(const std::string& windowsPath) const {
    std::string rest;
    std::string root;
    if (windowsPath.size() >= 2 && windowsPath[1] == ':') {
        char letter = windowsPath[0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        auto it = drives_.find(letter);
        if (it == drives_.end()) return "";
        root = it->second;
        rest = windowsPath.substr(2);
    } else if (!windowsPath.empty() && (windowsPath[0] == '\\' || windowsPath[0] == '/')) {
        // The root of the current drive: the first mapped drive other than Z:.
        if (windowsPath.size() >= 2 && (windowsPath[1] == '\\' || windowsPath[1] == '/')) {
            return "";  // network shares do not exist here
        }
        auto it = drives_.begin();
        if (it == drives_.end()) return "";
        if (it->first == 'Z' && drives_.size() > 1) ++it;
        root = it->second;
        rest = windowsPath;
    } else {
        rest = windowsPath;  // relative to the host's current folder
    }
    std::string host = root;
    if (!root.empty() && root != "/" && !rest.empty() && rest[0] != '\\' && rest[0] != '/') {
        host += '/';
    }
    for (char c : rest) host += (c == '\\') ? '/' : c;
    if (host.empty()) host = root.empty() ? "." : root;
    return host;
}

std::string PosixOs::WindowsPath(const std::string& hostPath) const {
    const std::pair<const char, std::string>* best = nullptr;
    for (const auto& drive : drives_) {
        const std::string& folder = drive.second;
        bool inside =
            folder == "/" || (hostPath.compare(0, folder.size(), folder) == 0 &&
                              (hostPath.size() == folder.size() || hostPath[folder.size()] == '/'));
        if (inside && (best == nullptr || folder.size() > best->second.size())) best = &drive;
    }
    if (best == nullptr) return "";
    std::string rest = best->second == "/" ? hostPath : hostPath.substr(best->second.size());
    std::string path(1, best->first);
    path += ':';
    for (char c : rest) path += (c == '/') ? '\\' : c;
    if (path.size() == 2) path += '\\';
    return path;
}

void PosixOs::SetFileVersion(const std::string& file, uint32_t fileVersionMS) {
    fileVersions_[Lower(file)] = fileVersionMS;
}

void PosixOs::ClearFileVersion(const std::string& file) {
    fileVersions_.erase(Lower(file));
}

void PosixOs::SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name,
                               const std::string& value) {
    registry_[RegistryKeyName(root, key)][Lower(name)] = value;
}

void PosixOs::AddRegistryKey(RegistryRoot root, const std::string& key) {
    registry_[RegistryKeyName(root, key)];
}

void PosixOs::SetWindows(std::vector<Window> windows) {
    windows_ = std::move(windows);
}

void PosixOs::SetWindowProbe(std::function<bool(const char*, const char*)> probe) {
    windowProbe_ = std::move(probe);
}

void PosixOs::SetProcessTable(std::vector<Process> processes) {
    useProcessTable_ = true;
    processTable_ = std::move(processes);
}

size_t PosixOs::OpenFileCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openFiles_.size();
}

// ---- files ---------------------------------------------------------------

std::string PosixOs::FoldedName(const std::string& name) const {
    std::string utf8;
    if (!ConvertCodePage(name, codePage_, 65001, false, &utf8)) utf8 = name;
    std::string folded = UpperCaseUtf8(utf8);
    std::replace(folded.begin(), folded.end(), '/', '\\');
    return folded;
}

bool PosixOs::SameFileName(const char* a, const char* b) {
    return strcmp(a, b) == 0 || FoldedName(a) == FoldedName(b);
}

std::string PosixOs::FilePath(const std::string& windowsPath) const {
    const std::string host = HostPath(windowsPath);
    struct stat st;
    if (host.empty() || lstat(host.c_str(), &st) == 0) return host;
    // Walk down from the deepest folder that exists as written.
    size_t known = host.find_last_of('/');
    while (known != std::string::npos && known > 0 &&
           lstat(host.substr(0, known).c_str(), &st) != 0) {
        known = host.find_last_of('/', known - 1);
    }
    if (known == std::string::npos) return host;
    std::string path = host.substr(0, known);
    for (size_t start = known + 1; start <= host.size();) {
        size_t end = host.find('/', start);
        if (end == std::string::npos) end = host.size();
        const std::string part = host.substr(start, end - start);
        std::string found;
        if (!part.empty()) {
            DIR* dir = opendir(path.empty() ? "/" : path.c_str());
            if (dir != nullptr) {
                const std::string folded = FoldedName(part);
                while (dirent* e = readdir(dir)) {
                    // Of several names that fold alike (possible on the host
                    // only), the first in byte order, whatever readdir's order.
                    if (FoldedName(e->d_name) == folded && (found.empty() || e->d_name < found))
                        found = e->d_name;
                }
                closedir(dir);
            }
        }
        if (found.empty()) return path + host.substr(start - 1);
        path += "/" + found;
        start = end + 1;
    }
    return path;
}

bool PosixOs::IsOpen(const std::string& hostPath) {
    struct stat st;
    if (lstat(hostPath.c_str(), &st) != 0) return false;
    for (OpenFile* open : openFiles_) {
        if (open->device == st.st_dev && open->inode == st.st_ino) return true;
    }
    return false;
}

FileHandle PosixOs::CreateFileHandle(const char* path, uint32_t access, uint32_t shareMode,
                                     bool /*noInheritAttributes*/, uint32_t disposition,
                                     uint32_t /*flagsAndAttributes*/) {
    std::string host = FilePath(path);
    if (host.empty() || host.back() == '/') return kInvalidFile;
    std::lock_guard<std::mutex> lock(mutex_);

    struct stat st;
    bool exists = stat(host.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return kInvalidFile;  // no FILE_FLAG_BACKUP_SEMANTICS
    if (exists) {
        // Share modes: both the handles already open and the new one must
        // allow each other's access.
        for (OpenFile* open : openFiles_) {
            if (open->device != st.st_dev || open->inode != st.st_ino) continue;
            bool conflict = ((access & kGenericRead) && !(open->shareMode & kFileShareRead)) ||
                            ((access & kGenericWrite) && !(open->shareMode & kFileShareWrite)) ||
                            ((open->access & kGenericRead) && !(shareMode & kFileShareRead)) ||
                            ((open->access & kGenericWrite) && !(shareMode & kFileShareWrite));
            if (conflict) return kInvalidFile;
        }
    }

    int flags = O_CLOEXEC;
    if ((access & kGenericRead) && (access & kGenericWrite))
        flags |= O_RDWR;
    else if (access & kGenericWrite)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (disposition == kCreateAlways)
        flags |= O_CREAT | O_TRUNC;
    else if (disposition != kOpenExisting)
        return kInvalidFile;

    int fd = open(host.c_str(), flags, 0666);
    if (fd < 0) return kInvalidFile;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return kInvalidFile;
    }
    OpenFile* file = new OpenFile{fd, access, shareMode, st.st_dev, st.st_ino, host};
    openFiles_.insert(file);
    return HandleOf<FileHandle>(file);
}

bool PosixOs::ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
    *read = 0;
    if (file == kInvalidFile || file == FileHandle{}) return false;
    OpenFile* f = RecordOf<OpenFile>(file);
    if (!(f->access & kGenericRead)) return false;
    char* out = static_cast<char*>(buffer);
    while (*read < size) {
        ssize_t n = ::read(f->fd, out + *read, size - *read);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;  // end of file: a short read, not a failure
        *read += static_cast<uint32_t>(n);
    }
    return true;
}

bool PosixOs::ReadFileAt(FileHandle file, uint32_t position, void* buffer, uint32_t size,
                         uint32_t* read) {
    *read = 0;
    if (file == kInvalidFile || file == FileHandle{} || position > 0x7FFFFFFFu) return false;
    OpenFile* f = RecordOf<OpenFile>(file);
    if (!(f->access & kGenericRead)) return false;
    char* out = static_cast<char*>(buffer);
    while (*read < size) {
        ssize_t n = ::pread(f->fd, out + *read, size - *read, static_cast<off_t>(position) + *read);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;  // end of file: a short read, not a failure
        *read += static_cast<uint32_t>(n);
    }
    return true;
}

bool PosixOs::WriteFile(FileHandle file, const void* buffer, uint32_t size, uint32_t* written) {
    *written = 0;
    if (file == kInvalidFile || file == FileHandle{}) return false;
    OpenFile* f = RecordOf<OpenFile>(file);
    if (!(f->access & kGenericWrite)) return false;
    const char* in = static_cast<const char*>(buffer);
    while (*written < size) {
        ssize_t n = ::write(f->fd, in + *written, size - *written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        *written += static_cast<uint32_t>(n);
    }
    return true;
}

uint32_t PosixOs::SetFilePointer(FileHandle file, int32_t distance, SeekOrigin origin) {
    if (file == kInvalidFile || file == FileHandle{}) return kInvalidFileValue;
    OpenFile* f = RecordOf<OpenFile>(file);
    int64_t base = 0;
    if (origin != kSeekBegin) {
        off_t at = lseek(f->fd, 0, origin == kSeekCurrent ? SEEK_CUR : SEEK_END);
        if (at < 0) return kInvalidFileValue;
        base = at;
    }
    int64_t target = base + distance;
    // Without a high half, positions must stay within the low 32 bits.
    if (target < 0 || target >= 0xFFFFFFFFll) return kInvalidFileValue;
    if (lseek(f->fd, static_cast<off_t>(target), SEEK_SET) < 0) return kInvalidFileValue;
    return static_cast<uint32_t>(target);
}

uint32_t PosixOs::GetFileSize(FileHandle file, uint32_t* high) {
    if (file == kInvalidFile || file == FileHandle{}) return kInvalidFileValue;
    struct stat st;
    if (fstat(RecordOf<OpenFile>(file)->fd, &st) != 0) return kInvalidFileValue;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (high != nullptr) *high = static_cast<uint32_t>(size >> 32);
    return static_cast<uint32_t>(size);
}

bool PosixOs::SetFileSize(FileHandle file, uint64_t size) {
    if (file == kInvalidFile || file == FileHandle{} || size > static_cast<uint64_t>(INT64_MAX))
        return false;
    const int fd = RecordOf<OpenFile>(file)->fd;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    const off_t length = static_cast<off_t>(size);
    // fallocate takes the blocks now; ftruncate would leave a sparse file
    // whose writes could still meet a full disk.
    if (length > st.st_size) {
        const int error = posix_fallocate(fd, st.st_size, length - st.st_size);
        if (error == 0) return true;
        if (error != EOPNOTSUPP && error != EINVAL) return false;
    }
    return ftruncate(fd, length) == 0;
}

bool PosixOs::GetLastWriteTime(FileHandle file, FileTime* lastWrite) {
    if (file == kInvalidFile || file == FileHandle{}) return false;
    struct stat st;
    if (fstat(RecordOf<OpenFile>(file)->fd, &st) != 0) return false;
    // Host times outside what a FILETIME holds are taken as its first or
    // last one.
    const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    const int64_t epoch = static_cast<int64_t>(kUnixEpochAsFileTime);
    int64_t ticks = 0;
    if (seconds > (INT64_MAX - epoch) / 10000000 - 1) {
        ticks = INT64_MAX;
    } else if (seconds >= -(epoch / 10000000)) {
        ticks = seconds * 10000000 + st.st_mtim.tv_nsec / 100 + epoch;
    }
    lastWrite->low = static_cast<uint32_t>(static_cast<uint64_t>(ticks));
    lastWrite->high = static_cast<uint32_t>(static_cast<uint64_t>(ticks) >> 32);
    return true;
}

bool PosixOs::SetLastWriteTime(FileHandle file, const FileTime& lastWrite) {
    if (file == kInvalidFile || file == FileHandle{}) return false;
    OpenFile* f = RecordOf<OpenFile>(file);
    if (!(f->access & kGenericWrite)) return false;  // needs FILE_WRITE_ATTRIBUTES
    const uint64_t raw = (static_cast<uint64_t>(lastWrite.high) << 32) | lastWrite.low;
    // A time with the top bit set is no valid FILETIME (the system refuses
    // it); it would also overflow the sums below.
    if (raw > static_cast<uint64_t>(INT64_MAX)) return false;
    const int64_t sinceEpoch =
        static_cast<int64_t>(raw) - static_cast<int64_t>(kUnixEpochAsFileTime);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    int64_t seconds = sinceEpoch / 10000000;
    int64_t rest = sinceEpoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(rest * 100);
    return futimens(f->fd, times) == 0;
}

bool PosixOs::CloseFile(FileHandle file) {
    if (file == kInvalidFile || file == FileHandle{}) return false;
    OpenFile* f = RecordOf<OpenFile>(file);
    std::lock_guard<std::mutex> lock(mutex_);
    if (openFiles_.erase(f) == 0) return false;
    close(f->fd);
    delete f;
    return true;
}

bool PosixOs::MoveFileNoReplace(const char* from, const char* to) {
    std::string source = FilePath(from);
    std::string target = FilePath(to);
    if (source.empty() || target.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    // A file open without FILE_SHARE_DELETE cannot be moved.
    if (IsOpen(source)) return false;
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing
    // target as well.
    if (link(source.c_str(), target.c_str()) != 0) return false;
    if (unlink(source.c_str()) != 0) {
        unlink(target.c_str());
        return false;
    }
    return true;
}

bool PosixOs::RemoveFile(const char* path) {
    std::string host = FilePath(path);
    if (host.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (IsOpen(host)) return false;
    return unlink(host.c_str()) == 0;
}

bool PosixOs::FindFirstFileExists(const char* path) {
    size_t n = strlen(path);
    if (n == 0 || path[n - 1] == '\\' || path[n - 1] == '/') return false;
    std::string host = FilePath(path);
    if (host.empty()) return false;
    size_t slash = host.rfind('/');
    std::string last = slash == std::string::npos ? host : host.substr(slash + 1);
    if (last.find_first_of("*?") == std::string::npos) {
        struct stat st;
        return lstat(host.c_str(), &st) == 0;
    }
    std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : host.substr(0, slash));
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        if (fnmatch(last.c_str(), e->d_name, FNM_CASEFOLD) == 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool PosixOs::MakeDirectory(const char* path) {
    std::string host = FilePath(path);
    if (host.empty()) return false;
    return mkdir(host.c_str(), 0777) == 0;
}

// ---- memory -------------------------------------------------------------

HeapHandle PosixOs::HeapCreate() {
    return HandleOf<HeapHandle>(new Heap);
}

void PosixOs::HeapDestroy(HeapHandle heap) {
    if (heap != kNoHeap && heap != ProcessHeap()) delete RecordOf<Heap>(heap);
}

HeapHandle PosixOs::ProcessHeap() {
    return HandleOf<HeapHandle>(processHeap_);
}

void* PosixOs::HeapAllocZero(HeapHandle heap, size_t size) {
    if (heap == kNoHeap) return nullptr;
    return RecordOf<Heap>(heap)->Alloc(size);
}

void* PosixOs::HeapReAllocZero(HeapHandle heap, void* block, size_t size) {
    if (heap == kNoHeap) return nullptr;
    return RecordOf<Heap>(heap)->ReAlloc(block, size);
}

void PosixOs::HeapFree(HeapHandle heap, void* block) {
    if (heap != kNoHeap) RecordOf<Heap>(heap)->Free(block);
}

void* PosixOs::GlobalAllocZero(size_t size) {
    return calloc(1, size == 0 ? 1 : size);
}

void PosixOs::GlobalFree(void* block) {
    free(block);
}

// ---- time -------------------------------------------------------------

uint32_t PosixOs::TickCount() {
    if (virtualClock_) return static_cast<uint32_t>(virtualMs_) + tickOffset_;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    return static_cast<uint32_t>(ms) + tickOffset_;
}

void PosixOs::SleepMs(uint32_t milliseconds) {
    if (virtualClock_) {
        virtualMs_ += milliseconds == 0 ? 1 : milliseconds;
        return;
    }
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// ---- the running system -------------------------------------------------

uint32_t PosixOs::GetOwnModulePath(char* buffer, uint32_t size) {
    return CopyOut(modulePath_, buffer, size);
}

uint32_t PosixOs::GetWindowsFolder(char* buffer, uint32_t size) {
    return CopyOut(windowsFolder_, buffer, size);
}

uint32_t PosixOs::GetSystemFolder(char* buffer, uint32_t size) {
    return CopyOut(systemFolder_, buffer, size);
}

void PosixOs::GetSpecialFolder(WindowHandle, int csidl, char* buffer260) {
    auto it = specialFolders_.find(csidl);
    CopyOut(it == specialFolders_.end() ? std::string() : it->second, buffer260, 260);
}

uint32_t PosixOs::VersionInfoSize(const char* file) {
    return fileVersions_.count(Lower(file)) ? static_cast<uint32_t>(sizeof(FixedFileInfo)) : 0;
}

bool PosixOs::VersionInfoBlock(const char* file, uint32_t size, void* block) {
    auto it = fileVersions_.find(Lower(file));
    if (it == fileVersions_.end() || size < sizeof(FixedFileInfo)) return false;
    FixedFileInfo info{};
    info.signature = 0xFEEF04BD;
    info.structVersion = 0x00010000;
    info.fileVersionMS = it->second;
    info.productVersionMS = it->second;
    memcpy(block, &info, sizeof(info));
    return true;
}

bool PosixOs::QueryRootVersionValue(const void* block, FixedFileInfo* info) {
    memcpy(info, block, sizeof(*info));
    return info->signature == 0xFEEF04BD;
}

int PosixOs::LoadStringResource(InstanceHandle, uint32_t id, char* buffer, int size) {
    if (size <= 0) return 0;
    buffer[0] = 0;
    const char* text = FindBuiltInString(id);
    if (text == nullptr) return 0;
    // Resources hold Unicode; LoadStringA hands out the system's code page.
    std::string converted;
    if (!ConvertCodePage(text, 65001, codePage_, false, &converted)) converted = text;
    return static_cast<int>(CopyOut(converted, buffer, static_cast<uint32_t>(size)));
}

FontHandle PosixOs::CreateFontFrom(const FontDescription& font) {
    lastFont_ = font;
    return HandleOf<FontHandle>(new FontDescription(font));
}

void PosixOs::DestroyFont(FontHandle font) {
    delete RecordOf<FontDescription>(font);
}

// ---- registry -------------------------------------------------------------

bool PosixOs::OpenRegistryKey(RegistryRoot root, const char* subKey, RegistryKey* key) {
    auto it = registry_.find(RegistryKeyName(root, subKey));
    if (it == registry_.end()) return false;
    *key = HandleOf<RegistryKey>(&it->second);
    return true;
}

bool PosixOs::QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer,
                                 uint32_t* size) {
    auto* values = RecordOf<std::map<std::string, std::string>>(key);
    auto it = values->find(Lower(valueName));
    if (it == values->end()) return false;
    uint32_t needed = static_cast<uint32_t>(it->second.size() + 1);
    if (needed > *size) {
        *size = needed;
        return false;  // ERROR_MORE_DATA
    }
    memcpy(buffer, it->second.c_str(), needed);
    *size = needed;
    return true;
}

void PosixOs::CloseRegistryKey(RegistryKey) {}

// ---- INI files --------------------------------------------------------------

uint32_t PosixOs::ReadProfileString(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, uint32_t size, const char* iniPath) {
    std::string path = iniPath;
    // A bare file name lives in the Windows folder.
    if (path.find_first_of("\\/") == std::string::npos) path = windowsFolder_ + "\\" + path;
    std::string contents;
    std::ifstream in(FilePath(path), std::ios::binary);
    if (in) {
        std::ostringstream all;
        all << in.rdbuf();
        contents = all.str();
    }
    std::string value = LookUpProfileString(contents, section, key, defaultValue);
    return CopyOut(value, buffer, size);
}

// ---- windows and processes --------------------------------------------

bool PosixOs::FindTopLevelWindow(const char* className, const char* windowName) {
    if (windowProbe_) return windowProbe_(className, windowName);
    for (const Window& w : windows_) {
        if (className != nullptr && !EqualsIgnoreCase(w.className, className)) continue;
        if (windowName != nullptr && !EqualsIgnoreCase(w.title, windowName)) continue;
        return true;
    }
    return false;
}

std::vector<PosixOs::Process> PosixOs::CurrentProcesses() {
    if (useProcessTable_) return processTable_;
    std::vector<Process> processes;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return processes;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        unsigned long id = strtoul(e->d_name, &end, 10);
        if (end == e->d_name || *end != 0) continue;
        Process p;
        p.id = static_cast<uint32_t>(id);
        char link[4096];
        std::string exe = "/proc/" + std::string(e->d_name) + "/exe";
        ssize_t n = readlink(exe.c_str(), link, sizeof(link) - 1);
        if (n > 0) {
            link[n] = 0;
            p.modules.push_back(link);
            const char* slash = strrchr(link, '/');
            p.exeFile = slash ? slash + 1 : link;
        } else {
            std::ifstream comm("/proc/" + std::string(e->d_name) + "/comm");
            std::getline(comm, p.exeFile);
            p.canListModules = false;
        }
        processes.push_back(std::move(p));
    }
    closedir(proc);
    return processes;
}

bool PosixOs::LoadProcessStatus() {
    return processStatusAvailable_;
}

bool PosixOs::EnumerateProcesses(uint32_t* ids, uint32_t size, uint32_t* returned) {
    *returned = 0;
    if (processProbe_ && !processProbe_()) return false;
    std::vector<Process> processes = CurrentProcesses();
    uint32_t capacity = size / 4;
    uint32_t n = 0;
    for (const Process& p : processes) {
        if (n == capacity) break;
        ids[n++] = p.id;
    }
    *returned = n * 4;
    return true;
}

namespace {
struct OpenedProcess {
    std::vector<std::string> modules;
    bool canListModules;
};
}  // namespace

ProcessHandle PosixOs::OpenProcessForQuery(uint32_t processId) {
    for (const Process& p : CurrentProcesses()) {
        if (p.id != processId) continue;
        if (!p.canOpen) return kNoProcess;
        return HandleOf<ProcessHandle>(new OpenedProcess{p.modules, p.canListModules});
    }
    return kNoProcess;
}

bool PosixOs::EnumerateModules(ProcessHandle process, ModuleHandle* modules, uint32_t size,
                               uint32_t* needed) {
    auto* p = RecordOf<OpenedProcess>(process);
    if (p == nullptr || !p->canListModules) return false;
    uint32_t count = static_cast<uint32_t>(p->modules.size());
    *needed = count * static_cast<uint32_t>(sizeof(ModuleHandle));
    uint32_t capacity = size / static_cast<uint32_t>(sizeof(ModuleHandle));
    for (uint32_t i = 0; i < count && i < capacity; ++i) {
        modules[i] = HandleNumber<ModuleHandle>(i + 1);
    }
    return true;
}

uint32_t PosixOs::GetModulePath(ProcessHandle process, ModuleHandle module, char* buffer,
                                uint32_t size) {
    auto* p = RecordOf<OpenedProcess>(process);
    uintptr_t index = NumberOf(module);
    if (p == nullptr || index == 0 || index > p->modules.size()) return 0;
    return CopyOut(p->modules[index - 1], buffer, size);
}

void PosixOs::CloseProcess(ProcessHandle process) {
    delete RecordOf<OpenedProcess>(process);
}

SnapshotHandle PosixOs::CreateProcessSnapshot() {
    if (processProbe_ && !processProbe_()) return kInvalidSnapshot;
    Snapshot* snapshot = new Snapshot;
    snapshot->processes = CurrentProcesses();
    return HandleOf<SnapshotHandle>(snapshot);
}

int PosixOs::ProcessFirst(SnapshotHandle snapshot, ProcessEntry* entry) {
    RecordOf<Snapshot>(snapshot)->next = 0;
    return ProcessNext(snapshot, entry);
}

int PosixOs::ProcessNext(SnapshotHandle snapshot, ProcessEntry* entry) {
    Snapshot* s = RecordOf<Snapshot>(snapshot);
    if (entry->size != kProcessEntrySize || s->next >= s->processes.size()) return 0;
    const Process& p = s->processes[s->next++];
    entry->processId = p.id;
    CopyOut(p.exeFile, entry->exeFile, sizeof(entry->exeFile));
    return 1;
}

void PosixOs::CloseSnapshot(SnapshotHandle snapshot) {
    if (snapshot != kInvalidSnapshot) delete RecordOf<Snapshot>(snapshot);
}

}  // namespace kzp
