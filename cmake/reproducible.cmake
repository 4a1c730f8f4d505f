# A release anyone can rebuild byte for byte from the same commit: no build
# folder in the binaries or their debug information, and no link time in the
# PE header. (Archive entries are fixed by scripts/release.)
option(ZOV_REPRODUCIBLE "Build without build paths or link time-stamps" OFF)
if(ZOV_REPRODUCIBLE)
  # The build folder last: it may lie inside the source folder.
  add_compile_options(
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
  if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
  endif()
endif()
