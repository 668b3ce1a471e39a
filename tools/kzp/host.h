// What the kzp command needs of the system it runs on, beyond the updater's
// own seam: the seam itself set up for a console, paths in the Windows form
// the engine uses, the terminal, a thread for the run, and text conversions.
// One implementation per platform (host_posix.cpp, host_win32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/os.h"

namespace kzp::tool {

// The platform's seam. `codePage` 0 keeps the system's ANSI code page (on
// Linux: 932 for a Japanese locale, 1252 otherwise).
Os& HostPlatform(uint32_t codePage);
// The program's instance, for its string resources.
InstanceHandle HostInstance();
// The Windows path of a host path, or "" when it has none.
std::string WindowsPathOf(const std::string& hostPath);

// The kzp program's own file.
std::filesystem::path OwnProgramPath();

bool IsTerminal(FILE* file);
// Calls `onInterrupt` (from any thread) when the user presses Ctrl+C.
void CatchInterrupt(void (*onInterrupt)());
// Runs `function(argument)` on a thread of its own and waits for it.
void RunOnThread(uint32_t (*function)(void*), void* argument);

// Keeps what is typed at the terminal from being shown while it lives.
class EchoOff {
  public:
    EchoOff();
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

// UTF-8 to code page `codePage`; nothing when a character has no mapping
// there or the code page is unknown.
std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage);
// The same, with "?" for characters that have no mapping.
std::string FromUtf8Lossy(const std::string& utf8, uint32_t codePage);
// Code page `codePage` to UTF-8; bytes that do not decode become U+FFFD.
std::string ToUtf8(const std::string& text, uint32_t codePage);
// The code page of the terminal (65001 for UTF-8).
uint32_t TerminalCodePage();
// A UTF-8 name in the form Windows compares names in (upper case, character
// by character): two names that give the same text name one file there.
std::string WindowsFoldedName(const std::string& utf8);

}  // namespace kzp::tool
