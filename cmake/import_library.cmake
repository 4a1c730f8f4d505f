# zov_import_library(TARGET DEF_FILE)
# An INTERFACE target that links the import library dlltool makes from
# DEF_FILE, for a DLL that is not built here.
function(zov_import_library target def)
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "zov_import_library needs CMAKE_DLLTOOL (use a cmake/mingw-*.cmake toolchain)")
  endif()
  get_filename_component(base ${def} NAME_WE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/import)
  set(out ${dir}/lib${base}.dll.a)
  file(MAKE_DIRECTORY ${dir})
  # dlltool names symbols of the library after the output path it is
  # given; a bare file name keeps the build folder out of the DLL.
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --output-lib lib${base}.dll.a
    WORKING_DIRECTORY ${dir}
    DEPENDS ${def}
    COMMENT "Import library for ${base}.dll"
    VERBATIM)
  add_custom_target(${target}_lib DEPENDS ${out})
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${out})
  add_dependencies(${target} ${target}_lib)
endfunction()
