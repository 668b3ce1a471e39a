# Linux 32-bit (i386): the platform-free code and the POSIX side of the seam
# with their unit suite, built static with -m32 (g++-multilib) and run under
# qemu-i386, so that what only 32 bits show (a 32-bit size_t and pointers,
# structure sizes, 32-bit offsets) comes out in the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
# The host's libraries are 64-bit: GoogleTest is built from its sources.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH /usr/lib32)
