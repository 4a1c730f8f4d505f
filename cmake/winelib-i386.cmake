# 32-bit Winelib: ELF code for i386 Linux that Wine loads as Windows DLLs,
# built with Wine's compiler drivers on the machine's multilib gcc.
#   cmake -S host/winelib -B build-windows/winelib32   (uses this file itself)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_COMPILER winegcc-stable)
set(CMAKE_CXX_COMPILER wineg++-stable)
# -mcygwin: the Unix C library (glibc), not Wine's msvcrt, under the code.
set(CMAKE_C_FLAGS_INIT "-m32 -mcygwin")
set(CMAKE_CXX_FLAGS_INIT "-m32 -mcygwin")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32 -mcygwin")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -mcygwin")
