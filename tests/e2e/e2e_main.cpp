// The driver's entry: GoogleTest, with crashes turned into a plain exit so
// that a fault never leaves a debugger waiting under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

#include "tests/e2e/player.h"

namespace {

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "kzp_e2e: unhandled exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    ::testing::InitGoogleTest(&argc, argv);
    std::printf("%s\n", kzp::e2e::WaitFactorLine().c_str());
    std::fflush(stdout);
    return RUN_ALL_TESTS();
}
