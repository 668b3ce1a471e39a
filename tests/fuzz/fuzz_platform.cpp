#include "tests/fuzz/fuzz_platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace kzp::fuzz {
namespace {

struct Platform;
Platform& TheP();

struct Platform {
    PosixOs os;
    std::string root;

    Platform() {
        char pattern[] = "/tmp/kzp-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        Require(made != nullptr, "cannot make the scratch folder");
        root = made;
        os.MapDrive('C', root);
        os.UseVirtualClock(true);
        SetOs(&os);
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(TheP().root, ignored);
        });
    }
};

Platform& TheP() {
    static Platform* platform = new Platform;  // lives until exit, after every target
    return *platform;
}

}  // namespace

PosixOs& Seam() {
    return TheP().os;
}

ScratchFile Scratch(const std::string& name) {
    TheP();
    return {"C:\\" + name, Seam().HostPath("C:\\" + name)};
}

std::string ScratchFolder(const std::string& name) {
    std::string host = Seam().HostPath("C:\\" + name);
    mkdir(host.c_str(), 0777);
    return "C:\\" + name + "\\";
}

void Refill(const ScratchFile& file, uint32_t offset, const uint8_t* data, size_t size) {
    int fd = open(file.hostPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    Require(fd >= 0, "cannot write a scratch file");
    size_t done = 0;
    bool ok = ftruncate(fd, offset) == 0;
    while (ok && done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    close(fd);
    Require(ok, "cannot write a scratch file");
}

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

}  // namespace kzp::fuzz
