// Throughput and memory of the two heavy steps of a run, against tools of
// this machine in the same run:
//
// - decoding an update of 256 MiB (block copies, short ranges and literal
//   data; block size 64 KiB), against a copy through user space of a file of
//   the same size (`dd bs=64K`; `cp` is shown too);
// - the integrity check over a package of 256 MiB, against `md5sum` of it;
// - our MD5 over the same package (read 64 KiB at a time), against
//   `openssl md5` of it;
// - the same decoding as a system of the 9x family makes it, with a seek and
//   a read where the others read at a position, against the decoding above.
//
// Each step runs in a child process of its own, so that its peak resident
// memory can be read from the system; the baselines run the same way. Every
// figure is the median of a few runs. The steps also run at 16 MiB to show
// that memory does not grow with the file. The machine is shared, so the
// targets are judged by processor time; wall-clock figures are shown beside.
//
//   kzp_bench_apply [--size MiB] [--runs N] [--folder /tmp]
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/updater_state.h"
#include "engine/notify.h"
#include "package/diff_decoder.h"
#include "package/package_layout.h"
#include "package/trailer.h"
#include "platform/posix/posix_os.h"
#include "support/file_helpers.h"
#include "support/md5.h"

extern char** environ;

namespace {

using kzp::FileHandle;

constexpr uint32_t kBlock = 64 * 1024;
constexpr uint32_t kChunk = 1024 * 1024;

// ---- generating the files -------------------------------------------------

struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    void Fill(uint8_t* data, size_t size) {
        size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            uint64_t v = Next();
            memcpy(data + i, &v, 8);
        }
        for (; i < size; ++i) data[i] = static_cast<uint8_t>(Next());
    }
};

class Output {
  public:
    explicit Output(const std::string& path) : file_(fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) {
            perror(path.c_str());
            exit(2);
        }
    }
    ~Output() { fclose(file_); }
    void Put(const void* data, size_t size) {
        if (fwrite(data, 1, size, file_) != size) {
            perror("write");
            exit(2);
        }
        written_ += size;
    }
    void PutU8(uint8_t v) { Put(&v, 1); }
    void PutU32(uint32_t v) {
        uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        Put(b, 4);
    }
    void Zeros(size_t size) {
        std::vector<uint8_t> zeros(std::min<size_t>(size, kChunk), 0);
        while (size > 0) {
            size_t n = std::min(size, zeros.size());
            Put(zeros.data(), n);
            size -= n;
        }
    }
    uint64_t Written() const { return written_; }

  private:
    FILE* file_;
    uint64_t written_ = 0;
};

struct UpdateFiles {
    std::string oldPath;
    std::string updaterPath;
    uint32_t streamLength = 0;
    uint8_t expected[16];  // MD5 of the new file
    uint64_t newSize = 0;
};

