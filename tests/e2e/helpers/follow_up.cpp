// The follow-up file of a package: when it is opened it writes the folder it
// was started in to "followup-ran.txt" in that folder.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char folder[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof(folder), folder);
    HANDLE marker = CreateFileA("followup-ran.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(marker, folder, length, &written, nullptr);
    CloseHandle(marker);
    return 0;
}
