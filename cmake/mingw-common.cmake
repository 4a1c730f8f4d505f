# Shared part of the mingw-w64 toolchain files; ZOV_MINGW_TRIPLE names the
# target before this is included.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The -posix variants: the default win32 thread model has no std::mutex.
set(CMAKE_C_COMPILER ${ZOV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZOV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZOV_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${ZOV_MINGW_TRIPLE}-dlltool CACHE FILEPATH "dlltool for import libraries")
set(CMAKE_OBJDUMP ${ZOV_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump of the target")

set(CMAKE_FIND_ROOT_PATH /usr/${ZOV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything the toolchain brings (libgcc, libstdc++, winpthread) goes into
# each binary, so nothing needs a mingw runtime DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows programs under Wine (scripts/wine-run): the 32-bit
# loader for i686, wine64 for x86_64, in the prefix ZOV_WINEPREFIX.
if(ZOV_MINGW_TRIPLE MATCHES "^x86_64")
  set(ZOV_WINE_LOADER /usr/lib/wine/wine64)
else()
  set(ZOV_WINE_LOADER /usr/lib/wine/wine)
endif()
set(ZOV_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the Windows tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ${ZOV_WINE_LOADER} ${ZOV_WINEPREFIX})