// An old file of `size` bytes and an updater file whose stream (at data
// offset 0) rebuilds a new file of `size` bytes from it: long copied ranges,
// literal blocks, and many short copied and literal ranges.
UpdateFiles MakeUpdate(const std::string& folder, uint64_t size, uint64_t seed) {
    UpdateFiles files;
    files.oldPath = folder + "/old.bin";
    files.updaterPath = folder + "/update.exe";
    Random random{seed};
    std::vector<uint8_t> buffer(64 * size_t{kBlock});
    {
        Output old(files.oldPath);
        for (uint64_t left = size; left > 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            random.Fill(buffer.data(), n);
            old.Put(buffer.data(), n);
            left -= n;
        }
    }
    int oldFd = open(files.oldPath.c_str(), O_RDONLY);
    const uint32_t oldSize = static_cast<uint32_t>(size);

    kzp::Md5Context expected;
    kzp::Md5Init(&expected);
    Output out(files.updaterPath);
    out.Zeros(kzp::kPackageOffset);
    out.Put("KZS ", 4);
    const uint8_t version[2] = {100, 0};
    out.Put(version, 2);
    out.PutU32(kBlock);
    auto copyOld = [&](uint32_t offset, uint32_t length) {
        if (pread(oldFd, buffer.data(), length, offset) != static_cast<ssize_t>(length)) {
            perror("pread");
            exit(2);
        }
        kzp::Md5Update(&expected, buffer.data(), length);
    };
    auto literal = [&](uint32_t length) {
        random.Fill(buffer.data(), length);
        out.Put(buffer.data(), length);
        kzp::Md5Update(&expected, buffer.data(), length);
    };

    uint64_t produced = 0;
    while (produced < size) {
        const uint64_t left = size - produced;
        const uint32_t kind = random.Below(100);
        if (left < kBlock || kind < 60) {
            // Short ranges: most opcodes, little of the data.
            uint32_t length =
                1 + random.Below(static_cast<uint32_t>(std::min<uint64_t>(left, 4096)));
            if (kind % 2 == 0) {
                uint32_t offset = random.Below(oldSize - length + 1);
                out.PutU8(3);
                out.PutU32(offset);
                out.PutU32(length);
                copyOld(offset, length);
            } else {
                out.PutU8(6);
                out.PutU32(length);
                literal(length);
            }
            produced += length;
            continue;
        }
        const uint32_t maxBlocks = static_cast<uint32_t>(std::min<uint64_t>(left / kBlock, 64));
        const uint32_t count = 1 + random.Below(maxBlocks);
        if (kind < 85) {
            // Copied blocks, at offsets that need not be block multiples.
            uint32_t offset = random.Below(oldSize - count * kBlock + 1);
            if (count == 1) {
                out.PutU8(1);
                out.PutU32(offset);
            } else {
                out.PutU8(2);
                out.PutU32(offset);
                out.PutU32(count);
            }
            for (uint32_t i = 0; i < count; ++i) copyOld(offset + i * kBlock, kBlock);
        } else if (count == 1) {
            out.PutU8(4);
            literal(kBlock);
        } else {
            out.PutU8(5);
            out.PutU32(count);
            for (uint32_t i = 0; i < count; ++i) literal(kBlock);
        }
        produced += uint64_t{count} * kBlock;
    }
    out.PutU8(0);
    files.streamLength = static_cast<uint32_t>(out.Written() - kzp::kPackageOffset);
    files.newSize = produced;
    kzp::Md5Final(files.expected, &expected);
    close(oldFd);
    return files;
}

// A stream that copies the whole old file in order, 64 blocks per opcode:
// the decoder's own cost when the old data is read front to back.
std::string MakeInOrderUpdate(const std::string& folder, uint64_t size, uint32_t* length) {
    std::string path = folder + "/in-order.exe";
    Output out(path);
    out.Zeros(kzp::kPackageOffset);
    out.Put("KZS ", 4);
    const uint8_t version[2] = {100, 0};
    out.Put(version, 2);
    out.PutU32(kBlock);
    const uint64_t blocks = size / kBlock;
    for (uint64_t done = 0; done < blocks;) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(64, blocks - done));
        out.PutU8(2);
        out.PutU32(static_cast<uint32_t>(done * kBlock));
        out.PutU32(count);
        done += count;
    }
    if (size % kBlock != 0) {
        out.PutU8(3);
        out.PutU32(static_cast<uint32_t>(blocks * kBlock));
        out.PutU32(static_cast<uint32_t>(size % kBlock));
    }
    out.PutU8(0);
    *length = static_cast<uint32_t>(out.Written() - kzp::kPackageOffset);
    return path;
}

// A package of `size` bytes (body and trailer) after the image.
std::string MakePackage(const std::string& folder, uint64_t size, uint64_t seed) {
    std::string path = folder + "/package.exe";
    Output out(path);
    out.Zeros(kzp::kPackageOffset);
    Random random{seed};
    std::vector<uint8_t> buffer(kChunk);
    kzp::Md5Context context;
    kzp::Md5Init(&context);
    for (uint64_t left = size - kzp::kTrailerSize; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        random.Fill(buffer.data(), n);
        kzp::Md5Update(&context, buffer.data(), static_cast<uint32_t>(n));
        out.Put(buffer.data(), n);
        left -= n;
    }
    uint8_t trailer[16];
    kzp::Md5Final(trailer, &context);
    out.Put(trailer, 16);
    return path;
}

// ---- the children ---------------------------------------------------------

