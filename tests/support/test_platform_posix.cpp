#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/posix/posix_os.h"
#include "tests/support/test_platform.h"

namespace kzp::test {
namespace fs = std::filesystem;

namespace {

struct NativePlatform {
    PosixOs os;
    std::string root;  // host folder behind drive C:
    int next = 0;

    NativePlatform() {
        char pattern[] = "/tmp/kzp-test-XXXXXX";
        root = mkdtemp(pattern);
        os.MapDrive('C', root);
    }
    ~NativePlatform() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

NativePlatform& Platform() {
    static NativePlatform platform;
    return platform;
}

std::string Host(const std::string& path) {
    return Platform().os.HostPath(path);
}

}  // namespace

Os& BaseOs() {
    return Platform().os;
}
PosixOs* Posix() {
    return &Platform().os;
}
bool OnWindows() {
    return false;
}

std::string NewScratchFolder() {
    std::string path = "C:\\scratch" + std::to_string(++Platform().next);
    fs::create_directories(Host(path));
    return path;
}

bool WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(Host(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

namespace {

// The whole file in one read (byte-wise stream iterators are slow in the
// sanitized debug build).
bool ReadHostFile(const fs::path& path, Bytes* data) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    std::streamsize size = in.tellg();
    in.seekg(0);
    data->resize(static_cast<size_t>(size));
    return static_cast<bool>(in.read(reinterpret_cast<char*>(data->data()), size)) || size == 0;
}

}  // namespace

bool ReadBytes(const std::string& path, Bytes* data) {
    return ReadHostFile(Host(path), data);
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Host(path), ec));
}

bool MakeFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(Host(path), ec);
    return !ec;
}

bool RemovePath(const std::string& path) {
    std::error_code ec;
    fs::remove_all(Host(path), ec);
    return !ec;
}

std::map<std::string, Bytes> ReadTree(const std::string& folder) {
    std::map<std::string, Bytes> tree;
    fs::path root = Host(folder);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::string relative = fs::relative(it->path(), root).string();
        for (char& c : relative) {
            if (c == '/') c = '\\';
        }
        Bytes data;
        ReadHostFile(it->path(), &data);
        tree[relative] = std::move(data);
    }
    return tree;
}

std::string TestProgramFolder() {
    char link[4096];
    ssize_t n = readlink("/proc/self/exe", link, sizeof(link) - 1);
    if (n <= 0) return "";
    link[n] = 0;
    return Platform().os.WindowsPath(fs::path(link).parent_path().string());
}

// Read with stat, not through the seam: a file that a run holds open
// without sharing still shows its time (as a crash would leave it).
bool FileTimeOf(const std::string& path, uint64_t* ticks) {
    struct stat st;
    if (stat(Host(path).c_str(), &st) != 0) return false;
    constexpr int64_t kUnixEpochTicks = 116444736000000000;
    *ticks = static_cast<uint64_t>(static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 +
                                   st.st_mtim.tv_nsec / 100 + kUnixEpochTicks);
    return true;
}

}  // namespace kzp::test
