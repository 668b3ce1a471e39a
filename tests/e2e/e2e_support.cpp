#include "tests/e2e/e2e_support.h"

#include <windows.h>

#include "resources/string_table.h"
#include "tests/e2e/player.h"
#include "tests/support/test_platform.h"
#include "tools/encoder/compact_encoder.h"

namespace kzp::e2e {
namespace {

// Build paths come as Linux paths; Wine shows the Linux root as drive Z:.
std::string FromHostPath(const char* path) {
    std::string out = "Z:";
    for (const char* p = path; *p != 0; ++p) out.push_back(*p == '/' ? '\\' : *p);
    return out;
}

}  // namespace

const char kDetail[] = "　　--> ";

// The image of this build, or the one KZP_E2E_UPDATER names (a Linux or a
// Windows path): make test-win32 plays the 32-bit image with the same driver.
std::string UpdaterImagePath() {
    char chosen[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("KZP_E2E_UPDATER", chosen, sizeof(chosen));
    if (length == 0 || length >= sizeof(chosen)) return FromHostPath(KZP_E2E_UPDATER);
    return chosen[0] == '/' ? FromHostPath(chosen) : std::string(chosen);
}
std::string RunningAppPath() {
    return FromHostPath(KZP_E2E_RUNNING_APP);
}
std::string FollowUpProgramPath() {
    return FromHostPath(KZP_E2E_FOLLOW_UP);
}
std::string KzpToolPath() {
    return FromHostPath(KZP_E2E_KZP);
}

long RunConsoleProgram(const std::string& program, const std::string& arguments,
                       std::string* output, unsigned long waitMs) {
    output->clear();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + program + "\" " + arguments;
    const bool started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info) != FALSE;
    // Only the child holds the writing end now: reading ends when it does.
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (!started) {
        CloseHandle(readEnd);
        return -1;
    }
    // The pipe is read while the program runs, so that it never waits for
    // room to write; what it wrote last is read after it has ended.
    const ULONGLONG deadline =
        GetTickCount64() +
        static_cast<ULONGLONG>(Scaled(std::chrono::milliseconds(waitMs)).count());
    bool ended = false;
    for (;;) {
        DWORD available = 0;
        const bool open = PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) != FALSE;
        if (open && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr)) break;
            output->append(buffer, got);
            continue;
        }
        if (ended || !open) break;
        ended = WaitForSingleObject(info.hProcess, 10) == WAIT_OBJECT_0;
        if (!ended && GetTickCount64() >= deadline) break;
    }
    CloseHandle(readEnd);
    const ULONGLONG now = GetTickCount64();
    long code = -1;
    if (WaitForSingleObject(info.hProcess, now < deadline ? static_cast<DWORD>(deadline - now)
                                                          : 0) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(info.hProcess, &exitCode);
        code = static_cast<long>(exitCode);
    } else {
        TerminateProcess(info.hProcess, 999);
        WaitForSingleObject(info.hProcess,
                            static_cast<DWORD>(Scaled(std::chrono::seconds(10)).count()));
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x);
    }
    return out;
}

bool WriteTree(const std::string& folder, const Tree& tree) {
    if (!test::MakeFolder(folder)) return false;
    for (const auto& [name, data] : tree) {
        std::string path = folder + "\\" + name;
        size_t slash = path.rfind('\\');
        if (!test::MakeFolder(path.substr(0, slash))) return false;
        if (!test::WriteBytes(path, data)) return false;
    }
    return true;
}

Tree WithBackups(const Tree& newTree, const Tree& oldTree, const std::vector<std::string>& names,
                 const std::string& oldVersion) {
    Tree out = newTree;
    for (const std::string& name : names) out[name + "." + oldVersion + ".old"] = oldTree.at(name);
    return out;
}

writer::FileTimeValue EntryTime(size_t index) {
    // 2020-01-01 00:00:00 UTC plus whole hours, so every file gets its own time.
    uint64_t ticks = 132223104000000000ull + static_cast<uint64_t>(index) * 36000000000ull;
    return writer::FileTimeValue::FromTicks(ticks);
}