int ChildDecode(const char* updater, const char* old, const char* created, uint32_t length,
                bool ninetyX) {
    kzp::PosixOs os;
    if (ninetyX) os.SetVersion({kzp::kPlatformWin32Windows, 4, 10});
    kzp::SetOs(&os);
    kzp::UpdaterState state;
    kzp::InitUpdaterState(&state, kzp::kNoInstance);
    FileHandle package =
        kzp::OpenFileForRead(os.WindowsPath(updater).c_str(), kzp::kFileShareRead, 0);
    FileHandle oldFile = kzp::OpenFileForRead(os.WindowsPath(old).c_str(), 0, 0);
    FileHandle newFile = kzp::CreateFileForWrite(os.WindowsPath(created).c_str(), 0, 0);
    if (package == kzp::kInvalidFile || oldFile == kzp::kInvalidFile ||
        newFile == kzp::kInvalidFile) {
        fprintf(stderr, "cannot open the files\n");
        return 2;
    }
    kzp::Result result;
    {
        auto* file = new kzp::PackageFile(package);
        kzp::FileEntry entry{};
        entry.dataOffset = 0;
        entry.dataLength = length;
        kzp::StateDecodeContext context(state);
        result = kzp::ApplyDiffStream(*file, entry, oldFile, newFile, context);
        delete file;
    }
    os.CloseFile(newFile);
    os.CloseFile(oldFile);
    os.CloseFile(package);
    kzp::ReleaseUpdaterState(&state);
    if (result != 0) fprintf(stderr, "decoding failed: 0x%X\n", result);
    return result == 0 ? 0 : 1;
}

int ChildMd5(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 2;
    std::vector<uint8_t> buffer(64 * 1024);
    kzp::Md5Context context;
    kzp::Md5Init(&context);
    ssize_t got;
    while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
        kzp::Md5Update(&context, buffer.data(), static_cast<uint32_t>(got));
    }
    close(fd);
    uint8_t digest[16];
    kzp::Md5Final(digest, &context);
    return got == 0 ? 0 : 1;
}

int ChildTrailer(const char* path) {
    kzp::PosixOs os;
    kzp::SetOs(&os);
    kzp::UpdaterState state;
    kzp::InitUpdaterState(&state, kzp::kNoInstance);
    FileHandle handle = kzp::OpenFileForRead(os.WindowsPath(path).c_str(), kzp::kFileShareRead, 0);
    if (handle == kzp::kInvalidFile) return 2;
    kzp::Result result;
    {
        auto* file = new kzp::PackageFile(handle);
        uint32_t size = 0;
        if (!file->QuerySize(&size) || !file->Seek(kzp::kPackageOffset)) return 2;
        kzp::StateDecodeContext context(state);
        result = kzp::VerifyPackageTrailer(*file, size - kzp::kPackageOffset, context);
        delete file;
    }
    os.CloseFile(handle);
    kzp::ReleaseUpdaterState(&state);
    if (result != 0) fprintf(stderr, "trailer check failed: 0x%X\n", result);
    return result == 0 ? 0 : 1;
}

// ---- measuring ------------------------------------------------------------

struct Measured {
    double seconds;  // wall-clock
    double peakMiB;
    double cpuSeconds;  // user and system time of the process
};

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The peak resident memory of this process (VmHWM), in MiB.
double OwnPeakMiB() {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    double kib = 0;
    while (fgets(line, sizeof(line), status) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtod(line + 6, nullptr);
    }
    fclose(status);
    return kib / 1024.0;
}

// Runs a program; its wall time, its processor time and, for our own
// children (which print their VmHWM on standard output), their peak resident
// memory. The peak that wait4 reports is no use here: a spawned child starts
// with the parent's high-water mark.
Measured Spawn(const std::vector<std::string>& arguments, bool ownChild) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int output[2];
    if (pipe(output) != 0) exit(2);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (ownChild) {
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclose(&actions, output[0]);
    posix_spawn_file_actions_addclose(&actions, output[1]);
    pid_t pid;
    double start = Now();
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        perror(argv[0]);
        exit(2);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double seconds = Now() - start;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    char text[64] = {};
    ssize_t got = read(output[0], text, sizeof(text) - 1);
    close(output[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", arguments[0].c_str());
        exit(2);
    }
    return {seconds, ownChild && got > 0 ? strtod(text, nullptr) : 0, cpu};
}

// The median wall time and the median processor time (each on its own), and
// the highest peak.
Measured Median(std::vector<Measured> runs) {
    Measured m{};
    std::sort(runs.begin(), runs.end(),
              [](const Measured& a, const Measured& b) { return a.seconds < b.seconds; });
    m.seconds = runs[runs.size() / 2].seconds;
    std::sort(runs.begin(), runs.end(),
              [](const Measured& a, const Measured& b) { return a.cpuSeconds < b.cpuSeconds; });
    m.cpuSeconds = runs[runs.size() / 2].cpuSeconds;
    for (const Measured& r : runs) m.peakMiB = std::max(m.peakMiB, r.peakMiB);
    return m;
}

bool Digest(const std::string& path, uint8_t digest[16]) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::vector<uint8_t> buffer(kChunk);
    kzp::Md5Context context;
    kzp::Md5Init(&context);
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        kzp::Md5Update(&context, buffer.data(), static_cast<uint32_t>(n));
    }
    fclose(file);
    kzp::Md5Final(digest, &context);
    return true;
}

