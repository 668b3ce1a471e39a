#include <io.h>
#include <windows.h>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_os.h"
#include "tools/kzp/host.h"
#include "tools/kzp/host_files.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {
namespace {

void (*g_onInterrupt)() = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    if (g_onInterrupt == nullptr) return FALSE;
    g_onInterrupt();
    return TRUE;
}

bool ToWide(const std::string& text, UINT codePage, std::wstring* out) {
    out->clear();
    if (text.empty()) return true;
    int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    return MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out->data(),
                               n) == n;
}

bool FromWide(const std::wstring& wide, UINT codePage, bool strict, std::string* out) {
    out->clear();
    if (wide.empty()) return true;
    const bool utf8 = codePage == CP_UTF8;
    BOOL usedDefault = FALSE;
    DWORD flags = strict && !utf8 ? WC_NO_BEST_FIT_CHARS : 0;
    BOOL* used = strict && !utf8 ? &usedDefault : nullptr;
    int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                                nullptr, 0, nullptr, used);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    if (WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                            out->data(), n, nullptr, used) != n) {
        return false;
    }
    return !usedDefault;
}

}  // namespace

Os& HostPlatform(uint32_t) {
    // Windows has its code page already; the console seam overrides it when
    // asked to.
    static Win32Os platform;
    return platform;
}

InstanceHandle HostInstance() {
    return FromWin32<InstanceHandle>(GetModuleHandleA(nullptr));
}

std::string WindowsPathOf(const std::string& hostPath) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(hostPath.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return "";
    return full;
}

std::filesystem::path OwnProgramPath() {
    wchar_t buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return {};
    return std::filesystem::path(buffer);
}

uint64_t LastWriteTicks(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        throw FileError("cannot read the time of " + DisplayPath(path));
    }
    return static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
           data.ftLastWriteTime.dwLowDateTime;
}

bool IsTerminal(FILE* file) {
    return _isatty(_fileno(file)) != 0;
}

void CatchInterrupt(void (*onInterrupt)()) {
    g_onInterrupt = onInterrupt;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RunOnThread(uint32_t (*function)(void*), void* argument) {
    struct Call {
        uint32_t (*function)(void*);
        void* argument;
        static DWORD WINAPI Start(void* p) {
            Call* c = static_cast<Call*>(p);
            return c->function(c->argument);
        }
    } call{function, argument};
    HANDLE thread = CreateThread(nullptr, 0, Call::Start, &call, 0, nullptr);
    if (thread == nullptr) {
        function(argument);
        return;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

struct EchoOff::Saved {
    HANDLE input;
    DWORD mode;
};

EchoOff::EchoOff() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return;
    if (SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
        saved_.reset(new Saved{input, mode});
    }
}

EchoOff::~EchoOff() {
    if (saved_) SetConsoleMode(saved_->input, saved_->mode);
}

std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage) {
    std::wstring wide;
    std::string out;
    if (!IsUtf8(utf8) || !ToWide(utf8, CP_UTF8, &wide) || !FromWide(wide, codePage, true, &out)) {
        return std::nullopt;
    }
    // A round trip catches characters that were mapped to look-alikes.
    std::wstring back;
    if (!ToWide(out, codePage, &back) || back != wide) return std::nullopt;
    return out;
}

std::string FromUtf8Lossy(const std::string& utf8, uint32_t codePage) {
    std::wstring wide;
    std::string out;
    if (!ToWide(utf8, CP_UTF8, &wide)) return utf8;
    FromWide(wide, codePage, false, &out);
    return out;
}

std::string WindowsFoldedName(const std::string& utf8) {
    std::wstring wide;
    std::string folded;
    if (!ToWide(utf8, CP_UTF8, &wide)) return utf8;
    if (!wide.empty()) CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return FromWide(wide, CP_UTF8, false, &folded) ? folded : utf8;
}

std::string ToUtf8(const std::string& text, uint32_t codePage) {
    std::wstring wide;
    std::string out;
    if (!ToWide(text, codePage, &wide)) {
        wide.clear();
        for (unsigned char c : text) wide.push_back(c < 0x80 ? c : 0xFFFD);
    }
    FromWide(wide, CP_UTF8, false, &out);
    return out;
}

uint32_t TerminalCodePage() {
    UINT cp = GetConsoleOutputCP();
    return cp != 0 ? cp : GetACP();
}

}  // namespace kzp::tool
