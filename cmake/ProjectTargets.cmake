# Helpers shared by every deliverable's CMakeLists.txt.

# Windows executables link libgcc, libstdc++ and winpthread statically so that each .exe runs
# alone, and are built for ASLR (with a relocation table) and DEP; 64-bit images also for
# high-entropy ASLR, which 32-bit images cannot have.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(WIN32_HARDENING_LINK_OPTIONS
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
  # The entry point of a DLL linked without the C runtime's start-up code.
  set(WIN32_DLLMAIN_SYMBOL DllMain)
elseif(WIN32)
  set(WIN32_HARDENING_LINK_OPTIONS -Wl,--dynamicbase -Wl,--nxcompat)
  # DllMain is stdcall on x86: its symbol has the leading underscore and the byte count of its
  # three arguments, and the linker's -e takes the symbol exactly as it stands.
  set(WIN32_DLLMAIN_SYMBOL _DllMain@12)
  # Every 32-bit program, deliverable or test, is large-address-aware: on 64-bit Windows it then
  # has 4 GiB of address space instead of 2 (under wine, without the flag, only about 500 MiB are
  # free, too little for a ring of 1 GiB). Libraries do not carry the flag; the program decides.
  add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-Wl,--large-address-aware>)
endif()

# add_console_tool(name source...): a deliverable console program. On Windows it enters at wmain
# (-municode) and carries the manifest; natively it is a plain program.
function(add_console_tool name)
  add_executable(${name} ${ARGN})
  if(WIN32)
    target_link_options(${name} PRIVATE -municode -static ${WIN32_HARDENING_LINK_OPTIONS})
    add_win32_resources(${name})
  endif()
endfunction()

# Test programs live in tests/, apart from the deliverables.
set(TEST_OUTPUT_DIR ${CMAKE_BINARY_DIR}/tests)

# The wine prefix every Windows test shares; see tests/CMakeLists.txt for its fixture. A UTF-8
# locale whatever the caller's: in the POSIX locale wine cannot decode a UTF-8 path.
set(WINE_TEST_ENVIRONMENT
  LC_ALL=C.UTF-8 LANG=C.UTF-8
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
  WINEDEBUG=-all
  "WINEDLLOVERRIDES=mscoree,mshtml=")

# add_project_test(name SOURCES file... [LIBS lib...] [LABELS label...] [TIMEOUT s]):
# one GoogleTest program, run as one CTest test (one process runs all its cases). Windows tests
# run under wine inside the shared fixture.
function(add_project_test name)
  cmake_parse_arguments(arg "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${arg_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TEST_OUTPUT_DIR})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 60)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
    set_tests_properties(${name} PROPERTIES
      FIXTURES_REQUIRED wine
      ENVIRONMENT "${WINE_TEST_ENVIRONMENT}"
      LABELS "wine;${arg_LABELS}"
      TIMEOUT ${arg_TIMEOUT})
  else()
    set_tests_properties(${name} PROPERTIES
      LABELS "posix;${arg_LABELS}"
      TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