void CheckDigest(const std::string& path, const uint8_t expected[16]) {
    uint8_t digest[16];
    if (!Digest(path, digest) || memcmp(digest, expected, 16) != 0) {
        fprintf(stderr, "the decoded file differs from the expected one\n");
        exit(1);
    }
}

struct Figures {
    Measured cp, dd, md5sum, openssl, md5, decode, decode9x, inOrder, trailer;
    uint64_t bytes;
};

Figures MeasureAt(const std::string& self, const std::string& folder, uint64_t mib, int runs) {
    const uint64_t size = mib * 1024 * 1024;
    UpdateFiles update = MakeUpdate(folder, size, 0x9E3779B97F4A7C15ull + mib);
    const std::string package = MakePackage(folder, size, 0xD1B54A32D192ED03ull + mib);
    const std::string created = folder + "/new.bin";
    const std::string copy = folder + "/copy.bin";

    uint32_t inOrderLength = 0;
    const std::string inOrder = MakeInOrderUpdate(folder, size, &inOrderLength);
    std::vector<Measured> cp, dd, md5sum, openssl, md5, decode, decode9x, inOrderDecode, trailer;
    uint8_t oldDigest[16];
    for (int i = 0; i < runs; ++i) {
        unlink(copy.c_str());
        cp.push_back(Spawn({"cp", update.oldPath, copy}, false));
        if (i == 0 && !Digest(copy, oldDigest)) exit(2);
        unlink(copy.c_str());
        dd.push_back(
            Spawn({"dd", "if=" + update.oldPath, "of=" + copy, "bs=64K", "status=none"}, false));
        md5sum.push_back(Spawn({"md5sum", package}, false));
        openssl.push_back(Spawn({"openssl", "md5", package}, false));
        md5.push_back(Spawn({self, "--child-md5", package}, true));
        trailer.push_back(Spawn({self, "--child-trailer", package}, true));
        unlink(created.c_str());
        decode.push_back(Spawn({self, "--child-decode", update.updaterPath, update.oldPath, created,
                                std::to_string(update.streamLength)},
                               true));
        CheckDigest(created, update.expected);
        unlink(created.c_str());
        decode9x.push_back(Spawn({self, "--child-decode-9x", update.updaterPath, update.oldPath,
                                  created, std::to_string(update.streamLength)},
                                 true));
        CheckDigest(created, update.expected);
        unlink(created.c_str());
        inOrderDecode.push_back(Spawn({self, "--child-decode", inOrder, update.oldPath, created,
                                       std::to_string(inOrderLength)},
                                      true));
        CheckDigest(created, oldDigest);
    }
    for (const std::string& path :
         {update.oldPath, update.updaterPath, package, created, copy, inOrder}) {
        unlink(path.c_str());
    }
    return {Median(cp),     Median(dd),       Median(md5sum),        Median(openssl), Median(md5),
            Median(decode), Median(decode9x), Median(inOrderDecode), Median(trailer), size};
}

void Report(const char* name, const Measured& m, uint64_t bytes) {
    printf("  %-12s wall %6.3f s %6.0f MB/s | cpu %6.3f s %6.0f MB/s\n", name, m.seconds,
           static_cast<double>(bytes) / m.seconds / 1e6, m.cpuSeconds,
           static_cast<double>(bytes) / m.cpuSeconds / 1e6);
}

// Throughput of `m` as a share of the baseline's, judged by processor time.
void Target(const char* label, const Measured& m, const Measured& baseline, const char* against,
            double wanted) {
    const double cpu = baseline.cpuSeconds / m.cpuSeconds;
    const double wall = baseline.seconds / m.seconds;
    printf("  %-6s %s >= %.2f x %s: cpu %.3f (wall %.3f)\n", cpu >= wanted ? "met" : "MISSED",
           label, wanted, against, cpu, wall);
}

}  // namespace

