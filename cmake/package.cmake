# The release archives for Windows operators, made by CPack's ZIP generator
# from the install rules below (ZOV_PACKAGE=ON, the release preset):
#   ZOV_UZAVEZIRU-<version>-win32.zip        component runtime: what an operator installs
#   ZOV_UZAVEZIRU-<version>-win32-debug.zip  component debug: the debug information
# The DLL and the runner go in stripped. Their debug information goes into
# .debug files that each binary names in .gnu_debuglink, so a debugger can
# still read a crash address of the shipped file.
option(ZOV_PACKAGE "Install rules and CPack settings of the release archives" OFF)
if(NOT ZOV_PACKAGE)
  return()
endif()
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "ZOV_PACKAGE needs the toolchain's objcopy (CMAKE_OBJCOPY)")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(zov_arch win32)
  set(zov_deb_arch i686)
else()
  set(zov_arch win64)
  set(zov_deb_arch x86-64)
endif()

set(zov_release_dir ${CMAKE_BINARY_DIR}/release)
file(MAKE_DIRECTORY ${zov_release_dir})
set(zov_shipped)
foreach(target ZOV_UZAVEZIRU nvservicetest)
  if(target STREQUAL "ZOV_UZAVEZIRU")
    set(file ${target}.dll)
  else()
    set(file ${target}.exe)
  endif()
  # The stripped copy is what ships (and what scripts/release signs); the
  # build tree keeps the unstripped one for the tests.
  # objcopy stamps the PE header it writes with the time, or with
  # SOURCE_DATE_EPOCH: 0, as the linker leaves it (--no-insert-timestamp).
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(OUTPUT ${zov_release_dir}/${file} ${zov_release_dir}/${file}.debug
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE:${target}> ${file}.debug
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=${file}.debug $<TARGET_FILE:${target}> ${file}
    # Padded and check-summed as signing leaves a file, so that removing a
    # signature gives back these bytes.
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/pe-finish ${file}
    DEPENDS ${target} $<TARGET_FILE:${target}> ${PROJECT_SOURCE_DIR}/scripts/pe-finish
    WORKING_DIRECTORY ${zov_release_dir}
    COMMENT "Stripping ${file}, debug information into ${file}.debug"
    VERBATIM)
  list(APPEND zov_shipped ${zov_release_dir}/${file})
  install(PROGRAMS ${zov_release_dir}/${file} DESTINATION . COMPONENT runtime)
  install(FILES ${zov_release_dir}/${file}.debug DESTINATION . COMPONENT debug)
endforeach()
add_custom_target(zov_release_files ALL DEPENDS ${zov_shipped})

# What the operator reads. README.txt is opened with Notepad: CR LF.
configure_file(${PROJECT_SOURCE_DIR}/docs/archive-README.txt.in ${CMAKE_BINARY_DIR}/README.txt
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/docs/operators.md
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION . COMPONENT runtime)

# Licences of what -static links into both binaries: libgcc and libstdc++
# (GCC's runtime library exception), and the mingw-w64 runtime with
# winpthreads, as Debian's packages of the toolchain state them.
set(ZOV_LICENSE_GCC /usr/share/doc/g++-mingw-w64-${zov_deb_arch}-posix/copyright CACHE FILEPATH
    "Copyright file of the mingw-w64 GCC (libgcc, libstdc++)")
set(ZOV_LICENSE_MINGW /usr/share/doc/mingw-w64-${zov_deb_arch}-dev/copyright CACHE FILEPATH
    "Copyright file of the mingw-w64 runtime (winpthreads)")
foreach(licence ZOV_LICENSE_GCC ZOV_LICENSE_MINGW)
  if(NOT EXISTS ${${licence}})
    message(FATAL_ERROR "${licence}: ${${licence}} is missing (is the mingw-w64 toolchain installed?)")
  endif()
endforeach()
install(FILES ${ZOV_LICENSE_GCC} DESTINATION licenses RENAME libgcc-libstdc++.txt COMPONENT runtime)
install(FILES ${ZOV_LICENSE_MINGW} DESTINATION licenses RENAME mingw-w64-winpthreads.txt COMPONENT runtime)

# SHA256SUMS of every file above, last of the runtime component's rules.
# Only the project's own files are hashed, whatever else the prefix holds.
set(zov_listed ZOV_UZAVEZIRU.dll nvservicetest.exe README.txt operators.md CHANGELOG.md LICENSE
  licenses/libgcc-libstdc++.txt licenses/mingw-w64-winpthreads.txt)
list(SORT zov_listed)
install(CODE "set(zov_listed \"${zov_listed}\")" COMPONENT runtime)
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name IN LISTS zov_listed)
    file(SHA256 "${root}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
  endforeach()
  file(WRITE "${root}/SHA256SUMS" "${sums}")
  message(STATUS "Checksums: ${root}/SHA256SUMS")
]] COMPONENT runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "the ZOV_UZAVEZIRU authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${zov_arch})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime debug)
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_ARCHIVE_DEBUG_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-debug)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
