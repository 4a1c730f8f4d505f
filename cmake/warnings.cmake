# Warnings for every build of the project's sources: the main tree and the
# Winelib stand-ins (host/winelib), which is a CMake project of its own.
# C and C++ only: the resource compiler takes no such flags.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Wall> $<$<COMPILE_LANGUAGE:C,CXX>:-Wextra>)
option(ZOV_WERROR "Treat warnings as errors" OFF)
if(ZOV_WERROR)
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-Werror>)
endif()
