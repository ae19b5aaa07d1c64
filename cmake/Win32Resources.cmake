# add_win32_resources(target [DLL]): embeds the shared application manifest, which asks for the
# "asInvoker" execution level with uiAccess false. Windows would otherwise guess from a program's
# name whether it wants elevation; no deliverable does. Programs carry the manifest as resource 1,
# libraries as resource 2. Does nothing in the POSIX build, so callers need no OS conditions.
function(add_win32_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "DLL" "" "" ${ARGN})
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/manifest.rc)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/cmake/manifest.rc APPEND PROPERTY
    OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/asInvoker.manifest)
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${PROJECT_SOURCE_DIR}/cmake>)
  if(arg_DLL)
    target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:MANIFEST_FOR_DLL>)
  endif()
endfunction()
