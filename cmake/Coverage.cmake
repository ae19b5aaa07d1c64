# COVERAGE instruments every target for gcov (natively with gcc, for Windows with mingw's gcc);
# scripts/coverage runs the tests and reads the counts with gcovr. Optimisation is off so that
# lines and branches map one to one onto the source.
option(COVERAGE "Instrument for line and branch coverage" OFF)
if(COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
