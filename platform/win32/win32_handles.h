// The seam's handles and the Win32 types they stand for. Only the Win32 side
// of the seam and the Win32-only code above it (the window, WinMain, the kzp
// command's Windows host) convert between them, and only through these.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "platform/os.h"

namespace kzp {

template <typename Handle>
Handle FromWin32(const void* native) {
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(native));
}

static_assert(sizeof(ModuleHandle) == sizeof(HMODULE), "EnumProcessModules fills either array");

inline HANDLE ToWin32(FileHandle file) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(file));
}
inline HANDLE ToWin32(HeapHandle heap) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(heap));
}
inline HKEY ToWin32(RegistryKey key) {
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(key));
}
inline HANDLE ToWin32(ProcessHandle process) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process));
}
inline HMODULE ToWin32(ModuleHandle module) {
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(module));
}
inline HANDLE ToWin32(SnapshotHandle snapshot) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(snapshot));
}
inline HWND ToWin32(WindowHandle window) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
}
inline HINSTANCE ToWin32(InstanceHandle instance) {
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(instance));
}
inline HFONT ToWin32(FontHandle font) {
    return reinterpret_cast<HFONT>(static_cast<uintptr_t>(font));
}

}  // namespace kzp
