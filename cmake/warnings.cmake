# Warnings for every build of the project's sources: the main tree and the
# Winelib stand-ins (host/winelib), which is a CMake project of its own.
add_compile_options(-Wall -Wextra)
option(ZOV_WERROR "Treat warnings as errors" OFF)
if(ZOV_WERROR)
  add_compile_options(-Werror)
endif()
