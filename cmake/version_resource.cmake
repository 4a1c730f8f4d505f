# zov_version_resource(TARGET DESCRIPTION): on Windows, a version resource
# (what the file's Details show) made from the project's one version.
set(ZOV_COPYRIGHT "Copyright (c) 2026 the ZOV_UZAVEZIRU authors")

function(zov_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(ZOV_RC_FILE_TYPE VFT_DLL)
  else()
    set(ZOV_RC_FILE_TYPE VFT_APP)
  endif()
  set(ZOV_RC_DESCRIPTION "${description}")
  set(ZOV_RC_INTERNAL_NAME ${target})
  set(ZOV_RC_ORIGINAL_FILENAME "$<TARGET_FILE_NAME:${target}>")
  configure_file(${PROJECT_SOURCE_DIR}/windows/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in @ONLY)
  # The file name is only known at generation time.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc
    INPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
