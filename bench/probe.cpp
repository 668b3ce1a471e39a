// Helpers of the kzp command benchmark (bench/kzp_esbuild.sh):
//
//   kzp_bench_probe --measure COMMAND...
//       runs COMMAND and prints "wall cpu resident private": wall-clock and
//       processor seconds (user + system), the peak resident memory (VmHWM,
//       read when the process exits) and the peak private memory in KiB
//       (anonymous pages: heap, stack, data; sampled every 250 us and read
//       at the exit as well). Mapped files count as resident, not private.
//   kzp_bench_probe --floor OLD PACKAGE NEWSIZE OUT
//       the work an update cannot avoid, in one process: the MD5 of the old
//       file and of the package (after the 0x18000-byte image), reading the
//       old file and writing NEWSIZE bytes to OUT.
//   kzp_bench_probe --make-pair MIB OLD NEW
//       an old file of MIB MiB of random bytes and a new one that differs
//       from it by an edit every MiB (a replaced, an inserted or a removed
//       run of a few bytes to a few KiB).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/md5.h"

namespace {

constexpr size_t kIo = 64 * 1024;
constexpr off_t kImage = 0x18000;

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A field of /proc/PID/status in KiB (0 when it cannot be read).
long StatusKiB(pid_t pid, const char* field) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    char line[256];
    long value = 0;
    const size_t n = strlen(field);
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, field, n) == 0 && line[n] == ':')
            value = strtol(line + n + 1, nullptr, 10);
    }
    fclose(f);
    return value;
}

int Measure(char** command) {
    const double start = Now();
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    // The child stops at its exec; from then on it stops once more just
    // before it exits, while its memory can still be read.
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return 2;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    long resident = 0;
    long anonymous = 0;
    rusage usage{};
    for (;;) {
        pid_t got = wait4(pid, &status, WNOHANG, &usage);
        if (got == pid) {
            if (WIFEXITED(status) || WIFSIGNALED(status)) break;
            if (WIFSTOPPED(status)) {
                int signal = WSTOPSIG(status);
                if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
                    resident = std::max(resident, StatusKiB(pid, "VmHWM"));
                    anonymous = std::max(anonymous, StatusKiB(pid, "RssAnon"));
                    signal = 0;
                }
                ptrace(PTRACE_CONT, pid, nullptr,
                       reinterpret_cast<void*>(static_cast<long>(signal)));
            }
            continue;
        }
        if (got < 0) return 2;
        anonymous = std::max(anonymous, StatusKiB(pid, "RssAnon"));
        timespec pause{0, 250000};
        nanosleep(&pause, nullptr);
    }
    const double wall = Now() - start;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", command[0]);
        return 1;
    }
    printf("%.4f %.4f %ld %ld\n", wall, cpu, resident, anonymous);
    return 0;
}

bool HashFile(const char* path, off_t from, off_t dropTail, uint8_t digest[16]) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < from + dropTail) return false;
    off_t left = st.st_size - from - dropTail;
    std::vector<uint8_t> buffer(kIo);
    kzp::Md5Context context;
    kzp::Md5Init(&context);
    if (lseek(fd, from, SEEK_SET) != from) return false;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<off_t>(left, kIo));
        ssize_t got = read(fd, buffer.data(), want);
        if (got <= 0) return false;
        kzp::Md5Update(&context, buffer.data(), static_cast<uint32_t>(got));
        left -= got;
    }
    kzp::Md5Final(digest, &context);
    close(fd);
    return true;
}

int Floor(const char* old, const char* package, uint64_t newSize, const char* out) {
    uint8_t digest[16];
    if (!HashFile(old, 0, 0, digest) || !HashFile(package, kImage, 16, digest)) return 1;
    int in = open(old, O_RDONLY);
    int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || fd < 0) return 1;
    std::vector<uint8_t> buffer(kIo);
    for (uint64_t left = newSize; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kIo));
        ssize_t got = read(in, buffer.data(), want);
        if (got <= 0) got = static_cast<ssize_t>(want);  // past the old file's end: as it is
        if (write(fd, buffer.data(), static_cast<size_t>(got)) != got) return 1;
        left -= static_cast<uint64_t>(got);
    }
    close(in);
    return close(fd) == 0 ? 0 : 1;
}

uint64_t state = 0x9E3779B97F4A7C15ull;
uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

int MakePair(uint64_t mib, const char* oldPath, const char* newPath) {
    const uint64_t mb = 1024 * 1024;
    FILE* old = fopen(oldPath, "wb");
    FILE* fresh = fopen(newPath, "wb");
    if (old == nullptr || fresh == nullptr) return 1;
    std::vector<uint8_t> chunk(mb);
    std::vector<uint8_t> edit(8192);
    for (uint64_t i = 0; i < mib; ++i) {
        for (size_t j = 0; j < mb; j += 8) {
            uint64_t v = Next();
            memcpy(chunk.data() + j, &v, 8);
        }
        fwrite(chunk.data(), 1, mb, old);
        // Somewhere in this MiB: replace, insert or remove 1 to 8192 bytes.
        const size_t at = static_cast<size_t>(Next() % (mb - edit.size()));
        const size_t length = 1 + static_cast<size_t>(Next() % edit.size());
        for (size_t j = 0; j < length; ++j) edit[j] = static_cast<uint8_t>(Next());
        fwrite(chunk.data(), 1, at, fresh);
        switch (Next() % 3) {
            case 0:  // replaced
                fwrite(edit.data(), 1, length, fresh);
                fwrite(chunk.data() + at + length, 1, mb - at - length, fresh);
                break;
            case 1:  // inserted
                fwrite(edit.data(), 1, length, fresh);
                fwrite(chunk.data() + at, 1, mb - at, fresh);
                break;
            default:  // removed
                fwrite(chunk.data() + at + length, 1, mb - at - length, fresh);
                break;
        }
    }
    return fclose(old) == 0 && fclose(fresh) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--measure") == 0) return Measure(argv + 2);
    if (argc == 6 && strcmp(argv[1], "--floor") == 0) {
        return Floor(argv[2], argv[3], strtoull(argv[4], nullptr, 10), argv[5]);
    }
    if (argc == 5 && strcmp(argv[1], "--make-pair") == 0) {
        return MakePair(strtoull(argv[2], nullptr, 10), argv[3], argv[4]);
    }
    fprintf(stderr,
            "usage: %s --measure COMMAND... | --floor OLD PACKAGE NEWSIZE OUT |"
            " --make-pair MIB OLD NEW\n",
            argv[0]);
    return 2;
}
