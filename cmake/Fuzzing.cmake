# FUZZING builds every target with clang's coverage-guided instrumentation (and the sanitizers
# given in SANITIZE), so that the cores the fuzz targets link are explored, not just the targets.
# add_fuzz_target(name SOURCES file... [LIBS lib...]): one libFuzzer program in
# build/<preset>/fuzz/, built only in such a build and collected under the target "fuzz_targets";
# its seed corpus is the folder tests/<deliverable>/corpus/<name>/ beside its sources.
# scripts/fuzz runs them.
option(FUZZING "Build the libFuzzer targets (clang only)" OFF)
if(FUZZING)
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_custom_target(fuzz_targets)
endif()

function(add_fuzz_target name)
  if(NOT FUZZING)
    return()
  endif()
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzz_targets ${name})
endfunction()
