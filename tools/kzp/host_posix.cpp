#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/posix/code_page.h"
#include "platform/posix/posix_os.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

namespace fs = std::filesystem;

PosixOs& Platform() {
    static PosixOs platform;
    return platform;
}

void (*g_onInterrupt)() = nullptr;

void OnSignal(int) {
    if (g_onInterrupt != nullptr) g_onInterrupt();
}

}  // namespace

Os& HostPlatform(uint32_t codePage) {
    PosixOs& platform = Platform();
    if (codePage == 0) {
        const char* lang = std::getenv("LC_ALL");
        if (lang == nullptr || *lang == 0) lang = std::getenv("LANG");
        codePage = lang != nullptr && std::strncmp(lang, "ja", 2) == 0 ? 932 : 1252;
    }
    platform.SetAnsiCodePage(codePage);
    return platform;
}

InstanceHandle HostInstance() {
    return kNoInstance;
}

std::string WindowsPathOf(const std::string& hostPath) {
    std::error_code ec;
    fs::path absolute = fs::absolute(HostPath(hostPath), ec);
    if (ec) return "";
    return Platform().WindowsPath(absolute.lexically_normal().string());
}

fs::path OwnProgramPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
}

uint64_t LastWriteTicks(const fs::path& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw FileError("cannot read the time of " + DisplayPath(path));
    const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + 11644473600LL;
    if (seconds < 0) return 0;
    return static_cast<uint64_t>(seconds) * 10000000u +
           static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
}

bool IsTerminal(FILE* file) {
    return isatty(fileno(file)) != 0;
}

void CatchInterrupt(void (*onInterrupt)()) {
    g_onInterrupt = onInterrupt;
    std::signal(SIGINT, OnSignal);
}

void RunOnThread(uint32_t (*function)(void*), void* argument) {
    std::thread thread(function, argument);
    thread.join();
}

struct EchoOff::Saved {
    termios mode;
};

EchoOff::EchoOff() {
    termios mode;
    if (tcgetattr(0, &mode) != 0) return;
    termios quiet = mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (tcsetattr(0, TCSANOW, &quiet) == 0) saved_.reset(new Saved{mode});
}

EchoOff::~EchoOff() {
    if (saved_) tcsetattr(0, TCSANOW, &saved_->mode);
}

std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage) {
    std::string out;
    if (!IsUtf8(utf8) || !ConvertCodePage(utf8, 65001, codePage, true, &out)) return std::nullopt;
    // A round trip catches characters that were mapped to look-alikes.
    std::string back;
    if (!ConvertCodePage(out, codePage, 65001, true, &back) || back != utf8) return std::nullopt;
    return out;
}

std::string FromUtf8Lossy(const std::string& utf8, uint32_t codePage) {
    std::string out;
    if (!ConvertCodePage(utf8, 65001, codePage, false, &out)) return utf8;
    return out;
}

std::string WindowsFoldedName(const std::string& utf8) {
    return UpperCaseUtf8(utf8);
}

std::string ToUtf8(const std::string& text, uint32_t codePage) {
    std::string out;
    if (!ConvertCodePage(text, codePage, 65001, false, &out)) {
        out.clear();
        for (unsigned char c : text)
            out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xEF\xBF\xBD";
    }
    return out;
}

uint32_t TerminalCodePage() {
    return 65001;
}

}  // namespace kzp::tool
