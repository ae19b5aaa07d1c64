# GoogleTest for both builds: Debian's packaged library natively; for Windows, Debian's sources
# built with the mingw compilers.
if(WIN32)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)  # defines GTest::gtest
else()
  find_package(GTest REQUIRED)
endif()
