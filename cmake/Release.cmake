# What makes a Windows build fit to ship: the same bytes from every checkout of one commit, and
# a version resource in every file. The release zips themselves are made in packaging/.

# The names of the whole set (RELEASE_PRODUCT_NAME, RELEASE_COMPANY_NAME, ...) come from
# ReleaseInfo.cmake, which CMakeLists.txt includes before project().

if(WIN32)
  # No link time in the PE header or in the DLL's export directory.
  add_link_options(-Wl,--no-insert-timestamp)
  # The compiler writes source paths into __FILE__ and the debug information: write them
  # relative to the checkout (or the build tree inside it), so that where the checkout lies
  # does not show. GCC tries the map given last first, so the build tree, which may lie inside
  # the checkout, comes second. Coverage keeps the real paths, which gcov needs to find the
  # sources.
  if(NOT COVERAGE)
    add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                        -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
  endif()
endif()

# add_version_resource(target description): stamps the project version into the Windows file
# as a version resource, so that its properties show what the file is (description, product,
# company, copyright, its own file name) and which release it came from. Does nothing in the
# POSIX build.
function(add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
  else()
    set(file_type VFT_DLL)
  endif()
  set(version_text ${PROJECT_VERSION})
  set(version_numbers ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
  file(READ ${PROJECT_SOURCE_DIR}/cmake/version.rc.in template)
  string(CONFIGURE "${template}" text @ONLY)
  # The file names come from the target, as generator expressions, so they follow OUTPUT_NAME.
  set(rc ${PROJECT_BINARY_DIR}/version/${target}.rc)
  file(GENERATE OUTPUT ${rc} CONTENT "${text}")
  target_sources(${target} PRIVATE ${rc})
endfunction()
