/* ProcessPrng for Wine releases that lack bcryptprimitives.dll (Wine 8):
 * recent Go programs such as esbuild.exe load it at start. Used only by the
 * benchmark to run the patched program; never shipped. */
#include <windows.h>

BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length); /* RtlGenRandom */

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T length) {
    while (length > 0) {
        ULONG n = length > 0x10000000 ? 0x10000000 : (ULONG)length;
        if (!SystemFunction036(data, n)) return FALSE;
        data += n;
        length -= n;
    }
    return TRUE;
}