int main(int argc, char** argv) {
    // Children: one step each, then their peak memory on standard output.
    int child = -1;
    if (argc == 6 &&
        (strcmp(argv[1], "--child-decode") == 0 || strcmp(argv[1], "--child-decode-9x") == 0)) {
        child = ChildDecode(argv[2], argv[3], argv[4],
                            static_cast<uint32_t>(strtoul(argv[5], nullptr, 10)),
                            strcmp(argv[1], "--child-decode-9x") == 0);
    } else if (argc == 3 && strcmp(argv[1], "--child-md5") == 0) {
        child = ChildMd5(argv[2]);
    } else if (argc == 3 && strcmp(argv[1], "--child-trailer") == 0) {
        child = ChildTrailer(argv[2]);
    } else if (argc == 2 && strcmp(argv[1], "--child-idle") == 0) {
        child = 0;
    }
    if (child >= 0) {
        printf("%.2f\n", OwnPeakMiB());
        return child;
    }

    uint64_t mib = 256;
    int runs = 5;
    std::string base = "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--size") == 0)
            mib = strtoull(argv[i + 1], nullptr, 10);
        else if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--folder") == 0)
            base = argv[i + 1];
    }
    if (mib < 1 || mib > 2000 || runs < 1) {
        fprintf(stderr, "usage: %s [--size MiB (1..2000)] [--runs N] [--folder /tmp]\n", argv[0]);
        return 2;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return 2;
    self[n] = 0;
    std::string pattern = base + "/kzp-bench-XXXXXX";
    std::vector<char> folderName(pattern.begin(), pattern.end());
    folderName.push_back(0);
    if (mkdtemp(folderName.data()) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    const std::string folder = folderName.data();

    const uint64_t small = std::min<uint64_t>(16, mib);
    printf("kzp benchmark: decoding and integrity check, median of %d runs, files in %s\n", runs,
           base.c_str());
    const Measured idle = Spawn({self, "--child-idle"}, true);
    Figures smallFigures = MeasureAt(self, folder, small, runs);
    Figures f = MeasureAt(self, folder, mib, runs);
    rmdir(folder.c_str());

    printf("%llu MiB (block size %u KiB), median wall-clock and processor time:\n",
           static_cast<unsigned long long>(mib), kBlock / 1024);
    Report("cp", f.cp, f.bytes);
    Report("dd bs=64K", f.dd, f.bytes);
    Report("decode", f.decode, f.bytes);
    Report("decode 9x", f.decode9x, f.bytes);
    Report("in order", f.inOrder, f.bytes);
    Report("md5sum", f.md5sum, f.bytes);
    Report("trailer", f.trailer, f.bytes);
    Report("openssl md5", f.openssl, f.bytes);
    Report("our MD5", f.md5, f.bytes);
    printf("throughput as a share of the baseline's:\n");
    Target("decode", f.decode, f.dd, "dd bs=64K", 0.95);
    Target("trailer check", f.trailer, f.md5sum, "md5sum", 0.95);
    Target("MD5", f.md5, f.openssl, "openssl md5", 0.95);
    // Where both cost the same, positioned reads could give way to a seek
    // and a read on every system.
    Target("decode 9x", f.decode9x, f.decode, "decode", 0.98);
    printf("peak resident memory (the process at rest: %.1f MiB):\n", idle.peakMiB);
    printf("  decode   %4llu MiB: %5.1f MiB   %4llu MiB: %5.1f MiB\n",
           static_cast<unsigned long long>(small), smallFigures.decode.peakMiB,
           static_cast<unsigned long long>(mib), f.decode.peakMiB);
    printf("  trailer  %4llu MiB: %5.1f MiB   %4llu MiB: %5.1f MiB\n",
           static_cast<unsigned long long>(small), smallFigures.trailer.peakMiB,
           static_cast<unsigned long long>(mib), f.trailer.peakMiB);
    const double growth = std::max(f.decode.peakMiB - smallFigures.decode.peakMiB,
                                   f.trailer.peakMiB - smallFigures.trailer.peakMiB);
    const double overRest = f.decode.peakMiB - idle.peakMiB;
    printf(
        "  growth from %llu to %llu MiB: %.1f MiB; decoding above the process at rest: %.1f MiB"
        " (target: block size + under 4 MiB)\n",
        static_cast<unsigned long long>(small), static_cast<unsigned long long>(mib), growth,
        overRest);
    return 0;
}