Bytes DiffFor(const Bytes& oldData, const Bytes& newData, uint32_t blockSize) {
    size_t head = 0;
    while (head < oldData.size() && head < newData.size() && oldData[head] == newData[head]) ++head;
    size_t tail = 0;
    while (tail < oldData.size() - head && tail < newData.size() - head &&
           oldData[oldData.size() - 1 - tail] == newData[newData.size() - 1 - tail]) {
        ++tail;
    }
    writer::DiffStream stream(blockSize);
    for (size_t at = 0; at < head; at += blockSize) {
        stream.CopyRange(static_cast<uint32_t>(at),
                         static_cast<uint32_t>(std::min<size_t>(blockSize, head - at)));
    }
    for (size_t at = head; at < newData.size() - tail; at += blockSize) {
        size_t length = std::min<size_t>(blockSize, newData.size() - tail - at);
        stream.LiteralRange(Bytes(newData.begin() + at, newData.begin() + at + length));
    }
    size_t oldTail = oldData.size() - tail;
    for (size_t at = 0; at < tail; at += blockSize) {
        stream.CopyRange(static_cast<uint32_t>(oldTail + at),
                         static_cast<uint32_t>(std::min<size_t>(blockSize, tail - at)));
    }
    stream.End();
    return stream.Data();
}

writer::Package PackageFor(const Tree& oldTree, const Tree& newTree, const std::string& folder) {
    writer::Package p;
    p.title = "Sample App";
    p.oldVersion = "1.0";
    p.newVersion = "2.0";
    p.copyright = "(c) kzp e2e";
    p.target.type = 3;
    p.target.rootOrBase = 6;  // no base folder: the path is complete
    p.target.path = folder;
    size_t index = 0;
    for (const auto& [name, data] : newTree) {
        auto old = oldTree.find(name);
        if (old == oldTree.end()) {
            writer::AddEntry add;
            add.name = name;
            add.fileTime = EntryTime(index++);
            add.contents = data;
            p.adds.push_back(add);
        } else if (old->second != data) {
            writer::UpdateEntry update;
            update.name = name;
            update.digest = writer::Md5(old->second);
            update.fileTime = EntryTime(index++);
            update.stream = DiffFor(old->second, data);
            p.updates.push_back(update);
        }
    }
    for (const auto& [name, data] : oldTree) {
        if (newTree.count(name) == 0) p.deletes.push_back({name, writer::Md5(data)});
    }
    return p;
}

writer::Package CompactPackageFor(const Tree& oldTree, const Tree& newTree,
                                  const std::string& folder) {
    writer::Package p = PackageFor(oldTree, newTree, folder);
    p.formatVersion = kCompactFormatVersion;
    for (writer::UpdateEntry& u : p.updates) {
        const Bytes& oldData = oldTree.at(u.name);
        const Bytes& newData = newTree.at(u.name);
        encoder::OldFileIndex index(oldData.data(), oldData.size());
        u.stream = encoder::EncodeCompactUpdate(index, newData.data(), newData.size());
    }
    for (writer::AddEntry& a : p.adds) {
        a.contents = encoder::EncodeCompactAdd(a.contents.data(), a.contents.size());
    }
    return p;
}

bool WriteUpdater(const std::string& path, const writer::Package& package) {
    Bytes image;
    if (!test::ReadBytes(UpdaterImagePath(), &image) || image.size() != 0x18000) return false;
    return test::WriteBytes(path, writer::BuildUpdaterFile(image, package));
}

std::string StartupString(uint32_t id) {
    const char* text = FindBuiltInString(id);
    return text != nullptr ? text : "";
}

std::string Slot(int k) {
    std::string text = StartupString(1000 + static_cast<uint32_t>(k));
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += "\r\n";
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string Format(const std::string& format, const std::vector<std::string>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' &&
            next < args.size()) {
            out += args[next++];
            ++i;
        } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
            out.push_back('%');
            ++i;
        } else {
            out.push_back(format[i]);
        }
    }
    return out;
}

}  // namespace kzp::e2e
