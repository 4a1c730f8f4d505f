# 64-bit Windows: the same sources, so that the Windows code paths can run
# under a 64-bit-only Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZOV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
