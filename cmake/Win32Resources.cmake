# add_win32_resources(target [DLL]): embeds the shared application manifest, which asks for the
# "asInvoker" execution level with uiAccess false. Windows would otherwise guess from a program's
# name whether it wants elevation; no deliverable does. It also names Windows 7 to 11 as
# supported, and declares programs long-path aware: on Windows 10 and later with long paths
# enabled, their paths may then pass 260 characters. That setting is the process's, so a
# library's manifest leaves it to the host. Programs carry the manifest as resource 1,
# libraries as resource 2. Does nothing in the POSIX build, so callers need no OS conditions.
if(WIN32)
  set(manifest_dir ${PROJECT_BINARY_DIR}/manifest)
  set(program_settings [=[
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
    </windowsSettings>
  </application>
]=])
  configure_file(${PROJECT_SOURCE_DIR}/cmake/asInvoker.manifest.in
    ${manifest_dir}/program.manifest @ONLY)
  set(program_settings "")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/asInvoker.manifest.in
    ${manifest_dir}/library.manifest @ONLY)
endif()

function(add_win32_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(arg "DLL" "" "" ${ARGN})
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/manifest.rc)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/cmake/manifest.rc APPEND PROPERTY
    OBJECT_DEPENDS ${manifest_dir}/program.manifest ${manifest_dir}/library.manifest)
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${manifest_dir}>)
  if(arg_DLL)
    target_compile_definitions(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:MANIFEST_FOR_DLL>)
  endif()
endfunction()
